// The state-file target: each input is a virtual Mac state file. The state
// checker reads it, then a fresh virtual Mac reads it and serves one request (of every operation and action
// in turn, chosen by the input's hash) through the request loop. It checks
// that nothing crashes or hangs, that the response is well formed, that
// nothing is written to standard error (with -close_fd_mask=2) and that
// every event-log line is a JSON object.
//
// The state is kept from reaching outside (confined_state.h): its event log
// is always the scratch log, and it reads only the sample applications and
// files named by a bare name.
//
// With BRINDLECAST_FUZZ_SEEDS naming a folder, the fuzzer writes its seed
// corpus there and exits.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include <boost/json.hpp>

#include "check/state_check.h"
#include "confined_state.h"
#include "harness.h"
#include "host/host.h"
#include "platform/virtual/virtual_mac.h"
#include "support/sample_mac.h"

using namespace brindlecast;
namespace fs = std::filesystem;

namespace {

const std::string& applicationsRoot = testing_support::corpusApplicationsRoot;
std::string* logPath = nullptr;  // in the scratch folder

std::vector<std::string>* requests = nullptr;

// Every sample request, with frames at their smallest size so that a state
// of large displays stays quick.
std::vector<std::string> stateRequests() {
    std::vector<std::string> lines;
    for (const auto& line : testing_support::sampleRequests("s", applicationsRoot)) {
        boost::json::object request = boost::json::parse(line).as_object();
        if (request.contains("maxWidth")) {
            request["maxWidth"] = 320;
            request["maxHeight"] = 180;
        }
        lines.push_back(boost::json::serialize(request) + "\n");
    }
    return lines;
}

std::size_t hashOf(std::string_view bytes) {
    std::size_t hash = 14695981039346656037ull;
    for (unsigned char c : bytes) hash = (hash ^ c) * 1099511628211ull;
    return hash;
}

void writeSeeds(const std::string& folder) {
    fs::create_directories(folder);
    const std::string picture = applicationsRoot + "/applications/Notes.app/Contents/Resources/icon.png";
    auto seed = [&](std::string_view name, const std::string& text) {
        fuzzing::writeText(folder + "/" + std::string(name), text);
    };
    auto object = [&](std::string_view name, boost::json::object state) {
        state["eventLog"] = "state.log";  // made the scratch log when read
        seed(name, boost::json::serialize(state));
    };
    object("ready", testing_support::readyMacState(applicationsRoot));
    object("broken", testing_support::brokenMacState(applicationsRoot));
    seed("default", "{}");
    seed("dead", "{\"session\":");
    seed("not-object", "[{\"session\":null}]");
    object("locked", {{"session", {{"kCGSSessionOnConsoleKey", false}, {"CGSSessionScreenIsLocked", 1}}},
                      {"secureInput", true}, {"frontmost", nullptr}, {"focus", "notElement"}});
    object("odd-types", {{"session", 5}, {"frontmost", {{"bundleId", 7}}}, {"accessibility", "yes"},
                         {"automationStatus", -1744}, {"displays", {1, nullptr, "x"}}, {"mainDisplay", -1},
                         {"displayQuery", "countFails"}, {"windows", "none"}, {"runningApps", {{{"pid", "1"}}}},
                         {"agentPid", 1e300}, {"focus", {{"role", 3}, {"roleError", true}}},
                         {"eventsFail", {"keyDown", 9}}, {"appleEventReply", {{"errn", -128}}}, {"now", -1e20}});
    object("pictures",
           {{"displays",
             {{{"number", 4294967295u}, {"uuid", "not-a-uuid"}, {"bounds", {-5, -5, 3, 2}}, {"image", picture}},
              {{"number", 0}, {"bounds", {0, 0, 1e-9, 1e300}}, {"image", "missing.png"}}}},
            {"windows", {{{"pid", 4242}, {"layer", -3}, {"frame", {1, 1, 4, 4}}, {"image", picture}}}},
            {"runningApps", {{{"pid", 4242}, {"bundlePath", applicationsRoot + "/applications/Notes.app"}}}},
            {"displayQuery", "fillFails"}});
    object("then",
           {{"focus", {{"role", "AXTextField"}}},
            {"then", {{{"after", "focusRead"}, {"set", {{"secureInput", true}, {"then", boost::json::array{}}}}},
                      {{"after", "screenshot"}, {"set", {{"screenshotError", true}, {"displays", {}}}}},
                      {{"after", "nothing"}, {"set", 1}}}},
            {"applicationFolders", {{"applications", "."}, {"system", 3}}}});
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    testing_support::writeSampleApplications(applicationsRoot);
    if (const char* seeds = std::getenv("BRINDLECAST_FUZZ_SEEDS"); seeds != nullptr && *seeds != '\0') {
        writeSeeds(seeds);
        std::exit(0);
    }
    fuzzing::start(*argc, *argv, "state");
    logPath = new std::string(fuzzing::scratchDir() + "/state.log");
    requests = new std::vector<std::string>(stateRequests());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::string statePath = fuzzing::scratchDir() + "/state.json";
    fuzzing::writeText(statePath, fuzzing::confinedState(input, applicationsRoot, *logPath));
    // The state checker reads the same file: it must neither crash nor hang
    // nor write to standard error, whatever the file holds.
    fuzzing::quietly("state checker", [&] { (void)check::checkState(statePath); });
    const std::string& request = (*requests)[hashOf(input) % requests->size()];
    {
        platform::VirtualMac mac(statePath);
        Host host(mac);
        const std::string output = fuzzing::exchange("state", host, request);
        fuzzing::checkAnswers("state", request, output);
    }
    fuzzing::checkEventLog("state", *logPath);
    return 0;
}
