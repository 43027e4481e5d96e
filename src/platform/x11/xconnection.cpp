#include "platform/x11/xconnection.h"

#include <cstdlib>
#include <cstring>

#include <X11/Xatom.h>
#include <X11/extensions/Xext.h>

namespace brindlecast::platform::x11 {

namespace {

// What the error handler saw: the serial number of the latest failed request.
bool errorSeen = false;
unsigned long lastErrorSerial = 0;
// Set when the server closed the connection; the next `get` opens a new one.
bool connectionLost = false;

int recordError(::Display*, XErrorEvent* event) {
    errorSeen = true;
    lastErrorSerial = event->serial;
    return 0;
}

int ignoreIOError(::Display*) {
    return 0;
}

// A missing extension is found out by the caller; Xlib would otherwise print it.
int ignoreMissingExtension(::Display*, _Xconst char*, _Xconst char*) {
    return 0;
}

// Instead of ending the process: the display stays unusable until it is replaced.
void markLost(::Display*, void*) {
    connectionLost = true;
}

}  // namespace

XConnection::~XConnection() {
    if (display_ != nullptr) XCloseDisplay(display_);
}

::Display* XConnection::get() {
    if (display_ != nullptr && connectionLost) {
        XCloseDisplay(display_);
        display_ = nullptr;
        ++generation_;
    }
    if (display_ == nullptr) {
        const char* name = std::getenv("DISPLAY");
        if (name == nullptr || *name == '\0') return nullptr;
        XSetErrorHandler(recordError);
        XSetIOErrorHandler(ignoreIOError);
        XSetExtensionErrorHandler(ignoreMissingExtension);
        display_ = XOpenDisplay(name);
        if (display_ == nullptr) return nullptr;
        connectionLost = false;
        XSetIOErrorExitHandler(display_, markLost, nullptr);
    }
    return display_;
}

bool XConnection::alive() {
    ::Display* display = get();
    if (display == nullptr) return false;
    XSync(display, False);
    return connectionLost ? get() != nullptr : true;
}

::Window XConnection::root() {
    ::Display* display = get();
    return display != nullptr ? DefaultRootWindow(display) : 0;
}

Atom XConnection::atom(const char* name) {
    ::Display* display = get();
    return display != nullptr ? XInternAtom(display, name, False) : 0;
}

ErrorTrap::ErrorTrap(::Display* display) : display_(display), before_(NextRequest(display)) {}

ErrorTrap::~ErrorTrap() = default;

bool ErrorTrap::failed() {
    XSync(display_, False);
    return connectionLost || (errorSeen && lastErrorSerial >= before_);
}

std::optional<std::vector<unsigned long>> cardinals(::Display* display, ::Window window, Atom property, Atom type) {
    Atom actualType = 0;
    int format = 0;
    unsigned long count = 0;
    unsigned long remaining = 0;
    XFreeing<unsigned char> data;
    ErrorTrap trap(display);
    const int status = XGetWindowProperty(display, window, property, 0, 4096, False, type, &actualType, &format,
                                          &count, &remaining, data.out());
    if (trap.failed() || status != Success || actualType != type || format != 32 || data.get() == nullptr) {
        return std::nullopt;
    }
    // Format 32 items come as longs, whatever the size of a long.
    const auto* items = reinterpret_cast<const unsigned long*>(data.get());
    return std::vector<unsigned long>(items, items + count);
}

std::optional<std::string> textProperty(::Display* display, ::Window window, Atom property) {
    Atom actualType = 0;
    int format = 0;
    unsigned long count = 0;
    unsigned long remaining = 0;
    XFreeing<unsigned char> data;
    ErrorTrap trap(display);
    const int status = XGetWindowProperty(display, window, property, 0, 4096, False, AnyPropertyType, &actualType,
                                          &format, &count, &remaining, data.out());
    if (trap.failed() || status != Success || format != 8 || data.get() == nullptr) return std::nullopt;
    if (actualType != XA_STRING && actualType != XInternAtom(display, "UTF8_STRING", False)) return std::nullopt;
    return std::string(reinterpret_cast<const char*>(data.get()), count);
}

::Window activeWindow(XConnection& x) {
    ::Display* display = x.get();
    if (display == nullptr) return 0;
    const auto active = cardinals(display, x.root(), x.atom("_NET_ACTIVE_WINDOW"), XA_WINDOW);
    if (!active || active->empty()) return 0;
    return static_cast<::Window>(active->front());
}

bool waylandSession() {
    const char* display = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    return display == nullptr || *display == '\0' || (wayland != nullptr && *wayland != '\0');
}

}  // namespace brindlecast::platform::x11
