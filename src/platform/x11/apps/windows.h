// Running applications and their windows: client windows, the processes the
// X server says own them and the desktop entries they were started from;
// activating, closing, ending and capturing those windows, with an EWMH
// window manager or without one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/mac.h"
#include "platform/x11/xconnection.h"

namespace brindlecast::platform::x11 {

// One application a process, for each process owning a client window, in
// client-list order, `self` left out. The process is the X client's own, as
// the X server knows it (X-Resource), never the pid a window names itself
// (_NET_WM_PID), so a window without one counts too. The bundle path is the
// desktop entry the process was launched from (GIO_LAUNCHED_DESKTOP_FILE in
// its environment), else the shown entry whose StartupWMClass names one of
// its windows' WM_CLASS, else the shown entry whose Exec program it runs;
// none when nothing matches.
std::vector<RunningApp> runningApplications(XConnection& x, int32_t self);

// Brings the process's windows forward, its top one last: through the window
// manager, or raised and focused directly when none runs. False when it has
// no window or a request failed.
bool activateWindows(XConnection& x, int32_t pid);
// Asks each window of the process to close: through the window manager, else
// with WM_DELETE_WINDOW to the window itself. False when it has no window,
// or one takes no WM_DELETE_WINDOW while no window manager runs.
bool closeWindows(XConnection& x, int32_t pid);
// Ends a process that owns client windows now: SIGKILL, and its connections
// closed by the server (XKillClient), so even a client whose process cannot
// die goes. False when the process owns no window; a client that is gone
// meanwhile is no failure.
bool endProcess(XConnection& x, int32_t pid);

// The viewable client windows, top first: owner pid (the server's), layer (0
// for normal windows and dialogs; docks, the desktop, menus and other panels
// elsewhere) and frame in screen coordinates. The windows themselves are kept
// in the content's `native`.
void addShareableWindows(XConnection& x, ShareableContent& content);

// The window's own pixels at its size. Windows are kept off screen
// (Composite) from the first call on each connection, so a covered window is
// captured whole; right after that the call waits, briefly, for the client's
// repaint. Throws PlatformError when the window cannot be read.
Pixels captureShareableWindow(XConnection& x, const ShareableContent& content, std::size_t index);

}  // namespace brindlecast::platform::x11
