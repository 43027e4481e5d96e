#!/usr/bin/python3
"""A GTK 4 window whose entry sits in panels as an editor's does: a stack page
inside a paned inside a box.

Commands on standard input, one a line: "focus" (present the window and focus
the entry). Every change is written to standard output as one JSON line:
  {"ready": true}  once the window is shown
  {"focus": "entry"}  when the entry holds the keyboard focus of the active window
  {"widget": "entry", "text": TEXT}  when the entry's whole text changes
"""
import json
import sys

import gi

gi.require_version("Gtk", "4.0")
from gi.repository import GLib, Gtk  # noqa: E402


def say(**fields):
    sys.stdout.write(json.dumps(fields) + "\n")
    sys.stdout.flush()


loop = GLib.MainLoop()


def entry_focused(window, entry):
    widget = window.get_focus()
    while widget is not None:
        if widget is entry:
            return window.is_active()
        widget = widget.get_parent()
    return False


def start():
    window = Gtk.Window(title="Brindlecast GTK 4 text test")
    window.set_default_size(400, 300)
    outer = Gtk.Box(orientation=Gtk.Orientation.VERTICAL)
    paned = Gtk.Paned(orientation=Gtk.Orientation.HORIZONTAL)
    paned.set_start_child(Gtk.Label(label="side"))
    stack = Gtk.Stack()
    page = Gtk.Box(orientation=Gtk.Orientation.VERTICAL)
    entry = Gtk.Entry()
    page.append(entry)
    stack.add_named(Gtk.Label(label="hidden page"), "other")
    stack.add_named(page, "editor")
    stack.set_visible_child_name("editor")
    paned.set_end_child(stack)
    outer.append(paned)
    window.set_child(outer)

    entry.connect("changed", lambda e: say(widget="entry", text=e.get_text()))

    def report(*_):
        if entry_focused(window, entry):
            say(focus="entry")

    window.connect("notify::focus-widget", report)
    window.connect("notify::is-active", report)

    def on_command(source, _condition):
        line = source.readline()
        if not line:
            loop.quit()
            return False
        if line.split() == ["focus"]:
            window.present()
            entry.grab_focus()
            report()
        return True

    GLib.io_add_watch(sys.stdin, GLib.IO_IN | GLib.IO_HUP, on_command)
    window.present()
    say(ready=True)


start()
loop.run()
