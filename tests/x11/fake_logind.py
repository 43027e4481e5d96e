#!/usr/bin/python3
"""Stand-ins for the login manager on a private system bus and for a screen
saver on the session bus, for the X11 tests.

Usage: fake_logind.py CONTROL_FILE LOG_FILE (the buses come from
DBUS_SYSTEM_BUS_ADDRESS and DBUS_SESSION_BUS_ADDRESS). The control file is
JSON, read afresh on every call:
  locked (bool), active (bool), remote (bool), state (str),
  canPowerOff (str), power ("ok" | "error" | "noreply"), byPid (bool),
  screenSaver (null: none on the bus | bool: one there, active or not).
test.Control.Reload on /test, called once the file changed, signals what
changed as the real services do: PropertiesChanged for the session's Active
and LockedHint (logind signals neither State nor Remote), ActiveChanged, and
the screen saver's name coming or going. It answers once every signal has
reached the buses.
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
            "canPowerOff": "yes", "power": "ok", "byPid": True, "screenSaver": None}

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

CONTROL_XML = """
<node>
  <interface name="test.Control"><method name="Reload"/></interface>
</node>"""

SAVER_XML = """
<node>
  <interface name="org.freedesktop.ScreenSaver">
    <method name="GetActive"><arg type="b" direction="out"/></method>
    <method name="Lock"/>
    <signal name="ActiveChanged"><arg type="b"/></signal>
  </interface>
</node>"""

pending = []  # calls left without a reply, kept alive
buses = {}
told = {}  # the facts as last signalled


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


def on_saver_call(conn, sender, path, iface, method, params, invocation):
    record("ScreenSaver." + method, [])
    if method == "GetActive":
        invocation.return_value(GLib.Variant("(b)", (bool(control()["screenSaver"]),)))
    else:
        invocation.return_value(None)


def bus_call(conn, method, args):
    return conn.call_sync("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", method,
                          args, None, Gio.DBusCallFlags.NONE, 5000, None)


def reload():
    facts = control()
    system, session = buses["system"], buses["session"]
    changed = {}
    for key, name in (("active", "Active"), ("locked", "LockedHint")):
        if facts[key] != told.get(key):
            changed[name] = GLib.Variant("b", facts[key])
    if changed:
        system.emit_signal(None, SESSION_PATH, "org.freedesktop.DBus.Properties", "PropertiesChanged",
                           GLib.Variant("(sa{sv}as)", ("org.freedesktop.login1.Session", changed, [])))
    saver, before = facts["screenSaver"], told.get("screenSaver")
    if (saver is None) != (before is None):
        if saver is None:
            bus_call(session, "ReleaseName", GLib.Variant("(s)", ("org.freedesktop.ScreenSaver",)))
        else:
            bus_call(session, "RequestName", GLib.Variant("(su)", ("org.freedesktop.ScreenSaver", 4)))
    elif saver is not None and saver != before:
        session.emit_signal(None, "/org/freedesktop/ScreenSaver", "org.freedesktop.ScreenSaver", "ActiveChanged",
                            GLib.Variant("(b)", (bool(saver),)))
    told.update(facts)
    # A round trip on each bus: the daemons have routed every signal before their answers.
    bus_call(system, "GetId", None)
    bus_call(session, "GetId", None)


def on_control_call(conn, sender, path, iface, method, params, invocation):
    reload()
    invocation.return_value(None)


def on_get(conn, sender, path, iface, name):
    record("Get", [iface, name])
    return session_property(name)


def on_acquired(conn, name):
    print("ready", flush=True)


def connect(variable):
    return Gio.DBusConnection.new_for_address_sync(
        os.environ[variable], Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT |
        Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION, None, None)


def main():
    node = Gio.DBusNodeInfo.new_for_xml(XML)
    conn = buses["system"] = connect("DBUS_SYSTEM_BUS_ADDRESS")
    session = buses["session"] = connect("DBUS_SESSION_BUS_ADDRESS")
    conn.register_object("/org/freedesktop/login1", node.interfaces[0], on_call, None, None)
    conn.register_object(SESSION_PATH, node.interfaces[1], on_call, on_get, None)
    conn.register_object("/test", Gio.DBusNodeInfo.new_for_xml(CONTROL_XML).interfaces[0], on_control_call,
                         None, None)
    session.register_object("/org/freedesktop/ScreenSaver", Gio.DBusNodeInfo.new_for_xml(SAVER_XML).interfaces[0],
                            on_saver_call, None, None)
    told.update(control())
    if told["screenSaver"] is not None:
        bus_call(session, "RequestName", GLib.Variant("(su)", ("org.freedesktop.ScreenSaver", 4)))
    Gio.bus_own_name_on_connection(conn, "org.freedesktop.login1", Gio.BusNameOwnerFlags.NONE,
                                   on_acquired, None)
    GLib.MainLoop().run()


main()
