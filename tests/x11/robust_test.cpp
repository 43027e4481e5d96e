// The X11 agent on a desktop that misbehaves: buses that take a connection
// and never answer, an X server grabbed by another client or stopped, a
// refused X connection, a system bus that restarts, and text fields whose
// toolkit answers the accessibility queries poorly (GTK 3 now and then, GTK 4
// always). Each request must answer in its bound and the next one try again.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "harness.h"
#include "host/failure.h"
#include "support/response_check.h"

// Xlib last: its macros (None, Bool, True) clash with the headers above.
#include <X11/Xlib.h>

namespace {

namespace fs = std::filesystem;
using boost::json::object;
using x11test::Agent;
using x11test::desktop;
using x11test::Process;
using x11test::text;
using x11test::waitFor;
namespace failures = brindlecast::failures;
using Clock = std::chrono::steady_clock;

// The agent's bound for what it waits on the desktop, and room for starting
// a request and answering it on a busy machine.
constexpr double boundSeconds = 5.0 + 2.5;

double since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

void expectPlatformFailure(const object& response) {
    EXPECT_EQ(response.at("ok"), false) << boost::json::serialize(response);
    if (response.at("ok") != false) return;
    EXPECT_EQ(text(response.at("code")), failures::platformError.code);
    EXPECT_EQ(text(response.at("error")), failures::platformError.onLinux());
}

void expectSuccess(const object& response) {
    EXPECT_EQ(response.at("ok"), true) << boost::json::serialize(response);
}

// Asks and checks that the answer is well formed and came within the bound.
object askInBound(Agent& agent, const std::string& line) {
    const auto start = Clock::now();
    object response = agent.ask(line, 30);
    EXPECT_LT(since(start), boundSeconds) << line << " took too long";
    EXPECT_EQ(testing_support::responseProblem(boost::json::serialize(response),
                                                   brindlecast::platform::DesktopSystem::linuxX11),
              "") << line;
    return response;
}

// A socket that takes every connection and never says a word.
class SilentSocket {
public:
    explicit SilentSocket(const std::string& path) : path_(path) {
        fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        path.copy(address.sun_path, sizeof address.sun_path - 1);
        fs::remove(path);
        EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        // Connections wait in the backlog, connected, and nobody reads them.
        EXPECT_EQ(listen(fd_, 64), 0);
    }
    ~SilentSocket() {
        close(fd_);
        fs::remove(path_);
    }
    SilentSocket(const SilentSocket&) = delete;
    SilentSocket& operator=(const SilentSocket&) = delete;

private:
    std::string path_;
    int fd_ = -1;
};

// Points the link at `target`, in one step.
void pointLink(const std::string& link, const std::string& target) {
    const std::string temp = link + ".new";
    fs::remove(temp);
    fs::create_symlink(target, temp);
    fs::rename(temp, link);
}

std::string readFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

// What a helper program writes to standard output.
std::string output(const std::vector<std::string>& argv) {
    const std::string path = desktop().dir() + "/helper.out";
    const int out = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    Process helper(argv, desktop().environment(), {{1, out}});
    close(out);
    helper.wait(20);
    return readFile(path);
}

// The socket path of the desktop's accessibility bus, as its launcher gives it.
std::string accessibilitySocket() {
    const std::string reply = output({"dbus-send", "--bus=" + desktop().sessionBus(), "--print-reply=literal",
                                      "--dest=org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus.GetAddress"});
    const std::size_t start = reply.find("unix:path=");
    if (start == std::string::npos) return "";
    const std::size_t from = start + std::string("unix:path=").size();
    return reply.substr(from, reply.find_first_of(",\n ", from) - from);
}

std::string textRequest(const std::string& typed) {
    return boost::json::serialize(object{{"id", "t"}, {"operation", "desktop.text"}, {"text", typed}});
}

// ---- buses that never answer -------------------------------------------------------

TEST(X11Hostile, ABusThatNeverAnswersIsAPlatformFailureInTimeAndTheNextRequestTriesAgain) {
    if (x11test::agentPath().empty()) GTEST_SKIP() << "no X11 agent";
    const std::string dir = desktop().dir();
    const std::string accessibility = accessibilitySocket();
    ASSERT_NE(accessibility, "") << "the accessibility bus has no socket path";
    struct Case {
        std::string variable;
        std::string real;   // the bus's own socket
        std::string line;   // a request that needs that bus
        std::string typed;  // what that request types, if anything
    };
    const std::string status = R"({"id":"p","operation":"permissions.status"})";
    const std::string guard = R"({"id":"g","operation":"desktop.guard"})";
    const std::vector<Case> cases{
        {"DBUS_SYSTEM_BUS_ADDRESS", dir + "/system.sock", status, ""},
        {"DBUS_SESSION_BUS_ADDRESS", dir + "/session.sock", guard, ""},
        {"AT_SPI_BUS_ADDRESS", accessibility, textRequest("later"), "later"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.variable);
        SilentSocket silent(dir + "/silent.sock");
        const std::string link = dir + "/flip.sock";
        pointLink(link, dir + "/silent.sock");
        Agent agent(desktop(), {c.variable + "=unix:path=" + link});
        ASSERT_TRUE(desktop().focusApp("entry"));
        desktop().tellApp("clear");
        // The agent's first connection to the bus: no answer ever comes.
        expectPlatformFailure(askInBound(agent, c.line));
        expectPlatformFailure(askInBound(agent, c.line));
        // The bus answers now: the next request connects and succeeds.
        pointLink(link, c.real);
        ASSERT_TRUE(desktop().focusApp("entry"));
        expectSuccess(askInBound(agent, c.line));
        // Only the request that was answered typed.
        EXPECT_TRUE(waitFor([&] { return desktop().appText("entry") == c.typed; }, c.typed.empty() ? 0.5 : 10))
            << "the entry holds: " << desktop().appText("entry");
        EXPECT_EQ(agent.errors(), "");
        fs::remove(link);
    }
}

// The descriptors a process holds.
int descriptors(pid_t pid) {
    int count = 0;
    std::error_code ec;
    for (auto it = fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec);
         !ec && it != fs::directory_iterator(); it.increment(ec)) {
        ++count;
    }
    return count;
}

TEST(X11Hostile, ASystemBusThatRestartsLeavesNoSocketBehind) {
    if (x11test::agentPath().empty()) GTEST_SKIP() << "no X11 agent";
    const std::string dir = desktop().dir();
    const std::string socketPath = dir + "/restarting.sock";
    {
        std::ofstream config(dir + "/restarting.conf");
        config << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
                  " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                  "<busconfig><type>session</type><listen>unix:path="
               << socketPath
               << "</listen><policy context=\"default\"><allow send_destination=\"*\"/><allow receive_sender=\"*\"/>"
                  "<allow own=\"*\"/></policy></busconfig>\n";
    }
    Agent agent(desktop(), {"DBUS_SYSTEM_BUS_ADDRESS=unix:path=" + socketPath});
    int first = 0;
    for (int round = 0; round < 10; ++round) {
        fs::remove(socketPath);
        Process bus({"dbus-daemon", "--nofork", "--config-file=" + dir + "/restarting.conf"}, desktop().environment());
        ASSERT_TRUE(waitFor([&] { return fs::exists(socketPath); })) << "the bus did not start";
        // permissions.status asks logind on this bus, which has no logind: "unavailable".
        const object response = askInBound(agent, R"({"id":"p","operation":"permissions.status"})");
        expectSuccess(response);
        if (response.at("ok") == true) {
            EXPECT_EQ(text(response.at("permissions").at("automation")), "unavailable");
        }
        if (round == 0) first = descriptors(agent.pid());
        bus.stop();
    }
    // One more request sees the bus gone for good, and lets go of the last connection.
    expectSuccess(askInBound(agent, R"({"id":"p","operation":"permissions.status"})"));
    EXPECT_LE(descriptors(agent.pid()), first) << "descriptors after ten restarts of the system bus";
}

// ---- an X server that does not answer ---------------------------------------------------

// Continues the X server should a test end while it is stopped.
struct Continue {
    pid_t pid;
    ~Continue() { kill(pid, SIGCONT); }
};

TEST(X11Hostile, AGrabbedOrStoppedXServerIsAPlatformFailureInTimeAndControlComesBack) {
    if (x11test::agentPath().empty()) GTEST_SKIP() << "no X11 agent";
    Agent agent(desktop());
    const std::string status = R"({"id":"p","operation":"permissions.status"})";
    const std::string monitors = R"({"id":"m","operation":"desktop.monitors"})";
    expectSuccess(askInBound(agent, status));

    Display* grabber = XOpenDisplay(desktop().display().c_str());
    ASSERT_NE(grabber, nullptr);
    XGrabServer(grabber);
    XSync(grabber, False);
    // The agent's connection waits behind the grab; then a new one would too.
    expectPlatformFailure(askInBound(agent, status));
    expectPlatformFailure(askInBound(agent, monitors));
    XUngrabServer(grabber);
    XSync(grabber, False);
    XCloseDisplay(grabber);
    const object freed = askInBound(agent, status);
    expectSuccess(freed);
    if (freed.at("ok") == true) {
        EXPECT_EQ(freed.at("permissions").at("accessibility"), true);
    }

    {
        const Continue resume{desktop().xserverPid()};
        ASSERT_EQ(kill(resume.pid, SIGSTOP), 0);
        expectPlatformFailure(askInBound(agent, monitors));
        expectPlatformFailure(askInBound(agent, status));
    }
    const object back = askInBound(agent, monitors);
    expectSuccess(back);
    if (back.at("ok") == true) {
        EXPECT_EQ(back.at("monitors").as_array().size(), 2u);
    }
    EXPECT_EQ(agent.errors(), "");
}

// ---- a refused X connection -------------------------------------------------------------

// An X authority file with one cookie for every display.
void writeAuthority(const std::string& path, unsigned char fill) {
    std::string data;
    auto field = [&](const std::string& bytes) {
        data.push_back(static_cast<char>(bytes.size() >> 8));
        data.push_back(static_cast<char>(bytes.size() & 0xff));
        data += bytes;
    };
    data += "\xff\xff";  // any family
    field("");           // any address
    field("");           // any display number
    field("MIT-MAGIC-COOKIE-1");
    field(std::string(16, static_cast<char>(fill)));
    std::ofstream(path, std::ios::binary) << data;
}

TEST(X11Hostile, ARefusedXConnectionStaysOffStandardErrorAndIsNotRetriedEveryRequest) {
    if (x11test::agentPath().empty()) GTEST_SKIP() << "no X11 agent";
    const std::string dir = desktop().dir();
    writeAuthority(dir + "/good.auth", 0x5a);
    writeAuthority(dir + "/wrong.auth", 0xa5);
    // An X server of its own that wants the good cookie.
    int displayPipe[2];
    ASSERT_EQ(pipe2(displayPipe, O_CLOEXEC), 0);
    Process xserver({"Xvfb", "-displayfd", "3", "-auth", dir + "/good.auth", "-nolisten", "tcp", "-screen", "0",
                     "640x480x24"},
                    desktop().environment(), {{3, displayPipe[1]}});
    close(displayPipe[1]);
    std::string number;
    pollfd ready{displayPipe[0], POLLIN, 0};
    char c = 0;
    while (poll(&ready, 1, 20000) == 1 && read(displayPipe[0], &c, 1) == 1 && c != '\n') number.push_back(c);
    close(displayPipe[0]);
    ASSERT_FALSE(number.empty()) << "Xvfb gave no display";

    for (const std::string& authority : {dir + "/wrong.auth", dir + "/missing.auth"}) {
        SCOPED_TRACE(authority);
        Agent agent(desktop(), {"DISPLAY=:" + number, "XAUTHORITY=" + authority});
        // The server answers a refused client after a delay of its own; asking
        // it again on every request would cost that delay every time.
        const auto start = Clock::now();
        for (int i = 0; i < 12; ++i) {
            const object response = askInBound(agent, R"({"id":"p","operation":"permissions.status"})");
            expectSuccess(response);
            if (response.at("ok") == true) {
                EXPECT_EQ(response.at("permissions").at("accessibility"), false);
            }
        }
        EXPECT_LT(since(start), 3.0) << "twelve requests against a refusing server";
        EXPECT_EQ(agent.errors(), "") << "the agent wrote to standard error";
    }
}

// ---- text fields ------------------------------------------------------------------------

TEST(X11HostileText, AGtk3EntryThatStaysFocusedTakesEveryText) {
    if (x11test::agentPath().empty()) GTEST_SKIP() << "no X11 agent";
    Agent agent(desktop());
    ASSERT_TRUE(desktop().focusApp("entry"));
    desktop().tellApp("clear");
    ASSERT_TRUE(waitFor([&] { return desktop().appText("entry").empty(); }));
    // Back to back, no retries: every one must find the entry.
    for (int i = 0; i < 30; ++i) expectSuccess(askInBound(agent, textRequest("x")));
    EXPECT_TRUE(waitFor([&] { return desktop().appText("entry") == std::string(30, 'x'); }))
        << "the entry holds: " << desktop().appText("entry");
}

TEST(X11HostileText, TextArrivesInAGtk4EntryInsidePanels) {
    if (x11test::agentPath().empty()) GTEST_SKIP() << "no X11 agent";
    Display* dpy = XOpenDisplay(desktop().display().c_str());
    ASSERT_NE(dpy, nullptr);
    const std::size_t windowsBefore = x11test::managedWindows(dpy).size();
    const std::string log = desktop().dir() + "/gtk4.log";
    int input[2];
    ASSERT_EQ(pipe2(input, O_CLOEXEC), 0);
    const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    Process app({"/usr/bin/python3", BRINDLECAST_X11_SCRIPTS "/text_app4.py"}, desktop().environment(),
                {{0, input[0]}, {1, out}});
    close(input[0]);
    close(out);
    auto reports = [&] { return readFile(log); };
    // The entry's text as the window last reported it.
    auto entryText = [&] {
        std::string last;
        std::istringstream lines(reports());
        for (std::string line; std::getline(lines, line);) {
            boost::system::error_code ec;
            const auto value = boost::json::parse(line, ec);
            if (!ec && value.is_object() && value.as_object().contains("text")) last = text(value.at("text"));
        }
        return last;
    };
    ASSERT_TRUE(waitFor([&] { return reports().find("\"ready\"") != std::string::npos; }, 20))
        << "the GTK 4 window did not start: " << reports();
    // The window manager may ignore an activation while it holds a grab: ask again until it is seen.
    ASSERT_TRUE(waitFor([&] {
        EXPECT_EQ(write(input[1], "focus\n", 6), 6);
        return waitFor([&] { return reports().find("\"focus\"") != std::string::npos; }, 1);
    }, 15)) << "the GTK 4 entry never had the focus";

    Agent agent(desktop());
    const std::string typed = "Grüße aus GTK 4";
    // The accessibility bus may learn of the new active window a little after the window manager.
    object response;
    waitFor([&] {
        response = askInBound(agent, textRequest(typed));
        return response.at("ok") == true || text(response.at("error")) != failures::noTextField.onLinux();
    }, 10);
    expectSuccess(response);
    EXPECT_TRUE(waitFor([&] { return entryText() == typed; })) << "the GTK 4 entry holds: " << entryText();
    close(input[1]);
    app.wait(5);
    // The next tests look at every managed window: this one must be gone from the list first.
    EXPECT_TRUE(waitFor([&] { return x11test::managedWindows(dpy).size() == windowsBefore; }));
    XCloseDisplay(dpy);
}

}  // namespace
