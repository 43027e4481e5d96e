#include "harness.h"

#include "support/pictures.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#ifndef BRINDLECAST_X11_SCRIPTS
#error "BRINDLECAST_X11_SCRIPTS must name the folder of the helper scripts"
#endif

extern char** environ;

namespace x11test {

namespace {

using Clock = std::chrono::steady_clock;

const bool ignoreBrokenPipes = (std::signal(SIGPIPE, SIG_IGN), true);

std::string python() { return std::filesystem::exists("/usr/bin/python3") ? "/usr/bin/python3" : "python3"; }

std::string readFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

std::vector<boost::json::object> jsonLines(const std::string& path) {
    std::vector<boost::json::object> lines;
    std::istringstream text(readFile(path));
    std::string line;
    while (std::getline(text, line)) {
        boost::system::error_code ec;
        boost::json::value value = boost::json::parse(line, ec);
        if (!ec && value.is_object()) lines.push_back(value.as_object());  // a half-written last line waits
    }
    return lines;
}

void writeFile(const std::string& path, const std::string& text) {
    const std::string temp = path + ".new";
    std::ofstream(temp, std::ios::binary | std::ios::trunc) << text;
    std::filesystem::rename(temp, path);
}

std::string busConfig(const std::string& socket, bool services) {
    return "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
           " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
           "<busconfig>\n  <type>session</type>\n  <listen>unix:path=" + socket + "</listen>\n" +
           (services ? "  <standard_session_servicedirs/>\n" : "") +
           "  <policy context=\"default\">\n    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
           "    <allow eavesdrop=\"true\"/>\n    <allow own=\"*\"/>\n  </policy>\n</busconfig>\n";
}

// One Xlib connection for the harness's own checks.
struct Connection {
    Display* dpy;
    explicit Connection(const std::string& name) : dpy(XOpenDisplay(name.c_str())) {}
    ~Connection() { if (dpy != nullptr) XCloseDisplay(dpy); }
};

bool wmRunning(Display* dpy) {
    Atom check = XInternAtom(dpy, "_NET_SUPPORTING_WM_CHECK", False);
    Atom type;
    int format;
    unsigned long count, after;
    unsigned char* data = nullptr;
    bool found = XGetWindowProperty(dpy, DefaultRootWindow(dpy), check, 0, 1, False, XA_WINDOW, &type, &format,
                                    &count, &after, &data) == Success &&
                 count == 1;
    if (data != nullptr) XFree(data);
    return found;
}

int monitorCount(Display* dpy) {
    int count = 0;
    XRRMonitorInfo* monitors = XRRGetMonitors(dpy, DefaultRootWindow(dpy), True, &count);
    if (monitors != nullptr) XRRFreeMonitors(monitors);
    return count;
}

void require(bool ok, const std::string& what) {
    if (!ok) throw std::runtime_error("desktop harness: " + what);
}

}  // namespace

bool waitFor(const std::function<bool()>& done, double seconds) {
    const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
    while (true) {
        if (done()) return true;
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

Process::Process(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                 const std::vector<std::pair<int, int>>& fds) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const int devNull = open("/dev/null", O_RDWR | O_CLOEXEC);
    bool given[3] = {false, false, false};
    for (auto [child, parent] : fds) {
        posix_spawn_file_actions_adddup2(&actions, parent, child);
        if (child < 3) given[child] = true;
    }
    for (int fd = 0; fd < 3; ++fd) {
        if (!given[fd]) posix_spawn_file_actions_adddup2(&actions, devNull, fd);
    }
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    posix_spawnattr_setpgroup(&attr, 0);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &all);
    std::vector<std::string> args = argv, envs = env;
    std::vector<char*> argp, envp;
    for (auto& a : args) argp.push_back(a.data());
    for (auto& e : envs) envp.push_back(e.data());
    argp.push_back(nullptr);
    envp.push_back(nullptr);
    const int failed = posix_spawnp(&pid_, args[0].c_str(), &actions, &attr, argp.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    close(devNull);
    if (failed != 0) {
        pid_ = -1;
        throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(failed));
    }
}

Process& Process::operator=(Process&& other) noexcept {
    if (this != &other) {
        stop();
        pid_ = other.pid_;
        status_ = other.status_;
        other.pid_ = -1;
    }
    return *this;
}

bool Process::running() {
    if (pid_ < 0) return false;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
        status_ = status;
        kill(-pid_, SIGKILL);  // whatever the leader left behind in its group
        pid_ = -1;
        return false;
    }
    return true;
}

int Process::wait(double seconds) {
    if (!waitFor([&] { return !running(); }, seconds)) return -1;
    return WIFEXITED(status_) ? WEXITSTATUS(status_) : 128 + WTERMSIG(status_);
}

void Process::stop() {
    if (pid_ < 0) return;
    const pid_t group = pid_;
    kill(-group, SIGTERM);
    if (wait(2) < 0) {
        kill(-group, SIGKILL);
        waitpid(pid_, &status_, 0);
        pid_ = -1;
    }
    kill(-group, SIGKILL);  // members that outlived their leader
}

int run(const std::vector<std::string>& argv, const std::vector<std::string>& env, double seconds) {
    Process helper(argv, env);
    const int status = helper.wait(seconds);
    return status;
}

std::string startXServer(Process& server, const std::vector<std::string>& env, int width, int height,
                         const std::string& display) {
    // The X server writes its display number to the pipe once it takes clients.
    int displayPipe[2];
    require(pipe2(displayPipe, O_CLOEXEC) == 0, "pipe");
    std::vector<std::string> argv{"Xvfb"};
    if (!display.empty()) argv.push_back(display);
    argv.insert(argv.end(), {"-displayfd", "3", "-screen", "0",
                             std::to_string(width) + "x" + std::to_string(height) + "x24", "-nolisten", "tcp", "-br",
                             "-noreset", "+extension", "RANDR"});
    server = Process(argv, env, {{3, displayPipe[1]}});
    close(displayPipe[1]);
    std::string number;
    pollfd fd{displayPipe[0], POLLIN, 0};
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    while (number.find('\n') == std::string::npos && Clock::now() < deadline) {
        if (poll(&fd, 1, 100) <= 0) continue;
        char c;
        if (read(displayPipe[0], &c, 1) != 1) break;
        number.push_back(c);
    }
    close(displayPipe[0]);
    require(number.find('\n') != std::string::npos, "Xvfb gave no display");
    number.pop_back();
    return ":" + number;
}

std::vector<std::string> Desktop::environment() const {
    std::vector<std::string> env;
    for (const char* name : {"PATH", "HOME", "LANG", "TMPDIR"}) {
        if (const char* value = std::getenv(name)) env.push_back(std::string(name) + "=" + value);
    }
    env.push_back("DISPLAY=" + display_);
    env.push_back("DBUS_SESSION_BUS_ADDRESS=" + sessionBus_);
    env.push_back("DBUS_SYSTEM_BUS_ADDRESS=" + systemBus_);
    env.push_back("XDG_SESSION_ID=c1");
    env.push_back("XDG_RUNTIME_DIR=" + dir_);
    env.push_back("GSETTINGS_BACKEND=memory");
    return env;
}

void Desktop::start() {
    char pattern[] = "/tmp/brindlecast-x11-XXXXXX";
    require(mkdtemp(pattern) != nullptr, "mkdtemp");
    dir_ = pattern;
    chmod(dir_.c_str(), 0700);

    display_ = startXServer(xserver_, environment(), screenWidth, screenHeight);

    // Two monitors side by side; the left one is the primary.
    const std::string size = std::to_string(monitorWidth) + "/338x" + std::to_string(screenHeight) + "/270";
    require(run({"xrandr", "--display", display_, "--setmonitor", "*left", size + "+0+0", "screen"},
                environment()) == 0, "xrandr left");
    require(run({"xrandr", "--display", display_, "--setmonitor", "right",
                 size + "+" + std::to_string(monitorWidth) + "+0", "none"}, environment()) == 0,
            "xrandr right");
    Connection x(display_);
    require(x.dpy != nullptr, "cannot open " + display_);
    require(waitFor([&] { return monitorCount(x.dpy) == 2; }), "RandR does not list two monitors");

    windowManager_ = Process({"openbox", "--sm-disable"}, environment());
    require(waitFor([&] { return wmRunning(x.dpy); }, 20), "openbox did not start");

    // The session bus (with the accessibility bus on it) and the private system bus.
    sessionBus_ = "unix:path=" + dir_ + "/session.sock";
    systemBus_ = "unix:path=" + dir_ + "/system.sock";
    writeFile(dir_ + "/session.conf", busConfig(dir_ + "/session.sock", true));
    writeFile(dir_ + "/system.conf", busConfig(dir_ + "/system.sock", false));
    session_ = Process({"dbus-daemon", "--nofork", "--config-file=" + dir_ + "/session.conf"}, environment());
    system_ = Process({"dbus-daemon", "--nofork", "--config-file=" + dir_ + "/system.conf"}, environment());
    require(waitFor([&] {
                return std::filesystem::exists(dir_ + "/session.sock") &&
                       std::filesystem::exists(dir_ + "/system.sock");
            }),
            "the buses did not start");
    accessibility_ = Process({"/usr/libexec/at-spi-bus-launcher", "--launch-immediately"}, environment());
    require(waitFor([&] {
                return run({"dbus-send", "--bus=" + sessionBus_, "--print-reply", "--dest=org.a11y.Bus",
                            "/org/a11y/bus", "org.a11y.Bus.GetAddress"}, environment()) == 0;
            }, 20),
            "the accessibility bus did not start");

    setLogind({});
    int logindOut[2];
    require(pipe2(logindOut, O_CLOEXEC) == 0, "pipe");
    logind_ = Process({python(), BRINDLECAST_X11_SCRIPTS "/fake_logind.py", dir_ + "/logind.json",
                       dir_ + "/logind.log"},
                      environment(), {{1, logindOut[1]}});
    close(logindOut[1]);
    pollfd ready{logindOut[0], POLLIN, 0};
    require(poll(&ready, 1, 20000) == 1, "the login manager stand-in did not start");
    close(logindOut[0]);

    int appIn[2];
    require(pipe2(appIn, O_CLOEXEC) == 0, "pipe");
    const int appOut = open((dir_ + "/app.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    app_ = Process({python(), BRINDLECAST_X11_SCRIPTS "/text_app.py"}, environment(), {{0, appIn[0]}, {1, appOut}});
    close(appIn[0]);
    close(appOut);
    appInput_ = appIn[1];
    require(waitFor([&] {
                auto reports = appReports();
                return !reports.empty() && reports.front().contains("ready");
            }, 20),
            "the text window did not start");
}

void Desktop::stop() {
    if (appInput_ >= 0) close(appInput_);
    appInput_ = -1;
    app_.stop();
    logind_.stop();
    accessibility_.stop();
    system_.stop();
    session_.stop();
    windowManager_.stop();
    xserver_.stop();
    if (!dir_.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
}

void Desktop::setLogind(const boost::json::object& facts) {
    writeFile(dir_ + "/logind.json", boost::json::serialize(facts));
    // Before the stand-in runs, it reads the file as it starts.
    if (!logind_.running()) return;
    require(run({"dbus-send", "--bus=" + systemBus_, "--print-reply", "--dest=org.freedesktop.login1", "/test",
                 "test.Control.Reload"}, environment()) == 0,
            "the login manager stand-in did not reload");
}

std::vector<boost::json::object> Desktop::logindCalls() const { return jsonLines(dir_ + "/logind.log"); }

void Desktop::clearLogindCalls() const {
    std::error_code ec;
    std::filesystem::remove(dir_ + "/logind.log", ec);
}

void Desktop::tellApp(const std::string& command) {
    const std::string line = command + "\n";
    require(write(appInput_, line.data(), line.size()) == static_cast<ssize_t>(line.size()), "app command");
}

std::vector<boost::json::object> Desktop::appReports() const { return jsonLines(dir_ + "/app.log"); }

std::string Desktop::appText(const std::string& widget) const {
    std::string text;
    for (const auto& report : appReports()) {
        if (report.contains("widget") && report.at("widget") == widget.c_str()) {
            text = std::string(report.at("text").as_string());
        }
    }
    return text;
}

bool Desktop::focusApp(const std::string& widget) {
    // The window manager may ignore an activation while it holds a grab: ask again until it is seen.
    return waitFor([&] {
        const std::size_t before = appReports().size();
        tellApp("focus " + widget);
        waitFor([&] { return appReports().size() > before; }, 1);
        const auto reports = appReports();
        for (auto it = reports.rbegin(); it != reports.rend(); ++it) {
            if (it->contains("focus")) return it->at("focus") == widget.c_str();
        }
        return false;
    }, 15);
}

std::vector<unsigned long> managedWindows(Display* dpy) {
    Atom type = 0;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    XGetWindowProperty(dpy, DefaultRootWindow(dpy), XInternAtom(dpy, "_NET_CLIENT_LIST", False), 0, 1 << 16, False,
                       XA_WINDOW, &type, &format, &count, &after, &data);
    std::vector<unsigned long> windows;
    if (data != nullptr && format == 32) {
        const auto* items = reinterpret_cast<const unsigned long*>(data);
        windows.assign(items, items + count);
    }
    if (data != nullptr) XFree(data);
    return windows;
}

Desktop& desktop() {
    static Desktop shared;
    return shared;
}

std::string agentPath() {
#ifdef BRINDLECAST_X11_AGENT
    return BRINDLECAST_X11_AGENT;
#else
    const char* path = std::getenv("BRINDLECAST_X11_AGENT");
    return path != nullptr ? path : "";
#endif
}

Agent::Agent(const Desktop& desktop, const std::vector<std::string>& extraEnvironment,
             const std::vector<std::string>& launcher)
    : env_(desktop.environment()), launcher_(launcher) {
    for (const auto& entry : extraEnvironment) {
        const std::string name = entry.substr(0, entry.find('=') + 1);
        std::erase_if(env_, [&](const std::string& known) { return known.starts_with(name); });
        env_.push_back(entry);
    }
    errPath_ = desktop.dir() + "/agent-" + std::to_string(Clock::now().time_since_epoch().count()) + ".err";
    start();
}

void Agent::start() {
    int in[2], out[2];
    require(pipe2(in, O_CLOEXEC) == 0 && pipe2(out, O_CLOEXEC) == 0, "pipe");
    const int err = open(errPath_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    std::vector<std::string> argv = launcher_;
    argv.push_back(agentPath());
    process_ = Process(argv, env_, {{0, in[0]}, {1, out[1]}, {2, err}});
    close(in[0]);
    close(out[1]);
    close(err);
    in_ = in[1];
    out_ = out[0];
    pending_.clear();
}

void Agent::end() {
    close(in_);  // the agent exits when its input ends
    if (process_.wait(10) < 0) process_.stop();
    close(out_);
}

Agent::~Agent() { end(); }

boost::json::object Agent::ask(const std::string& line, double seconds) {
    return boost::json::parse(askLine(line, seconds)).as_object();
}

std::string Agent::askLine(const std::string& line, double seconds) {
    const std::string request = line + "\n";
    require(write(in_, request.data(), request.size()) == static_cast<ssize_t>(request.size()),
            "the agent does not read: " + line);
    const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
    // Only the bytes not yet looked at are searched for the line's end.
    std::size_t searched = 0, lineEnd = std::string::npos;
    while ((lineEnd = pending_.find('\n', searched)) == std::string::npos) {
        searched = pending_.size();
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd fd{out_, POLLIN, 0};
        if (left <= 0 || poll(&fd, 1, static_cast<int>(left)) <= 0) {
            // A hung agent would answer the next test's requests late: the later tests get a new one.
            process_.stop();
            end();
            start();
            require(false, "no answer within " + std::to_string(seconds) + " s to " + line);
        }
        char buffer[65536];
        const ssize_t k = read(out_, buffer, sizeof buffer);
        require(k > 0, "the agent ended; it answered " + pending_ + " to " + line);
        pending_.append(buffer, static_cast<std::size_t>(k));
    }
    std::string answer = pending_.substr(0, lineEnd);
    pending_.erase(0, lineEnd + 1);
    return answer;
}

std::string Agent::errors() const { return readFile(errPath_); }

std::string text(const boost::json::value& value) {
    return value.is_string() ? std::string(value.get_string()) : boost::json::serialize(value);
}

Picture decodePayload(const boost::json::value& payload) {
    const auto jpeg = testing_support::base64Decode(text(payload.at("data")));
    const auto info = testing_support::jpegInfo(jpeg);
    Picture picture;
    picture.rgb = testing_support::jpegPixels(jpeg);
    if (!picture.rgb.empty()) {
        picture.width = info.width;
        picture.height = info.height;
    }
    return picture;
}

bool near(std::array<int, 3> got, std::array<int, 3> want) {
    for (int i = 0; i < 3; ++i) {
        if (std::abs(got[i] - want[i]) > 40) return false;
    }
    return true;
}

}  // namespace x11test
