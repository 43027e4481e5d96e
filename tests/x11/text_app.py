#!/usr/bin/python3
"""A GTK 3 window with a single-line entry, a password entry and a multi-line view.

Commands on standard input, one a line: "focus entry|password|view", "clear", and "menu"
and "unmenu" (a popup menu of "One" and "Two" opens, and closes).
Every change is written to standard output as one JSON line:
  {"focus": NAME}  when a widget gains the keyboard focus (and its window is active)
  {"widget": NAME, "text": TEXT}  when a widget's whole text changes
  {"menu": "open", "x": X, "y": Y}  once the menu is shown, X and Y the root position of the middle of "Two"
  {"activated": LABEL}  when a menu item is chosen
"""
import json
import sys

import gi

gi.require_version("Gdk", "3.0")
gi.require_version("Gtk", "3.0")
from gi.repository import Gdk, GLib, Gtk  # noqa: E402


def say(**fields):
    sys.stdout.write(json.dumps(fields) + "\n")
    sys.stdout.flush()


window = Gtk.Window(title="Brindlecast text test")
window.set_default_size(400, 300)
window.move(40, 40)
box = Gtk.Box(orientation=Gtk.Orientation.VERTICAL, spacing=6)
entry = Gtk.Entry()
password = Gtk.Entry(visibility=False)
view = Gtk.TextView()
view.set_size_request(-1, 150)
for widget in (entry, password, view):
    box.pack_start(widget, False, False, 0)
window.add(box)
widgets = {"entry": entry, "password": password, "view": view}


def text_of(name):
    if name == "view":
        buf = view.get_buffer()
        return buf.get_text(buf.get_start_iter(), buf.get_end_iter(), True)
    return widgets[name].get_text()


def report_focus(*_):
    focused = window.get_focus()
    for name, widget in widgets.items():
        if widget is focused and window.is_active():
            say(focus=name)


for name in ("entry", "password"):
    widgets[name].connect("changed", lambda _w, n=name: say(widget=n, text=text_of(n)))
view.get_buffer().connect("changed", lambda _b: say(widget="view", text=text_of("view")))
for widget in widgets.values():
    widget.connect("focus-in-event", report_focus)
window.connect("notify::is-active", report_focus)
window.connect("destroy", Gtk.main_quit)

menu = Gtk.Menu()
items = {}
for label in ("One", "Two"):
    items[label] = Gtk.MenuItem(label=label)
    items[label].connect("activate", lambda _i, l=label: say(activated=l))
    menu.append(items[label])
menu.show_all()
menu.attach_to_widget(window, None)


def report_menu():
    toplevel = menu.get_toplevel()
    _, left, top = toplevel.get_window().get_origin()
    x, y = items["Two"].translate_coordinates(toplevel, 0, 0)
    size = items["Two"].get_allocation()
    say(menu="open", x=left + x + size.width // 2, y=top + y + size.height // 2)
    return False


menu.get_toplevel().connect("map-event", lambda *_: GLib.timeout_add(100, report_menu) and False)


def on_command(source, _condition):
    line = source.readline()
    if not line:
        Gtk.main_quit()
        return False
    words = line.split()
    if words[:1] == ["focus"] and words[1] in widgets:
        window.present()
        widgets[words[1]].grab_focus()
        report_focus()
    elif words == ["menu"]:
        menu.popup_at_widget(window, Gdk.Gravity.CENTER, Gdk.Gravity.NORTH_WEST, None)
    elif words == ["unmenu"]:
        menu.popdown()
    elif words == ["clear"]:
        entry.set_text("")
        password.set_text("")
        view.get_buffer().set_text("")
    return True


GLib.io_add_watch(sys.stdin, GLib.IO_IN | GLib.IO_HUP, on_command)
window.show_all()
say(ready=True)
Gtk.main()
