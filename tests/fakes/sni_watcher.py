#!/usr/bin/python3
"""A status-area host's watcher for tests: owns org.kde.StatusNotifierWatcher on the bus named by
DBUS_SESSION_BUS_ADDRESS, prints "ready" once it has the name and "registered <service> <sender>"
for every item that registers, one line each, flushed."""
import dbus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

NAME = "org.kde.StatusNotifierWatcher"


class Watcher(dbus.service.Object):
    def __init__(self, bus):
        super().__init__(bus, "/StatusNotifierWatcher")
        self.items = []

    @dbus.service.method(NAME, in_signature="s", out_signature="", sender_keyword="sender")
    def RegisterStatusNotifierItem(self, service, sender=None):
        self.items.append(service)
        print(f"registered {service} {sender}", flush=True)

    @dbus.service.method(NAME, in_signature="s", out_signature="")
    def RegisterStatusNotifierHost(self, service):
        pass

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="ss", out_signature="v")
    def Get(self, interface, prop):
        if prop == "IsStatusNotifierHostRegistered":
            return dbus.Boolean(True)
        if prop == "ProtocolVersion":
            return dbus.Int32(0)
        return dbus.Array(self.items, signature="s")


def main():
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    watcher = Watcher(bus)
    _name = dbus.service.BusName(NAME, bus, do_not_queue=True)
    print("ready", flush=True)
    # Runs until the test ends it with a signal.
    GLib.MainLoop().run()
    del watcher


if __name__ == "__main__":
    main()
