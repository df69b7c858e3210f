#!/usr/bin/python3
"""`tarnwick-bridge --service` and the control command against it.

Runs the bridge as the systemd user unit does (no terminal, no window, activity on standard
error), then drives it with `tarnwick-bridge status`, `requests`, `pair N`, `devices`,
`ceiling`, `forget N`, `restart` and `phone` while a test device asks to pair. A launch as the
desktop's autostart makes it leaves the service alone. A process of another user that reaches
the socket gets no answer (needs root for `setpriv`; reported as skipped otherwise).
"""

import argparse
import os
import re
import signal
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from application_launch_test import (Device, Failure, TIMEOUT, check,  # noqa: E402
                                     environment, expect_nothing_left)

OTHER_USER_CLIENT = r"""
import socket, sys
s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
s.settimeout(20)
try:
    s.connect(sys.argv[1])
except OSError as error:
    sys.exit("connect failed: %s" % error)
data = b""
try:
    s.sendall(b"control status\n")
    while chunk := s.recv(4096):
        data += chunk
except OSError:  # the bridge closed the connection, perhaps before the request was written
    pass
sys.stdout.write(repr(data))
"""


class Service:
    """`tarnwick-bridge --service` (or other `arguments`) with its standard error collected
    line by line."""

    def __init__(self, bridge, env, arguments=("--service",)):
        self.process = subprocess.Popen([bridge, *arguments], env=env, stdin=subprocess.DEVNULL,
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                        text=True, start_new_session=True)
        self.lines, self.read_to, self.lock = [], 0, threading.Lock()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.process.stderr:
            with self.lock:
                self.lines.append(line.rstrip("\n"))

    def expect(self, pattern):
        regex, deadline = re.compile(pattern), time.monotonic() + TIMEOUT
        while True:
            with self.lock:
                for index in range(self.read_to, len(self.lines)):
                    if match := regex.search(self.lines[index]):
                        self.read_to = index + 1
                        return match
            check(self.process.poll() is None and time.monotonic() < deadline,
                  "the service never logged %r; it logged:\n%s", pattern, "\n".join(self.lines))
            time.sleep(0.1)


def control(bridge, env, *words, status=0):
    done = subprocess.run([bridge, *words], env=env, capture_output=True, text=True,
                          timeout=TIMEOUT, stdin=subprocess.DEVNULL)
    check(done.returncode == status, "`tarnwick-bridge %s` ended with %d, not %d: %r %r",
          " ".join(words), done.returncode, status, done.stdout, done.stderr)
    return done.stdout + done.stderr


def answers(bridge, env, command, pattern, status=0):
    """`tarnwick-bridge COMMAND` (split at spaces) ends with `status` and says `pattern`."""
    text = control(bridge, env, *command.split(), status=status)
    match = re.search(pattern, text)
    check(match, "%s: %r does not match %r", command, text, pattern)
    return match


def other_user_is_refused(socket_path, folders):
    """Opens the socket's file mode and folder to everyone: what still keeps another user out
    is the check of the peer's credentials."""
    if os.geteuid() != 0:
        print("SKIPPED: the other-user check needs root to run a client as nobody")
        return
    for folder in folders:
        os.chmod(folder, 0o755)
    os.chmod(socket_path, 0o777)
    try:
        done = subprocess.run(["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                               "/usr/bin/python3", "-c", OTHER_USER_CLIENT, socket_path],
                              capture_output=True, text=True, timeout=TIMEOUT)
    finally:
        for folder in folders:
            os.chmod(folder, 0o700)
    check(done.returncode == 0 and done.stdout == "b''",
          "another user's connection was answered: %r %r", done.stdout, done.stderr)


FINGERPRINT = r"Certificate SHA-256: (?:[0-9A-F]{2}:){16}\n {21}[0-9A-F]{2}(?::[0-9A-F]{2}){15}\n"


def pair_by_number(bridge, env, service, device_command, devices):
    """A device pairs by the number `requests` showed. (That a decision acts only on the request
    as it was listed is checked in WindowModelsTest.)"""
    device = Device(device_command, env, "--name", "Test-Phone")
    devices.append(device)
    code = device.expect(r"Pairing code: (\d{6})$").group(1)
    service.expect(r"^Pairing request 1 from Test-Phone, code %s\." % code)
    answers(bridge, env, "requests", r"Pairing request 1 from Test-Phone\n    Code:  %s\n" % code)
    answers(bridge, env, "pair 1", r"^Paired Test-Phone\.\n")
    device.expect(r"Pairing accepted")
    # The ceiling (whose rules TerminalFrontEndTest checks): a device's own, shown with the
    # device, and kept in the settings.
    for command, pattern, status in [
            ("devices", r"^Trusted devices:\n  1\. Test-Phone  \(paired ", 0),
            ("ceiling device 1 sandbox read-only", r"\n  1\. Test-Phone: own ceiling: at most "
             r"read-only, approvals kept, no network, in %s\n" % re.escape(env["HOME"]), 0),
            ("devices", r"\n     own ceiling: at most read-only", 0),
            ("ceiling sandbox danger-full-access",
             r"^Devices may now let Codex run commands with no sandbox", 0)]:
        answers(bridge, env, command, pattern, status)
    with open(os.path.join(env["XDG_CONFIG_HOME"], "tarnwick", "tarnwick-bridge.conf")) as file:
        check("danger-full-access" in file.read(), "the ceiling was not kept in the settings")
    answers(bridge, env, "forget 1", r"^Forgot Test-Phone\.\n")
    answers(bridge, env, "forget 1", r"^Test-Phone is no longer trusted\.\n", status=1)


def run(bridge, device_command):
    with tempfile.TemporaryDirectory(prefix="tarnwick-service-") as root:
        env = environment(root)
        runtime = env["XDG_RUNTIME_DIR"]
        answers(bridge, env, "status", r"^Tarnwick Bridge is not running\.\n$", status=3)
        # A malformed command is bad usage (2), told without asking any bridge (the complaints
        # are checked in ApplicationPartsTest); only a bridge refuses (1).
        answers(bridge, env, "forget 1 2", r"\"forget\" takes one number", status=2)
        service = Service(bridge, env)
        devices = []
        try:
            service.expect(r"^Tarnwick Bridge is running as a service\.$")
            service.expect(r"^Bridge started\. Only paired devices can call the Codex allowlist\.$")
            # The fingerprint as the terminal shows it, broken between pairs only.
            answers(bridge, env, "status", r"Codex engine: .*\nLocal link: .*\n" + FINGERPRINT +
                    r"Paired devices: 0 trusted\nLaunch at login: off\nNo pairing requests are "
                    r"waiting\.\n$")
            # The desktop's autostart launches the program as it is; the service stays alone.
            second = subprocess.run([bridge], env=dict(env, DISPLAY=":99",
                                                       QT_QPA_PLATFORM="offscreen"),
                                    capture_output=True, text=True, timeout=TIMEOUT)
            check(second.returncode == 0 and second.stdout.startswith(
                "Tarnwick Bridge is already running as a service; this launch stops."),
                "a launch beside the service: %r %r %r", second.returncode, second.stdout,
                second.stderr)
            service.expect(r"^Another launch of Tarnwick Bridge found this one running")

            if device_command:
                pair_by_number(bridge, env, service, device_command, devices)
            else:
                print("SKIPPED: no test device given: pairing by number not tried")

            answers(bridge, env, "restart", r"Restarting Codex app-server\.\n")
            service.expect(r"^Restarting Codex app-server\.$")
            # A QR code in half blocks (its colours left out in a pipe), then the address with its
            # one-time secret, the real certificate's fingerprint and the steps TerminalFrontEndTest
            # checks; each call draws a new secret. The private network has loopback alone, which
            # a phone cannot reach, and the command says so.
            address = answers(
                bridge, env, "phone",
                r"^(?:[\u2580\u2584\u2588 ]+\n){10,}Open (https://127\.0\.0\.1:\d+/#pair="
                r"[A-Za-z0-9_-]{43}) on the phone, or scan the code\.\n"
                r"A phone cannot open this address: 127\.0\.0\.1 is this computer's own loopback "
                r"address[^\n]*\n" + FINGERPRINT).group(1)
            check(address not in control(bridge, env, "phone") and ".local" not in address,
                  "phone showed %r again, or a .local name", address)
            # How long approval questions wait, and the notify command, as the README gives them
            # (their refusals are checked in TerminalFrontEndTest).
            answers(bridge, env, "approval-wait 600",
                    r"^Approval questions wait 10 min for a paired device\.\n$")
            answers(bridge, env, "notify-command off", r"^No notify command is run now\.\n$")

            other_user_is_refused(os.path.join(runtime, "tarnwick-bridge.socket"),
                                  [root, runtime])
            answers(bridge, env, "status", r"Paired devices: ")
            service.process.send_signal(signal.SIGTERM)
            service.process.wait(TIMEOUT)
            check(service.process.returncode == 0, "SIGTERM did not stop the service cleanly: "
                  "%r\n%s", service.process.returncode, "\n".join(service.lines))
            expect_nothing_left(root, "the service stopped")
        finally:
            for device in devices:
                device.stop()
            if service.process.poll() is None:
                service.process.kill()
                service.process.wait()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("bridge", help="path of tarnwick-bridge")
    parser.add_argument("--device", help="command of a device that asks to pair; --name and "
                        "its name are appended")
    arguments = parser.parse_args()
    try:
        run(os.path.abspath(arguments.bridge), arguments.device)
    except Failure as failure:
        print("FAILED:", failure)
        return 1
    print("service and control command: all steps passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
