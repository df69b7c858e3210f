#!/usr/bin/python3
"""The README's own commands, typed as it says from the top of the clone.

`scripts/codex --version` must run the pinned Codex CLI. `scripts/run --terminal` must install,
build the Release configuration (showing a progress line and nothing else) and start the
terminal front end, whose `help` must list only commands the manual page has; Ctrl-C stops it.
`scripts/try-offline --terminal` must start the model stand-in and the bridge with the real
Codex CLI behind it; `quit` must stop both and remove the stand-in's folder. Each runs with a
temporary home, runtime, configuration and temporary folder, and nothing it started may be left
running. Runs inside a private network namespace: the bridge listens on its fixed port.
"""

import os
import re
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from application_launch_test import (Failure, TIMEOUT, Terminal, check,  # noqa: E402
                                     environment, expect_nothing_left, started_from)
from man_page_test import man_page_items, missing_from  # noqa: E402

BUILD_TIMEOUT = 1200.0  # a Release build from nothing on a busy machine
# The bridge's start, and a real Codex that answered it, in either order.
STARTED = (r"Bridge started\. Only paired devices can call the Codex allowlist\.",
           r"Codex engine: Codex app-server ready")


def sandbox(root):
    """The test's environment without a stand-in Codex. The compiler cache stays the account's,
    so that a build that was made before is not made again."""
    env = environment(root, codex=None)
    ccache = subprocess.run(["ccache", "--show-config"], capture_output=True, text=True)
    for line in ccache.stdout.splitlines():
        origin = re.match(r"\((/[^)]+)\) ", line)
        if origin and "CCACHE_CONFIGPATH" not in env:
            env["CCACHE_CONFIGPATH"] = origin.group(1)
        cache_dir = re.match(r"\(.*\) cache_dir = (.+)$", line)
        if cache_dir:
            env.setdefault("CCACHE_DIR", cache_dir.group(1))
    return env


def program_path(name):
    """Where the Release build put `name`, read as the scripts read it."""
    with open(os.path.join("build", "release", "programs.list")) as listing:
        for line in listing:
            listed, _, path = line.rstrip("\n").partition(" ")
            if listed == name:
                return path
    raise Failure("build/release/programs.list does not name " + name)


def stop(script, root, how):
    script.stops_cleanly(how)
    expect_nothing_left(root, how)


def run(man_page):
    with tempfile.TemporaryDirectory(prefix="tarnwick-scripts-") as root:
        env = sandbox(root)
        scripts = []
        try:
            with open("scripts/setup") as setup:
                pinned = re.search(r'^codex_version="([^"]+)"', setup.read(), re.M).group(1)
            version = subprocess.run(["scripts/codex", "--version"], env=env,
                                     capture_output=True, text=True, timeout=TIMEOUT)
            check(version.returncode == 0 and version.stdout.split()[-1:] == [pinned],
                  "scripts/codex --version: %r %r %r", version.returncode, version.stdout,
                  version.stderr)

            run_script = Terminal(["scripts/run", "--terminal"], env)
            scripts.append(run_script)
            opened = run_script.expect(r"Tarnwick Bridge is running in this terminal",
                                       timeout=BUILD_TIMEOUT)
            check_build_output(run_script.screen[:opened.start()])
            expect_all(run_script, STARTED)
            expect_bridge_running(root)
            run_script.type("help")
            listed = run_script.expect(r"Commands:\n((?:  .*\n)+)")
            commands = re.findall(r"^  (\S+)", listed.group(1), re.M)
            missing = missing_from(man_page_items(man_page, "TERMINAL COMMANDS"), commands)
            check(not missing, "the manual page lacks the terminal commands %r", missing)
            os.write(run_script.fd, b"\x03")  # Ctrl-C
            stop(run_script, root, "Ctrl-C in scripts/run")

            offline = Terminal(["scripts/try-offline", "--terminal"], env)
            scripts.append(offline)
            folder = offline.expect(r"requests logged to (\S+)/model-requests\.jsonl\)",
                                    timeout=BUILD_TIMEOUT).group(1)
            device = offline.expect(r"\n  (\S+) pair 127\.0\.0\.1\n").group(1)
            check(device == program_path("tarnwick-device"),
                  "try-offline names %s as the device program", device)
            expect_all(offline, STARTED)
            expect_bridge_running(root)
            # Only the bridge reads `quit`; the script must stop the stand-in and remove its folder.
            offline.type("quit")
            stop(offline, root, "quit in scripts/try-offline")
            check(not os.path.exists(folder), "try-offline left its folder %s", folder)
        finally:
            for script in scripts:
                script.kill()
            for pid in started_from(root):
                try:
                    os.kill(pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass


def expect_all(script, patterns):
    """Waits until every pattern was printed after what the last expect matched."""
    deadline = time.monotonic() + TIMEOUT
    while not all(re.search(pattern, script.screen[script.read_to:]) for pattern in patterns):
        if script.status is not None or time.monotonic() > deadline:
            raise Failure("never saw %r; the screen was:\n%s" % (patterns, script.screen))
        script.pump(0.2)
    script.read_to = len(script.screen)


def check_build_output(shown):
    """What scripts/build showed before the bridge's first line: one progress line."""
    check(not re.search(r"warning|error|\[[0-9]+/[0-9]+\]", shown, re.IGNORECASE) and
          len(shown.split("\n")) <= 2, "the build showed more than a progress line:\n%s", shown)


def expect_bridge_running(root):
    bridge = program_path("tarnwick-bridge")
    check(any(cmdline.startswith(bridge.encode() + b"\0")
              for cmdline in started_from(root).values()), "no process runs %s", bridge)


def main():
    if len(sys.argv) != 3:
        print("usage: scripts_test.py SOURCE_DIR MANUAL_PAGE", file=sys.stderr)
        return 2
    man_page = os.path.abspath(sys.argv[2])
    os.chdir(sys.argv[1])
    try:
        run(man_page)
    except Failure as failure:
        print("FAILED:", failure)
        return 1
    print("scripts: all steps passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
