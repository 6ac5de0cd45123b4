#!/usr/bin/python3
"""A stand-in for the UDisks2 service on a private bus, as the desktop program's tests use
it: ResolveDevice names one block object, whose OpenDevice hands out a read-only
descriptor of IMAGE ("grant") or refuses as polkit does ("refuse"); a service that hangs
never answers ResolveDevice ("silent"), and one waiting on a password nobody gives never
answers OpenDevice ("wait"). The block's drive
speaks ATA and reports its SMART health: sound, or ("failing") failing with pending and
reallocated sectors.

    fake_udisks.py BUS_ADDRESS grant|refuse|silent|wait IMAGE [failing]
"""
import os
import sys

import dbus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

address, answer, image = sys.argv[1:4]
failing = len(sys.argv) > 4 and sys.argv[4] == "failing"
dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
bus = dbus.bus.BusConnection(address)
BLOCK = "/org/freedesktop/UDisks2/block_devices/fake0"
DRIVE = "/org/freedesktop/UDisks2/drives/Fake_Disk_0001"
PROPERTIES = "org.freedesktop.DBus.Properties"
ATA = {
    "SmartSupported": dbus.Boolean(True),
    "SmartEnabled": dbus.Boolean(True),
    "SmartUpdated": dbus.UInt64(1796634858),
    "SmartFailing": dbus.Boolean(failing),
    "SmartNumBadSectors": dbus.Int64(15 if failing else 0),
    "SmartTemperature": dbus.Double(314.15),
}
# id, name, pretty value (a count of sectors)
ATTRIBUTES = [(5, "reallocated-sector-count", 3 if failing else 0),
              (197, "current-pending-sector", 12 if failing else 0),
              (198, "offline-uncorrectable", 0)]


class Manager(dbus.service.Object):
    @dbus.service.method("org.freedesktop.UDisks2.Manager", in_signature="a{sv}a{sv}", out_signature="ao",
                         async_callbacks=("reply", "error"))
    def ResolveDevice(self, device, options, reply, error):
        if answer != "silent":
            reply([dbus.ObjectPath(BLOCK)] if str(device.get("path", "")).startswith("/dev/") else [])


class Drive(dbus.service.Object):
    @dbus.service.method(PROPERTIES, in_signature="ss", out_signature="v")
    def Get(self, interface, name):
        if interface != "org.freedesktop.UDisks2.Drive.Ata" or name not in ATA:
            raise dbus.exceptions.DBusException("no such property", name="org.freedesktop.DBus.Error.InvalidArgs")
        return ATA[name]

    @dbus.service.method("org.freedesktop.UDisks2.Drive.Ata", in_signature="a{sv}", out_signature="a(ysqiiixia{sv})")
    def SmartGetAttributes(self, options):
        return dbus.Array([dbus.Struct((dbus.Byte(i), name, dbus.UInt16(0), dbus.Int32(100), dbus.Int32(100),
                                        dbus.Int32(10), dbus.Int64(count), dbus.Int32(4),
                                        dbus.Dictionary({}, signature="sv")))
                           for i, name, count in ATTRIBUTES], signature="(ysqiiixia{sv})")


class Block(dbus.service.Object):
    @dbus.service.method(PROPERTIES, in_signature="ss", out_signature="v")
    def Get(self, interface, name):
        if interface == "org.freedesktop.UDisks2.Block" and name == "Drive":
            return dbus.ObjectPath(DRIVE)
        raise dbus.exceptions.DBusException("no such property", name="org.freedesktop.DBus.Error.InvalidArgs")

    @dbus.service.method("org.freedesktop.UDisks2.Block", in_signature="sa{sv}", out_signature="h",
                         async_callbacks=("reply", "error"))
    def OpenDevice(self, mode, options, reply, error):
        if answer == "wait":
            return  # a password dialog nobody answers
        try:
            reply(self.Open(mode, options))
        except dbus.exceptions.DBusException as e:
            error(e)

    def Open(self, mode, options):
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
Drive(bus, DRIVE)
print("ready", flush=True)
GLib.MainLoop().run()
