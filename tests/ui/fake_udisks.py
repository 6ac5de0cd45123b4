#!/usr/bin/python3
"""A stand-in for the UDisks2 service on a private bus, as the desktop program's tests use
it: ResolveDevice names one block object, whose OpenDevice hands out a read-only
descriptor of IMAGE ("grant") or refuses as polkit does ("refuse").

    fake_udisks.py BUS_ADDRESS grant|refuse IMAGE
"""
import os
import sys

import dbus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

address, answer, image = sys.argv[1:4]
dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
bus = dbus.bus.BusConnection(address)
BLOCK = "/org/freedesktop/UDisks2/block_devices/fake0"


class Manager(dbus.service.Object):
    @dbus.service.method("org.freedesktop.UDisks2.Manager", in_signature="a{sv}a{sv}", out_signature="ao")
    def ResolveDevice(self, device, options):
        return [dbus.ObjectPath(BLOCK)] if str(device.get("path", "")).startswith("/dev/") else []


class Block(dbus.service.Object):
    @dbus.service.method("org.freedesktop.UDisks2.Block", in_signature="sa{sv}", out_signature="h")
    def OpenDevice(self, mode, options):
        if answer == "refuse":
            raise dbus.exceptions.DBusException("Not authorized to perform operation",
                                                name="org.freedesktop.UDisks2.Error.NotAuthorizedCanObtain")
        if mode != "r" or "flags" in options:
            raise dbus.exceptions.DBusException("only read-only, shared opens are expected",
                                                name="org.freedesktop.UDisks2.Error.Failed")
        return dbus.types.UnixFd(os.open(image, os.O_RDONLY))


name = dbus.service.BusName("org.freedesktop.UDisks2", bus)
Manager(bus, "/org/freedesktop/UDisks2/Manager")
Block(bus, BLOCK)
print("ready", flush=True)
GLib.MainLoop().run()
