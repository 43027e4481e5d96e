// A private headless X11 desktop for the agent's end-to-end tests: an X server
// with two monitors, a window manager, a session bus with the accessibility
// bus, a private system bus with a stand-in login manager, and a GTK window
// with text fields. Started once per test binary, ended process by process.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <sys/types.h>

#include <boost/json.hpp>

struct _XDisplay;  // Xlib's Display

namespace x11test {

// The windows the window manager lists (_NET_CLIENT_LIST), oldest first.
std::vector<unsigned long> managedWindows(_XDisplay* dpy);

// Polls `done` every 20 ms until it is true or `seconds` have passed.
bool waitFor(const std::function<bool()>& done, double seconds = 10);

// A child process in a process group of its own, ended through that group.
class Process {
public:
    Process() = default;
    // `fds`: {child fd, parent fd} pairs to hand over (0, 1, 2 or more).
    Process(const std::vector<std::string>& argv, const std::vector<std::string>& env,
            const std::vector<std::pair<int, int>>& fds = {});
    ~Process() { stop(); }
    Process(Process&& other) noexcept { *this = std::move(other); }
    Process& operator=(Process&& other) noexcept;
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    pid_t pid() const { return pid_; }
    bool running();
    // Terminates the group (SIGTERM, then SIGKILL after two seconds) and reaps the child.
    void stop();
    // Waits for the child to exit by itself; its exit status, or -1 on timeout.
    int wait(double seconds);

private:
    pid_t pid_ = -1;
    int status_ = -1;
};

// Runs a helper program to completion; its exit status.
int run(const std::vector<std::string>& argv, const std::vector<std::string>& env, double seconds = 20);

// Starts a headless X server of one width x height screen on `display`, or on
// a free display when empty, and waits until it takes clients; its display name.
std::string startXServer(Process& server, const std::vector<std::string>& env, int width, int height,
                         const std::string& display = {});

class Desktop {
public:
    static constexpr int screenWidth = 2560;
    static constexpr int screenHeight = 1024;
    static constexpr int monitorWidth = 1280;  // left (primary) at x 0, right at x 1280

    void start();
    void stop();

    const std::string& display() const { return display_; }
    const std::string& sessionBus() const { return sessionBus_; }
    const std::string& systemBus() const { return systemBus_; }
    const std::string& dir() const { return dir_; }
    // The X server's process, to stop and continue it.
    pid_t xserverPid() const { return xserver_.pid(); }
    pid_t windowManagerPid() const { return windowManager_.pid(); }
    // The environment of every program on this desktop (the agent's too).
    std::vector<std::string> environment() const;

    // The stand-in login manager and screen saver: their facts (merged over
    // the defaults), signalled as the real ones do (not `state` or `remote`:
    // the agent reads those again within a second), and the calls they got.
    void setLogind(const boost::json::object& facts);
    std::vector<boost::json::object> logindCalls() const;
    void clearLogindCalls() const;

    // The text window: a command ("focus entry", "focus password", "focus view", "clear")
    // and what it has reported so far.
    void tellApp(const std::string& command);
    std::vector<boost::json::object> appReports() const;
    // The last text the app reported for a widget, empty when none.
    std::string appText(const std::string& widget) const;
    // Gives `widget` the focus and waits until the app reports it focused.
    bool focusApp(const std::string& widget);

private:
    std::string dir_, display_, sessionBus_, systemBus_;
    Process xserver_, windowManager_, session_, system_, accessibility_, logind_, app_;
    int appInput_ = -1;
};

// The desktop shared by every test of the binary.
Desktop& desktop();

// The agent binary, or empty when none is known.
std::string agentPath();

// The agent running on the desktop, one request line at a time.
class Agent {
public:
    // `extraEnvironment`: NAME=value entries added to the desktop's environment, or replacing its own;
    // `launcher`: a command line that runs the agent (it is appended to it).
    explicit Agent(const Desktop& desktop, const std::vector<std::string>& extraEnvironment = {},
                   const std::vector<std::string>& launcher = {});
    ~Agent();
    Agent(const Agent&) = delete;
    Agent& operator=(const Agent&) = delete;

    pid_t pid() const { return process_.pid(); }
    // Sends one line and returns the parsed response; throws when none comes within
    // `seconds`, and then ends the agent and starts a new one.
    boost::json::object ask(const std::string& line, double seconds = 20);
    // The same, the response line as it came.
    std::string askLine(const std::string& line, double seconds = 20);
    // Everything the agent wrote to standard error so far.
    std::string errors() const;

private:
    void start();
    void end();

    std::vector<std::string> env_, launcher_;
    Process process_;
    int in_ = -1, out_ = -1;
    std::string pending_, errPath_;
};

// A JSON value as text: a string as it is, anything else serialised.
std::string text(const boost::json::value& value);

// The RGB picture of an image payload's Base64 JPEG; empty when it does not decode.
struct Picture {
    int width = 0, height = 0;
    std::vector<uint8_t> rgb;
    std::array<int, 3> at(int x, int y) const {
        const std::size_t i = (static_cast<std::size_t>(y) * width + x) * 3;
        return {rgb[i], rgb[i + 1], rgb[i + 2]};
    }
};
Picture decodePayload(const boost::json::value& payload);

// Whether each channel is within 40 of the wanted colour (JPEG and scaling
// move colours a little).
bool near(std::array<int, 3> got, std::array<int, 3> want);

}  // namespace x11test
