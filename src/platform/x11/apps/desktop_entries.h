// The installed applications of a freedesktop desktop: desktop entries in the
// "applications" folders of the XDG data directories, read afresh each time
// (no cache that only a GLib main loop would keep current), and their icons.
// The X11 backend maps them onto the interface: the "bundle" of an
// application is its desktop entry file, its identifier the desktop id.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include <X11/Xlib.h>

#include "platform/mac.h"

namespace brindlecast::platform::x11 {

// The user's data folder: $XDG_DATA_HOME when it is absolute, else
// ~/.local/share; empty when neither is known.
std::string userDataFolder();
// The system's data folders in order: each absolute folder of $XDG_DATA_DIRS
// (or /usr/local/share and /usr/share).
std::vector<std::string> systemDataFolders();

// The "applications" folders, most important first: the user's data folder,
// then the system's; repeats dropped.
ScanRoots applicationFolders();

// A desktop entry candidate: a file named *.desktop that is, or links to, a
// regular file.
bool isDesktopEntryCandidate(const FolderEntry& entry);

// The desktop entry candidates of an applications folder and of every folder
// below it, at any depth, folder links followed (each folder once), in name
// order within each folder. Bounded: at most 32 folders deep, 1,024
// candidates and 16,384 names read. None when the folder cannot be read.
std::optional<std::vector<FolderEntry>> listEntryFolder(const std::string& path);

// The desktop id of an entry file: its path below the first applications
// folder that holds it, with "/" turned into "-" ("kde/foo.desktop" gives
// "kde-foo.desktop"); the file name when no folder holds it.
std::string desktopId(const std::string& path);

// Programs named by the file name of their executable.
using ProgramNames = std::set<std::string, std::less<>>;

// The entry as an application: none when it is not a shown application of
// this desktop (unreadable or over 128 KiB, Type other than Application,
// Hidden, not shown here by NoDisplay, OnlyShowIn or NotShowIn against
// XDG_CURRENT_DESKTOP, a TryExec or Exec program that is not installed), or
// an entry of the same desktop id in a more important folder shadows it, or
// it is never offered: it runs in a terminal (Terminal=true), is a terminal
// emulator (category TerminalEmulator) or its Exec program is one of
// `refused`. The bundle identifier is the desktop id without ".desktop"; the
// name the localised Name; the executable is the Exec program, found on PATH.
std::optional<Bundle> openEntry(const std::string& path, const ProgramNames& refused = {});

// Links resolved, then "." and ".." and repeated slashes removed; a path that
// does not exist is only tidied.
std::string standardPath(const std::string& path);

// Where an entry is kept: below its applications folder (itself resolved),
// the path as found, links and all, so that a linked entry keeps its own
// desktop id; any other path resolved up to its file name.
std::string entryLocation(const std::string& path);

// The program and arguments of an Exec line, quoting undone ("/opt/My App/x"
// %U gives /opt/My App/x and %U); none when the line cannot be split.
std::optional<std::vector<std::string>> execArguments(std::string_view line);

// What running windows are matched against, for every shown entry.
struct EntrySummary {
    std::string path;            // the entry file, as found in its folder
    std::string startupWmClass;  // empty when the entry names none
    std::string executable;      // the Exec program's resolved path, empty when not found
    std::vector<std::string> arguments;  // the Exec line's arguments after the program, field codes left out
};
// At most 1,024, in folder order.
std::vector<EntrySummary> shownEntries();

// Launches the entry through GIO, detached from the agent (its own session,
// /dev/null for its streams, no descriptor of the agent); throws
// PlatformError when the launch fails.
void launchEntry(const std::string& path);

// The user's icon theme: XSETTINGS "Net/IconThemeName" on `display` (may be
// null), else the GNOME interface setting "icon-theme" when that schema is
// installed, else "hicolor".
std::string chosenIconTheme(::Display* display);

// The string setting `name` of an XSETTINGS property's bytes; none when the
// bytes hold no such string or are malformed.
std::optional<std::string> xsettingsString(std::string_view property, std::string_view name);

// The entry's icon drawn centred and scaled to fit on a transparent
// size x size RGBA canvas, looked up in `theme`; the generic application icon
// when the entry has none, or it cannot be found, or it is too large or takes
// too long to read.
std::optional<Picture> drawEntryIcon(const std::string& path, int size, const std::string& theme = "hicolor");

// The file of a themed icon for a square of `size` pixels, as the icon theme
// standard (freedesktop) looks it up: `theme` and the themes it inherits, then
// hicolor, then the icon folders' own files ($XDG_DATA_HOME/icons, ~/.icons,
// each $XDG_DATA_DIRS/icons, then each $XDG_DATA_DIRS/pixmaps); none when
// nothing has it.
std::optional<std::string> findThemedIcon(const std::string& name, int size, const std::string& theme = "hicolor");

// An icon file's image scaled to fit a size x size square, proportions kept,
// as RGBA; none when it is not a PNG, SVG or XPM that can be read, is larger
// than 4 MiB or 4 Mi pixels (read from its header before anything is
// decoded), or an SVG that takes longer than `svgSeconds` to draw (drawn in a
// child process that is ended then).
std::optional<Picture> readIconFile(const std::string& file, int size, double svgSeconds = 2.0);
// The same, from bytes in memory, in this process, with no time limit: what
// the child process runs. `format` is "png", "svg" or "xpm".
std::optional<Picture> decodeIcon(std::string_view bytes, std::string_view format, int size);

// When the arguments name the icon drawer (the child process above), draws
// the icon they name to standard output and ends the process; otherwise
// does nothing.
void runIconDrawerIfAsked(int argc, char** argv);

}  // namespace brindlecast::platform::x11
