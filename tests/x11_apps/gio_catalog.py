#!/usr/bin/python3
# What GIO shows of the desktop's applications: one "desktop-id<TAB>file"
# line for each Gio.AppInfo.get_all() entry that should_show(), into argv[1].
import sys

import gi

gi.require_version("Gio", "2.0")
from gi.repository import Gio  # noqa: E402

with open(sys.argv[1], "w", encoding="utf-8") as out:
    for info in Gio.AppInfo.get_all():
        if info.should_show():
            out.write(f"{info.get_id()}\t{info.get_filename()}\n")
