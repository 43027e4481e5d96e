// The connection to the X server, and small owners of what Xlib hands out.
// Xlib headers stay inside the backend's .cpp files that include this.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <X11/Xlib.h>

namespace brindlecast::platform::x11 {

// The one connection of the process, opened on first use. A connection that
// the server closed is dropped and opened again by the next `get`. Errors
// never reach standard error: they are counted here instead.
class XConnection {
public:
    XConnection() = default;
    ~XConnection();
    XConnection(const XConnection&) = delete;
    XConnection& operator=(const XConnection&) = delete;

    // The open display, or null when no X server can be reached.
    ::Display* get();
    // Whether the server still answers, after one round trip (a connection
    // found lost is opened again).
    bool alive();
    ::Window root();
    Atom atom(const char* name);
    // Changes whenever the connection is dropped: what was made on one
    // connection is of no use, and must not be released, on the next.
    uint64_t generation() const { return generation_; }

private:
    ::Display* display_ = nullptr;
    uint64_t generation_ = 0;
};

// Collects the X errors of the requests made while it lives; `failed` syncs
// with the server first, so every error of those requests has arrived.
class ErrorTrap {
public:
    explicit ErrorTrap(::Display* display);
    ~ErrorTrap();
    ErrorTrap(const ErrorTrap&) = delete;
    ErrorTrap& operator=(const ErrorTrap&) = delete;
    bool failed();

private:
    ::Display* display_;
    unsigned long before_;
};

// Frees Xlib's memory when it goes.
template <typename T>
class XFreeing {
public:
    explicit XFreeing(T* data = nullptr) : data_(data) {}
    ~XFreeing() {
        if (data_ != nullptr) XFree(data_);
    }
    XFreeing(const XFreeing&) = delete;
    XFreeing& operator=(const XFreeing&) = delete;
    T* get() const { return data_; }
    T** out() { return &data_; }

private:
    T* data_;
};

// The 32-bit items (windows, cardinals, atoms) of a window property of the
// given type; none when the property is absent or of another type or format.
std::optional<std::vector<unsigned long>> cardinals(::Display* display, ::Window window, Atom property, Atom type);

// A string property (STRING or UTF8_STRING) as bytes; WM_CLASS keeps its NULs.
std::optional<std::string> textProperty(::Display* display, ::Window window, Atom property);

// The currently active window, or 0 (None) when there is none.
::Window activeWindow(XConnection& x);

// Whether this session is a Wayland one, where X11 reaches only XWayland.
bool waylandSession();

}  // namespace brindlecast::platform::x11
