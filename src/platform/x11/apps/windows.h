// Running applications and their windows on an EWMH window manager: client
// windows, the processes that own them and the desktop entries they were
// started from; activating, closing and capturing those windows.
#pragma once

#include <cstddef>
#include <cstdint>

#include <X11/Xlib.h>

#include "platform/mac.h"

namespace brindlecast::platform::x11 {

// One application a process, for each process owning a client window
// (_NET_WM_PID), in client-list order, `self` left out. The bundle path is
// the desktop entry the process was launched from (GIO_LAUNCHED_DESKTOP_FILE
// in its environment), else the shown entry whose StartupWMClass names one of
// its windows' WM_CLASS, else the shown entry whose Exec program it runs;
// none when nothing matches.
std::vector<RunningApp> runningApplications(::Display* display, int32_t self);

// Asks the window manager to activate the process's windows, its top one
// last; false when it has none or the request could not be sent.
bool activateWindows(::Display* display, int32_t pid);
// Asks the window manager to close each window of the process; false when it
// has none or a request could not be sent.
bool closeWindows(::Display* display, int32_t pid);
// SIGKILL; false when the signal could not be sent.
bool killProcess(int32_t pid);

// The viewable client windows, top first, from _NET_CLIENT_LIST_STACKING:
// owner pid, layer (0 for normal windows and dialogs; docks, the desktop,
// menus and other panels elsewhere) and frame in screen coordinates. The
// windows themselves are kept in the content's `native`.
void addShareableWindows(::Display* display, ShareableContent& content);

// The window's own pixels scaled to the settings' size, as RGBX. Windows are
// kept off screen (Composite) from the first call on, so a covered window is
// captured whole; right after that the call waits, briefly, for the client's
// repaint. Throws PlatformError when the window cannot be read.
Picture captureShareableWindow(::Display* display, const ShareableContent& content, std::size_t index,
                               const CaptureSettings& settings);

}  // namespace brindlecast::platform::x11
