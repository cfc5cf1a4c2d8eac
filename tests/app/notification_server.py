#!/usr/bin/python3
"""A desktop's notification server on the bus at ADDRESS, for the tests.

  notification_server.py ADDRESS LOG SILENT
Owns org.freedesktop.Notifications and appends each Notify call's arguments
to LOG, one a line, then a line "--"; "ready" once the name is owned. While
the file SILENT exists, calls stay unanswered, as a hung server leaves them.
"""
import os
import sys

import dbus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

address, log, silent = sys.argv[1:]


class Server(dbus.service.Object):
    @dbus.service.method("org.freedesktop.Notifications", in_signature="susssasa{sv}i",
                         out_signature="u", async_callbacks=("reply", "error"))
    def Notify(self, app, replaces, icon, summary, body, actions, hints, timeout, reply, error):
        hints = " ".join(f"{k}={int(v)} ({type(v).__name__})" for k, v in hints.items())
        with open(log, "a") as out:
            print(app, replaces, icon, summary, body, list(actions), hints, timeout, "--",
                  sep="\n", file=out)
        if not os.path.exists(silent):
            reply(1)


dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
bus = dbus.bus.BusConnection(address)
name = dbus.service.BusName("org.freedesktop.Notifications", bus)
Server(bus, "/org/freedesktop/Notifications")
with open(log, "a") as out:
    print("ready", file=out)
GLib.MainLoop().run()
