// The deep request target: feeds each input through the request loop,
// exactly as the agent reads its standard input, four times: to three
// virtual Macs in turn (one on which everything can be done, one whose
// platform fails at every turn, one whose state file cannot be read), then
// once more to the first, read in small pieces. It checks on every pass:
// - one well-formed response line per input line, in order, each answering
//   its own line (answersProblem in support/response_check.h);
// - nothing written to standard error (when run with -close_fd_mask=2, which
//   moves the fuzzer's own output and sanitizer reports off descriptor 2);
// - every line of the virtual Mac's event log a JSON object.
// Its inputs are request lines, built and edited by the structure-aware
// mutator in request_mutator.cpp.
//
// With BRINDLECAST_FUZZ_SEEDS naming a folder, the fuzzer writes its seed
// corpus there and exits.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <boost/json.hpp>

#include "harness.h"
#include "host/host.h"
#include "host/loop.h"
#include "platform/virtual/virtual_mac.h"
#include "support/sample_mac.h"

namespace fs = std::filesystem;
using namespace brindlecast;
using fuzzing::writeText;

namespace {

const std::string& applicationsRoot = testing_support::corpusApplicationsRoot;

struct Machine {
    std::string name;
    std::string logPath;
    std::unique_ptr<platform::VirtualMac> mac;
    std::unique_ptr<Host> host;
};

std::vector<Machine>* machines = nullptr;

Machine makeMachine(const std::string& name, const std::string& stateText) {
    Machine machine;
    machine.name = name;
    const std::string statePath = fuzzing::scratchDir() + "/" + name + ".json";
    writeText(statePath, stateText);
    machine.mac = std::make_unique<platform::VirtualMac>(statePath);
    machine.host = std::make_unique<Host>(*machine.mac);
    return machine;
}

Machine makeMachine(const std::string& name, boost::json::object state) {
    const std::string logPath = fuzzing::scratchDir() + "/" + name + ".log";
    state["eventLog"] = logPath;
    Machine machine = makeMachine(name, boost::json::serialize(state));
    machine.logPath = logPath;
    return machine;
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

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    testing_support::writeSampleApplications(applicationsRoot);
    if (const char* seeds = std::getenv("BRINDLECAST_FUZZ_SEEDS"); seeds != nullptr && *seeds != '\0') {
        writeSeeds(seeds);
        std::exit(0);
    }
    fuzzing::start(*argc, *argv, "deep");
    machines = new std::vector<Machine>;
    machines->push_back(makeMachine("ready", testing_support::readyMacState(applicationsRoot)));
    machines->push_back(makeMachine("broken", testing_support::brokenMacState(applicationsRoot)));
    machines->push_back(makeMachine("dead", std::string("{\"session\":")));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    // Every Mac through the loop as the agent runs it, then the ready Mac once
    // more with small reads (their size follows from the input), so that lines
    // and their terminators are split across reads.
    for (std::size_t pass = 0; pass <= machines->size(); ++pass) {
        const bool smallReads = pass == machines->size();
        const Machine& machine = (*machines)[smallReads ? 0 : pass];
        const std::string name = smallReads ? machine.name + " (small reads)" : machine.name;
        const std::string output = fuzzing::exchange(name, *machine.host, input, smallReads ? 1 + size % 509 : 0);
        fuzzing::checkAnswers(name, input, output);
        if (!machine.logPath.empty()) fuzzing::checkEventLog(name, machine.logPath);
    }
    return 0;
}
