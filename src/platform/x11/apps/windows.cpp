#include "platform/x11/apps/windows.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <X11/extensions/Xcomposite.h>
#include <gdk-pixbuf/gdk-pixbuf.h>

#include "platform/x11/apps/desktop_entries.h"

namespace brindlecast::platform::x11 {

namespace {

using Clock = std::chrono::steady_clock;

// How long a capture right after windows were first kept off screen waits
// for their clients to repaint them.
constexpr std::chrono::milliseconds repaintWait{1500};

Atom atom(::Display* display, const char* name) { return XInternAtom(display, name, False); }

std::vector<unsigned long> longs(::Display* display, ::Window window, const char* property, Atom type) {
    Atom actualType = None;
    int format = 0;
    unsigned long count = 0;
    unsigned long after = 0;
    unsigned char* data = nullptr;
    std::vector<unsigned long> out;
    if (XGetWindowProperty(display, window, atom(display, property), 0, 1 << 16, False, type, &actualType, &format,
                           &count, &after, &data) == Success &&
        data != nullptr && actualType == type && format == 32) {
        const auto* items = reinterpret_cast<const unsigned long*>(data);
        out.assign(items, items + count);
    }
    if (data != nullptr) XFree(data);
    return out;
}

std::vector<::Window> clientList(::Display* display, const char* property) {
    const auto items = longs(display, DefaultRootWindow(display), property, XA_WINDOW);
    return {items.begin(), items.end()};
}

std::optional<int32_t> windowPid(::Display* display, ::Window window) {
    const auto pid = longs(display, window, "_NET_WM_PID", XA_CARDINAL);
    if (pid.empty() || pid.front() == 0) return std::nullopt;
    return static_cast<int32_t>(pid.front());
}

// The two names of WM_CLASS: instance and class.
std::vector<std::string> windowClass(::Display* display, ::Window window) {
    XClassHint hint{};
    if (XGetClassHint(display, window, &hint) == 0) return {};
    std::vector<std::string> names;
    if (hint.res_name != nullptr) names.emplace_back(hint.res_name);
    if (hint.res_class != nullptr) names.emplace_back(hint.res_class);
    if (hint.res_name != nullptr) XFree(hint.res_name);
    if (hint.res_class != nullptr) XFree(hint.res_class);
    return names;
}

std::optional<std::string> launchedEntry(int32_t pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/environ", std::ios::binary);
    if (!file) return std::nullopt;
    const std::string environ((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    constexpr std::string_view key = "GIO_LAUNCHED_DESKTOP_FILE=";
    std::size_t start = 0;
    while (start < environ.size()) {
        std::size_t end = environ.find('\0', start);
        if (end == std::string::npos) end = environ.size();
        const std::string_view variable(environ.data() + start, end - start);
        if (variable.starts_with(key) && variable.size() > key.size()) return std::string(variable.substr(key.size()));
        start = end + 1;
    }
    return std::nullopt;
}

// The process's arguments, its program first.
std::vector<std::string> commandLine(int32_t pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/cmdline", std::ios::binary);
    std::vector<std::string> arguments;
    std::string argument;
    while (std::getline(file, argument, '\0')) arguments.push_back(argument);
    return arguments;
}

bool sendToRoot(::Display* display, ::Window window, const char* message, long first, long second) {
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.serial = 0;
    event.xclient.send_event = True;
    event.xclient.display = display;
    event.xclient.window = window;
    event.xclient.message_type = atom(display, message);
    event.xclient.format = 32;
    event.xclient.data.l[0] = first;
    event.xclient.data.l[1] = second;
    const Status sent = XSendEvent(display, DefaultRootWindow(display), False,
                                   SubstructureRedirectMask | SubstructureNotifyMask, &event);
    XFlush(display);
    return sent != 0;
}

// The process's client windows, bottom to top.
std::vector<::Window> windowsOf(::Display* display, int32_t pid) {
    std::vector<::Window> windows;
    for (const ::Window window : clientList(display, "_NET_CLIENT_LIST_STACKING")) {
        if (windowPid(display, window) == pid) windows.push_back(window);
    }
    return windows;
}

int64_t layerOf(::Display* display, ::Window window) {
    const auto types = longs(display, window, "_NET_WM_WINDOW_TYPE", XA_ATOM);
    if (types.empty()) return 0;
    const auto is = [&](const char* name) { return types.front() == atom(display, name); };
    if (is("_NET_WM_WINDOW_TYPE_NORMAL") || is("_NET_WM_WINDOW_TYPE_DIALOG")) return 0;
    if (is("_NET_WM_WINDOW_TYPE_DESKTOP")) return -2147483623;
    if (is("_NET_WM_WINDOW_TYPE_DOCK")) return 20;
    if (is("_NET_WM_WINDOW_TYPE_UTILITY") || is("_NET_WM_WINDOW_TYPE_TOOLBAR") || is("_NET_WM_WINDOW_TYPE_SPLASH")) return 3;
    if (is("_NET_WM_WINDOW_TYPE_NOTIFICATION")) return 23;
    return 24;  // menus, tooltips, combo and drag windows
}

struct Redirection {
    ::Display* display = nullptr;
    Clock::time_point since;
};

// Keeps every top-level window off screen from now on; when it began. The
// windows' new storage holds only their background until their clients
// repaint them: each client is asked to, with an exposure of its window.
Clock::time_point keepOffScreen(::Display* display) {
    static Redirection redirection;
    if (redirection.display != display) {
        int event = 0;
        int error = 0;
        if (XCompositeQueryExtension(display, &event, &error)) {
            XCompositeRedirectSubwindows(display, DefaultRootWindow(display), CompositeRedirectAutomatic);
            for (const ::Window window : clientList(display, "_NET_CLIENT_LIST")) {
                XClearArea(display, window, 0, 0, 0, 0, True);
            }
            XSync(display, False);
        }
        redirection = {display, Clock::now()};
    }
    return redirection.since;
}

struct PixbufUnref {
    void operator()(GdkPixbuf* pixbuf) const { g_object_unref(pixbuf); }
};
using Pixbuf = std::unique_ptr<GdkPixbuf, PixbufUnref>;

int shift(unsigned long mask) {
    int bits = 0;
    while (mask != 0 && (mask & 1) == 0) {
        mask >>= 1;
        ++bits;
    }
    return bits;
}

// The window's pixels as an RGBA pixbuf; none when it cannot be read.
Pixbuf readWindow(::Display* display, ::Window window, int width, int height) {
    XImage* image = XGetImage(display, window, 0, 0, static_cast<unsigned>(width), static_cast<unsigned>(height),
                              AllPlanes, ZPixmap);
    if (image == nullptr) return nullptr;
    Pixbuf pixbuf(gdk_pixbuf_new(GDK_COLORSPACE_RGB, TRUE, 8, width, height));
    if (pixbuf) {
        guchar* out = gdk_pixbuf_get_pixels(pixbuf.get());
        const auto rowstride = static_cast<std::size_t>(gdk_pixbuf_get_rowstride(pixbuf.get()));
        const int red = shift(image->red_mask), green = shift(image->green_mask), blue = shift(image->blue_mask);
        for (int y = 0; y < height; ++y) {
            guchar* pixel = out + static_cast<std::size_t>(y) * rowstride;
            for (int x = 0; x < width; ++x, pixel += 4) {
                const unsigned long value = XGetPixel(image, x, y);
                pixel[0] = static_cast<guchar>((value & image->red_mask) >> red);
                pixel[1] = static_cast<guchar>((value & image->green_mask) >> green);
                pixel[2] = static_cast<guchar>((value & image->blue_mask) >> blue);
                pixel[3] = 255;
            }
        }
    }
    XDestroyImage(image);
    return pixbuf;
}

bool sameImage(GdkPixbuf* a, GdkPixbuf* b) {
    const auto size = static_cast<std::size_t>(gdk_pixbuf_get_rowstride(a)) * gdk_pixbuf_get_height(a);
    return gdk_pixbuf_get_rowstride(a) == gdk_pixbuf_get_rowstride(b) &&
           gdk_pixbuf_get_height(a) == gdk_pixbuf_get_height(b) &&
           std::memcmp(gdk_pixbuf_read_pixels(a), gdk_pixbuf_read_pixels(b), size) == 0;
}

}  // namespace

std::vector<RunningApp> runningApplications(::Display* display, int32_t self) {
    std::vector<RunningApp> apps;
    if (display == nullptr) return apps;
    // Each process once, with the class names of all its windows.
    std::vector<int32_t> order;
    std::map<int32_t, std::vector<std::string>> classes;
    for (const ::Window window : clientList(display, "_NET_CLIENT_LIST")) {
        const auto pid = windowPid(display, window);
        if (!pid || *pid == self) continue;
        if (!classes.contains(*pid)) order.push_back(*pid);
        auto names = windowClass(display, window);
        auto& known = classes[*pid];
        known.insert(known.end(), names.begin(), names.end());
    }
    std::optional<std::vector<EntrySummary>> entries;  // read only when the environment does not tell
    for (const int32_t pid : order) {
        RunningApp app;
        app.pid = pid;
        if (auto launched = launchedEntry(pid)) {
            app.bundlePath = std::move(launched);
        } else {
            if (!entries) entries = shownEntries();
            const auto& names = classes[pid];
            for (const auto& entry : *entries) {
                if (!entry.startupWmClass.empty() &&
                    std::find(names.begin(), names.end(), entry.startupWmClass) != names.end()) {
                    app.bundlePath = entry.path;
                    break;
                }
            }
            if (!app.bundlePath) {
                // The program, and the entry's own arguments first on its command line:
                // an interpreter alone names no application.
                const std::string executable = standardPath("/proc/" + std::to_string(pid) + "/exe");
                const auto line = commandLine(pid);
                for (const auto& entry : *entries) {
                    if (!entry.executable.empty() && entry.executable == executable && !line.empty() &&
                        line.size() > entry.arguments.size() &&
                        std::equal(entry.arguments.begin(), entry.arguments.end(), line.begin() + 1)) {
                        app.bundlePath = entry.path;
                        break;
                    }
                }
            }
        }
        apps.push_back(std::move(app));
    }
    return apps;
}

bool activateWindows(::Display* display, int32_t pid) {
    if (display == nullptr) return false;
    const auto windows = windowsOf(display, pid);
    bool sent = !windows.empty();
    // Source 2: a request on the user's behalf, as a pager makes it.
    for (const ::Window window : windows) sent = sendToRoot(display, window, "_NET_ACTIVE_WINDOW", 2, CurrentTime) && sent;
    return sent;
}

bool closeWindows(::Display* display, int32_t pid) {
    if (display == nullptr) return false;
    const auto windows = windowsOf(display, pid);
    bool sent = !windows.empty();
    for (const ::Window window : windows) sent = sendToRoot(display, window, "_NET_CLOSE_WINDOW", CurrentTime, 2) && sent;
    return sent;
}

bool killProcess(int32_t pid) { return pid > 0 && ::kill(pid, SIGKILL) == 0; }

void addShareableWindows(::Display* display, ShareableContent& content) {
    if (display == nullptr) return;
    keepOffScreen(display);
    auto kept = std::make_shared<std::vector<::Window>>();
    auto stacking = clientList(display, "_NET_CLIENT_LIST_STACKING");
    std::reverse(stacking.begin(), stacking.end());
    const ::Window root = DefaultRootWindow(display);
    for (const ::Window window : stacking) {
        XWindowAttributes attributes{};
        if (XGetWindowAttributes(display, window, &attributes) == 0 || attributes.map_state != IsViewable) continue;
        int x = 0;
        int y = 0;
        ::Window child = None;
        if (!XTranslateCoordinates(display, window, root, 0, 0, &x, &y, &child)) continue;
        ShareableWindow shareable;
        shareable.ownerPid = windowPid(display, window);
        shareable.layer = layerOf(display, window);
        shareable.frame = {static_cast<double>(x), static_cast<double>(y), static_cast<double>(attributes.width),
                           static_cast<double>(attributes.height)};
        content.windows.push_back(shareable);
        kept->push_back(window);
    }
    content.native = std::move(kept);
}

Picture captureShareableWindow(::Display* display, const ShareableContent& content, std::size_t index,
                               const CaptureSettings& settings) {
    const auto* windows = static_cast<const std::vector<::Window>*>(content.native.get());
    if (display == nullptr || windows == nullptr || index >= windows->size() || index >= content.windows.size() ||
        settings.width <= 0 || settings.height <= 0) {
        throw PlatformError{};
    }
    const ::Window window = (*windows)[index];
    const Clock::time_point since = keepOffScreen(display);
    XWindowAttributes attributes{};
    if (XGetWindowAttributes(display, window, &attributes) == 0 || attributes.width <= 0 || attributes.height <= 0) {
        throw PlatformError{};
    }
    Pixbuf pixels = readWindow(display, window, attributes.width, attributes.height);
    // Kept off screen only just now: until the client repaints, the window
    // shows its background; the first change is taken as the repaint.
    while (pixels && Clock::now() < since + repaintWait) {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        Pixbuf next = readWindow(display, window, attributes.width, attributes.height);
        if (!next) break;
        const bool changed = !sameImage(pixels.get(), next.get());
        pixels = std::move(next);
        if (changed) break;
    }
    if (!pixels) throw PlatformError{};
    Pixbuf scaled(gdk_pixbuf_scale_simple(pixels.get(), settings.width, settings.height, GDK_INTERP_BILINEAR));
    if (!scaled) throw PlatformError{};
    Picture picture;
    picture.width = settings.width;
    picture.height = settings.height;
    picture.format = PixelFormat::RGBX;
    picture.stride = static_cast<std::size_t>(settings.width) * 4;
    picture.pixels.resize(picture.stride * static_cast<std::size_t>(settings.height));
    const guchar* in = gdk_pixbuf_read_pixels(scaled.get());
    const auto rowstride = static_cast<std::size_t>(gdk_pixbuf_get_rowstride(scaled.get()));
    for (int y = 0; y < settings.height; ++y) {
        std::memcpy(picture.pixels.data() + static_cast<std::size_t>(y) * picture.stride,
                    in + static_cast<std::size_t>(y) * rowstride, picture.stride);
    }
    return picture;
}

}  // namespace brindlecast::platform::x11
