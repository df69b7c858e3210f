#!/usr/bin/python3
"""`tarnwick-bridge --service` and the control command against it.

Runs the bridge as the systemd user unit does (no terminal, no window, activity on standard
error), then drives it with `tarnwick-bridge status`, `requests`, `pair N`, `devices`,
`forget N`, `restart` and `phone` while test devices ask to pair: a decision acts only on the
request the listing showed, so a device that takes the place of a listed one under the same
name is not paired by the old number. A launch as the desktop's autostart makes it leaves the
service alone. A process of another user that reaches the socket gets no answer (needs root for `setpriv`; reported as
skipped otherwise).
"""

import argparse
import os
import re
import shlex
import signal
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from application_launch_test import Failure, TIMEOUT, environment, expect_no_processes_under  # noqa: E402

OTHER_USER_CLIENT = r"""
import socket, sys
s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
s.settimeout(20)
try:
    s.connect(sys.argv[1])
except OSError as error:
    print("connect failed: %s" % error)
    sys.exit(3)
data = b""
try:
    s.sendall(b"control status\n")
except OSError:  # the bridge closed the connection before the request was written
    sys.stdout.write(repr(data))
    sys.exit(0)
try:
    while True:
        chunk = s.recv(4096)
        if not chunk:
            break
        data += chunk
except OSError:
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
        self.lines = []
        self.read_to = 0
        self.lock = threading.Lock()
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        for line in self.process.stderr:
            with self.lock:
                self.lines.append(line.rstrip("\n"))

    def expect(self, pattern):
        regex = re.compile(pattern)
        deadline = time.monotonic() + TIMEOUT
        while True:
            with self.lock:
                for index in range(self.read_to, len(self.lines)):
                    match = regex.search(self.lines[index])
                    if match:
                        self.read_to = index + 1
                        return match
            if self.process.poll() is not None or time.monotonic() > deadline:
                raise Failure("the service never logged %r; it logged:\n%s"
                              % (pattern, "\n".join(self.lines)))
            time.sleep(0.1)


def control(bridge, env, *words, status=0):
    done = subprocess.run([bridge, *words], env=env, capture_output=True, text=True,
                          timeout=TIMEOUT, stdin=subprocess.DEVNULL)
    if done.returncode != status:
        raise Failure("`tarnwick-bridge %s` ended with %d, not %d: %r %r"
                      % (" ".join(words), done.returncode, status, done.stdout, done.stderr))
    return done.stdout + done.stderr


def expect_text(text, pattern, what):
    match = re.search(pattern, text)
    if not match:
        raise Failure("%s: %r does not match %r" % (what, text, pattern))
    return match


class Device:
    def __init__(self, command, name, env):
        self.process = subprocess.Popen(shlex.split(command) + [name], env=env,
                                        stdout=subprocess.PIPE, text=True)

    def expect(self, pattern):
        deadline = time.monotonic() + TIMEOUT
        said = []
        while True:
            line = self.process.stdout.readline()
            said.append(line)
            if not line or time.monotonic() > deadline:
                raise Failure("the device never said %r; it said %r" % (pattern, said))
            match = re.match(pattern, line.strip())
            if match:
                return match

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
        self.process.wait(TIMEOUT)


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
    if done.returncode != 0 or done.stdout != "b''":
        raise Failure("another user's connection was answered: %r %r"
                      % (done.stdout, done.stderr))


def run(bridge, device_command):
    with tempfile.TemporaryDirectory(prefix="tarnwick-service-") as root:
        env = environment(root)
        runtime = env["XDG_RUNTIME_DIR"]
        socket_path = os.path.join(runtime, "tarnwick-bridge.socket")

        expect_text(control(bridge, env, "status", status=3), r"^Tarnwick Bridge is not running\.\n$",
                    "status without a bridge")
        # Malformed commands are bad usage (2), told without asking any bridge; only a bridge
        # refuses (1).
        for words, complaint in [(("pair",), r"\"pair\" takes one number"),
                                 (("pair", "x"), r"\"pair\" takes one number"),
                                 (("reject", "0"), r"\"reject\" takes one number"),
                                 (("forget", "-1"), r"\"forget\" takes one number"),
                                 (("forget", "1", "2"), r"\"forget\" takes one number"),
                                 (("status", "now"), r"\"status\" takes no argument"),
                                 (("clear",), r"unknown command \"clear\"")]:
            expect_text(control(bridge, env, *words, status=2), complaint, " ".join(words))

        service = Service(bridge, env)
        devices = []
        try:
            service.expect(r"^Tarnwick Bridge is running as a service\.$")
            service.expect(r"^Bridge started\. Only paired devices can call the Codex allowlist\.$")
            # The fingerprint as the terminal shows it, broken between pairs only.
            status = control(bridge, env, "status")
            expect_text(status, r"Codex engine: .*\nLocal link: .*\n"
                        r"Certificate SHA-256: (?:[0-9A-F]{2}:){16}\n {21}[0-9A-F]{2}(?::[0-9A-F]{2}){15}\n"
                        r"Paired devices: 0 trusted\n"
                        r"Launch at login: off\nNo pairing requests are waiting\.\n$", "status")

            # The desktop's autostart launches the program as it is; the service stays alone.
            autostart_env = dict(env, DISPLAY=":99", QT_QPA_PLATFORM="offscreen")
            second = subprocess.run([bridge], env=autostart_env, capture_output=True, text=True,
                                    timeout=TIMEOUT)
            if second.returncode != 0 or not second.stdout.startswith(
                    "Tarnwick Bridge is already running as a service; this launch stops."):
                raise Failure("a launch beside the service: %r %r %r"
                              % (second.returncode, second.stdout, second.stderr))
            service.expect(r"^Another launch of Tarnwick Bridge found this one running")

            if not device_command:
                print("SKIPPED: no test device given: pairing by number not tried")
            else:
                # A device asks; the listing shows its code under number 1.
                first = Device(device_command, "Test-Phone", env)
                devices.append(first)
                first_code = first.expect(r"code (\d{6})$").group(1)
                service.expect(r"^Pairing request 1 from Test-Phone, code %s\." % first_code)
                listing = control(bridge, env, "requests")
                expect_text(listing, r"Pairing request 1 from Test-Phone\n    Code:  %s\n"
                            % first_code, "the listing")

                # It goes, and another device of the same name takes its place with another
                # code: the number the user read no longer means what was compared.
                first.stop()
                second_device = Device(device_command, "Test-Phone", env)
                devices.append(second_device)
                second_code = second_device.expect(r"code (\d{6})$").group(1)
                service.expect(r"^Pairing request 2 from Test-Phone, code %s\." % second_code)
                expect_text(control(bridge, env, "pair", "1", status=1),
                            r"^Pairing request 1 changed since it was listed; nothing was done\.",
                            "a stale number")
                expect_text(control(bridge, env, "pair", "2", status=1),
                            r"^No pairing request 2 was listed\.", "a number not listed")
                expect_text(control(bridge, env, "status"), r"Paired devices: 0 trusted\n",
                            "nothing paired by a stale number")

                listing = control(bridge, env, "requests")
                expect_text(listing, r"Pairing request 2 from Test-Phone\n    Code:  %s\n"
                            % second_code, "the new listing")
                expect_text(control(bridge, env, "pair", "2"), r"^Paired Test-Phone\.\n",
                            "pair 2")
                second_device.expect(r"accepted$")

                devices_text = control(bridge, env, "devices")
                expect_text(devices_text, r"^Trusted devices:\n  1\. Test-Phone  \(paired ",
                            "devices")
                # The ceiling: changed here only, a device's own only below the one for every
                # device, shown with the device, and kept in the settings.
                expect_text(control(bridge, env, "ceiling", "device", "1", "network", "on",
                                    status=1), r"can only be lower", "a device's ceiling above")
                expect_text(control(bridge, env, "ceiling", "device", "1", "sandbox", "read-only"),
                            r"\n  1\. Test-Phone: own ceiling: at most read-only, approvals kept, "
                            r"no network, in %s\n" % re.escape(env["HOME"]), "ceiling device 1")
                expect_text(control(bridge, env, "devices"),
                            r"\n     own ceiling: at most read-only", "devices with a ceiling")
                expect_text(control(bridge, env, "ceiling", "sandbox", "danger-full-access"),
                            r"^Devices may now let Codex run commands with no sandbox",
                            "widening the ceiling")
                with open(os.path.join(env["XDG_CONFIG_HOME"], "tarnwick",
                                       "tarnwick-bridge.conf")) as settings:
                    if "danger-full-access" not in settings.read():
                        raise Failure("the ceiling was not kept in the settings")
                expect_text(control(bridge, env, "forget", "1"), r"^Forgot Test-Phone\.\n",
                            "forget 1")
                expect_text(control(bridge, env, "forget", "1", status=1),
                            r"^Test-Phone is no longer trusted\.\n", "forget 1 again")

            expect_text(control(bridge, env, "restart"), r"Restarting Codex app-server\.\n",
                        "restart")
            service.expect(r"^Restarting Codex app-server\.$")

            # A QR code in half blocks (its colours left out in a pipe), then the address with its
            # one-time secret; each call draws a new secret. The private network has loopback
            # alone, which a phone cannot reach, and the command says so.
            phone = control(bridge, env, "phone")
            address = expect_text(
                phone, r"^(?:[\u2580\u2584\u2588 ]+\n){10,}Open (https://127\.0\.0\.1:\d+/#pair=[A-Za-z0-9_-]{43}) "
                r"on the phone, or scan the code\.\n"
                r"A phone cannot open this address: 127\.0\.0\.1 is this computer's own loopback address"
                r"[^\n]*\n"
                r"Certificate SHA-256: (?:[0-9A-F]{2}:){16}\n {21}[0-9A-F]{2}(?::[0-9A-F]{2}){15}\n"
                r"The code works once, for 5 minutes\.\n"
                r"Trust this computer on the phone: .*\n"
                r"iPhone or iPad: open https://\S+:\d+/trust in Safari.*\n"
                r"Android: open https://\S+:\d+/trust, .*\n"
                r"The phone's settings show the certificate's SHA-256: it must be "
                r"[0-9A-F]{2}(?::[0-9A-F]{2}){31}\.\n$", "phone").group(1)
            if address in control(bridge, env, "phone") or ".local" in address:
                raise Failure("phone showed %r again, or a .local name" % address)

            # How long approval questions wait, and the notify command, as the README gives them.
            expect_text(control(bridge, env, "approval-wait", "600"),
                        r"^Approval questions wait 10 min for a paired device\.\n$", "approval-wait")
            expect_text(control(bridge, env, "approval-wait", "soon", status=1),
                        r"^approval-wait takes SECONDS", "approval-wait soon")
            expect_text(control(bridge, env, "notify-command", "/bin/true"),
                        r"^The notify command is now /bin/true\.\n$", "notify-command")
            expect_text(control(bridge, env, "notify-command", "off"),
                        r"^No notify command is run now\.\n$", "notify-command off")

            other_user_is_refused(socket_path, [root, runtime])
            expect_text(control(bridge, env, "status"), r"Paired devices: ", "status afterwards")

            service.process.send_signal(signal.SIGTERM)
            service.process.wait(TIMEOUT)
            if service.process.returncode != 0:
                raise Failure("SIGTERM did not stop the service cleanly: %r\n%s"
                              % (service.process.returncode, "\n".join(service.lines)))
            expect_no_processes_under(root, "the service stopped")
        finally:
            for device in devices:
                device.stop()
            if service.process.poll() is None:
                service.process.kill()
                service.process.wait()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("bridge", help="path of tarnwick-bridge")
    parser.add_argument("--device", help="command of a test device; its name is appended")
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
