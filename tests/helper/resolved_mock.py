#!/usr/bin/python3
"""A private bus with a stand-in for systemd-resolved's manager, for the DNS settings tests.

  resolved_mock.py FOLDER [INDEX=SERVER,SERVER;DOMAIN,DOMAIN ...]

Starts a dbus-daemon listening on FOLDER/bus, owns org.freedesktop.resolve1 there and serves
GetLink, SetLinkDNS, RevertLink and FlushCaches of org.freedesktop.resolve1.Manager over links
whose "DNS" and "Domains" properties start as the arguments say (an index alone: no settings).
Prints "address ADDRESS", then "ready". Each line "calls" on standard input prints one JSON
line: the manager's calls in order, addresses as text; "links" prints every link's servers and
domains. End of input stops the mock and its bus.
"""
import ipaddress
import json
import os
import signal
import subprocess
import sys

import dbus
import dbus.mainloop.glib
import dbusmock
from dbusmock import mockobject
from gi.repository import GLib

MANAGER = "org.freedesktop.resolve1.Manager"
LINK = "org.freedesktop.resolve1.Link"
PATH = "/org/freedesktop/resolve1"


def link_path(index):
    # resolved's own escaping of the index's first digit
    text = str(index)
    return "%s/link/_3%s%s" % (PATH, text[0], text[1:])


def address_text(family, raw):
    data = bytes(raw)
    return str(ipaddress.IPv4Address(data) if family == 2 else ipaddress.IPv6Address(data))


def plain(value):
    """D-Bus values as JSON: (family, bytes) pairs become address texts."""
    if isinstance(value, dbus.Struct) and len(value) == 2 and isinstance(value[1], (bytes, list)):
        return address_text(int(value[0]), bytes(int(b) for b in value[1]))
    if isinstance(value, (list, tuple)):
        return [plain(v) for v in value]
    if isinstance(value, (dbus.Boolean, bool)):
        return bool(value)
    if isinstance(value, (int, dbus.Int32, dbus.UInt32)):
        return int(value)
    return str(value)


def main():
    folder = sys.argv[1]
    socket = os.path.join(folder, "bus")
    daemon = subprocess.Popen(
        ["dbus-daemon", "--session", "--nofork", "--print-address=1", "--address=unix:path=" + socket],
        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    address = daemon.stdout.readline().strip()
    try:
        serve(address, sys.argv[2:])
    finally:
        daemon.send_signal(signal.SIGTERM)
        daemon.wait()


def serve(address, links):
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    bus = dbus.bus.BusConnection(address)
    name = dbus.service.BusName("org.freedesktop.resolve1", bus, allow_replacement=False, do_not_queue=True)
    manager = mockobject.DBusMockObject(name, PATH, MANAGER, {}, logfile=os.devnull)
    mockobject.objects[PATH] = manager

    for spec in links:
        index, _, settings = spec.partition("=")
        servers, _, domains = settings.partition(";")
        dns = [dbus.Struct((dbus.Int32(2 if ":" not in s else 10),
                            dbus.ByteArray(ipaddress.ip_address(s).packed)), signature="iay")
               for s in servers.split(",") if s]
        manager.AddObject(link_path(int(index)), LINK, {
            "DNS": dbus.Array(dns, signature="(iay)"),
            "Domains": dbus.Array([dbus.Struct((d, False), signature="sb") for d in domains.split(",") if d],
                                  signature="(sb)"),
        }, [])

    lookup = ("path = '%s/link/_3' + str(args[0])[0] + str(args[0])[1:]\n"
              "if path not in objects:\n"
              "    raise dbus.exceptions.DBusException('No such link', name='org.freedesktop.resolve1.NoSuchLink')\n"
              % PATH)
    manager.AddMethods(MANAGER, [
        ("GetLink", "i", "o", lookup + "ret = dbus.ObjectPath(path)"),
        ("SetLinkDNS", "ia(iay)", "",
         lookup + "objects[path].props['%s']['DNS'] = dbus.Array(args[1], signature='(iay)')" % LINK),
        ("RevertLink", "i", "",
         lookup + "objects[path].props['%s']['DNS'] = dbus.Array([], signature='(iay)')\n"
                  "objects[path].props['%s']['Domains'] = dbus.Array([], signature='(sb)')" % (LINK, LINK)),
        ("FlushCaches", "", "", ""),
    ])

    loop = GLib.MainLoop()

    def command(channel, _condition):
        line = channel.readline()
        if not line:
            loop.quit()
            return False
        line = line.strip()
        if line == "calls":
            print(json.dumps([[str(method)] + plain(list(args)) for _, method, args in manager.GetCalls()]),
                  flush=True)
        elif line == "links":
            state = {}
            for path, obj in mockobject.objects.items():
                if path.startswith(PATH + "/link/"):
                    props = obj.props[LINK]
                    state[path] = {"servers": plain(list(props["DNS"])),
                                   "domains": [str(d[0]) for d in props["Domains"]]}
            print(json.dumps(state, sort_keys=True), flush=True)
        return True

    GLib.io_add_watch(GLib.IOChannel.unix_new(sys.stdin.fileno()), GLib.IO_IN | GLib.IO_HUP, command)
    print("address " + address, flush=True)
    print("ready", flush=True)
    loop.run()


if __name__ == "__main__":
    main()
