// Feeds arbitrary bytes through the request loop, exactly as the agent reads
// its standard input, and checks on every input:
// - one well-formed response line per input line, in order, each answering
//   its own line (answersProblem in support/response_check.h);
// - nothing written to standard error (when run with -close_fd_mask=2, which
//   moves the fuzzer's own output and sanitizer reports off descriptor 2);
// - every line of the virtual Mac's event log a JSON object.
// Each input goes to three virtual Macs in turn: one on which everything can
// be done, one whose platform fails at every turn, and one whose state file
// cannot be read; then once more to the first, read in small pieces.
//
// With BRINDLECAST_FUZZ_SEEDS naming a folder, the fuzzer writes its seed
// corpus there and exits.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/json.hpp>

#include "host/host.h"
#include "host/loop.h"
#include "platform/virtual/virtual_mac.h"
#include "support/response_check.h"
#include "support/sample_mac.h"

namespace fs = std::filesystem;
using namespace brindlecast;

namespace {

const std::string& applicationsRoot = testing_support::corpusApplicationsRoot;

struct Machine {
    std::string name;
    std::string logPath;
    std::unique_ptr<platform::VirtualMac> mac;
    std::unique_ptr<Host> host;
};

struct Fixture {
    std::string dir;
    std::vector<Machine> machines;
    int input = -1;
    int output = -1;
    int errors = -1;
    int quietErrors = -1;  // descriptor 2 as the fuzzer left it (with -close_fd_mask=2: /dev/null)
    int report = -1;       // the real standard error, for the fuzzer's own findings
    bool checkErrors = false;
};

Fixture* fixture = nullptr;

void removeScratch() {
    if (fixture == nullptr) return;
    std::error_code ec;
    fs::remove_all(fixture->dir, ec);
}

int memoryFile(const char* name) {
    int fd = memfd_create(name, MFD_CLOEXEC);
    if (fd < 0) {
        std::perror("memfd_create");
        std::abort();
    }
    return fd;
}

void writeText(const std::string& path, std::string_view text) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(text.data(), static_cast<std::streamsize>(text.size()));
}

std::string readAll(int fd) {
    struct stat info {};
    fstat(fd, &info);
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

Machine makeMachine(const std::string& dir, const std::string& name, const std::string& stateText) {
    Machine machine;
    machine.name = name;
    const std::string statePath = dir + "/" + name + ".json";
    writeText(statePath, stateText);
    machine.mac = std::make_unique<platform::VirtualMac>(statePath);
    machine.host = std::make_unique<Host>(*machine.mac);
    return machine;
}

Machine makeMachine(const std::string& dir, const std::string& name, boost::json::object state) {
    const std::string logPath = dir + "/" + name + ".log";
    state["eventLog"] = logPath;
    Machine machine = makeMachine(dir, name, boost::json::serialize(state));
    machine.logPath = logPath;
    return machine;
}

bool hasFlag(int argc, char** argv, std::string_view flag) {
    for (int i = 1; i < argc; ++i) {
        if (std::string_view(argv[i]) == flag) return true;
    }
    return false;
}

// ---- Seeds -------------------------------------------------------------------

void writeSeeds(const std::string& folder) {
    fs::create_directories(folder);
    int count = 0;
    auto seed = [&](std::string_view name, std::string_view bytes) {
        char prefix[16];
        std::snprintf(prefix, sizeof prefix, "%03d-", ++count);
        writeText(folder + "/" + prefix + std::string(name), bytes);
    };
    const auto requests = testing_support::sampleRequests("r1", applicationsRoot);
    std::string session;
    for (const auto& line : requests) {
        const auto parsed = boost::json::parse(line).as_object();
        const auto* name = parsed.if_contains("operation");
        if (name == nullptr) name = parsed.if_contains("action");
        std::string label(name->get_string());
        for (char& c : label) {
            if (c == ':') c = '-';
        }
        seed(label, line + "\n");
        session += line + (session.size() % 2 ? "\r\n" : "\n");
    }
    seed("session", session + requests.front());  // the last line without a line feed

    const std::string guard = R"({"id":"g","operation":"desktop.guard"})";
    auto padded = [&](std::size_t size) {
        std::string line = R"({"id":"long","operation":"desktop.guard","pad":")";
        line.append(size - line.size() - 2, 'x');
        return line + "\"}";
    };
    seed("line-at-limit", padded(maxLineBytes) + "\n" + guard + "\n");
    seed("line-over-limit", padded(maxLineBytes + 1) + "\n" + guard + "\n");
    seed("line-at-limit-crlf", padded(maxLineBytes) + "\r\n" + guard);
    seed("repair-over-limit", std::string(4097, '\xff') + "\n" + guard + "\n");
    seed("empty-lines", "\n\r\n\n" + guard + "\n\n");
    seed("not-objects", "[1,2]\n[]\n42\n\"text\"\ntrue\nnull\n{}\n{\"id\":\"a\"} trailing\n{\"id\":\n");
    seed("invalid-utf8",
         "{\"id\":\"u\xff\xfe\",\"operation\":\"desktop.text\",\"text\":\"a\xc0\xaf\xed\xa0\x80\xf4\x90\x80\x80\"}\n"
         "{\"id\":\"v\",\"op\xe2\x82\":\"x\"}\n\xf0\x9f\x98\n");
    seed("identifiers",
         "{\"id\":\"0123456789012345678901234567890123456789\",\"operation\":\"desktop.guard\"}\n"
         "{\"id\":\"\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD\",\"operation\":\"desktop.guard\"}\n"
         "{\"id\":7,\"operation\":\"desktop.guard\"}\n"
         "{\"id\":\"\",\"operation\":\"desktop.guard\"}\n"
         "{\"id\":\"a\\u0000b\\n\\\"\\u001f\",\"operation\":\"nope\"}\n"
         "{\"id\":\"\\ud800\",\"operation\":\"desktop.guard\"}\n"
         "{\"id\":\"e\\u0301\\u0301\\u0301\",\"operation\":\"desktop.guard\"}\n");
    seed("numbers",
         R"({"id":"n1","operation":"desktop.scroll","deltaX":1e400,"deltaY":-0.0})"
         "\n"
         R"({"id":"n2","operation":"desktop.click","x":true,"y":null})"
         "\n"
         R"({"id":"n3","operation":"desktop.frame","profile":"relay-x","maxWidth":1e2,"maxHeight":2.5,"jpegQuality":"75"})"
         "\n"
         R"({"id":"n4","operation":"desktop.scroll","deltaX":123456789012345678901234567890,"deltaY":-9223372036854775809})"
         "\n");
    seed("keys",
         R"({"id":"k1","id":"k2","operation":"desktop.guard","operation":"apps.list"})"
         "\n"
         R"({"id":"k3","operation":5,"action":"mute"})"
         "\n"
         R"({"id":"k4","action":7})"
         "\n"
         R"({"id":"k5","action":"Presentation:next"})"
         "\n"
         R"({"id":"k6","action":"presentation:"})"
         "\n"
         R"({"id":"k7","operation":"apps.action","appId":12,"appAction":"run"})"
         "\n");
    std::string nested = "{\"id\":\"deep\",\"operation\":\"desktop.guard\",\"x\":";
    nested += std::string(600, '[') + std::string(600, ']') + "}\n";
    nested += "{\"id\":\"shallow\",\"x\":" + std::string(100, '[') + std::string(100, ']') + "}\n";
    nested += std::string(6000, '{') + "\n";
    seed("nesting", nested);
    using namespace std::string_view_literals;
    seed("nul-bytes", "{\"id\":\"z\",\0\"operation\":\"desktop.guard\"}\n\0\n"sv);
}

// ---- Checks ------------------------------------------------------------------

[[noreturn]] void violated(const Machine& machine, std::string_view what) {
    if (fixture->quietErrors >= 0) dup2(fixture->quietErrors, STDERR_FILENO);
    const std::string text = "\n*** " + machine.name + " Mac: " + std::string(what) + "\n";
    if (write(fixture->report, text.data(), text.size()) < 0) {
        // Nowhere left to tell it; the crash itself still counts.
    }
    std::abort();
}

void checkEventLog(const Machine& machine) {
    if (machine.logPath.empty()) return;
    std::ifstream file(machine.logPath, std::ios::binary);
    std::string line;
    while (std::getline(file, line)) {
        boost::system::error_code ec;
        boost::json::value parsed = boost::json::parse(line, ec);
        if (ec || !parsed.is_object()) violated(machine, "an event log line is not a JSON object: " + line);
    }
    file.close();
    // Start every input with an empty log, so it never grows without bound.
    ::truncate(machine.logPath.c_str(), 0);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    testing_support::writeSampleApplications(applicationsRoot);
    if (const char* seeds = std::getenv("BRINDLECAST_FUZZ_SEEDS"); seeds != nullptr && *seeds != '\0') {
        writeSeeds(seeds);
        std::exit(0);
    }
    char pattern[] = "/tmp/brindlecast-fuzz-XXXXXX";
    const char* dir = mkdtemp(pattern);
    if (dir == nullptr) {
        std::perror("mkdtemp");
        std::abort();
    }
    fixture = new Fixture;
    fixture->dir = dir;
    // Taken before the fuzzer moves its own output off descriptor 2.
    fixture->report = dup(STDERR_FILENO);
    std::atexit(removeScratch);
    fixture->machines.push_back(makeMachine(fixture->dir, "ready", testing_support::readyMacState(applicationsRoot)));
    fixture->machines.push_back(makeMachine(fixture->dir, "broken", testing_support::brokenMacState(applicationsRoot)));
    fixture->machines.push_back(makeMachine(fixture->dir, "dead", std::string("{\"session\":")));
    fixture->input = memoryFile("requests");
    fixture->output = memoryFile("responses");
    fixture->errors = memoryFile("errors");
    fixture->checkErrors = hasFlag(*argc, *argv, "-close_fd_mask=2") || hasFlag(*argc, *argv, "-close_fd_mask=3");
    if (!fixture->checkErrors) {
        std::fprintf(stderr, "request fuzzer: run with -close_fd_mask=2 to check that nothing goes to stderr\n");
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    if (fixture->checkErrors && fixture->quietErrors < 0) fixture->quietErrors = dup(STDERR_FILENO);
    // Every Mac through the loop as the agent runs it, then the ready Mac once
    // more with small reads (their size follows from the input), so that lines
    // and their terminators are split across reads.
    const std::size_t passes = fixture->machines.size() + 1;
    for (std::size_t pass = 0; pass < passes; ++pass) {
        const bool smallReads = pass == fixture->machines.size();
        const Machine& machine = fixture->machines[smallReads ? 0 : pass];
        reset(fixture->input);
        if (size > 0 && pwrite(fixture->input, data, size, 0) != static_cast<ssize_t>(size)) std::abort();
        reset(fixture->output);
        if (fixture->checkErrors) {
            reset(fixture->errors);
            dup2(fixture->errors, STDERR_FILENO);
        }
        std::string output;
        if (smallReads) {
            LineReader reader(fixture->input, 1 + size % 509);
            while (auto line = reader.next()) {
                const std::string response = respond(*machine.host, *line);
                if (response.empty()) continue;
                output += response;
                output += '\n';
            }
        } else {
            runLoop(*machine.host, fixture->input, fixture->output);
            output = readAll(fixture->output);
        }
        if (fixture->checkErrors) {
            dup2(fixture->quietErrors, STDERR_FILENO);
            const std::string written = readAll(fixture->errors);
            if (!written.empty()) violated(machine, "wrote to standard error: " + written.substr(0, 300));
        }
        if (auto problem = testing_support::answersProblem(input, output); !problem.empty()) {
            violated(machine, (smallReads ? "(small reads) " : "") + problem);
        }
        checkEventLog(machine);
    }
    return 0;
}
