// The connection to the X server, owners of what Xlib hands out, and the
// window queries both the backend and its applications make. Xlib headers
// stay inside the backend's .cpp files that include this.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <X11/Xlib.h>

#include "platform/x11/deadline.h"

namespace brindlecast::platform::x11 {

// The one connection of the process, opened on first use. A connection that
// the server closed is dropped and opened again by the next `get`. Errors
// never reach standard error: they are counted here instead.
//
// Opening waits for the server only within the request's deadline (see
// deadline.h); a request that runs past it while blocked in the server has
// the connection shut down. After either, `get` throws PlatformError for the
// rest of the request.
class XConnection {
public:
    explicit XConnection(RequestDeadline& deadline) : deadline_(deadline) {}
    ~XConnection();
    XConnection(const XConnection&) = delete;
    XConnection& operator=(const XConnection&) = delete;

    // The open display, or null when no X server can be reached.
    ::Display* get();
    // The display as it is, neither opened nor checked against the deadline
    // (it never throws): for releasing what was made on it; null when none
    // is open or it was lost.
    ::Display* opened() const;
    // Whether the server still answers: it has answered during this request,
    // or it does now, after one round trip (a connection found lost is
    // opened again).
    bool alive();
    ::Window root();
    // An input-only window of ours that is never mapped, made once per
    // connection; the root window when it could not be made.
    ::Window unmappedWindow();
    // The atom of a name, asked of the server once per connection.
    Atom atom(const char* name);
    // Counts the connections opened so far: what is remembered about one
    // connection (a redirection, a window) is kept against this number, as a
    // new connection may well get the old one's address. 0 before the first.
    uint64_t generation() const { return generation_; }

private:
    // A new connection, or null when the server cannot be reached or refuses.
    ::Display* open();

    ::Display* display_ = nullptr;
    uint64_t generation_ = 0;
    // The latest request the connection was used in, and the last of our
    // requests sent before that request first used it: an answer to a
    // later one came during the request.
    unsigned long usedIn_ = 0;
    unsigned long sentBefore_ = 0;
    std::map<std::string, Atom, std::less<>> atoms_;
    ::Window unmapped_ = 0;

    // Opening within the deadline: an attempt the server has not answered
    // yet is left to run and waited for again by the next request. A server
    // that refuses is asked at most once a request, and after a slow refusal
    // (a wrong authorisation cookie costs the server's delay) not again for a
    // while, doubling up to `slowRefusalPause`.
    static constexpr auto slowRefusal = std::chrono::milliseconds(100);
    static constexpr auto slowRefusalPause = std::chrono::seconds(8);
    RequestDeadline& deadline_;
    std::unique_ptr<Attempt<::Display*>> opening_;
    unsigned long refusedIn_ = 0;
    Clock::time_point openingSince_{};
    Clock::time_point nextTry_{};
    Clock::duration pause_{};
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
    // The same without the round trip, for requests that waited for their
    // reply: an error of theirs has arrived by the time they return.
    bool failedAfterReply() const;

private:
    ::Display* display_;
    unsigned long before_;
};

// What Xlib hands out, released by the function that belongs to it:
// Owned<char, XFree>, Owned<XRRMonitorInfo, XRRFreeMonitors>, Owned<XImage, destroyImage>.
template <auto release>
struct ReleaseWith {
    template <typename T>
    void operator()(T* data) const {
        if (data != nullptr) release(data);
    }
};
template <typename T, auto release>
using Owned = std::unique_ptr<T, ReleaseWith<release>>;
// Memory that XFree releases.
template <typename T>
using XFreeing = Owned<T, XFree>;
// XDestroyImage is a macro; this is its function.
void destroyImage(XImage* image);
using OwnedImage = Owned<XImage, destroyImage>;

// 4 bytes a pixel: blue, green, red, unused; rows without padding.
struct Pixels {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> bytes;
};
// The image's top-left out.width x out.height pixels into `out`, whatever the
// image's own layout.
void copyImage(XImage* image, Pixels& out);

// The 32-bit items (windows, cardinals, atoms) of a window property of the
// given type; none when the property is absent or of another type or format.
std::optional<std::vector<unsigned long>> cardinals(::Display* display, ::Window window, Atom property, Atom type);

// A string property (STRING or UTF8_STRING) as bytes; WM_CLASS keeps its NULs.
std::optional<std::string> textProperty(::Display* display, ::Window window, Atom property);

// The two names of WM_CLASS, instance then class; empty when the window has none.
std::vector<std::string> windowClass(::Display* display, ::Window window);

// A window's place in the server's tree: its root, its parent, its children bottom to top.
struct Tree {
    ::Window root = 0;
    ::Window parent = 0;
    std::vector<::Window> children;
};
std::optional<Tree> queryTree(::Display* display, ::Window window);

// The windows a property of the root window lists (_NET_CLIENT_LIST...); empty when it is absent.
std::vector<::Window> rootWindowList(XConnection& x, const char* property);

// Whether an EWMH window manager runs now: the window that root's
// _NET_SUPPORTING_WM_CHECK names exists and names itself. A window manager
// that is gone leaves its lists on the root window; they are not read then.
bool windowManagerRuns(XConnection& x);

// The client windows, bottom to top: the window manager's stacking list when
// one runs, else the server's own tree (the children of the root window, or
// the one inside each that carries WM_STATE when something framed them),
// mapped and not override-redirect.
std::vector<::Window> clientWindows(XConnection& x);

// The processes of the X clients, as the server knows them from their
// connections (X-Resource), never from what a window says of itself. Read
// once when made: the clients that connected later are not known.
class ClientProcesses {
public:
    explicit ClientProcesses(XConnection& x);
    // The pid of the client that made the window; none for a client the
    // server cannot tell (one connected over the network).
    std::optional<int32_t> of(::Window window) const;

private:
    unsigned long mask_ = 0;            // the bits of an id a client chooses
    std::map<unsigned long, int32_t> pids_;  // a client's first id, its pid
};

// The same for one window, in one round trip: the server is asked about the
// client that owns the window's id only.
std::optional<int32_t> clientProcess(XConnection& x, ::Window window);

// Sends a client message about `window` to the root window, as EWMH asks
// (the window manager acts on it); false when it could not be sent.
bool sendToRoot(XConnection& x, ::Window window, const char* message, long first, long second, long third = 0);

// Whether the window's WM_PROTOCOLS hold the protocol (WM_DELETE_WINDOW...).
bool takesProtocol(XConnection& x, ::Window window, const char* protocol);

// The currently active window, or 0 (None) when there is none.
::Window activeWindow(XConnection& x);

// Whether this session is a Wayland one, where X11 reaches only XWayland.
bool waylandSession();

}  // namespace brindlecast::platform::x11
