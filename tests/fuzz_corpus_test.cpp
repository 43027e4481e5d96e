// Replays the request fuzzer's corpus (its seeds and every input that once
// broke a rule) through the real agent, on the three virtual Macs that the
// fuzzer uses, with the fuzzer's checks.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include "support/agent.h"
#include "support/response_check.h"
#include "support/sample_mac.h"

using namespace testing_support;
namespace fs = std::filesystem;

TEST(FuzzCorpus, EveryInputIsAnsweredLineByLineOnEveryMac) {
    const fs::path corpus = fs::path(__FILE__).parent_path().parent_path() / "fuzz" / "corpus";
    ASSERT_TRUE(fs::is_directory(corpus)) << corpus;
    std::vector<fs::path> inputs;
    for (const auto& entry : fs::directory_iterator(corpus)) inputs.push_back(entry.path());
    std::sort(inputs.begin(), inputs.end());
    ASSERT_FALSE(inputs.empty());

    const std::string& root = corpusApplicationsRoot;
    writeSampleApplications(root);
    VirtualMacFiles ready, broken, dead;
    ready.write(readyMacState(root));
    broken.write(brokenMacState(root));
    std::ofstream(dead.statePath()) << "{\"session\":";  // not JSON: a dead Mac
    const std::pair<const char*, VirtualMacFiles*> macs[] = {{"ready", &ready}, {"broken", &broken}, {"dead", &dead}};

    for (const auto& path : inputs) {
        std::ifstream file(path, std::ios::binary);
        std::stringstream bytes;
        bytes << file.rdbuf();
        const std::string input = bytes.str();
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
