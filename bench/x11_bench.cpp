// The Linux desktop agent against the floor (bench/x11_floor.c) in one run,
// on a private headless desktop (the X11 tests' own): a frame of a
// 1920 x 1024 monitor showing a desktop picture at one rung (quality 75), one
// scaled to 1280 x 720 at one rung and down the relay ladder from 95, and
// pointer moves and clicks; then all of it again with 1,000 client windows open.
//
//   x11_bench [frames]
//
// X11_BENCH_LAUNCHER, when set, is a command line the agent runs under
// (words split at spaces), e.g. "perf record -g -o /tmp/agent.data".
//
// Agent and floor take turns, five rounds a case. Wall times are medians,
// the ratio the median of the rounds' ratios, CPU times per frame. Targets:
// one rung at most 1.0x the floor's wall time, the relay ladder at most 0.6x,
// CPU within 1.3x the floor's, a pointer move or click at most 2 ms, none of
// it changing with 1,000 windows. It prints the figures and asserts nothing.
#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <time.h>
#include <unistd.h>

#include "capture/frame.h"
#include "capture/payload.h"
#include "platform/virtual/pictures.h"
#include "x11/harness.h"

// Xlib's macros last: they clash with names in the headers above.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace {

using Clock = std::chrono::steady_clock;
using x11test::Agent;
using x11test::Desktop;

constexpr int benchWidth = 1920;
constexpr int benchHeight = Desktop::screenHeight;

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

double processCpu(pid_t pid) {
    clockid_t clock{};
    if (clock_getcpuclockid(pid, &clock) != 0) return 0;
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

struct Figures {
    double wall = 0;  // ms, median
    double cpu = 0;   // ms per frame or request
};

// The floor program's answer to `arguments`.
std::vector<double> floorRun(const Desktop& desktop, const std::string& arguments) {
    const std::string command = "DISPLAY=" + desktop.display() + " " BRINDLECAST_X11_FLOOR " " + arguments;
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    if (!pipe) throw std::runtime_error("cannot run the floor");
    std::vector<double> values;
    double value = 0;
    while (std::fscanf(pipe.get(), "%lf", &value) == 1) values.push_back(value);
    if (values.empty()) throw std::runtime_error("the floor failed: " + arguments);
    return values;
}

std::string qualities(int start) {
    std::string list;
    for (double q : brindlecast::capture::qualityRungs(start / 100.0)) {
        if (!list.empty()) list += ",";
        list += std::to_string(brindlecast::capture::turboQuality(q));
    }
    return list;
}

// `count` requests through the agent: the median wall time, the CPU time a request.
Figures agentRun(Agent& agent, const std::vector<std::string>& requests, int count) {
    for (int i = 0; i < 2; ++i) agent.ask(requests[0]);  // warm up
    std::vector<double> walls;
    const double before = processCpu(agent.pid());
    for (int i = 0; i < count; ++i) {
        // Until the response's last byte: reading its JSON is the companion's work.
        const auto start = Clock::now();
        const std::string line = agent.askLine(requests[static_cast<std::size_t>(i) % requests.size()]);
        walls.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        const auto response = boost::json::parse(line).as_object();
        if (response.at("ok") != true) throw std::runtime_error("refused: " + boost::json::serialize(response));
    }
    return {median(walls), (processCpu(agent.pid()) - before) / count};
}

// The desktop picture on an unmanaged window over the bench monitor, kept as
// the window's background so that it never needs repainting.
Window showPicture(Display* dpy) {
    const auto picture = brindlecast::platform::renderDesktop(benchWidth, benchHeight, 3);
    std::vector<char> bgrx(static_cast<std::size_t>(benchWidth) * benchHeight * 4);
    for (std::size_t i = 0; i < bgrx.size(); i += 4) {
        const uint8_t* from = picture.bytes() + i;
        bgrx[i] = static_cast<char>(from[2]);
        bgrx[i + 1] = static_cast<char>(from[1]);
        bgrx[i + 2] = static_cast<char>(from[0]);
    }
    const int screen = DefaultScreen(dpy);
    Pixmap pixmap = XCreatePixmap(dpy, DefaultRootWindow(dpy), benchWidth, benchHeight, 24);
    XImage* image = XCreateImage(dpy, DefaultVisual(dpy, screen), 24, ZPixmap, 0, bgrx.data(), benchWidth,
                                 benchHeight, 32, benchWidth * 4);
    GC gc = XCreateGC(dpy, pixmap, 0, nullptr);
    XPutImage(dpy, pixmap, gc, image, 0, 0, 0, 0, benchWidth, benchHeight);
    image->data = nullptr;
    XDestroyImage(image);
    XFreeGC(dpy, gc);
    XSetWindowAttributes attributes{};
    attributes.override_redirect = True;
    attributes.background_pixmap = pixmap;
    Window window = XCreateWindow(dpy, DefaultRootWindow(dpy), 0, 0, benchWidth, benchHeight, 0, CopyFromParent,
                                  InputOutput, CopyFromParent, CWOverrideRedirect | CWBackPixmap, &attributes);
    XMapRaised(dpy, window);
    XFreePixmap(dpy, pixmap);
    XSync(dpy, False);
    return window;
}

// Waits until the window manager has been idle for half a second (at most a
// few minutes): managing a thousand new windows keeps it busy long after it
// lists them, and a busy window manager takes a core from whatever is measured.
// Returns how long it took, in seconds.
double waitUntilIdle(pid_t windowManager) {
    const auto start = Clock::now();
    double before = processCpu(windowManager);
    while (Clock::now() - start < std::chrono::minutes(3)) {
        usleep(500000);
        const double now = processCpu(windowManager);
        if (now - before < 10) break;  // under 2% of a core
        before = now;
    }
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Opens `count` small managed windows on the right of the screen, off the
// bench monitor, and waits until the window manager lists them.
std::vector<Window> openWindows(Display* dpy, int count) {
    std::vector<Window> windows;
    for (int i = 0; i < count; ++i) {
        const int x = benchWidth + (i % 20) * 30, y = (i / 20) * 20;
        Window w = XCreateSimpleWindow(dpy, DefaultRootWindow(dpy), x, y, 24, 16, 0, 0, 0x808080);
        // A position of the user's own: openbox places it as it is, rather
        // than search for the least overlap among a thousand windows.
        XSizeHints hints{};
        hints.flags = USPosition | USSize;
        hints.x = x;
        hints.y = y;
        hints.width = 24;
        hints.height = 16;
        XSetWMNormalHints(dpy, w, &hints);
        XMapWindow(dpy, w);
        windows.push_back(w);
    }
    XSync(dpy, False);
    x11test::waitFor([&] {
        return x11test::managedWindows(dpy).size() >= static_cast<std::size_t>(count);
    }, 60);
    return windows;
}

struct Row {
    std::string name;
    Figures agent, floor;
    double target;
    double ratio = 0;  // agent / floor, wall time
};

void print(const std::vector<Row>& rows, const char* heading) {
    std::printf("\n%s\n", heading);
    std::printf("| case | agent ms | floor ms | agent/floor | target | agent CPU ms | floor CPU ms | CPU ratio |\n");
    std::printf("|---|---|---|---|---|---|---|---|\n");
    for (const auto& row : rows) {
        if (row.floor.wall > 0) {
            std::printf("| %s | %.1f | %.1f | %.2f | %s%.1f | %.1f | %.1f | %.2f |\n", row.name.c_str(), row.agent.wall,
                        row.floor.wall, row.ratio, "<= ", row.target, row.agent.cpu,
                        row.floor.cpu, row.floor.cpu > 0 ? row.agent.cpu / row.floor.cpu : 0.0);
        } else {
            std::printf("| %s | %.2f | %.3f (XTest round trip) | | <= %.1f ms | %.2f | | |\n", row.name.c_str(),
                        row.agent.wall, row.floor.cpu, row.target, row.agent.cpu);
        }
    }
}

std::vector<Row> measure(const Desktop& desktop, Agent& agent, const std::string& monitorId, int frames) {
    constexpr int rounds = 5;
    const int perRound = std::max(3, frames / rounds);
    const std::string head = R"({"id":"b","operation":"desktop.frame","monitorId":")" + monitorId + R"(","profile":")";
    struct Frame {
        const char* name;
        const char* profile;
        int maxWidth, maxHeight, quality;
        long limit;
        double target;
    };
    const std::array<Frame, 3> cases{{
        {"1920x1024, one rung at 75", "balanced", 1920, 1080, 75, 2097152, 1.0},
        {"1920x1024 scaled to 1280x682, relay ladder from 95", "relay-quality", 1280, 720, 95, 184320, 0.6},
        {"1920x1024 scaled to 1280x682, one rung at 75", "balanced", 1280, 720, 75, 2097152, 1.0},
    }};
    std::vector<Row> rows;
    for (const auto& c : cases) {
        const std::string request = head + c.profile + R"(","maxWidth":)" + std::to_string(c.maxWidth) +
                                    R"(,"maxHeight":)" + std::to_string(c.maxHeight) + R"(,"jpegQuality":)" +
                                    std::to_string(c.quality) + "}";
        const auto size = brindlecast::capture::pictureSize(c.maxWidth, c.maxHeight,
                                                             {0, 0, double(benchWidth), double(benchHeight)});
        const std::string floorArguments = "frame 0 0 " + std::to_string(benchWidth) + " " +
                                           std::to_string(benchHeight) + " " + std::to_string(size.width) + " " +
                                           std::to_string(size.height) + " " + std::to_string(c.limit) + " " +
                                           std::to_string(perRound) + " " + qualities(c.quality);
        // Agent and floor take turns, so that a machine slowing down for a
        // while slows both; the ratio is the median of the rounds' ratios.
        std::vector<double> agentWalls, floorWalls, ratios;
        Row row{c.name, {}, {}, c.target};
        for (int round = 0; round < rounds; ++round) {
            const Figures agentRound = agentRun(agent, {request}, perRound);
            const auto floor = floorRun(desktop, floorArguments);
            agentWalls.push_back(agentRound.wall);
            floorWalls.push_back(floor.at(0));
            ratios.push_back(agentRound.wall / floor.at(0));
            row.agent.cpu += agentRound.cpu / rounds;
            row.floor.cpu += floor.at(1) / rounds;
        }
        row.agent.wall = median(agentWalls);
        row.floor.wall = median(floorWalls);
        row.ratio = median(ratios);
        rows.push_back(row);
    }
    const double roundTrip = floorRun(desktop, "pointer 200").at(0);
    std::vector<std::string> moves, clicks;
    for (int i = 0; i < 10; ++i) {
        const std::string at = R"("x":0.)" + std::to_string(1 + i) + R"(,"y":0.5)";
        moves.push_back(R"({"id":"p","operation":"presentation.pointer",)" + at + "}");
        clicks.push_back(R"({"id":"c","operation":"desktop.click","monitorId":")" + monitorId + R"(",)" + at + "}");
    }
    rows.push_back({"presentation.pointer", agentRun(agent, moves, 200), {0, roundTrip}, 2.0});
    rows.push_back({"desktop.click", agentRun(agent, clicks, 100), {0, roundTrip}, 2.0});
    return rows;
}

}  // namespace

int main(int argc, char** argv) {
    const int frames = argc > 1 ? std::max(3, std::atoi(argv[1])) : 15;
    Desktop& desktop = x11test::desktop();
    desktop.start();
    int status = 0;
    try {
        // A monitor of 1920 x 1024 at the screen's top-left, over the left one.
        if (x11test::run({"xrandr", "--display", desktop.display(), "--setmonitor", "bench",
                          std::to_string(benchWidth) + "/500x" + std::to_string(benchHeight) + "/270+0+0", "none"},
                         desktop.environment()) != 0) {
            throw std::runtime_error("xrandr --setmonitor");
        }
        Display* dpy = XOpenDisplay(desktop.display().c_str());
        if (dpy == nullptr) throw std::runtime_error("no display");
        showPicture(dpy);
        std::vector<std::string> launcher;
        if (const char* words = std::getenv("X11_BENCH_LAUNCHER")) {
            std::istringstream split(words);
            for (std::string word; split >> word;) launcher.push_back(word);
        }
        Agent agent(desktop, {}, launcher);
        std::string monitorId;
        const auto listed = agent.ask(R"({"id":"m","operation":"desktop.monitors"})");
        for (const auto& entry : listed.at("monitors").as_array()) {
            if (entry.at("bounds").at("width").to_number<int>() == benchWidth) monitorId = x11test::text(entry.at("id"));
        }
        if (monitorId.empty()) throw std::runtime_error("the bench monitor is not listed");
        std::printf("X11 desktop agent beside the floor, %d frames a case (Xvfb, openbox)\n", frames);
        print(measure(desktop, agent, monitorId, frames), "A few windows:");
        const auto windows = openWindows(dpy, 1000);
        std::printf("\n(the window manager was busy for %.0f s after listing the windows)\n",
                    waitUntilIdle(desktop.windowManagerPid()));
        print(measure(desktop, agent, monitorId, frames), "1,000 client windows:");
        for (Window w : windows) XDestroyWindow(dpy, w);
        XCloseDisplay(dpy);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "x11_bench: %s\n", error.what());
        status = 1;
    }
    desktop.stop();
    return status;
}
