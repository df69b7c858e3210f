#!/usr/bin/python3
"""A stand-in desktop notification server (org.freedesktop.Notifications) on the session bus.

Prints "ready" once it owns the name, then one JSON line per Notify and CloseNotification call.
With --click, after each notification a second connection, which does not own the name, sends
a forged ActionInvoked for it, and then the server sends the real one, as a click would.
"""

import json
import sys

import dbus
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

NAME = "org.freedesktop.Notifications"
PATH = "/org/freedesktop/Notifications"


class Server(dbus.service.Object):
    def __init__(self, bus, click):
        super().__init__(bus, PATH)
        self.next_id, self.click = 1, click
        # Another client of the same bus, to forge the signal from.
        self.forger = dbus.bus.BusConnection(dbus.bus.BusConnection.TYPE_SESSION)

    @dbus.service.method(NAME, in_signature="susssasa{sv}i", out_signature="u")
    def Notify(self, app_name, replaces_id, app_icon, summary, body, actions, hints, timeout):
        number, self.next_id = self.next_id, self.next_id + 1
        print(json.dumps({"id": number, "app_name": str(app_name), "app_icon": str(app_icon),
                          "summary": str(summary), "body": str(body),
                          "actions": [str(a) for a in actions],
                          "hints": {str(k): str(v) for k, v in hints.items()}}), flush=True)
        if self.click:
            GLib.timeout_add(300, self.forge, number)
            GLib.timeout_add(1000, self.clicked, number)
        return dbus.UInt32(number)

    @dbus.service.method(NAME, out_signature="as")
    def GetCapabilities(self):
        return ["actions", "body"]

    @dbus.service.method(NAME, out_signature="ssss")
    def GetServerInformation(self):
        return ("stand-in", "tarnwick", "1", "1.2")

    @dbus.service.method(NAME, in_signature="u")
    def CloseNotification(self, number):
        print(json.dumps({"closed": int(number)}), flush=True)
        self.NotificationClosed(number, 3)

    @dbus.service.signal(NAME, signature="us")
    def ActionInvoked(self, number, action):
        pass

    @dbus.service.signal(NAME, signature="uu")
    def NotificationClosed(self, number, reason):
        pass

    def forge(self, number):
        message = dbus.lowlevel.SignalMessage(PATH, NAME, "ActionInvoked")
        message.append(dbus.UInt32(number), "default", signature="us")
        self.forger.send_message(message)
        print(json.dumps({"forged": number}), flush=True)
        return False

    def clicked(self, number):
        self.ActionInvoked(dbus.UInt32(number), "default")
        print(json.dumps({"clicked": number}), flush=True)
        return False


def main():
    click = sys.argv[1:] == ["--click"]
    DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    name = dbus.service.BusName(NAME, bus, do_not_queue=True)
    server = Server(bus, click)
    print("ready", flush=True)
    GLib.MainLoop().run()
    del name, server


if __name__ == "__main__":
    sys.exit(main())
