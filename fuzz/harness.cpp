#include "harness.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/json.hpp>

#include "host/loop.h"
#include "support/response_check.h"

namespace fs = std::filesystem;

namespace fuzzing {

namespace {

struct State {
    std::string name;
    std::string dir;
    int input = -1;
    int output = -1;
    int errors = -1;
    int quietErrors = -1;  // descriptor 2 as the fuzzer left it (with -close_fd_mask=2: /dev/null)
    int report = -1;       // the real standard error, for the fuzzer's own findings
    bool checkErrors = false;
};

State* state = nullptr;

void removeScratch() {
    if (state == nullptr || state->dir.empty()) return;
    std::error_code ec;
    fs::remove_all(state->dir, ec);
}

bool hasFlag(int argc, char** argv, std::string_view flag) {
    for (int i = 1; i < argc; ++i) {
        if (std::string_view(argv[i]) == flag) return true;
    }
    return false;
}

// A memory file system where there is one: scratch files are truncated and
// rewritten at every input, which a disk file system answers with writes.
std::string temporaryFolder() {
    const char* tmp = std::getenv("TMPDIR");
    if (tmp != nullptr && *tmp != '\0') return tmp;
    if (access("/dev/shm", W_OK | X_OK) == 0) return "/dev/shm";
    return "/tmp";
}

std::string readAll(int fd) {
    struct stat info {};
    if (fstat(fd, &info) != 0) return {};
    std::string text(static_cast<std::size_t>(info.st_size), '\0');
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = pread(fd, text.data() + done, text.size() - done, static_cast<off_t>(done));
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    text.resize(done);
    return text;
}

void reset(int fd) {
    if (ftruncate(fd, 0) != 0 || lseek(fd, 0, SEEK_SET) != 0) std::abort();
}

}  // namespace

void start(int argc, char** argv, std::string_view targetName) {
    state = new State;
    state->name = targetName;
    std::string pattern = temporaryFolder() + "/brindlecast-fuzz-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        std::perror("mkdtemp");
        std::abort();
    }
    state->dir = pattern;
    std::atexit(removeScratch);
    // Taken before the fuzzer moves its own output off descriptor 2.
    state->report = dup(STDERR_FILENO);
    state->input = anonymousFile();
    state->output = anonymousFile();
    state->errors = anonymousFile();
    state->checkErrors = hasFlag(argc, argv, "-close_fd_mask=2") || hasFlag(argc, argv, "-close_fd_mask=3");
    if (!state->checkErrors) {
        std::fprintf(stderr, "%s fuzzer: run with -close_fd_mask=2 to check that nothing goes to stderr\n",
                     state->name.c_str());
    }
}

const std::string& scratchDir() { return state->dir; }

int anonymousFile() {
    // mkstemp and unlink rather than a memory file, which not every system has.
    std::string pattern = temporaryFolder() + "/brindlecast-fuzz-file-XXXXXX";
    const int fd = mkstemp(pattern.data());
    if (fd < 0) {
        std::perror("mkstemp");
        std::abort();
    }
    unlink(pattern.c_str());
    fcntl(fd, F_SETFD, FD_CLOEXEC);
    return fd;
}

void writeText(const std::string& path, std::string_view text) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(text.data(), static_cast<std::streamsize>(text.size()));
}

void quietly(std::string_view machine, const std::function<void()>& work) {
    // The fuzzer closes descriptor 2 only after initialising, so its state
    // then is taken at the first input.
    if (state->checkErrors && state->quietErrors < 0) state->quietErrors = dup(STDERR_FILENO);
    if (state->checkErrors) {
        reset(state->errors);
        dup2(state->errors, STDERR_FILENO);
    }
    work();
    if (state->checkErrors) {
        dup2(state->quietErrors, STDERR_FILENO);
        struct stat info {};
        if (fstat(state->errors, &info) == 0 && info.st_size > 0) {
            violated(machine, "wrote to standard error: " + readAll(state->errors).substr(0, 300));
        }
    }
}

std::string exchange(std::string_view machine, brindlecast::Host& host, std::string_view input,
                     std::size_t readSize) {
    reset(state->input);
    if (!input.empty() && pwrite(state->input, input.data(), input.size(), 0) != static_cast<ssize_t>(input.size())) {
        std::abort();
    }
    std::string output;
    quietly(machine, [&] {
        if (readSize == 0) {
            reset(state->output);
            brindlecast::runLoop(host, state->input, state->output);
            output = readAll(state->output);
            return;
        }
        brindlecast::LineReader reader(state->input, readSize);
        while (auto line = reader.next()) {
            const std::string response = brindlecast::respond(host, *line);
            if (response.empty()) continue;
            output += response;
            output += '\n';
        }
    });
    return output;
}

void checkAnswers(std::string_view machine, std::string_view input, std::string_view output) {
    if (auto problem = testing_support::answersProblem(input, output); !problem.empty()) violated(machine, problem);
}

void checkEventLog(std::string_view machine, const std::string& logPath) {
    struct stat info {};
    if (::stat(logPath.c_str(), &info) != 0 || info.st_size == 0) return;
    std::ifstream file(logPath, std::ios::binary);
    std::string line;
    while (std::getline(file, line)) {
        boost::system::error_code ec;
        boost::json::value parsed = boost::json::parse(line, ec);
        if (ec || !parsed.is_object()) violated(machine, "an event log line is not a JSON object: " + line);
    }
    file.close();
    // Start every input with an empty log, so it never grows without bound.
    if (::truncate(logPath.c_str(), 0) != 0) std::abort();
}

void violated(std::string_view machine, std::string_view what) {
    if (state->quietErrors >= 0) dup2(state->quietErrors, STDERR_FILENO);
    const std::string text = "\n*** " + std::string(machine) + " Mac: " + std::string(what) + "\n";
    if (write(state->report, text.data(), text.size()) < 0) {
        // Nowhere left to tell it; the crash itself still counts.
    }
    std::abort();
}

}  // namespace fuzzing
