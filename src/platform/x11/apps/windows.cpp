#include "platform/x11/apps/windows.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <X11/extensions/Xcomposite.h>

#include "platform/x11/apps/desktop_entries.h"

namespace brindlecast::platform::x11 {

namespace {

using Clock = std::chrono::steady_clock;

// How long a capture right after windows were first kept off screen waits
// for their clients to repaint them.
constexpr std::chrono::milliseconds repaintWait{1500};

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

int64_t layerOf(XConnection& x, ::Window window) {
    const auto types = cardinals(x.get(), window, x.atom("_NET_WM_WINDOW_TYPE"), XA_ATOM);
    if (!types || types->empty()) return 0;
    const auto is = [&](const char* name) { return types->front() == x.atom(name); };
    if (is("_NET_WM_WINDOW_TYPE_NORMAL") || is("_NET_WM_WINDOW_TYPE_DIALOG")) return 0;
    if (is("_NET_WM_WINDOW_TYPE_DESKTOP")) return -2147483623;
    if (is("_NET_WM_WINDOW_TYPE_DOCK")) return 20;
    if (is("_NET_WM_WINDOW_TYPE_UTILITY") || is("_NET_WM_WINDOW_TYPE_TOOLBAR") || is("_NET_WM_WINDOW_TYPE_SPLASH")) return 3;
    if (is("_NET_WM_WINDOW_TYPE_NOTIFICATION")) return 23;
    return 24;  // menus, tooltips, combo and drag windows
}

// The process's client windows, bottom to top.
std::vector<::Window> windowsOf(XConnection& x, int32_t pid) {
    const ClientProcesses processes(x);
    std::vector<::Window> windows;
    for (const ::Window window : clientWindows(x)) {
        if (processes.of(window) == pid) windows.push_back(window);
    }
    return windows;
}

// The child of the root window that holds the window (its frame, or itself).
::Window topLevelOf(::Display* display, ::Window window) {
    for (int depth = 0; depth < 8; ++depth) {
        const auto tree = queryTree(display, window);
        if (!tree || tree->parent == 0 || tree->parent == tree->root) return window;
        window = tree->parent;
    }
    return window;
}

// Keeps every top-level window off screen from now on, once per connection;
// when it began on this one. The windows' new storage holds only their
// background until their clients repaint them: each client is asked to, with
// an exposure of its window.
Clock::time_point keepOffScreen(XConnection& x) {
    static uint64_t redirected = 0;  // the connection it was done on
    static Clock::time_point since;
    ::Display* display = x.get();
    if (display != nullptr && redirected != x.generation()) {
        int event = 0;
        int error = 0;
        if (XCompositeQueryExtension(display, &event, &error)) {
            XCompositeRedirectSubwindows(display, x.root(), CompositeRedirectAutomatic);
            for (const ::Window window : clientWindows(x)) XClearArea(display, window, 0, 0, 0, 0, True);
            XSync(display, False);
        }
        redirected = x.generation();
        since = Clock::now();
    }
    return since;
}

// The window's pixels; none when it cannot be read.
std::optional<Pixels> readWindow(::Display* display, ::Window window, int width, int height) {
    ErrorTrap trap(display);
    const OwnedImage image(XGetImage(display, window, 0, 0, static_cast<unsigned>(width),
                                     static_cast<unsigned>(height), AllPlanes, ZPixmap));
    if (trap.failedAfterReply() || image == nullptr) return std::nullopt;
    Pixels pixels;
    pixels.width = width;
    pixels.height = height;
    pixels.bytes.assign(static_cast<std::size_t>(width) * height * 4, 0);
    copyImage(image.get(), pixels);
    return pixels;
}

}  // namespace

std::vector<RunningApp> runningApplications(XConnection& x, int32_t self) {
    std::vector<RunningApp> apps;
    ::Display* display = x.get();
    if (display == nullptr) return apps;
    // Each process once, with the class names of all its windows.
    const ClientProcesses processes(x);
    std::vector<int32_t> order;
    std::map<int32_t, std::vector<std::string>> classes;
    for (const ::Window window : clientWindows(x)) {
        const auto pid = processes.of(window);
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

bool activateWindows(XConnection& x, int32_t pid) {
    ::Display* display = x.get();
    if (display == nullptr) return false;
    const auto windows = windowsOf(x, pid);
    bool sent = !windows.empty();
    if (windowManagerRuns(x)) {
        // Source 2: a request on the user's behalf, as a pager makes it.
        for (const ::Window window : windows) sent = sendToRoot(x, window, "_NET_ACTIVE_WINDOW", 2, CurrentTime) && sent;
        return sent;
    }
    // Nobody manages the windows: they are raised and focused here.
    ErrorTrap trap(display);
    for (const ::Window window : windows) XRaiseWindow(display, topLevelOf(display, window));
    if (!windows.empty()) XSetInputFocus(display, windows.back(), RevertToPointerRoot, CurrentTime);
    return !trap.failed() && sent;
}

bool closeWindows(XConnection& x, int32_t pid) {
    ::Display* display = x.get();
    if (display == nullptr) return false;
    const auto windows = windowsOf(x, pid);
    bool sent = !windows.empty();
    const bool managed = windowManagerRuns(x);
    for (const ::Window window : windows) {
        if (managed) {
            sent = sendToRoot(x, window, "_NET_CLOSE_WINDOW", CurrentTime, 2) && sent;
            continue;
        }
        // As a window manager closes a window: only one that takes WM_DELETE_WINDOW can be asked.
        if (!takesProtocol(x, window, "WM_DELETE_WINDOW")) {
            sent = false;
            continue;
        }
        XEvent event{};
        event.xclient.type = ClientMessage;
        event.xclient.window = window;
        event.xclient.message_type = x.atom("WM_PROTOCOLS");
        event.xclient.format = 32;
        event.xclient.data.l[0] = static_cast<long>(x.atom("WM_DELETE_WINDOW"));
        event.xclient.data.l[1] = CurrentTime;
        ErrorTrap trap(display);
        sent = XSendEvent(display, window, False, NoEventMask, &event) != 0 && !trap.failed() && sent;
    }
    return sent;
}

bool endProcess(XConnection& x, int32_t pid) {
    ::Display* display = x.get();
    // Only a pid the server gives for a client's connection, never this process or init.
    if (display == nullptr || pid <= 1 || pid == ::getpid()) return false;
    const auto windows = windowsOf(x, pid);
    if (windows.empty()) return false;
    {
        // A client already gone (the second of its windows, or it ended by itself) answers with an error.
        ErrorTrap trap(display);
        for (const ::Window window : windows) XKillClient(display, window);
        trap.failed();
    }
    ::kill(pid, SIGKILL);
    return true;
}

void addShareableWindows(XConnection& x, ShareableContent& content) {
    ::Display* display = x.get();
    if (display == nullptr) return;
    keepOffScreen(x);
    const ClientProcesses processes(x);
    auto kept = std::make_shared<std::vector<::Window>>();
    auto stacking = clientWindows(x);
    std::reverse(stacking.begin(), stacking.end());
    const ::Window root = x.root();
    for (const ::Window window : stacking) {
        XWindowAttributes attributes{};
        ErrorTrap trap(display);
        if (XGetWindowAttributes(display, window, &attributes) == 0 || trap.failedAfterReply() ||
            attributes.map_state != IsViewable) {
            continue;
        }
        int left = 0;
        int top = 0;
        ::Window child = None;
        if (!XTranslateCoordinates(display, window, root, 0, 0, &left, &top, &child)) continue;
        ShareableWindow shareable;
        shareable.ownerPid = processes.of(window);
        shareable.layer = layerOf(x, window);
        shareable.frame = {static_cast<double>(left), static_cast<double>(top), static_cast<double>(attributes.width),
                           static_cast<double>(attributes.height)};
        content.windows.push_back(shareable);
        kept->push_back(window);
    }
    content.native = std::move(kept);
}

Pixels captureShareableWindow(XConnection& x, const ShareableContent& content, std::size_t index) {
    ::Display* display = x.get();
    const auto* windows = static_cast<const std::vector<::Window>*>(content.native.get());
    if (display == nullptr || windows == nullptr || index >= windows->size() || index >= content.windows.size()) {
        throw PlatformError{};
    }
    const ::Window window = (*windows)[index];
    const Clock::time_point since = keepOffScreen(x);
    XWindowAttributes attributes{};
    ErrorTrap trap(display);
    if (XGetWindowAttributes(display, window, &attributes) == 0 || trap.failedAfterReply() || attributes.width <= 0 ||
        attributes.height <= 0) {
        throw PlatformError{};
    }
    auto pixels = readWindow(display, window, attributes.width, attributes.height);
    // Kept off screen only just now: until the client repaints, the window
    // shows its background; the first change is taken as the repaint.
    while (pixels && Clock::now() < since + repaintWait) {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        auto next = readWindow(display, window, attributes.width, attributes.height);
        if (!next) break;
        const bool changed = next->bytes != pixels->bytes;
        pixels = std::move(next);
        if (changed) break;
    }
    if (!pixels) throw PlatformError{};
    return std::move(*pixels);
}

}  // namespace brindlecast::platform::x11
