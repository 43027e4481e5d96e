#include "support/agent.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {
// A test that writes to an agent which has exited must fail, not die.
const bool ignoreBrokenPipes = (std::signal(SIGPIPE, SIG_IGN), true);
}  // namespace

namespace testing_support {

namespace {

std::vector<std::string> environmentWith(const std::string& statePath) {
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        if (std::strncmp(*e, "BRINDLECAST_VIRTUAL_MAC=", 24) == 0) continue;
        env.emplace_back(*e);
    }
    env.push_back("BRINDLECAST_VIRTUAL_MAC=" + statePath);
    return env;
}

// A pipe whose two ends are closed on exec (pipe2 is Linux-only).
bool closeOnExecPipe(int fds[2]) {
#ifdef __linux__
    return pipe2(fds, O_CLOEXEC) == 0;
#else
    if (pipe(fds) != 0) return false;
    return fcntl(fds[0], F_SETFD, FD_CLOEXEC) == 0 && fcntl(fds[1], F_SETFD, FD_CLOEXEC) == 0;
#endif
}


// BRINDLECAST_TRANSCRIPTS names a folder: every request and response line and
// every event-log line the tests see is appended there, for the schema check
// that runs after the tests.
std::string transcriptFile(std::string_view kind) {
    const char* folder = std::getenv("BRINDLECAST_TRANSCRIPTS");
    if (folder == nullptr || *folder == '\0') return {};
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    return std::string(folder) + "/" + std::string(kind) + "-" + std::to_string(getpid()) + ".jsonl";
}

void appendLine(const std::string& file, std::string line) {
    line.push_back('\n');
    const int fd = open(file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return;
    for (std::size_t done = 0; done < line.size();) {
        const ssize_t k = write(fd, line.data() + done, line.size() - done);
        if (k <= 0) break;
        done += static_cast<std::size_t>(k);
    }
    close(fd);
}

// One exchange: the request as parsed (null when the line is no JSON object
// in valid UTF-8, so it is not held to the request schema) and the response.
void recordExchange(std::string_view requestLine, std::string_view responseLine) {
    static const std::string file = transcriptFile("exchanges");
    if (file.empty()) return;
    if (!requestLine.empty() && requestLine.back() == '\r') requestLine.remove_suffix(1);
    boost::json::object record;
    boost::system::error_code ec;
    // A line over the agent's limit is never a request it accepts.
    boost::json::value request;
    if (requestLine.size() <= 12288) request = boost::json::parse(requestLine, ec);
    record["request"] = !ec && request.is_object() ? request : boost::json::value(nullptr);
    boost::json::value response = boost::json::parse(responseLine, ec);
    if (ec) {
        record["unparsableResponse"] = true;
    } else {
        record["response"] = std::move(response);
    }
    appendLine(file, boost::json::serialize(record));
}

void recordEventLog(const std::string& logPath) {
    static const std::string file = transcriptFile("events");
    if (file.empty()) return;
    std::ifstream log(logPath, std::ios::binary);
    for (std::string line; std::getline(log, line);) appendLine(file, line);
}

}  // namespace

ChildProcess spawnProgram(const std::string& program, const std::string& statePath, bool nonBlocking) {
    int in[2], out[2], err[2];
    if (!closeOnExecPipe(in) || !closeOnExecPipe(out) || !closeOnExecPipe(err)) {
        throw std::runtime_error("pipe");
    }
    if (nonBlocking) {
        fcntl(in[0], F_SETFL, O_NONBLOCK);
        fcntl(out[1], F_SETFL, O_NONBLOCK);
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    auto env = environmentWith(statePath);
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string path = program;
    char* argv[] = {path.data(), nullptr};
    pid_t pid = -1;
    const int failed = posix_spawn(&pid, path.c_str(), &actions, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    close(err[1]);
    if (failed != 0) throw std::runtime_error("spawn " + program);
    return {pid, in[1], out[0], err[0]};
}

ChildProcess spawnAgent(const std::string& statePath, bool nonBlocking) {
    return spawnProgram(BRINDLECAST_AGENT, statePath, nonBlocking);
}

std::string textOf(const boost::json::value& value) {
    if (value.is_string()) return std::string(value.get_string());
    return "<not a string: " + boost::json::serialize(value) + ">";
}

VirtualMacFiles::VirtualMacFiles() {
    char pattern[] = "/tmp/brindlecast-test-XXXXXX";
    char* made = mkdtemp(pattern);
    if (made == nullptr) throw std::runtime_error("mkdtemp");
    dir_ = made;
    statePath_ = dir_ + "/state.json";
    logPath_ = dir_ + "/events.log";
}

VirtualMacFiles::~VirtualMacFiles() {
    recordEventLog(logPath_);
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
}

void VirtualMacFiles::write(boost::json::object state) {
    if (!state.contains("eventLog")) state["eventLog"] = logPath_;
    static int counter = 0;
    std::string temp = dir_ + "/state.json.new" + std::to_string(++counter);
    {
        std::ofstream file(temp, std::ios::binary | std::ios::trunc);
        file << boost::json::serialize(state);
    }
    std::filesystem::rename(temp, statePath_);
}

std::vector<boost::json::object> VirtualMacFiles::log() const {
    std::vector<boost::json::object> lines;
    std::ifstream file(logPath_);
    std::string line;
    while (std::getline(file, line)) {
        if (line.empty()) continue;
        lines.push_back(boost::json::parse(line).as_object());
    }
    return lines;
}

void VirtualMacFiles::clearLog() const {
    recordEventLog(logPath_);
    std::error_code ec;
    std::filesystem::remove(logPath_, ec);
}

std::vector<boost::json::object> AgentRun::responses() const {
    std::vector<boost::json::object> parsed;
    for (const auto& line : lines) parsed.push_back(boost::json::parse(line).as_object());
    return parsed;
}

AgentRun runAgent(std::string_view input, const std::string& statePath) {
    ChildProcess child = spawnAgent(statePath);
    AgentRun run;
    std::size_t written = 0;
    bool inOpen = true;
    if (input.empty()) {
        close(child.in);
        inOpen = false;
    }
    bool outOpen = true, errOpen = true;
    char buffer[65536];
    while (outOpen || errOpen) {
        pollfd fds[3];
        int n = 0;
        int outIndex = -1, errIndex = -1, inIndex = -1;
        if (outOpen) { fds[n] = {child.out, POLLIN, 0}; outIndex = n++; }
        if (errOpen) { fds[n] = {child.err, POLLIN, 0}; errIndex = n++; }
        if (inOpen) { fds[n] = {child.in, POLLOUT, 0}; inIndex = n++; }
        if (poll(fds, static_cast<nfds_t>(n), -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (inIndex >= 0 && fds[inIndex].revents) {
            ssize_t k = write(child.in, input.data() + written, std::min<std::size_t>(input.size() - written, 65536));
            if (k > 0) written += static_cast<std::size_t>(k);
            if (k < 0 || written == input.size()) {
                close(child.in);
                inOpen = false;
            }
        }
        if (outIndex >= 0 && fds[outIndex].revents) {
            ssize_t k = read(child.out, buffer, sizeof buffer);
            if (k <= 0) outOpen = false; else run.out.append(buffer, static_cast<std::size_t>(k));
        }
        if (errIndex >= 0 && fds[errIndex].revents) {
            ssize_t k = read(child.err, buffer, sizeof buffer);
            if (k <= 0) errOpen = false; else run.err.append(buffer, static_cast<std::size_t>(k));
        }
    }
    if (inOpen) close(child.in);
    close(child.out);
    close(child.err);
    int status = 0;
    waitpid(child.pid, &status, 0);
    run.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    std::size_t start = 0;
    while (start < run.out.size()) {
        std::size_t end = run.out.find('\n', start);
        if (end == std::string::npos) {
            run.lines.push_back(run.out.substr(start));
            break;
        }
        run.lines.push_back(run.out.substr(start, end - start));
        start = end + 1;
    }
    // Every line read gets one response, in order.
    std::size_t next = 0;
    for (const auto& response : run.lines) {
        const std::size_t end = std::min(input.find('\n', next), input.size());
        recordExchange(next < input.size() ? input.substr(next, end - next) : std::string_view(), response);
        next = end + 1;
    }
    return run;
}

boost::json::object ask(std::string_view requestLine, const std::string& statePath) {
    std::string input(requestLine);
    input.push_back('\n');
    AgentRun run = runAgent(input, statePath);
    if (run.lines.size() != 1) throw std::runtime_error("expected one response, got: " + run.out);
    return boost::json::parse(run.lines[0]).as_object();
}

AgentProcess::AgentProcess(const std::string& statePath) {
    ChildProcess child = spawnAgent(statePath);
    close(child.err);
    pid_ = child.pid;
    in_ = child.in;
    out_ = child.out;
}

AgentProcess::~AgentProcess() {
    if (pid_ > 0) finish();
}

std::string AgentProcess::request(std::string_view line) {
    std::string text(line);
    text.push_back('\n');
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t k = write(in_, text.data() + done, text.size() - done);
        if (k <= 0) throw std::runtime_error("agent closed its input");
        done += static_cast<std::size_t>(k);
    }
    for (;;) {
        std::size_t end = pending_.find('\n');
        if (end != std::string::npos) {
            std::string response = pending_.substr(0, end);
            pending_.erase(0, end + 1);
            recordExchange(line, response);
            return response;
        }
        char buffer[65536];
        ssize_t k = read(out_, buffer, sizeof buffer);
        if (k <= 0) throw std::runtime_error("agent closed its output");
        pending_.append(buffer, static_cast<std::size_t>(k));
    }
}

boost::json::object AgentProcess::ask(std::string_view line) {
    return boost::json::parse(request(line)).as_object();
}

int AgentProcess::finish() {
    if (pid_ <= 0) return -1;
    close(in_);
    char buffer[4096];
    while (read(out_, buffer, sizeof buffer) > 0) {}
    close(out_);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace testing_support
