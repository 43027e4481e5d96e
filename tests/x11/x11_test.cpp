// The X11 agent on a private headless desktop, driven through its protocol only.
//
// ctest -R X11 runs the build's BrindlecastNative-x11; without that target:
//   BRINDLECAST_X11_AGENT=/path/to/BrindlecastNative-x11 build/brindlecast_x11_tests
// With BRINDLECAST_X11_PAUSE=1 the desktop's environment is printed and the tests
// wait for a line on standard input, to look at the desktop by hand first.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <array>

#include <gtest/gtest.h>

#include "harness.h"
#include "host/failure.h"
#include "support/response_check.h"

// Xlib last: its macros (None, Bool, True) clash with the headers above.
#include <X11/XF86keysym.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace {

using boost::json::object;
using x11test::Agent;
using x11test::Desktop;
using x11test::desktop;
using x11test::waitFor;
using x11test::near;
using x11test::text;
namespace failures = brindlecast::failures;

class DesktopEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        if (x11test::agentPath().empty()) return;
        desktop().start();
        // For a look by hand: the desktop's environment, then a wait for a line on standard input.
        if (std::getenv("BRINDLECAST_X11_PAUSE") != nullptr) {
            for (const auto& entry : desktop().environment()) std::printf("export '%s'\n", entry.c_str());
            std::fflush(stdout);
            std::getchar();
        }
    }
    void TearDown() override { desktop().stop(); }
};

const auto* const registered = ::testing::AddGlobalTestEnvironment(new DesktopEnvironment);

// The response must be well formed and fail with exactly this failure.
void expectFailure(const object& response, const brindlecast::Failure& failure) {
    EXPECT_EQ(response.at("ok"), false) << boost::json::serialize(response);
    if (!response.contains("code")) return;
    EXPECT_EQ(text(response.at("code")), failure.code) << boost::json::serialize(response);
    EXPECT_EQ(text(response.at("error")), failure.onLinux());
}

void expectSuccess(const object& response) {
    EXPECT_EQ(response.at("ok"), true) << boost::json::serialize(response);
}

// A fixture with one agent shared by the tests of its suite, and the test's own X connection.
class X11 : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!x11test::agentPath().empty()) agent_ = std::make_unique<Agent>(desktop());
    }
    static void TearDownTestSuite() {
        if (!agent_) return;
        const std::string errors = agent_->errors();
        agent_.reset();
        EXPECT_EQ(errors, "") << "the agent wrote to standard error";
    }
    void SetUp() override {
        if (!agent_) GTEST_SKIP() << "no X11 agent: build BrindlecastNative-x11 or set BRINDLECAST_X11_AGENT";
        dpy_ = XOpenDisplay(desktop().display().c_str());
        ASSERT_NE(dpy_, nullptr);
        desktop().setLogind({});
    }
    void TearDown() override {
        if (dpy_ != nullptr) XCloseDisplay(dpy_);
    }

    // Sends one request; the response line must be well formed.
    object ask(const std::string& line, double seconds = 20) {
        object response = agent_->ask(line, seconds);
        const std::string problem = testing_support::responseProblem(boost::json::serialize(response),
                                                                     brindlecast::platform::DesktopSystem::linuxX11);
        EXPECT_EQ(problem, "") << line;
        return response;
    }

    // The monitor identifiers, left and right.
    std::pair<std::string, std::string> monitorIds() {
        object response = ask(R"({"id":"m","operation":"desktop.monitors"})");
        std::pair<std::string, std::string> ids;
        for (const auto& entry : response.at("monitors").as_array()) {
            const auto& bounds = entry.at("bounds").as_object();
            (bounds.at("x").to_number<int>() == 0 ? ids.first : ids.second) = text(entry.at("id"));
        }
        return ids;
    }

    // An unmanaged window on top, filled with `pixel`, selecting `events`.
    Window window(int x, int y, int width, int height, unsigned long pixel, long events) {
        XSetWindowAttributes attributes{};
        attributes.override_redirect = True;
        attributes.background_pixel = pixel;
        attributes.event_mask = events;
        Window made = XCreateWindow(dpy_, DefaultRootWindow(dpy_), x, y, width, height, 0, CopyFromParent,
                                    InputOutput, CopyFromParent, CWOverrideRedirect | CWBackPixel | CWEventMask,
                                    &attributes);
        XMapRaised(dpy_, made);
        XSync(dpy_, False);
        return made;
    }

    // The next event of one of `types`, waiting up to `seconds`.
    bool nextEvent(XEvent& event, std::initializer_list<int> types, double seconds = 5) {
        return waitFor([&] {
            while (XPending(dpy_) > 0) {
                XNextEvent(dpy_, &event);
                for (int type : types) {
                    if (event.type == type) return true;
                }
            }
            return false;
        }, seconds);
    }

    static std::unique_ptr<Agent> agent_;
    Display* dpy_ = nullptr;
};

std::unique_ptr<Agent> X11::agent_;

// ---- displays -----------------------------------------------------------------

using X11Display = X11;

TEST_F(X11Display, ListsBothRandrMonitorsWithTheirBoundsAndThePrimary) {
    object response = ask(R"({"id":"1","operation":"desktop.monitors"})");
    ASSERT_EQ(response.at("ok"), true) << boost::json::serialize(response);
    const auto& monitors = response.at("monitors").as_array();
    ASSERT_EQ(monitors.size(), 2u) << boost::json::serialize(response);
    std::set<std::string> ids;
    for (std::size_t i = 0; i < monitors.size(); ++i) {
        const auto& entry = monitors[i].as_object();
        const auto& bounds = entry.at("bounds").as_object();
        const bool left = bounds.at("x").to_number<int>() == 0;
        EXPECT_EQ(bounds.at("x").to_number<int>(), left ? 0 : Desktop::monitorWidth);
        EXPECT_EQ(bounds.at("y").to_number<int>(), 0);
        EXPECT_EQ(bounds.at("width").to_number<int>(), Desktop::monitorWidth);
        EXPECT_EQ(bounds.at("height").to_number<int>(), Desktop::screenHeight);
        EXPECT_EQ(entry.at("primary"), left) << "the left monitor is the primary one";
        EXPECT_EQ(text(entry.at("name")), "Display " + std::to_string(i + 1));
        const std::string id = text(entry.at("id"));
        EXPECT_EQ(id.size(), 24u);
        EXPECT_EQ(id.rfind("monitor_", 0), 0u);
        ids.insert(id);
    }
    EXPECT_EQ(ids.size(), 2u) << "each monitor has its own identifier";
    // The identifiers are stable, and the right one is selectable.
    EXPECT_EQ(ask(R"({"id":"2","operation":"desktop.monitors"})").at("monitors"), response.at("monitors"));
    expectFailure(ask(R"({"id":"3","operation":"desktop.click","x":0.5,"y":0.5,"monitorId":"monitor_0000000000000000"})"),
                  failures::monitorGone);
}

TEST_F(X11Display, FrameShowsAWindowsColourAtItsPlaceOnTheChosenMonitor) {
    const auto [left, right] = monitorIds();
    XWarpPointer(dpy_, None, DefaultRootWindow(dpy_), 0, 0, 0, 0, 10, 1000);  // the cursor out of the way
    // Orange on the right monitor at (400, 200), 320 x 240; blue on the left one at (800, 600).
    Window orange = window(Desktop::monitorWidth + 400, 200, 320, 240, 0xff8000, NoEventMask);
    Window blue = window(800, 600, 200, 200, 0x0000ff, NoEventMask);
    // Half size: 640 x 512 of a 1280 x 1024 monitor.
    const std::string request = R"({"id":"f","operation":"desktop.frame","profile":"balanced","maxWidth":640,)"
                                R"("maxHeight":1080,"jpegQuality":90,"monitorId":")" + right + "\"}";
    x11test::Picture picture;
    object response;
    const bool seen = waitFor([&] {
        XRaiseWindow(dpy_, orange);
        XSync(dpy_, False);
        response = ask(request);
        if (response.at("ok") != true) return false;
        picture = x11test::decodePayload(response.at("frame"));
        return !picture.rgb.empty() && picture.width == 640 && near(picture.at(280, 160), {255, 128, 0});
    }, 15);
    ASSERT_TRUE(seen) << boost::json::serialize(response).substr(0, 300) << " " << picture.width << "x"
                      << picture.height;
    EXPECT_EQ(text(response.at("frame").at("monitorId")), right);
    EXPECT_EQ(text(response.at("frame").at("mimeType")), "image/jpeg");
    EXPECT_EQ(picture.height, 512);
    EXPECT_TRUE(near(picture.at(205, 105), {255, 128, 0})) << "the window's top-left corner";
    EXPECT_TRUE(near(picture.at(355, 215), {255, 128, 0})) << "the window's bottom-right corner";
    EXPECT_TRUE(near(picture.at(190, 160), {0, 0, 0})) << "left of the window is the black root";
    EXPECT_TRUE(near(picture.at(280, 230), {0, 0, 0})) << "below the window is the black root";
    EXPECT_FALSE(near(picture.at(450, 350), {0, 0, 255})) << "nothing of the left monitor";

    // Without a monitor: the primary (left) one, at its full size when that fits.
    XRaiseWindow(dpy_, blue);
    XSync(dpy_, False);
    response = ask(R"({"id":"g","operation":"desktop.frame","profile":"balanced","maxWidth":1920,)"
                   R"("maxHeight":1080,"jpegQuality":80})");
    ASSERT_EQ(response.at("ok"), true) << boost::json::serialize(response).substr(0, 300);
    EXPECT_EQ(text(response.at("frame").at("monitorId")), left);
    picture = x11test::decodePayload(response.at("frame"));
    EXPECT_EQ(picture.width, Desktop::monitorWidth);
    EXPECT_EQ(picture.height, Desktop::screenHeight);
    EXPECT_TRUE(near(picture.at(900, 700), {0, 0, 255}));
    XDestroyWindow(dpy_, orange);
    XDestroyWindow(dpy_, blue);
    XSync(dpy_, False);
}

TEST_F(X11Display, AFrameComesWhereTheServerCannotAttachTheAgentsSharedMemory) {
    // In an IPC namespace of its own (as in many containers), the agent's
    // shared-memory segments are out of the server's sight: XShmAttach fails,
    // and the picture is read with XGetImage instead.
    if (x11test::run({"/usr/bin/unshare", "--ipc", "--", "/bin/true"}, {}) != 0) {
        GTEST_SKIP() << "no IPC namespace can be made here";
    }
    Agent contained(desktop(), {}, {"/usr/bin/unshare", "--ipc", "--"});
    XWarpPointer(dpy_, None, DefaultRootWindow(dpy_), 0, 0, 0, 0, 10, 1000);
    Window green = window(300, 200, 200, 100, 0x00ff00, NoEventMask);
    object response;
    x11test::Picture picture;
    const bool seen = waitFor([&] {
        response = contained.ask(R"({"id":"c","operation":"desktop.frame","profile":"balanced","maxWidth":1920,)"
                                 R"("maxHeight":1080,"jpegQuality":80})");
        if (response.at("ok") != true) return false;
        picture = x11test::decodePayload(response.at("frame"));
        return picture.width == Desktop::monitorWidth && near(picture.at(400, 250), {0, 255, 0});
    }, 10);
    EXPECT_TRUE(seen) << boost::json::serialize(response).substr(0, 300);
    EXPECT_EQ(contained.errors(), "");
    XDestroyWindow(dpy_, green);
    XSync(dpy_, False);
}

// ---- pointer ------------------------------------------------------------------

using X11Pointer = X11;

TEST_F(X11Pointer, ClickArrivesAtTheRootPointOfTheMonitorFractions) {
    const auto [left, right] = monitorIds();
    Window catcher = window(0, 0, Desktop::screenWidth, Desktop::screenHeight, 0x000000,
                            ButtonPressMask | ButtonReleaseMask);
    struct Case {
        std::string monitor;
        double x, y;
        int rootX, rootY;
        const char* button;
        unsigned int number;
    };
    // x maps to min + x * (width - 1), y to min + y * (height - 1): 1 is one short of the far edge.
    const Case cases[] = {
        {right, 0, 0, Desktop::monitorWidth, 0, "left", Button1},
        {right, 1, 1, 2 * Desktop::monitorWidth - 1, Desktop::screenHeight - 1, "right", Button3},
        {right, 640.0 / 1279, 512.0 / 1023, Desktop::monitorWidth + 640, 512, nullptr, Button1},
        // 88 / 1279 * 1279 is 87.99999999999999 in doubles: the pixel is still 88.
        {left, 88.0 / 1279, 100.0 / 1023, 88, 100, "left", Button1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.x) + "," + std::to_string(c.y) + " on " + c.monitor);
        XRaiseWindow(dpy_, catcher);
        XSync(dpy_, False);
        // Full precision for the fractions that should land on whole pixels.
        char x[40], y[40];
        std::snprintf(x, sizeof x, "%.17g", c.x);
        std::snprintf(y, sizeof y, "%.17g", c.y);
        const std::string request = R"({"id":"c","operation":"desktop.click","monitorId":")" + c.monitor + R"(","x":)" + x +
                  R"(,"y":)" + y + (c.button != nullptr ? std::string(R"(,"button":")") + c.button + "\"" : "") + "}";
        expectSuccess(ask(request));
        XEvent press, release;
        ASSERT_TRUE(nextEvent(press, {ButtonPress}));
        ASSERT_TRUE(nextEvent(release, {ButtonRelease}));
        EXPECT_EQ(press.xbutton.x_root, c.rootX);
        EXPECT_EQ(press.xbutton.y_root, c.rootY);
        EXPECT_EQ(press.xbutton.button, c.number);
        EXPECT_EQ(release.xbutton.button, c.number);
    }
    // A refused click posts nothing.
    expectFailure(ask(R"({"id":"d","operation":"desktop.click","x":0.5,"y":0.5,"button":"Left"})"),
                  failures::unknownMouseButton);
    expectFailure(ask(R"({"id":"e","operation":"desktop.click","x":1.5,"y":0.5})"), failures::outOfBounds);
    XEvent stray;
    EXPECT_FALSE(nextEvent(stray, {ButtonPress}, 0.5));
    XDestroyWindow(dpy_, catcher);
    XSync(dpy_, False);
}

TEST_F(X11Pointer, ScrollTurnsTheWheelOverTheMonitorsCentreAndThePointerMoves) {
    const auto [left, right] = monitorIds();
    Window catcher = window(0, 0, Desktop::screenWidth, Desktop::screenHeight, 0x000000, ButtonPressMask);
    // A positive deltaY scrolls down (wheel button 5), a negative deltaX left (button 6).
    const struct {
        const char* deltas;
        unsigned int button;
    } scrolls[] = {{R"("deltaX":0,"deltaY":120)", 5}, {R"("deltaX":0,"deltaY":-120)", 4},
                   {R"("deltaX":-120,"deltaY":0)", 6}, {R"("deltaX":120,"deltaY":0)", 7}};
    for (const auto& scroll : scrolls) {
        SCOPED_TRACE(scroll.deltas);
        XRaiseWindow(dpy_, catcher);
        XSync(dpy_, False);
        expectSuccess(ask(std::string(R"({"id":"s","operation":"desktop.scroll",)") + scroll.deltas +
                          R"(,"monitorId":")" + right + "\"}"));
        XEvent press;
        ASSERT_TRUE(nextEvent(press, {ButtonPress}));
        EXPECT_EQ(press.xbutton.button, scroll.button);
        EXPECT_EQ(press.xbutton.x_root, Desktop::monitorWidth + Desktop::monitorWidth / 2);
        EXPECT_EQ(press.xbutton.y_root, Desktop::screenHeight / 2);
        // Every click of this scroll turns the same way.
        XSync(dpy_, False);
        while (nextEvent(press, {ButtonPress}, 0.3)) EXPECT_EQ(press.xbutton.button, scroll.button);
    }
    XDestroyWindow(dpy_, catcher);
    XSync(dpy_, False);

    expectSuccess(ask(R"({"id":"p","operation":"presentation.pointer","x":1,"y":0,"monitorId":")" + left + "\"}"));
    EXPECT_TRUE(waitFor([&] {
        Window root, child;
        int x = -1, y = -1, wx, wy;
        unsigned int mask;
        XQueryPointer(dpy_, DefaultRootWindow(dpy_), &root, &child, &x, &y, &wx, &wy, &mask);
        return x == Desktop::monitorWidth - 1 && y == 0;
    }, 5)) << "the pointer is at the left monitor's top-right pixel";
}

// ---- text -----------------------------------------------------------------------

using X11Text = X11;

// Types `typed` into the focused widget; retries while the accessibility focus lags the window's.
object typeInto(const std::string& widget, const std::string& typed, Agent& agent) {
    EXPECT_TRUE(desktop().focusApp(widget)) << "the window manager did not focus " << widget;
    const std::string request = boost::json::serialize(object{{"id", "t"}, {"operation", "desktop.text"}, {"text", typed}});
    object response;
    waitFor([&] {
        response = agent.ask(request);
        return response.at("ok") == true || text(response.at("error")) != failures::noTextField.onLinux();
    }, 10);
    return response;
}

TEST_F(X11Text, UnicodeTextArrivesExactlyInTheEntryAndTheViewButNotInAPasswordField) {
    desktop().tellApp("clear");
    const std::string line = "Crème brûlée, 日本語 and 😀 ok";
    expectSuccess(typeInto("entry", line, *agent_));
    EXPECT_TRUE(waitFor([&] { return desktop().appText("entry") == line; }))
        << "the entry holds: " << desktop().appText("entry");

    const std::string lines = "first line\nzweite Zeile: äöü ß\n第三行 🎉";
    expectSuccess(typeInto("view", lines, *agent_));
    EXPECT_TRUE(waitFor([&] { return desktop().appText("view") == lines; }))
        << "the view holds: " << desktop().appText("view");

    expectFailure(typeInto("password", "secret", *agent_), failures::passwordField);
    EXPECT_FALSE(waitFor([&] { return !desktop().appText("password").empty(); }, 1))
        << "the password field got text";
    // Invalid text is refused before anything is typed.
    expectFailure(ask(R"({"id":"u","operation":"desktop.text","text":""})"), failures::invalidTextInput);
    expectFailure(ask(R"({"id":"v","operation":"desktop.text","text":42})"), failures::invalidText);
}

// ---- session guard ----------------------------------------------------------------

using X11Session = X11;

TEST_F(X11Session, AKeyboardGrabOfAnotherClientRefusesControlButNotThePermissions) {
    // Looking for another client's grab takes none: the focused window sees
    // no focus leave and come back, frame after frame.
    Window focused = window(100, 100, 200, 100, 0x808080, FocusChangeMask);
    XSetInputFocus(dpy_, focused, RevertToParent, CurrentTime);
    XSync(dpy_, False);
    const auto grabFocusEvents = [&] {
        int seen = 0;
        XSync(dpy_, False);
        for (XEvent event; XCheckWindowEvent(dpy_, focused, FocusChangeMask, &event);) {
            if (event.xfocus.mode == NotifyGrab || event.xfocus.mode == NotifyUngrab) ++seen;
        }
        return seen;
    };
    grabFocusEvents();
    for (int i = 0; i < 5; ++i) expectSuccess(ask(R"({"id":"g","operation":"desktop.guard"})"));
    EXPECT_EQ(grabFocusEvents(), 0);
    XDestroyWindow(dpy_, focused);
    XSync(dpy_, False);

    // The window manager may hold a grab for a moment: try until ours is taken.
    ASSERT_TRUE(waitFor([&] {
        return XGrabKeyboard(dpy_, DefaultRootWindow(dpy_), False, GrabModeAsync, GrabModeAsync, CurrentTime) ==
               GrabSuccess;
    }));
    XSync(dpy_, False);
    expectFailure(ask(R"({"id":"g","operation":"desktop.guard"})"), failures::locked);
    expectFailure(ask(R"({"id":"c","operation":"desktop.click","x":0.5,"y":0.5})"), failures::locked);
    expectFailure(ask(R"({"id":"t","operation":"desktop.text","text":"x"})"), failures::locked);
    expectSuccess(ask(R"({"id":"p","operation":"permissions.status"})"));
    XUngrabKeyboard(dpy_, CurrentTime);
    XSync(dpy_, False);
    EXPECT_TRUE(waitFor([&] { return ask(R"({"id":"g","operation":"desktop.guard"})").at("ok") == true; }));
}

TEST_F(X11Session, AnOpenMenuHoldsTheKeyboardButIsNoPasswordField) {
    // GTK keeps a keyboard grab while a menu is open: control goes on, and
    // the phone can pick an item.
    const std::size_t before = desktop().appReports().size();
    desktop().tellApp("menu");
    object shown;
    ASSERT_TRUE(waitFor([&] {
        const auto reports = desktop().appReports();
        for (std::size_t i = before; i < reports.size(); ++i) {
            if (reports[i].contains("menu")) shown = reports[i];
        }
        return !shown.empty();
    }, 10)) << "the menu did not open";
    expectSuccess(ask(R"({"id":"g","operation":"desktop.guard"})"));
    // A screen locker raised over the open menu is another matter.
    Window locker = window(0, 0, Desktop::screenWidth, Desktop::screenHeight, 0x000000, 0);
    expectFailure(ask(R"({"id":"g","operation":"desktop.guard"})"), failures::locked);
    XDestroyWindow(dpy_, locker);
    XSync(dpy_, False);
    const double x = shown.at("x").to_number<double>() / Desktop::monitorWidth;
    const double y = shown.at("y").to_number<double>() / Desktop::screenHeight;
    expectSuccess(ask(boost::json::serialize(
        object{{"id", "c"}, {"operation", "desktop.click"}, {"x", x}, {"y", y}})));
    const bool chosen = waitFor([&] {
        for (const auto& report : desktop().appReports()) {
            if (report.contains("activated") && report.at("activated") == "Two") return true;
        }
        return false;
    }, 5);
    if (!chosen) desktop().tellApp("unmenu");
    EXPECT_TRUE(chosen) << "the click did not reach the menu";
}

TEST_F(X11Session, ALockedClosingRemoteOrInactiveSessionRefusesControl) {
    const std::string guard = R"({"id":"g","operation":"desktop.guard"})";
    auto refused = [&] { return ask(guard).at("ok") == false; };
    // logind signals `LockedHint` and `Active`, so the very next request sees
    // them; not `State` or `Remote`, which the agent reads again within a second.
    const std::pair<object, bool> refusing[] = {{{{"locked", true}}, true},
                                                {{{"active", false}}, true},
                                                {{{"remote", true}}, false},
                                                {{{"state", "closing"}}, false}};
    for (const auto& [facts, signalled] : refusing) {
        SCOPED_TRACE(boost::json::serialize(facts));
        desktop().setLogind(facts);
        if (!signalled) {
            EXPECT_TRUE(waitFor(refused, 3));
        }
        expectFailure(ask(guard), failures::locked);
        expectFailure(ask(R"({"id":"m","operation":"desktop.monitors"})"), failures::locked);
        expectFailure(ask(R"({"id":"v","action":"volumeUp"})"), failures::locked);
        object status = ask(R"({"id":"p","operation":"permissions.status"})");
        expectSuccess(status);
        expectSuccess(ask(R"({"id":"r","operation":"permissions.request","kind":"screen"})"));
        desktop().setLogind({});
        if (signalled) expectSuccess(ask(guard));
        EXPECT_TRUE(waitFor([&] { return !refused(); }, 3));
    }
}

TEST_F(X11Session, SessionFactsComeFromChangeSignalsNotFromEveryRequest) {
    const std::string guard = R"({"id":"g","operation":"desktop.guard"})";
    expectSuccess(ask(guard));
    desktop().clearLogindCalls();
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 20; ++i) expectSuccess(ask(R"({"id":"c","operation":"desktop.click","x":0.5,"y":0.5})"));
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    // Read again once a second at most (each property once a reading).
    int reads = 0, properties = 0;
    for (const auto& call : desktop().logindCalls()) {
        if (call.at("method") == "GetSessionByPID") ++reads;
        if (call.at("method") == "Get") ++properties;
    }
    EXPECT_LE(reads, static_cast<int>(seconds) + 1);
    EXPECT_LE(properties, 5 * reads);

    // A screen saver that comes, turns on and goes is seen at the next request.
    desktop().setLogind({{"screenSaver", false}});
    expectSuccess(ask(guard));
    desktop().setLogind({{"screenSaver", true}});
    expectFailure(ask(guard), failures::locked);
    desktop().setLogind({});
    expectSuccess(ask(guard));
    desktop().setLogind({{"screenSaver", true}});
    expectFailure(ask(guard), failures::locked);
    desktop().setLogind({{"screenSaver", false}});
    expectSuccess(ask(guard));
}

TEST_F(X11Session, TheSessionIsFoundByTheAgentsProcessElseByItsId) {
    desktop().setLogind({{"byPid", false}});
    desktop().clearLogindCalls();
    // The session of a process never changes: an agent started now asks.
    Agent fresh(desktop());
    expectSuccess(fresh.ask(R"({"id":"g","operation":"desktop.guard"})"));
    bool askedByPid = false, askedById = false;
    for (const auto& call : desktop().logindCalls()) {
        if (call.at("method") == "GetSessionByPID") {
            askedByPid = true;
            EXPECT_EQ(call.at("args").at(0).to_number<int>(), fresh.pid());
        }
        if (call.at("method") == "GetSession") askedById = askedById || call.at("args").at(0) == "c1";
    }
    EXPECT_TRUE(askedByPid);
    EXPECT_TRUE(askedById);
    EXPECT_EQ(fresh.errors(), "");
}

// The window the window manager reports active.
Window activeWindow(Display* dpy) {
    Atom type;
    int format;
    unsigned long count, after;
    unsigned char* data = nullptr;
    Window active = 0;
    if (XGetWindowProperty(dpy, DefaultRootWindow(dpy), XInternAtom(dpy, "_NET_ACTIVE_WINDOW", False), 0, 1, False,
                           XA_WINDOW, &type, &format, &count, &after, &data) == Success && count == 1) {
        active = *reinterpret_cast<Window*>(data);
    }
    if (data != nullptr) XFree(data);
    return active;
}

// Asks for a window's activation until the window manager reports it active
// (it may ignore a request during a grab).
bool activate(Display* dpy, Window window) {
    return waitFor([&] {
        XEvent message{};
        message.xclient.type = ClientMessage;
        message.xclient.window = window;
        message.xclient.message_type = XInternAtom(dpy, "_NET_ACTIVE_WINDOW", False);
        message.xclient.format = 32;
        message.xclient.data.l[0] = 2;  // from a pager: honoured at once
        XSendEvent(dpy, DefaultRootWindow(dpy), False, SubstructureRedirectMask | SubstructureNotifyMask, &message);
        XSync(dpy, False);
        return waitFor([&] { return activeWindow(dpy) == window; }, 0.5);
    }, 15);
}

// The managed window whose WM_CLASS class is `name`, or 0.
Window managedWindowOfClass(Display* dpy, const char* name) {
    Window found = 0;
    for (const Window window : x11test::managedWindows(dpy)) {
        XClassHint hint{};
        if (XGetClassHint(dpy, window, &hint) != 0) {
            if (hint.res_class != nullptr && std::string(hint.res_class) == name) found = window;
            XFree(hint.res_name);
            XFree(hint.res_class);
        }
    }
    return found;
}

TEST_F(X11Session, AnActivePasswordPromptIsAProtectedScreen) {
    // An X client whose executable is named like a passphrase prompt: the
    // process is the one the X server knows for the window's client.
    const std::string prompt = desktop().dir() + "/pinentry";
    std::filesystem::copy_file("/usr/bin/xcalc", prompt, std::filesystem::copy_options::overwrite_existing);
    x11test::Process program({prompt}, desktop().environment());
    Window window = 0;
    ASSERT_TRUE(waitFor([&] { return (window = managedWindowOfClass(dpy_, "XCalc")) != 0; }));
    ASSERT_TRUE(activate(dpy_, window));
    expectFailure(ask(R"({"id":"g","operation":"desktop.guard"})"), failures::protectedScreen);
    expectFailure(ask(R"({"id":"c","operation":"desktop.click","x":0.5,"y":0.5})"), failures::protectedScreen);
    expectSuccess(ask(R"({"id":"p","operation":"permissions.status"})"));
    program.stop();
    EXPECT_TRUE(waitFor([&] { return ask(R"({"id":"g","operation":"desktop.guard"})").at("ok") == true; }));

    // A window that only claims, in _NET_WM_PID, to belong to such a prompt
    // is its own client's: control stays allowed.
    std::filesystem::create_directories(desktop().dir() + "/claimed");
    const std::string claimed = desktop().dir() + "/claimed/pinentry";
    std::filesystem::copy_file("/usr/bin/sleep", claimed, std::filesystem::copy_options::overwrite_existing);
    x11test::Process sleeper({claimed, "300"}, desktop().environment());
    Window liar = XCreateSimpleWindow(dpy_, DefaultRootWindow(dpy_), 100, 100, 300, 200, 0, 0, 0x808080);
    const auto pid = static_cast<unsigned long>(sleeper.pid());
    XChangeProperty(dpy_, liar, XInternAtom(dpy_, "_NET_WM_PID", False), XA_CARDINAL, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(&pid), 1);
    XMapWindow(dpy_, liar);
    XSync(dpy_, False);
    ASSERT_TRUE(activate(dpy_, liar));
    expectSuccess(ask(R"({"id":"g","operation":"desktop.guard"})"));
    XDestroyWindow(dpy_, liar);
    XSync(dpy_, False);

}

// ---- media keys -------------------------------------------------------------------

using X11Media = X11;

TEST_F(X11Media, MediaKeysReachTheClientThatGrabsThem) {
    const struct {
        const char* action;
        KeySym key;
    } keys[] = {{"playPause", XF86XK_AudioPlay}, {"next", XF86XK_AudioNext}, {"previous", XF86XK_AudioPrev},
                {"mute", XF86XK_AudioMute},     {"volumeUp", XF86XK_AudioRaiseVolume},
                {"volumeDown", XF86XK_AudioLowerVolume}};
    Window root = DefaultRootWindow(dpy_);
    for (const auto& k : keys) {
        const KeyCode code = XKeysymToKeycode(dpy_, k.key);
        ASSERT_NE(code, 0) << k.action;
        XGrabKey(dpy_, code, AnyModifier, root, False, GrabModeAsync, GrabModeAsync);
    }
    XSync(dpy_, False);
    for (const auto& k : keys) {
        SCOPED_TRACE(k.action);
        expectSuccess(ask(boost::json::serialize(object{{"id", "k"}, {"action", k.action}})));
        XEvent press, release;
        ASSERT_TRUE(nextEvent(press, {KeyPress}));
        ASSERT_TRUE(nextEvent(release, {KeyRelease}));
        EXPECT_EQ(XLookupKeysym(&press.xkey, 0), k.key);
        EXPECT_EQ(press.xkey.keycode, release.xkey.keycode);
    }
    expectFailure(ask(R"({"id":"k","action":"Mute"})"), failures::mediaControlMissing);
    XUngrabKey(dpy_, AnyKey, AnyModifier, root);
    XSync(dpy_, False);
}

// ---- power ----------------------------------------------------------------------------

using X11Power = X11;

// The agent's own environment entry.
std::string environmentOf(pid_t pid, const std::string& name) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/environ", std::ios::binary);
    std::string entry;
    while (std::getline(file, entry, '\0')) {
        if (entry.rfind(name + "=", 0) == 0) return entry.substr(name.size() + 1);
    }
    return "";
}

std::vector<object> callsOf(const std::string& method) {
    std::vector<object> calls;
    for (const auto& call : desktop().logindCalls()) {
        if (call.at("method") == method.c_str()) calls.push_back(call);
    }
    return calls;
}

TEST_F(X11Power, PowerActionsReachThePrivateLoginManager) {
    // First the proof that the agent talks to this test's own system bus, never the machine's.
    const std::string bus = environmentOf(agent_->pid(), "DBUS_SYSTEM_BUS_ADDRESS");
    ASSERT_EQ(bus, desktop().systemBus());
    const std::string socket = bus.substr(std::string("unix:path=").size());
    ASSERT_EQ(socket.rfind(desktop().dir() + "/", 0), 0u);
    std::error_code ec;
    ASSERT_FALSE(std::filesystem::equivalent(socket, "/run/dbus/system_bus_socket", ec));
    ASSERT_NE(std::filesystem::weakly_canonical(socket), "/run/dbus/system_bus_socket");

    desktop().clearLogindCalls();
    expectSuccess(ask(R"({"id":"s","action":"shutdown"})"));
    expectSuccess(ask(R"({"id":"r","action":"restart","seconds":30})"));
    expectSuccess(ask(R"({"id":"l","action":"sleep"})"));
    for (const char* method : {"PowerOff", "Reboot", "Suspend"}) {
        const auto calls = callsOf(method);
        ASSERT_EQ(calls.size(), 1u) << method;
        EXPECT_EQ(calls[0].at("args"), (boost::json::array{true})) << method << " is interactive";
    }

    // A declined request, and one that gets no answer within the wait.
    desktop().setLogind({{"power", "error"}});
    expectFailure(ask(R"({"id":"r","action":"restart"})"), failures::powerDeclined);
    desktop().setLogind({{"power", "noreply"}});
    const auto start = std::chrono::steady_clock::now();
    expectFailure(ask(R"({"id":"l","action":"sleep"})", 30), failures::platformError);
    const double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(waited, 4.5);
    EXPECT_LT(waited, 15);

    // A locked session sends nothing.
    desktop().setLogind({{"locked", true}});
    desktop().clearLogindCalls();
    expectFailure(ask(R"({"id":"s","action":"shutdown"})"), failures::locked);
    EXPECT_TRUE(callsOf("PowerOff").empty());
}

TEST_F(X11Power, AutomationWordFollowsCanPowerOff) {
    const std::pair<const char*, const char*> words[] = {
        {"yes", "granted"}, {"challenge", "not-determined"}, {"no", "denied"}, {"na", "unavailable"}};
    for (const auto& [answer, word] : words) {
        desktop().setLogind({{"canPowerOff", answer}});
        object response = ask(R"({"id":"p","operation":"permissions.status"})");
        ASSERT_EQ(response.at("ok"), true) << boost::json::serialize(response);
        EXPECT_EQ(text(response.at("permissions").at("automation")), word) << answer;
    }
}

}  // namespace

// ---- key actions ------------------------------------------------------------------

using X11Keys = X11;

// Whether the window manager shows a window full screen.
bool fullScreen(Display* dpy, Window window) {
    Atom type;
    int format;
    unsigned long count, after;
    unsigned char* data = nullptr;
    bool found = false;
    const Atom fullscreen = XInternAtom(dpy, "_NET_WM_STATE_FULLSCREEN", False);
    if (XGetWindowProperty(dpy, window, XInternAtom(dpy, "_NET_WM_STATE", False), 0, 32, False, XA_ATOM, &type,
                           &format, &count, &after, &data) == Success && data != nullptr) {
        const auto* atoms = reinterpret_cast<const Atom*>(data);
        for (unsigned long i = 0; i < count; ++i) found = found || atoms[i] == fullscreen;
    }
    if (data != nullptr) XFree(data);
    return found;
}

TEST_F(X11Keys, PresentationKeysArriveBareAndTheTwoChordsActOnTheDesktop) {
    const struct {
        const char* action;
        KeySym key;
    } keys[] = {{"presentation:next", XK_Right}, {"presentation:previous", XK_Left}, {"presentation:start", XK_F5},
                {"presentation:end", XK_Escape}, {"presentation:blank", XK_b}};
    Window root = DefaultRootWindow(dpy_);
    // Grabbed without modifiers (the window manager holds some of these keys
    // with modifiers): a press with any modifier would not reach the grab.
    for (const auto& k : keys) {
        XGrabKey(dpy_, XKeysymToKeycode(dpy_, k.key), 0, root, False, GrabModeAsync, GrabModeAsync);
    }
    XSync(dpy_, False);
    for (const auto& k : keys) {
        SCOPED_TRACE(k.action);
        expectSuccess(ask(boost::json::serialize(object{{"id", "k"}, {"action", k.action}})));
        XEvent press, release;
        ASSERT_TRUE(nextEvent(press, {KeyPress}));
        ASSERT_TRUE(nextEvent(release, {KeyRelease}));
        EXPECT_EQ(XLookupKeysym(&press.xkey, 0), k.key);
    }
    for (const auto& k : keys) XUngrabKey(dpy_, XKeysymToKeycode(dpy_, k.key), 0, root);
    XSync(dpy_, False);

    // Control + command + F: the active window goes full screen and back, as
    // the window manager records it.
    Window window = XCreateSimpleWindow(dpy_, root, 100, 100, 300, 200, 0, 0, 0x808080);
    XMapWindow(dpy_, window);
    XSync(dpy_, False);
    ASSERT_TRUE(activate(dpy_, window));
    expectSuccess(ask(R"({"id":"f","action":"toggleFullscreen"})"));
    EXPECT_TRUE(waitFor([&] { return fullScreen(dpy_, window); }));
    expectSuccess(ask(R"({"id":"f","action":"toggleFullscreen"})"));
    EXPECT_TRUE(waitFor([&] { return !fullScreen(dpy_, window); }));
    XDestroyWindow(dpy_, window);
    XSync(dpy_, False);

    // Control + command + Q: logind locks the session.
    const std::size_t locks = callsOf("Lock").size();
    expectSuccess(ask(R"({"id":"l","action":"lock"})"));
    EXPECT_EQ(callsOf("Lock").size(), locks + 1);
}
