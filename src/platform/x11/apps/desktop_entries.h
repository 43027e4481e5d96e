// The installed applications of a freedesktop desktop: desktop entries in the
// "applications" folders of the XDG data directories, read afresh each time
// (no cache that only a GLib main loop would keep current), and their icons.
// The X11 backend maps them onto the interface: the "bundle" of an
// application is its desktop entry file, its identifier the desktop id.
#pragma once

#include <optional>
#include <string>
#include <vector>

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

// A desktop entry candidate: a file named *.desktop, read as itself and no link.
bool isDesktopEntryCandidate(const FolderEntry& entry);

// The desktop id of an entry file: its path below the first applications
// folder that holds it, with "/" turned into "-" ("kde/foo.desktop" gives
// "kde-foo.desktop"); the file name when no folder holds it.
std::string desktopId(const std::string& path);

// The entry as an application: none when it is not a shown application of
// this desktop (unreadable, Type other than Application, Hidden, NoDisplay,
// a TryExec program that is not installed) or an entry of the same desktop id
// in a more important folder shadows it. The bundle identifier is the desktop
// id without ".desktop"; the name the localised Name; the executable is the
// Exec program, found on PATH.
std::optional<Bundle> openEntry(const std::string& path);

// Links resolved, then "." and ".." and repeated slashes removed; a path that
// does not exist is only tidied.
std::string standardPath(const std::string& path);

// What running windows are matched against, for every shown entry.
struct EntrySummary {
    std::string path;            // the entry file, as found in its folder
    std::string startupWmClass;  // empty when the entry names none
    std::string executable;      // the Exec program's resolved path, empty when not found
    std::vector<std::string> arguments;  // the Exec line's arguments after the program, field codes left out
};
std::vector<EntrySummary> shownEntries();

// Launches the entry through GIO, detached from the agent (its own session,
// /dev/null for its streams, no descriptor of the agent); throws
// PlatformError when the launch fails.
void launchEntry(const std::string& path);

// The entry's icon drawn centred and scaled to fit on a transparent
// size x size RGBA canvas; the generic application icon when the entry has
// none or it cannot be found or read.
std::optional<Picture> drawEntryIcon(const std::string& path, int size);

// The file of a themed icon for a square of `size` pixels: the hicolor theme,
// then the other installed themes, then /usr/share/pixmaps; none when no
// theme has it.
std::optional<std::string> findThemedIcon(const std::string& name, int size);

}  // namespace brindlecast::platform::x11
