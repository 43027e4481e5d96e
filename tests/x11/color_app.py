#!/usr/bin/python3
"""A GTK 3 window of one colour, for the application tests.

Arguments: the window title and the colour as RRGGBB. The program ends when
its window is closed.
"""
import sys

import gi

gi.require_version("Gtk", "3.0")
gi.require_version("Gdk", "3.0")
from gi.repository import Gdk, Gtk  # noqa: E402

title, colour = sys.argv[1], sys.argv[2]
# The colour comes from the theme: no drawing code, so no cairo bindings needed.
style = Gtk.CssProvider()
style.load_from_data(("window { background: #%s; }" % colour).encode())
Gtk.StyleContext.add_provider_for_screen(Gdk.Screen.get_default(), style,
                                         Gtk.STYLE_PROVIDER_PRIORITY_APPLICATION)
window = Gtk.Window(title=title)
window.set_default_size(320, 240)
window.connect("destroy", Gtk.main_quit)
window.show_all()
Gtk.main()
