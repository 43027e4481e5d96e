#!/usr/bin/python3
# The icon file GTK 3 picks at 96 pixels for each desktop entry named after
# argv[1]: one "entry<TAB>file" line each (file empty when GTK finds none),
# and a first line "theme<TAB>name" with the icon theme GTK uses, into argv[1].
import sys

import gi

gi.require_version("Gtk", "3.0")
from gi.repository import Gio, Gtk  # noqa: E402

with open(sys.argv[1], "w", encoding="utf-8") as out:
    out.write(f"theme\t{Gtk.Settings.get_default().props.gtk_icon_theme_name}\n")
    theme = Gtk.IconTheme.get_default()
    for path in sys.argv[2:]:
        info = Gio.DesktopAppInfo.new_from_filename(path)
        icon = info.get_icon() if info is not None else None
        found = theme.lookup_by_gicon(icon, 96, 0) if icon is not None else None
        out.write(f"{path}\t{found.get_filename() if found is not None else ''}\n")
