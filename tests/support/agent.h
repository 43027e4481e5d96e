// Running the real agent binary against a virtual Mac, for end-to-end tests.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include <boost/json.hpp>

namespace testing_support {

// The text of a JSON string value, or "<not a string: ...>" for any other value.
std::string textOf(const boost::json::value& value);

// A started program with pipes to its standard input, output and error.
struct ChildProcess {
    int pid = -1;
    int in = -1;
    int out = -1;
    int err = -1;
};

// Starts `program` with BRINDLECAST_VIRTUAL_MAC set to `statePath` (empty:
// the built-in default Mac). `nonBlocking`: its standard input and output are
// handed over in non-blocking mode, as some parents do.
ChildProcess spawnProgram(const std::string& program, const std::string& statePath, bool nonBlocking = false);

// The agent binary started the same way.
ChildProcess spawnAgent(const std::string& statePath, bool nonBlocking = false);

// A scratch folder with a state file and an event log for one virtual Mac.
class VirtualMacFiles {
public:
    VirtualMacFiles();
    ~VirtualMacFiles();
    VirtualMacFiles(const VirtualMacFiles&) = delete;
    VirtualMacFiles& operator=(const VirtualMacFiles&) = delete;

    // Writes the state (with "eventLog" pointing at this folder's log unless
    // the state names one) to a new file renamed over the old one.
    void write(boost::json::object state);
    const std::string& statePath() const { return statePath_; }
    const std::string& logPath() const { return logPath_; }
    const std::string& dir() const { return dir_; }
    // The event log lines written so far, each parsed.
    std::vector<boost::json::object> log() const;
    void clearLog() const;

private:
    std::string dir_;
    std::string statePath_;
    std::string logPath_;
};

struct AgentRun {
    std::string out;                 // everything on standard output
    std::string err;                 // everything on standard error
    int exitStatus = -1;
    std::vector<std::string> lines;  // standard output split at line feeds
    // The response lines parsed as JSON objects.
    std::vector<boost::json::object> responses() const;
};

// Runs the agent with `input` on standard input until it exits. `statePath`
// empty: the built-in default virtual Mac.
AgentRun runAgent(std::string_view input, const std::string& statePath = "");

// Sends one request line, returns the parsed response (one run of the agent).
boost::json::object ask(std::string_view requestLine, const std::string& statePath = "");

// A running agent that answers one line at a time, for tests that change the
// Mac between two requests.
class AgentProcess {
public:
    explicit AgentProcess(const std::string& statePath = "");
    ~AgentProcess();
    AgentProcess(const AgentProcess&) = delete;
    AgentProcess& operator=(const AgentProcess&) = delete;

    // Writes the line and a line feed, waits for one response line.
    std::string request(std::string_view line);
    boost::json::object ask(std::string_view line);
    // Closes standard input and waits for the exit status.
    int finish();

private:
    int pid_ = -1;
    int in_ = -1;
    int out_ = -1;
    std::string pending_;
};

}  // namespace testing_support
