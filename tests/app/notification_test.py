#!/usr/bin/python3
"""A pairing request shows a desktop notification; clicking it brings the window forward.

Runs on a private session bus with a stand-in notification server (notification_server.py).
The bridge runs with its window (drawn off screen); a test device asks to pair. The
notification must carry its name and the code (how a hostile name is shown is checked in
ApplicationPartsTest, since the link refuses such names); a forged click from another bus client
does nothing, the server's own click brings the window forward, and nothing is paired by either;
a second launch brings it forward too. When the request ends its notification is taken back.
Then an approval question asked while no device is connected: "Codex is waiting for your
approval" with Codex's command made visible and escaped, the notify command given the
description on its input, and the wait limit's decline.
"""

import argparse
import json
import os
import re
import shlex
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from application_launch_test import (FAKE_CODEX, Device, Failure, TIMEOUT,  # noqa: E402
                                     check, environment, launch)
from control_command_test import Service, answers, control  # noqa: E402

CLICKED = "A pairing notification was clicked; the window comes forward."
HERE = os.path.dirname(os.path.abspath(__file__))


def read_json(server, key):
    deadline = time.monotonic() + TIMEOUT
    while time.monotonic() < deadline and (line := server.stdout.readline()):
        if key in (value := json.loads(line)):
            return value
    raise Failure("the notification server never saw %r" % key)


def notification_server(env, *arguments):
    server = subprocess.Popen(["/usr/bin/python3", os.path.join(HERE, "notification_server.py"),
                               *arguments], env=env, stdout=subprocess.PIPE, text=True)
    if server.stdout.readline().strip() != "ready":
        server.kill()
        raise Failure("the stand-in notification server did not start")
    return server


def run(bridge, device_command):
    if not os.environ.get("DBUS_SESSION_BUS_ADDRESS"):
        print("SKIPPED: no private session bus")
        return 77
    with tempfile.TemporaryDirectory(prefix="tarnwick-notify-") as root:
        env = environment(root)
        env.update(DBUS_SESSION_BUS_ADDRESS=os.environ["DBUS_SESSION_BUS_ADDRESS"],
                   DISPLAY=":99", QT_QPA_PLATFORM="offscreen", QT_QUICK_BACKEND="software",
                   QT_LOGGING_RULES="tarnwick.app.info=true")
        server = notification_server(env, "--click")
        window = device = None
        try:
            # The window's bridge; Service collects its standard error all the same.
            window = Service(bridge, env, arguments=[])
            socket = os.path.join(env["XDG_RUNTIME_DIR"], "tarnwick-bridge.socket")
            deadline = time.monotonic() + TIMEOUT
            # The window starts the bridge once it is shown, a moment after the socket.
            while not os.path.exists(socket) or \
                    "Local link: Available" not in control(bridge, env, "status"):
                check(window.process.poll() is None and time.monotonic() < deadline,
                      "the window's bridge did not start:\n%s", "\n".join(window.lines))
                time.sleep(0.2)
            name = "Test-Phone \u00e9t\u00e9"
            device = Device(device_command, env, "--name", name)
            code = device.expect(r"Pairing code: (\d{6})$").group(1)

            shown = read_json(server, "summary")
            check(shown["summary"] == "Pairing request from " + name and code in shown["body"]
                  and shown["app_icon"] == "tarnwick-bridge"
                  and shown["actions"][:1] == ["default"]
                  and shown["hints"].get("desktop-entry") == "tarnwick-bridge",
                  "notification %r", shown)
            read_json(server, "forged")
            read_json(server, "clicked")
            window.expect(re.escape(CLICKED))
            answers(bridge, env, "status", r"Paired devices: 0 trusted\n(.|\n)*Pairing request 1 "
                    r"from Test")
            # The request ends: its notification, with its code, is taken back.
            answers(bridge, env, "reject 1", r"^Rejected pairing from Test")
            check(read_json(server, "closed")["closed"] == shown["id"],
                  "another notification was closed")
            # A second launch in either mode brings the window forward instead of starting
            # another bridge.
            for argv in ([bridge], [bridge, "--terminal"]):
                second = launch(argv, env)
                check(second[0] == 0 and second[1].splitlines() == [
                    "Tarnwick Bridge is already running; its window was brought to the front."],
                    "second launch %r: %r", argv, second)
            window.process.terminate()
            check(window.process.wait(TIMEOUT) == 0, "SIGTERM did not close the window cleanly")
            clicks = [line for line in window.lines if CLICKED in line]
            check(len(clicks) == 1, "%d clicks reached the window, not 1:\n%s", len(clicks),
                  "\n".join(window.lines))
        finally:
            if device:
                device.stop()
            if window and window.process.poll() is None:
                window.process.kill()
                window.process.wait()
            server.terminate()
            server.wait(TIMEOUT)
    print("notification: shown with the name and the code; only the real click counted")
    return waiting_question(bridge)


HOSTILE = 'echo <b>hi</b> & "x"\n$(touch pwned)'


def waiting_question(bridge):
    """A question asked while no device is connected: the desktop says Codex waits, the notify
    command gets the description on its input, and the wait limit declines it. (What reaches
    Codex then is ApprovalEndToEndTest's; that Codex's text never reaches the notify command's
    arguments is NotifyCommandTest's.)"""
    with tempfile.TemporaryDirectory(prefix="tarnwick-waiting-") as root:
        question = {"id": 0, "method": "item/commandExecution/requestApproval",
                    "params": {"threadId": "t1", "turnId": "u1", "itemId": "i1",
                               "startedAtMs": 1, "cwd": "/w", "command": HOSTILE}}
        env = environment(root, FAKE_CODEX.replace("QUESTION = None",
                                                   "QUESTION = " + json.dumps(question)))
        env.update(DBUS_SESSION_BUS_ADDRESS=os.environ["DBUS_SESSION_BUS_ADDRESS"])
        notify = os.path.join(root, "notify")
        with open(notify, "w") as script:
            script.write("#!/bin/sh\ncat > %s\n" % shlex.quote(os.path.join(root, "input")))
        os.chmod(notify, 0o755)
        server = notification_server(env)
        service = None
        try:
            service = Service(bridge, env, arguments=["--service", "--approval-wait=2",
                                                      "--notify-command=" + notify])
            shown = read_json(server, "summary")
            check(shown["summary"] == "Codex is waiting for your approval"
                  and "\n" not in shown["body"] and "<b>" not in shown["body"]
                  and "&lt;b&gt;" in shown["body"], "notification %r", shown)
            service.expect(r"^Declined the command \"echo <b>hi</b> & \"x\"\\u\{000A\}.* after "
                           r"waiting 1 min: no paired device came back\.$")
            check(read_json(server, "closed")["closed"] == shown["id"],
                  "another notification was closed")
            with open(os.path.join(root, "input")) as stdin:
                description = json.loads(stdin.read())
            check(description.get("command") == HOSTILE
                  and description.get("event") == "question-waiting",
                  "notify command got %r", description)
        finally:
            if service and service.process.poll() is None:
                service.process.terminate()
                service.process.wait(TIMEOUT)
            server.terminate()
            server.wait(TIMEOUT)
    print("waiting question: notified on the desktop and by the notify command, then declined")
    return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("bridge", help="path of tarnwick-bridge")
    parser.add_argument("--device", required=True, help="command of a device that asks to pair; "
                        "--name and its name are appended")
    arguments = parser.parse_args()
    try:
        return run(os.path.abspath(arguments.bridge), arguments.device)
    except Failure as failure:
        print("FAILED:", failure)
        return 1


if __name__ == "__main__":
    sys.exit(main())
