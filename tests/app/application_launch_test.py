#!/usr/bin/python3
"""The application as a person launches it: in a terminal and with a window.

Starts `tarnwick-bridge --terminal` in a pseudo-terminal with temporary home, runtime and
configuration folders and a stand-in `codex` first on PATH, types commands, launches it a second
time, ends its input and stops it with Ctrl-C (scripts_test types `quit`; the window and SIGTERM
are notification_test's and control_command_test's). With --device, a device (`tarnwick-device
pair` as `CMD`, in the bridge's environment) pairs by the code on the screen.
"""

import argparse
import os
import pty
import re
import select
import shlex
import signal
import subprocess
import sys
import tempfile
import time

TIMEOUT = 60.0  # generous: sanitizers on a loaded machine
ANSI = re.compile(r"\x1b\[[0-9;]*[A-Za-z]")

FAKE_CODEX = r"""#!/usr/bin/python3
# Answers every request with an empty result and, once the bridge is ready, asks QUESTION if
# there is one; leaves only on a signal, as a bridge must send.
import json, sys, time
QUESTION = None
for line in sys.stdin:
    try:
        message = json.loads(line)
    except ValueError:
        continue
    if isinstance(message, dict) and "id" in message and "method" in message:
        sys.stdout.write(json.dumps({"id": message["id"], "result": {}}) + "\n")
    elif QUESTION and isinstance(message, dict) and message.get("method") == "initialized":
        sys.stdout.write(json.dumps(QUESTION) + "\n")
    sys.stdout.flush()
while True:
    time.sleep(1)
"""


class Failure(Exception):
    pass


def check(condition, message, *values):
    if not condition:
        raise Failure(message % values if values else message)


class Terminal:
    """One program on a pseudo-terminal, with everything it printed kept as plain text."""

    def __init__(self, argv, env):
        self.pid, self.fd = pty.fork()
        if self.pid == 0:
            os.execve(argv[0], argv, env)
        self.screen, self.read_to, self.status, self.eof = "", 0, None, False

    def pump(self, seconds):
        if self.eof:
            self.alive()
            time.sleep(min(seconds, 0.1))
            return
        if not select.select([self.fd], [], [], seconds)[0]:
            return
        try:
            data = os.read(self.fd, 65536)
        except OSError:  # the program closed its side of the terminal
            data = b""
        self.eof = not data
        self.screen += ANSI.sub("", data.decode("utf-8", "replace")).replace("\r\n", "\n")

    def expect(self, pattern, what=None, timeout=TIMEOUT):
        """Waits for `pattern` in what was printed since the last expect; gives the match."""
        regex, deadline = re.compile(pattern), time.monotonic() + timeout
        while not (match := regex.search(self.screen, self.read_to)):
            check(self.status is None and time.monotonic() < deadline,
                  "never saw %s; the screen was:\n%s", what or pattern, self.screen)
            self.pump(0.2)
        self.read_to = match.end()
        return match

    def type(self, line):
        os.write(self.fd, line.encode() + b"\n")

    def alive(self):
        if self.status is None:
            pid, status = os.waitpid(self.pid, os.WNOHANG)
            if pid:
                self.status = status
        return self.status is None

    def reap(self, seconds):
        deadline = time.monotonic() + seconds
        while self.alive():
            check(time.monotonic() < deadline, "the bridge did not stop; the screen was:\n%s",
                  self.screen)
            self.pump(0.1)
        return self.status

    def stops_cleanly(self, how):
        status = self.reap(TIMEOUT)
        check(os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0,
              "%s did not stop the bridge cleanly: status %r\n%s", how, status, self.screen)

    def kill(self):
        if self.alive():
            os.kill(self.pid, signal.SIGKILL)
            os.waitpid(self.pid, 0)
        os.close(self.fd)


def started_from(root):
    """The command lines, by process, of what runs with the temporary home in `root`: whatever
    the test started there."""
    marker = ("HOME=%s\0" % os.path.join(root, "home")).encode()
    found = {}
    for entry in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open("/proc/%s/environ" % entry, "rb") as environ, \
                    open("/proc/%s/cmdline" % entry, "rb") as cmdline:
                if int(entry) != os.getpid() and marker in environ.read():
                    found[int(entry)] = cmdline.read()
        except OSError:
            pass
    return found


def expect_nothing_left(root, after):
    deadline = time.monotonic() + TIMEOUT
    while left := started_from(root):
        check(time.monotonic() < deadline, "left running after %s: %r", after, left)
        time.sleep(0.1)




def environment(root, codex=FAKE_CODEX):
    """The account's environment with every per-user folder and the temporary folder in `root`,
    and `codex` (unless None) as the `codex` first on PATH."""
    env = {key: value for key, value in os.environ.items()
           if key not in ("DISPLAY", "WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS",
                          "XDG_SESSION_TYPE", "NO_COLOR")}
    for name in ("home", "config", "data", "cache", "runtime", "bin", "tmp"):
        os.makedirs(os.path.join(root, name), mode=0o700)
    env.update({"XDG_%s_HOME" % name.upper(): os.path.join(root, name)
                for name in ("config", "data", "cache")})
    env.update(HOME=os.path.join(root, "home"), XDG_RUNTIME_DIR=os.path.join(root, "runtime"),
               TMPDIR=os.path.join(root, "tmp"), TERM="xterm")
    if codex:
        env["PATH"] = os.path.join(root, "bin") + os.pathsep + env.get("PATH", "/usr/bin:/bin")
        with open(os.path.join(root, "bin", "codex"), "w") as script:
            script.write(codex)
        os.chmod(os.path.join(root, "bin", "codex"), 0o755)
    return env


def launch(argv, env):
    """Runs `argv` to its end; gives its exit status and what it printed, for a message."""
    done = subprocess.run(argv, env=env, capture_output=True, text=True, timeout=TIMEOUT)
    return done.returncode, done.stdout, done.stderr


class Device:
    """`tarnwick-device pair` as `command` with `names` appended, read line by line."""

    def __init__(self, command, env, *names):
        self.process = subprocess.Popen(shlex.split(command) + list(names), env=env,
                                        stdout=subprocess.PIPE, text=True)

    def expect(self, pattern):
        deadline, said = time.monotonic() + TIMEOUT, []
        while not (match := re.match(pattern, (line := self.process.stdout.readline()).strip())):
            said.append(line)
            check(line and time.monotonic() < deadline, "the device never said %r; it said %r",
                  pattern, said)
        return match

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
        self.process.wait(TIMEOUT)


def pair_device(bridge, device_command, env):
    """A device asks to pair; the code on the bridge's screen must be the device's."""
    device = Device(device_command, env)
    try:
        code = device.expect(r"Pairing code: (\d{6})$").group(1)
        request = bridge.expect(r"Pairing request (\d+) from (.*)\n\s+Code:\s+(\d{6})\n",
                                "a pairing request")
        check(request.group(3) == code, "the bridge shows %s, the device %s", request.group(3),
              code)
        bridge.type("pair " + request.group(1))
        bridge.expect(r"Paired devices: 1 trusted\n")
        device.expect(r"Pairing accepted")
    finally:
        device.stop()


def run(bridge_path, device_command):
    with tempfile.TemporaryDirectory(prefix="tarnwick-pty-") as root:
        env = environment(root)
        autostart = os.path.join(root, "config", "autostart", "tarnwick-bridge.desktop")

        # A session stopped with Ctrl-C.
        bridge = Terminal([bridge_path, "--terminal"], env)
        try:
            bridge.expect(r"is running in this terminal")
            bridge.expect(r"Bridge started\. Only paired devices can call the Codex allowlist\.")
            # The autostart entry itself (what each command answers is TerminalFrontEndTest's).
            for state in ("on", "off"):
                bridge.type("login " + state)
                bridge.expect(r"Launch at login: %s\n" % state)
                check(os.path.exists(autostart) == (state == "on"),
                      "login %s left the autostart entry wrong", state)
            if device_command:
                pair_device(bridge, device_command, env)

            # The control command reaches the bridge behind the terminal front end too.
            status = launch([bridge_path, "status"], env)
            check(status[0] == 0 and "Paired devices: %d trusted\n" % bool(device_command)
                  in status[1], "status beside the terminal: %r", status)
            # A second launch, without a display and without --terminal, finds this one.
            second = launch([bridge_path], env)
            check(second[0] == 0 and second[1].splitlines() == [
                "Tarnwick Bridge is already running in a terminal; this launch stops."],
                "second launch: %r", second)
            bridge.expect(r"Another launch of Tarnwick Bridge found this one running")
            os.write(bridge.fd, b"\x04")  # end of input at the start of a line
            bridge.expect(r"Input ended; the bridge keeps running\. Stop it with Ctrl-C\.\n")
            bridge.pump(0.5)
            check(bridge.alive(), "the bridge stopped when its input ended")
            os.write(bridge.fd, b"\x03")  # Ctrl-C
            bridge.stops_cleanly("Ctrl-C")
            check(not os.path.exists(os.path.join(root, "runtime", "tarnwick-bridge.lock")),
                  "the lock outlived the bridge")
            expect_nothing_left(root, "Ctrl-C")
        finally:
            bridge.kill()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("bridge", help="path of tarnwick-bridge")
    parser.add_argument("--device", help="command of a device that asks to pair")
    arguments = parser.parse_args()
    try:
        run(os.path.abspath(arguments.bridge), arguments.device)
    except Failure as failure:
        print("FAILED:", failure)
        return 1
    print("application launch: all steps passed" +
          ("" if arguments.device else " (no test device given: pairing step skipped)"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
