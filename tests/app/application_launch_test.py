#!/usr/bin/python3
"""The application as a person launches it: in a terminal and with a window.

Starts `tarnwick-bridge --terminal` in a pseudo-terminal with its own temporary home, runtime and
configuration folders and a stand-in `codex` first on PATH, reads what it prints, types
commands, launches it a second time, and stops it with Ctrl-C, SIGTERM and `quit`. Then opens
the window (drawn off screen) and launches again, which must bring the window forward. With --device, a test device program asks to
pair: the test reads the code from the screen, compares it with the device's, types
`pair N` and waits for the device to be accepted.

The device program is started as `CMD` with the environment of the bridge and must print a line
`code NNNNNN` once it has asked to pair, and a line `accepted` once the bridge accepted it.
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
# Answers every request of the app-server protocol with an empty result. It does not leave
# when its input ends, only when it is told to by a signal: a bridge that stops must stop it.
import json, sys, time
for line in sys.stdin:
    try:
        message = json.loads(line)
    except ValueError:
        continue
    if isinstance(message, dict) and "id" in message and "method" in message:
        sys.stdout.write(json.dumps({"id": message["id"], "result": {}}) + "\n")
        sys.stdout.flush()
while True:
    time.sleep(1)
"""


class Failure(Exception):
    pass


class Terminal:
    """One program on a pseudo-terminal, with everything it printed kept as plain text."""

    def __init__(self, argv, env):
        self.pid, self.fd = pty.fork()
        if self.pid == 0:
            os.execve(argv[0], argv, env)
        self.screen = ""
        self.read_to = 0
        self.status = None
        self.eof = False

    def pump(self, seconds):
        """Takes in what the program printed within `seconds`."""
        if self.eof:
            self.alive()
            time.sleep(min(seconds, 0.1))
            return
        ready, _, _ = select.select([self.fd], [], [], seconds)
        if not ready:
            return
        try:
            data = os.read(self.fd, 65536)
        except OSError:  # the program closed its side of the terminal
            data = b""
        if data:
            self.screen += ANSI.sub("", data.decode("utf-8", "replace")).replace("\r\n", "\n")
        else:
            self.eof = True

    def expect(self, pattern, what=None, timeout=TIMEOUT):
        """Waits for `pattern` in what was printed since the last expect; gives the match."""
        regex = re.compile(pattern)
        deadline = time.monotonic() + timeout
        while True:
            match = regex.search(self.screen, self.read_to)
            if match:
                self.read_to = match.end()
                return match
            if self.status is not None or time.monotonic() > deadline:
                raise Failure("never saw %s; the screen was:\n%s" % (what or pattern, self.screen))
            self.pump(0.2)

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
            if time.monotonic() > deadline:
                raise Failure("the bridge did not stop; the screen was:\n" + self.screen)
            self.pump(0.1)
        return self.status

    def kill(self):
        if self.alive():
            os.kill(self.pid, signal.SIGKILL)
            os.waitpid(self.pid, 0)
        os.close(self.fd)


def expect_no_processes_under(folder, after):
    """Waits until nothing started in `folder` runs any more."""
    deadline = time.monotonic() + TIMEOUT
    while processes_under(folder):
        if time.monotonic() > deadline:
            raise Failure("processes left running after %s: %r" % (after, processes_under(folder)))
        time.sleep(0.1)


def processes_under(folder):
    """Processes whose command line names `folder`: what the bridge started there."""
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/cmdline" % entry, "rb") as cmdline:
                if folder.encode() in cmdline.read():
                    found.append(int(entry))
        except OSError:
            pass
    return found


def environment(root):
    env = {key: value for key, value in os.environ.items()
           if key not in ("DISPLAY", "WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS",
                          "XDG_SESSION_TYPE", "NO_COLOR")}
    for name in ("home", "config", "data", "cache", "runtime", "bin"):
        os.makedirs(os.path.join(root, name), mode=0o700)
    env.update(HOME=os.path.join(root, "home"),
               XDG_CONFIG_HOME=os.path.join(root, "config"),
               XDG_DATA_HOME=os.path.join(root, "data"),
               XDG_CACHE_HOME=os.path.join(root, "cache"),
               XDG_RUNTIME_DIR=os.path.join(root, "runtime"),
               TERM="xterm",
               PATH=os.path.join(root, "bin") + os.pathsep + env.get("PATH", "/usr/bin:/bin"))
    codex = os.path.join(root, "bin", "codex")
    with open(codex, "w") as script:
        script.write(FAKE_CODEX)
    os.chmod(codex, 0o755)
    return env


def pair_device(bridge, device_command, env):
    """A device asks to pair; the code on the bridge's screen must be the device's."""
    device = subprocess.Popen(shlex.split(device_command), env=env, stdout=subprocess.PIPE,
                              text=True)
    try:
        deadline = time.monotonic() + TIMEOUT
        device_code = None
        while device_code is None:
            line = device.stdout.readline()
            if not line or time.monotonic() > deadline:
                raise Failure("the test device never showed its code")
            match = re.match(r"code (\d{6})$", line.strip())
            if match:
                device_code = match.group(1)
        request = bridge.expect(r"Pairing request (\d+) from (.*)\n\s+Code:\s+(\d{6})\n",
                                "a pairing request")
        if request.group(3) != device_code:
            raise Failure("the bridge shows %s, the device %s" % (request.group(3), device_code))
        bridge.type("pair " + request.group(1))
        bridge.expect(r"Paired devices: 1 trusted\n")
        while device.stdout.readline().strip() != "accepted":
            if device.poll() is not None or time.monotonic() > deadline:
                raise Failure("the device was not accepted")
    finally:
        device.terminate()
        device.wait(TIMEOUT)


def run(bridge_path, device_command, show=False):
    with tempfile.TemporaryDirectory(prefix="tarnwick-pty-") as root:
        env = environment(root)
        lock = os.path.join(root, "runtime", "tarnwick-bridge.lock")

        # A session stopped with Ctrl-C.
        bridge = Terminal([bridge_path, "--terminal"], env)
        try:
            bridge.expect(r"is running in this terminal")
            bridge.expect(r"Bridge started\. Only paired devices can call the Codex allowlist\.")
            bridge.type("help")
            bridge.expect(r"Commands:\n(  .*\n){9}")
            bridge.type("status")
            bridge.expect(r"Paired devices: 0 trusted\nLaunch at login: off\n"
                          r"No pairing requests are waiting\.\n")
            bridge.type("fly away")
            bridge.expect(r'Unknown command "fly away"\. Type "help" for the list of commands\.\n')
            autostart = os.path.join(root, "config", "autostart", "tarnwick-bridge.desktop")
            bridge.type("login on")
            bridge.expect(r"Launch at login: on\n")
            if not os.path.exists(autostart):
                raise Failure("login on wrote no autostart entry")
            bridge.type("login off")
            bridge.expect(r"Launch at login: off\n")
            if os.path.exists(autostart):
                raise Failure("login off left the autostart entry")
            bridge.type("pair 1")
            bridge.expect(r"No pairing request 1 is waiting\.")

            if device_command:
                pair_device(bridge, device_command, env)

            # The control command reaches the bridge behind the terminal front end too.
            status = subprocess.run([bridge_path, "status"], env=env, capture_output=True,
                                    text=True, timeout=TIMEOUT)
            trusted = "1" if device_command else "0"
            if status.returncode != 0 or \
                    "Paired devices: %s trusted\n" % trusted not in status.stdout:
                raise Failure("status beside the terminal: %r %r %r"
                              % (status.returncode, status.stdout, status.stderr))

            # A second launch, without a display and without --terminal, finds this one.
            second = subprocess.run([bridge_path], env=env, capture_output=True, text=True,
                                    timeout=TIMEOUT)
            lines = second.stdout.splitlines()
            if second.returncode != 0 or lines != [
                    "Tarnwick Bridge is already running in a terminal; this launch stops."]:
                raise Failure("second launch: %r %r %r" % (second.returncode, second.stdout,
                                                           second.stderr))
            bridge.expect(r"Another launch of Tarnwick Bridge found this one running")

            os.write(bridge.fd, b"\x03")  # Ctrl-C
            status = bridge.reap(TIMEOUT)
            if show:
                print(bridge.screen)
            if not os.WIFEXITED(status) or os.WEXITSTATUS(status) != 0:
                raise Failure("Ctrl-C did not stop the bridge cleanly: status %r\n%s"
                              % (status, bridge.screen))
            if os.path.exists(lock):
                raise Failure("the lock outlived the bridge")
            expect_no_processes_under(root, "Ctrl-C")
        finally:
            bridge.kill()

        # A session whose input ends, stopped with SIGTERM.
        bridge = Terminal([bridge_path, "--terminal"], env)
        try:
            bridge.expect(r"Bridge started\.")
            os.write(bridge.fd, b"\x04")  # end of input at the start of a line
            bridge.expect(r"Input ended; the bridge keeps running\. Stop it with Ctrl-C\.\n")
            bridge.pump(0.5)
            if not bridge.alive():
                raise Failure("the bridge stopped when its input ended")
            os.kill(bridge.pid, signal.SIGTERM)
            status = bridge.reap(TIMEOUT)
            if not os.WIFEXITED(status) or os.WEXITSTATUS(status) != 0:
                raise Failure("SIGTERM did not stop the bridge cleanly: status %r" % status)
            expect_no_processes_under(root, "SIGTERM")
        finally:
            bridge.kill()

        # A session ended by its own command.
        bridge = Terminal([bridge_path, "--terminal"], env)
        try:
            bridge.expect(r"Bridge started\.")
            bridge.type("quit")
            bridge.expect(r"Stopping the bridge\.\n")
            status = bridge.reap(TIMEOUT)
            if not os.WIFEXITED(status) or os.WEXITSTATUS(status) != 0:
                raise Failure("quit did not stop the bridge cleanly: status %r" % status)
        finally:
            bridge.kill()
        expect_no_processes_under(root, "quit")


def run_window(bridge_path):
    """With a display the window opens (drawn off screen here); a second launch brings it
    forward instead of starting another bridge, in either mode."""
    with tempfile.TemporaryDirectory(prefix="tarnwick-window-") as root:
        env = environment(root)
        env.update(DISPLAY=":99", QT_QPA_PLATFORM="offscreen", QT_QUICK_BACKEND="software")
        socket = os.path.join(root, "runtime", "tarnwick-bridge.socket")
        window = subprocess.Popen([bridge_path], env=env, stdout=subprocess.PIPE,
                                  stderr=subprocess.PIPE, text=True)
        try:
            deadline = time.monotonic() + TIMEOUT
            while not os.path.exists(socket):
                if window.poll() is not None or time.monotonic() > deadline:
                    raise Failure("the window did not come up: %r" % (window.communicate(),))
                time.sleep(0.1)
            for argv in ([bridge_path], [bridge_path, "--terminal"]):
                second = subprocess.run(argv, env=env, capture_output=True, text=True,
                                        timeout=TIMEOUT)
                if second.returncode != 0 or second.stdout.splitlines() != [
                        "Tarnwick Bridge is already running; its window was brought to the "
                        "front."]:
                    raise Failure("second launch %r: %r %r %r" % (argv, second.returncode,
                                                                  second.stdout, second.stderr))
            status = subprocess.run([bridge_path, "devices"], env=env, capture_output=True,
                                    text=True, timeout=TIMEOUT)
            if status.returncode != 0 or not status.stdout.startswith("No trusted devices."):
                raise Failure("devices beside the window: %r %r %r"
                              % (status.returncode, status.stdout, status.stderr))
            if window.poll() is not None:
                raise Failure("the window went away: %r" % (window.communicate(),))
            window.send_signal(signal.SIGTERM)
            out, err = window.communicate(timeout=TIMEOUT)
            if window.returncode != 0:
                raise Failure("SIGTERM did not close the window cleanly: %r %r %r"
                              % (window.returncode, out, err))
        finally:
            if window.poll() is None:
                window.kill()
                window.wait()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("bridge", help="path of tarnwick-bridge")
    parser.add_argument("--device", help="command of a test device that asks to pair")
    parser.add_argument("--show", action="store_true", help="print the first session's screen")
    arguments = parser.parse_args()
    try:
        run(os.path.abspath(arguments.bridge), arguments.device, arguments.show)
        run_window(os.path.abspath(arguments.bridge))
    except Failure as failure:
        print("FAILED:", failure)
        return 1
    print("application launch: all steps passed" +
          ("" if arguments.device else " (no test device given: pairing step skipped)"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
