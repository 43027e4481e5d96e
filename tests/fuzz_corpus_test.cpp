// Replays the fuzzers' corpora (their seeds and every input that once broke a
// rule) through the real agent with the fuzzers' checks: the request corpus
// on the three virtual Macs of the deep request fuzzer, and every state file
// of the state corpus serving every sample request.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include "../fuzz/confined_state.h"
#include "support/agent.h"
#include "support/response_check.h"
#include "support/sample_mac.h"

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

std::vector<fs::path> corpusFiles(std::string_view folder) {
    const fs::path corpus = fs::path(__FILE__).parent_path().parent_path() / "fuzz" / folder;
    std::vector<fs::path> inputs;
    if (fs::is_directory(corpus)) {
        for (const auto& entry : fs::directory_iterator(corpus)) inputs.push_back(entry.path());
    }
    std::sort(inputs.begin(), inputs.end());
    return inputs;
}

std::string contents(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream bytes;
    bytes << file.rdbuf();
    return bytes.str();
}

}  // namespace

TEST(FuzzCorpus, EveryInputIsAnsweredLineByLineOnEveryMac) {
    const std::vector<fs::path> inputs = corpusFiles("corpus");
    ASSERT_FALSE(inputs.empty());

    const std::string& root = corpusApplicationsRoot;
    writeSampleApplications(root);
    VirtualMacFiles ready, broken, dead;
    ready.write(readyMacState(root));
    broken.write(brokenMacState(root));
    std::ofstream(dead.statePath()) << "{\"session\":";  // not JSON: a dead Mac
    const std::pair<const char*, VirtualMacFiles*> macs[] = {{"ready", &ready}, {"broken", &broken}, {"dead", &dead}};

    for (const auto& path : inputs) {
        const std::string input = contents(path);
        for (const auto& [name, mac] : macs) {
            SCOPED_TRACE(path.filename().string() + " on the " + name + " Mac");
            const AgentRun run = runAgent(input, mac->statePath());
            EXPECT_EQ(run.exitStatus, 0);
            EXPECT_EQ(run.err, "");
            EXPECT_EQ(answersProblem(input, run.out), "");
            EXPECT_NO_THROW(mac->log());
            mac->clearLog();
        }
    }
}

TEST(FuzzCorpus, EveryStateFileServesEveryRequest) {
    const std::vector<fs::path> states = corpusFiles("corpus-state");
    ASSERT_FALSE(states.empty());
    const std::string& root = corpusApplicationsRoot;
    writeSampleApplications(root);
    // Frames at their smallest, as the state fuzzer asks for them.
    std::string input;
    for (const auto& line : sampleRequests("s", root)) {
        boost::json::object request = boost::json::parse(line).as_object();
        if (request.contains("maxWidth")) {
            request["maxWidth"] = 320;
            request["maxHeight"] = 180;
        }
        input += boost::json::serialize(request) + "\n";
    }
    for (const auto& path : states) {
        SCOPED_TRACE(path.filename().string());
        VirtualMacFiles mac;
        std::ofstream(mac.statePath(), std::ios::binary | std::ios::trunc)
            << fuzzing::confinedState(contents(path), root, mac.logPath());
        const AgentRun run = runAgent(input, mac.statePath());
        EXPECT_EQ(run.exitStatus, 0);
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(answersProblem(input, run.out), "");
        EXPECT_NO_THROW(mac.log());
    }
}
