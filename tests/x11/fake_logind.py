#!/usr/bin/python3
"""A stand-in for the login manager on a private system bus, for the X11 tests.

Usage: fake_logind.py CONTROL_FILE LOG_FILE (the bus comes from
DBUS_SYSTEM_BUS_ADDRESS). The control file is JSON, read afresh on every call:
  locked (bool), active (bool), remote (bool), state (str),
  canPowerOff (str), power ("ok" | "error" | "noreply"), byPid (bool).
Every method call is appended to the log file as one JSON line
{"method": ..., "args": [...]}. "ready" is printed once the name is owned.
"""
import json
import os
import sys

from gi.repository import Gio, GLib

CONTROL, LOG = sys.argv[1], sys.argv[2]
SESSION_ID = "c1"
SESSION_PATH = "/org/freedesktop/login1/session/c1"
DEFAULTS = {"locked": False, "active": True, "remote": False, "state": "active",
            "canPowerOff": "yes", "power": "ok", "byPid": True}

XML = """
<node>
  <interface name="org.freedesktop.login1.Manager">
    <method name="GetSessionByPID"><arg type="u" direction="in"/><arg type="o" direction="out"/></method>
    <method name="GetSession"><arg type="s" direction="in"/><arg type="o" direction="out"/></method>
    <method name="PowerOff"><arg type="b" direction="in"/></method>
    <method name="Reboot"><arg type="b" direction="in"/></method>
    <method name="Suspend"><arg type="b" direction="in"/></method>
    <method name="CanPowerOff"><arg type="s" direction="out"/></method>
  </interface>
  <interface name="org.freedesktop.login1.Session">
    <method name="Lock"/>
    <property name="Id" type="s" access="read"/>
    <property name="Active" type="b" access="read"/>
    <property name="Remote" type="b" access="read"/>
    <property name="State" type="s" access="read"/>
    <property name="LockedHint" type="b" access="read"/>
  </interface>
</node>"""

pending = []  # calls left without a reply, kept alive


def control():
    facts = dict(DEFAULTS)
    try:
        with open(CONTROL, encoding="utf-8") as f:
            facts.update(json.load(f))
    except (OSError, ValueError):
        pass
    return facts


def record(method, args):
    with open(LOG, "a", encoding="utf-8") as f:
        f.write(json.dumps({"method": method, "args": args}) + "\n")


def session_property(name):
    facts = control()
    return {"Id": GLib.Variant("s", SESSION_ID),
            "Active": GLib.Variant("b", facts["active"]),
            "Remote": GLib.Variant("b", facts["remote"]),
            "State": GLib.Variant("s", facts["state"]),
            "LockedHint": GLib.Variant("b", facts["locked"])}.get(name)


def on_call(conn, sender, path, iface, method, params, invocation):
    args = list(params.unpack())
    record(method, args)
    facts = control()
    if method == "GetSessionByPID":
        if facts["byPid"]:
            invocation.return_value(GLib.Variant("(o)", (SESSION_PATH,)))
        else:
            invocation.return_dbus_error("org.freedesktop.login1.NoSessionForPID",
                                         "PID does not belong to any known session")
    elif method == "GetSession":
        if args[0] in (SESSION_ID, "auto"):
            invocation.return_value(GLib.Variant("(o)", (SESSION_PATH,)))
        else:
            invocation.return_dbus_error("org.freedesktop.login1.NoSuchSession", "No such session")
    elif method == "CanPowerOff":
        invocation.return_value(GLib.Variant("(s)", (facts["canPowerOff"],)))
    elif method in ("PowerOff", "Reboot", "Suspend"):
        if facts["power"] == "error":
            invocation.return_dbus_error("org.freedesktop.DBus.Error.AccessDenied",
                                         "Interactive authentication required.")
        elif facts["power"] == "noreply":
            pending.append(invocation)
        else:
            invocation.return_value(None)
    else:  # Lock
        invocation.return_value(None)


def on_get(conn, sender, path, iface, name):
    record("Get", [iface, name])
    return session_property(name)


def on_acquired(conn, name):
    print("ready", flush=True)


def main():
    node = Gio.DBusNodeInfo.new_for_xml(XML)
    address = os.environ["DBUS_SYSTEM_BUS_ADDRESS"]
    conn = Gio.DBusConnection.new_for_address_sync(
        address, Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT |
        Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION, None, None)
    conn.register_object("/org/freedesktop/login1", node.interfaces[0], on_call, None, None)
    conn.register_object(SESSION_PATH, node.interfaces[1], on_call, on_get, None)
    Gio.bus_own_name_on_connection(conn, "org.freedesktop.login1", Gio.BusNameOwnerFlags.NONE,
                                   on_acquired, None)
    GLib.MainLoop().run()


main()
