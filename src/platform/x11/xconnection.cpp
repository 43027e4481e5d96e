#include "platform/x11/xconnection.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string_view>

#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <X11/extensions/XRes.h>
#include <X11/extensions/Xext.h>

#include "platform/mac.h"

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
    // Closing waits for the server, still watched by the deadline.
    if (display_ != nullptr) XCloseDisplay(display_);
    deadline_.watch(-1);
}

::Display* XConnection::get() {
    deadline_.check();
    if (display_ != nullptr && connectionLost) {
        deadline_.watch(-1);
        XCloseDisplay(display_);
        display_ = nullptr;
        ++generation_;
    }
    if (display_ == nullptr) display_ = open();
    if (display_ != nullptr && usedIn_ != deadline_.serial()) {
        usedIn_ = deadline_.serial();
        sentBefore_ = NextRequest(display_) - 1;
    }
    return display_;
}

::Display* XConnection::open() {
    const char* name = std::getenv("DISPLAY");
    if (name == nullptr || *name == '\0') return nullptr;
    if (!opening_) {
        if (refusedIn_ == deadline_.serial() || Clock::now() < nextTry_) return nullptr;
        XSetErrorHandler(recordError);
        XSetIOErrorHandler(ignoreIOError);
        XSetExtensionErrorHandler(ignoreMissingExtension);
        opening_ = std::make_unique<Attempt<::Display*>>(
            [name = std::string(name)] {
                ::Display* display = XOpenDisplay(name.c_str());
                if (display != nullptr) XSetIOErrorExitHandler(display, markLost, nullptr);
                return display;
            },
            [](::Display* display) {
                if (display != nullptr) XCloseDisplay(display);
            });
        openingSince_ = Clock::now();
    }
    const auto made = opening_->wait(deadline_.when());
    if (!made) {
        // A stopped or grabbed server: the attempt goes on for the next request.
        deadline_.cutShort();
        throw PlatformError{};  // the X server did not answer in time
    }
    opening_.reset();
    if (*made == nullptr) {
        refusedIn_ = deadline_.serial();
        if (Clock::now() - openingSince_ >= slowRefusal) {
            pause_ = std::clamp<Clock::duration>(2 * pause_, std::chrono::seconds(1), slowRefusalPause);
            nextTry_ = Clock::now() + pause_;
        }
        return nullptr;
    }
    pause_ = {};
    connectionLost = false;
    ++generation_;
    usedIn_ = 0;
    atoms_.clear();
    unmapped_ = 0;
    deadline_.watch(ConnectionNumber(*made));
    return *made;
}

::Display* XConnection::opened() const {
    return connectionLost ? nullptr : display_;
}

bool XConnection::alive() {
    ::Display* display = get();
    if (display == nullptr) return false;
    // Any reply, event or error bears the number of our latest request the
    // server had handled by then.
    if (LastKnownRequestProcessed(display) > sentBefore_) return true;
    XSync(display, False);
    return connectionLost ? get() != nullptr : true;
}

::Window XConnection::root() {
    ::Display* display = get();
    return display != nullptr ? DefaultRootWindow(display) : 0;
}

::Window XConnection::unmappedWindow() {
    ::Display* display = get();
    if (display == nullptr) return 0;
    if (unmapped_ == 0) {
        XSetWindowAttributes attributes{};
        attributes.override_redirect = True;
        ErrorTrap trap(display);
        const ::Window window = XCreateWindow(display, DefaultRootWindow(display), -1, -1, 1, 1, 0, CopyFromParent,
                                              InputOnly, CopyFromParent, CWOverrideRedirect, &attributes);
        unmapped_ = trap.failed() ? DefaultRootWindow(display) : window;
    }
    return unmapped_;
}

Atom XConnection::atom(const char* name) {
    ::Display* display = get();
    if (display == nullptr) return 0;
    if (const auto known = atoms_.find(std::string_view(name)); known != atoms_.end()) return known->second;
    const Atom atom = XInternAtom(display, name, False);
    if (atom != 0) atoms_.emplace(name, atom);
    return atom;
}

ErrorTrap::ErrorTrap(::Display* display) : display_(display), before_(NextRequest(display)) {}

ErrorTrap::~ErrorTrap() = default;

bool ErrorTrap::failed() {
    XSync(display_, False);
    return failedAfterReply();
}

bool ErrorTrap::failedAfterReply() const { return connectionLost || (errorSeen && lastErrorSerial >= before_); }

void destroyImage(XImage* image) { XDestroyImage(image); }

namespace {

struct Property {
    Atom type = 0;
    int format = 0;
    unsigned long count = 0;
    XFreeing<unsigned char> data;
};

// A property's value as the server has it (its first 256 KiB); none when the
// window or the property is gone.
std::optional<Property> readProperty(::Display* display, ::Window window, Atom property, Atom type) {
    if (display == nullptr || window == 0) return std::nullopt;
    Property out;
    unsigned long remaining = 0;
    unsigned char* data = nullptr;
    ErrorTrap trap(display);
    const int status = XGetWindowProperty(display, window, property, 0, 1 << 16, False, type, &out.type,
                                          &out.format, &out.count, &remaining, &data);
    out.data.reset(data);
    if (trap.failedAfterReply() || status != Success || out.data == nullptr) return std::nullopt;
    return out;
}

}  // namespace

std::optional<std::vector<unsigned long>> cardinals(::Display* display, ::Window window, Atom property, Atom type) {
    const auto value = readProperty(display, window, property, type);
    if (!value || value->type != type || value->format != 32) return std::nullopt;
    // Format 32 items come as longs, whatever the size of a long.
    const auto* items = reinterpret_cast<const unsigned long*>(value->data.get());
    return std::vector<unsigned long>(items, items + value->count);
}

std::optional<std::string> textProperty(::Display* display, ::Window window, Atom property) {
    const auto value = readProperty(display, window, property, AnyPropertyType);
    if (!value || value->format != 8) return std::nullopt;
    if (value->type != XA_STRING && value->type != XInternAtom(display, "UTF8_STRING", False)) return std::nullopt;
    return std::string(reinterpret_cast<const char*>(value->data.get()), value->count);
}

std::vector<std::string> windowClass(::Display* display, ::Window window) {
    XClassHint hint{};
    ErrorTrap trap(display);
    const Status status = XGetClassHint(display, window, &hint);
    const XFreeing<char> instance(hint.res_name);
    const XFreeing<char> name(hint.res_class);
    std::vector<std::string> names;
    if (status == 0 || trap.failedAfterReply()) return names;
    if (instance) names.emplace_back(instance.get());
    if (name) names.emplace_back(name.get());
    return names;
}

std::vector<::Window> rootWindowList(XConnection& x, const char* property) {
    const auto items = cardinals(x.get(), x.root(), x.atom(property), XA_WINDOW);
    if (!items) return {};
    return {items->begin(), items->end()};
}

bool windowManagerRuns(XConnection& x) {
    ::Display* display = x.get();
    if (display == nullptr) return false;
    const Atom check = x.atom("_NET_SUPPORTING_WM_CHECK");
    const auto named = cardinals(display, x.root(), check, XA_WINDOW);
    if (!named || named->empty()) return false;
    const auto self = cardinals(display, static_cast<::Window>(named->front()), check, XA_WINDOW);
    return self && !self->empty() && self->front() == named->front();
}

std::optional<Tree> queryTree(::Display* display, ::Window window) {
    Tree tree;
    ::Window* list = nullptr;
    unsigned int count = 0;
    ErrorTrap trap(display);
    const Status status = XQueryTree(display, window, &tree.root, &tree.parent, &list, &count);
    const XFreeing<::Window> owned(list);
    if (status == 0 || trap.failedAfterReply()) return std::nullopt;
    if (list != nullptr) tree.children.assign(list, list + count);
    return tree;
}

namespace {

// A window an application put on the screen: mapped, and not one that passes
// the window manager by (menus, tooltips, the cover of a screen locker).
bool shownTopLevel(::Display* display, ::Window window) {
    XWindowAttributes attributes{};
    ErrorTrap trap(display);
    const Status status = XGetWindowAttributes(display, window, &attributes);
    return status != 0 && !trap.failedAfterReply() && attributes.map_state == IsViewable && attributes.override_redirect == False &&
           attributes.c_class == InputOutput;
}

std::vector<::Window> children(::Display* display, ::Window window) {
    auto tree = queryTree(display, window);
    return tree ? std::move(tree->children) : std::vector<::Window>{};
}

// The window below `frame` (itself included, breadth first, three levels at
// most) that carries WM_STATE; 0 when none does.
::Window withState(XConnection& x, ::Window frame) {
    const Atom state = x.atom("WM_STATE");
    std::vector<::Window> level{frame};
    for (int depth = 0; depth < 3 && !level.empty(); ++depth) {
        std::vector<::Window> next;
        for (const ::Window window : level) {
            if (const auto value = readProperty(x.get(), window, state, state); value && value->type == state) return window;
            const auto below = children(x.get(), window);
            next.insert(next.end(), below.begin(), below.end());
        }
        level = std::move(next);
    }
    return 0;
}

}  // namespace

std::vector<::Window> clientWindows(XConnection& x) {
    ::Display* display = x.get();
    if (display == nullptr) return {};
    if (windowManagerRuns(x)) return rootWindowList(x, "_NET_CLIENT_LIST_STACKING");
    // XQueryTree lists the root's children bottom to top.
    std::vector<::Window> windows;
    for (const ::Window top : children(display, x.root())) {
        if (!shownTopLevel(display, top)) continue;
        const ::Window client = withState(x, top);
        windows.push_back(client != 0 ? client : top);
    }
    return windows;
}

namespace {

// Clients' first ids with their pids, as the server knows them from their
// connections: every client's when `owner` is 0, else only the one that owns
// that id. Clients whose pid the server cannot tell are left out, and so is
// client 0, the server itself, which owns the root window.
std::vector<std::pair<unsigned long, int32_t>> clientPids(::Display* display, XID owner) {
    std::vector<std::pair<unsigned long, int32_t>> pids;
    XResClientIdSpec wanted{owner, XRES_CLIENT_ID_PID_MASK};
    long count = 0;
    XResClientIdValue* values = nullptr;
    ErrorTrap trap(display);  // a server older than X-Resource 1.2 answers with an error
    const Status status = XResQueryClientIds(display, 1, &wanted, &count, &values);
    const std::unique_ptr<XResClientIdValue, std::function<void(XResClientIdValue*)>> ownedValues(
        values, [count](XResClientIdValue* list) { XResClientIdsDestroy(count, list); });
    if (trap.failedAfterReply() || status != Success || values == nullptr) return pids;
    for (long i = 0; i < count; ++i) {
        const pid_t pid = XResGetClientPid(&values[i]);
        const auto& [id, length, value] = values[i];  // the client named, and its pid's bytes
        if (pid > 0 && id.client != 0) pids.emplace_back(id.client, static_cast<int32_t>(pid));
    }
    return pids;
}

}  // namespace

ClientProcesses::ClientProcesses(XConnection& x) {
    ::Display* display = x.get();
    int event = 0;
    int error = 0;
    if (display == nullptr || !XResQueryExtension(display, &event, &error)) return;
    // Every client's first id and id mask, then every client's pid.
    int clientCount = 0;
    XResClient* clients = nullptr;
    ErrorTrap trap(display);
    // Xlib's convention here (non-zero is success), the extension's own below (Success).
    const Status listed = XResQueryClients(display, &clientCount, &clients);
    const XFreeing<XResClient> ownedClients(clients);
    if (trap.failedAfterReply() || listed == 0 || clients == nullptr || clientCount <= 0) return;
    mask_ = clients[0].resource_mask;
    for (const auto& [client, pid] : clientPids(display, 0)) {
        if (const unsigned long base = client & ~mask_; base != 0) pids_[base] = pid;
    }
}

std::optional<int32_t> ClientProcesses::of(::Window window) const {
    if (window == 0 || mask_ == 0) return std::nullopt;
    const auto found = pids_.find(window & ~mask_);
    if (found == pids_.end()) return std::nullopt;
    return found->second;
}

std::optional<int32_t> clientProcess(XConnection& x, ::Window window) {
    ::Display* display = x.get();
    int event = 0;
    int error = 0;
    if (display == nullptr || window == 0 || !XResQueryExtension(display, &event, &error)) return std::nullopt;
    const auto pids = clientPids(display, window);
    if (pids.empty()) return std::nullopt;
    return pids.front().second;
}

void copyImage(XImage* image, Pixels& out) {
    const bool direct = image->bits_per_pixel == 32 && image->red_mask == 0xff0000 &&
                        image->green_mask == 0xff00 && image->blue_mask == 0xff && image->byte_order == LSBFirst;
    for (int row = 0; row < out.height; ++row) {
        uint8_t* target = out.bytes.data() + static_cast<std::size_t>(row) * out.width * 4;
        if (direct) {
            std::memcpy(target, image->data + static_cast<std::size_t>(row) * image->bytes_per_line,
                        static_cast<std::size_t>(out.width) * 4);
            continue;
        }
        // Any other layout, a pixel at a time through its colour masks.
        auto channel = [](unsigned long pixel, unsigned long mask) -> uint8_t {
            if (mask == 0) return 0;
            int shift = 0;
            while (((mask >> shift) & 1) == 0) ++shift;
            const unsigned long top = mask >> shift;
            return static_cast<uint8_t>(((pixel & mask) >> shift) * 255 / top);
        };
        for (int column = 0; column < out.width; ++column) {
            const unsigned long pixel = XGetPixel(image, column, row);
            target[column * 4 + 0] = channel(pixel, image->blue_mask);
            target[column * 4 + 1] = channel(pixel, image->green_mask);
            target[column * 4 + 2] = channel(pixel, image->red_mask);
            target[column * 4 + 3] = 0;
        }
    }
}

bool sendToRoot(XConnection& x, ::Window window, const char* message, long first, long second, long third) {
    ::Display* display = x.get();
    if (display == nullptr) return false;
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.send_event = True;
    event.xclient.display = display;
    event.xclient.window = window;
    event.xclient.message_type = x.atom(message);
    event.xclient.format = 32;
    event.xclient.data.l[0] = first;
    event.xclient.data.l[1] = second;
    event.xclient.data.l[2] = third;
    ErrorTrap trap(display);
    const Status sent =
        XSendEvent(display, x.root(), False, SubstructureRedirectMask | SubstructureNotifyMask, &event);
    return sent != 0 && !trap.failed();
}

bool takesProtocol(XConnection& x, ::Window window, const char* protocol) {
    const auto protocols = cardinals(x.get(), window, x.atom("WM_PROTOCOLS"), XA_ATOM);
    const Atom wanted = x.atom(protocol);
    return protocols && std::find(protocols->begin(), protocols->end(), wanted) != protocols->end();
}

::Window activeWindow(XConnection& x) {
    ::Display* display = x.get();
    if (display == nullptr) return 0;
    const auto active = rootWindowList(x, "_NET_ACTIVE_WINDOW");
    return active.empty() ? 0 : active.front();
}

bool waylandSession() {
    const char* display = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    return display == nullptr || *display == '\0' || (wayland != nullptr && *wayland != '\0');
}

}  // namespace brindlecast::platform::x11
