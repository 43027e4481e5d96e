// The request loop and dispatcher through the real binary: framing, limits,
// parse outcomes, identifiers, key order and the virtual Mac machinery.
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "support/agent.h"

using namespace testing_support;

namespace {

const std::string platformError =
    R"({"id":"","ok":false,"code":"MAC_OPERATION_UNAVAILABLE","error":"macOS could not complete the request. Check local permissions."})";
const std::string malformed = R"({"id":"","ok":false,"code":"COMMAND_NOT_ALLOWED","error":"Malformed request."})";
const std::string replacement = "\xEF\xBF\xBD";

// A guard request padded with a surplus key to exactly `size` bytes.
std::string paddedLine(std::size_t size, const std::string& filler = "") {
    std::string head = R"({"id":"p","operation":"desktop.guard","pad":")" + filler;
    std::string tail = R"("})";
    return head + std::string(size - head.size() - tail.size(), 'x') + tail;
}

std::string codeOf(const boost::json::object& response) { return std::string(response.at("code").as_string()); }
std::string errorOf(const boost::json::object& response) { return std::string(response.at("error").as_string()); }

}  // namespace

TEST(Loop, FramingAndExit) {
    // LF, CRLF and a last line without terminator are all lines.
    auto run = runAgent("{\"id\":\"1\",\"operation\":\"desktop.guard\"}\n"
                        "{\"id\":\"2\",\"operation\":\"desktop.guard\"}\r\n"
                        "{\"id\":\"3\",\"operation\":\"desktop.guard\"}");
    ASSERT_EQ(run.lines.size(), 3u);
    EXPECT_EQ(run.lines[0], R"({"id":"1","ok":true})");
    EXPECT_EQ(run.lines[1], R"({"id":"2","ok":true})");
    EXPECT_EQ(run.lines[2], R"({"id":"3","ok":true})");
    EXPECT_EQ(run.out.back(), '\n');
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_EQ(run.err, "");

    auto silent = runAgent("");
    EXPECT_EQ(silent.out, "");
    EXPECT_EQ(silent.exitStatus, 0);
}

TEST(Loop, ParseOutcomes) {
    auto run = runAgent("\n[1,2]\n5\n\"text\"\nnull\n{\"id\":\"a\"} trailing\n{}\n{\"id\":7,\"operation\":\"desktop.guard\"}\n"
                        "[]\n{\"id\":\"a\",\"operation\":\"desktop.guard\",}\n");
    ASSERT_EQ(run.lines.size(), 10u);
    EXPECT_EQ(run.lines[0], platformError);  // empty line
    EXPECT_EQ(run.lines[1], malformed);      // an array
    EXPECT_EQ(run.lines[2], platformError);  // bare number
    EXPECT_EQ(run.lines[3], platformError);  // bare string
    EXPECT_EQ(run.lines[4], platformError);  // null
    EXPECT_EQ(run.lines[5], platformError);  // trailing text
    auto responses = run.responses();
    EXPECT_EQ(errorOf(responses[6]), "Invalid request identifier.");
    EXPECT_EQ(textOf(responses[6].at("id")), "");
    EXPECT_EQ(errorOf(responses[7]), "Invalid request identifier.");
    EXPECT_EQ(textOf(responses[7].at("id")), "");  // a number identifier is not echoed
    EXPECT_EQ(run.lines[8], malformed);
    EXPECT_EQ(run.lines[9], platformError);
    for (const auto& response : responses) {
        EXPECT_EQ(response.size(), 4u);
        EXPECT_EQ(response.at("ok"), false);
    }
}

TEST(Loop, LineLimitMeasuredAfterRepair) {
    const std::string exact = paddedLine(12288);
    ASSERT_EQ(exact.size(), 12288u);
    const std::string over = paddedLine(12289);
    // Two invalid bytes become two three-byte replacements: 12286 raw bytes grow to 12290.
    const std::string grows = paddedLine(12286, "\xFF\xFF");
    const std::string fits = paddedLine(12286, "\xFF");  // 12286 - 1 + 3 = 12288
    auto run = runAgent(exact + "\n" + over + "\n" + exact + "\r\n" + grows + "\n" + fits + "\n" + over);
    ASSERT_EQ(run.lines.size(), 6u);
    auto responses = run.responses();
    // Within the limit the line is parsed: the surplus "pad" key is refused with the request's id.
    EXPECT_EQ(errorOf(responses[0]), "Unknown or incomplete request.");
    EXPECT_EQ(textOf(responses[0].at("id")), "p");
    EXPECT_EQ(run.lines[1], malformed);
    EXPECT_EQ(errorOf(responses[2]), "Unknown or incomplete request.");  // CR LF is not counted
    EXPECT_EQ(run.lines[3], malformed);
    EXPECT_EQ(errorOf(responses[4]), "Unknown or incomplete request.");
    EXPECT_EQ(run.lines[5], malformed);  // an over-long last line without terminator
}

TEST(Loop, EndlessLineIsReadToItsEnd) {
    std::string input(3'000'000, '{');
    input += "\n{\"id\":\"after\",\"operation\":\"desktop.guard\"}\n";
    auto run = runAgent(input);
    ASSERT_EQ(run.lines.size(), 2u);
    EXPECT_EQ(run.lines[0], malformed);
    EXPECT_EQ(run.lines[1], R"({"id":"after","ok":true})");
}

TEST(Loop, InvalidUtf8IsRepairedBeforeParsing) {
    auto response = ask("{\"id\":\"a\xC0z\",\"operation\":\"desktop.guard\"}");
    EXPECT_EQ(textOf(response.at("id")), "a" + replacement + "z");
    EXPECT_EQ(response.at("ok"), true);
}

TEST(Dispatcher, Identifiers) {
    const std::string forty = "0123456789012345678901234567890123456789";
    auto cut = ask(R"({"id":")" + forty + R"(","operation":"desktop.guard"})");
    EXPECT_EQ(errorOf(cut), "Invalid request identifier.");
    EXPECT_EQ(textOf(cut.at("id")), forty.substr(0, 32));

    const std::string thirtyTwo = forty.substr(0, 32);
    EXPECT_EQ(ask(R"({"id":")" + thirtyTwo + R"(","operation":"desktop.guard"})").at("ok"), true);
    EXPECT_EQ(textOf(ask(R"({"id":"","operation":"desktop.guard"})").at("id")), "");

    // 32 emoji with skin-tone modifiers are 32 characters of 8 bytes each.
    std::string emoji;
    for (int i = 0; i < 32; ++i) emoji += "\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD";
    auto wide = ask(R"({"id":")" + emoji + R"(","operation":"desktop.guard"})");
    EXPECT_EQ(wide.at("ok"), true);
    EXPECT_EQ(textOf(wide.at("id")), emoji);
    auto tooWide = ask(R"({"id":")" + emoji + "\xF0\x9F\x87\xAB\xF0\x9F\x87\xB7" + R"(","operation":"desktop.guard"})");
    EXPECT_EQ(errorOf(tooWide), "Invalid request identifier.");
    EXPECT_EQ(textOf(tooWide.at("id")), emoji);  // cut to its first 32 characters, never inside one

    // The identifier is checked before anything else.
    EXPECT_EQ(errorOf(ask(R"({"id":7,"operation":"no.such"})")), "Invalid request identifier.");
    EXPECT_EQ(errorOf(ask(R"({"operation":"desktop.guard"})")), "Invalid request identifier.");
}

TEST(Dispatcher, RoutingAndKeyOrder) {
    auto unknown = ask(R"({"id":"u","operation":"Desktop.Guard","anything":[1]})");
    EXPECT_EQ(codeOf(unknown), "COMMAND_NOT_ALLOWED");
    EXPECT_EQ(errorOf(unknown), "Unknown operation.");
    EXPECT_EQ(textOf(unknown.at("id")), "u");

    VirtualMacFiles mac;
    mac.write({});
    auto both = ask(R"({"id":"a","operation":"desktop.guard","action":"lock"})", mac.statePath());
    EXPECT_EQ(errorOf(both), "Unknown or incomplete request.");
    EXPECT_TRUE(mac.log().empty());

    // Success lines are compact with every object's keys sorted.
    auto run = runAgent("{\"operation\":\"permissions.status\",\"id\":\"k\"}\n");
    ASSERT_EQ(run.lines.size(), 1u);
    EXPECT_EQ(run.lines[0],
              R"({"id":"k","ok":true,"permissions":{"accessibility":true,"automation":"granted","screen":true}})");
}

TEST(VirtualMac, StateFileChangesDeadMacAndEventLog) {
    VirtualMacFiles mac;
    mac.write({});
    AgentProcess agent(mac.statePath());
    EXPECT_EQ(agent.request(R"({"id":"1","operation":"desktop.guard"})"), R"({"id":"1","ok":true})");

    mac.write({{"session", {{"kCGSSessionOnConsoleKey", true},
                            {"kCGSessionLoginDoneKey", true},
                            {"CGSSessionScreenIsLocked", true}}}});
    EXPECT_EQ(errorOf(agent.ask(R"({"id":"2","operation":"desktop.guard"})")),
              "Unlock your Mac and leave any password field before using remote controls.");

    // A file that is not a JSON object is a dead Mac: locked, nothing granted.
    {
        std::ofstream(mac.dir() + "/broken.json") << "[1,2,3]";
        std::filesystem::rename(mac.dir() + "/broken.json", mac.statePath());
    }
    EXPECT_EQ(codeOf(agent.ask(R"({"id":"3","operation":"desktop.guard"})")), "DESKTOP_LOCKED");
    auto status = agent.ask(R"({"id":"4","operation":"permissions.status"})");
    EXPECT_EQ(boost::json::serialize(status.at("permissions")),
              R"({"accessibility":false,"automation":"unavailable","screen":false})");

    mac.write({});
    EXPECT_EQ(agent.request(R"({"id":"5","operation":"desktop.guard"})"), R"({"id":"5","ok":true})");
    agent.ask(R"({"id":"6","operation":"permissions.request","kind":"screen"})");
    EXPECT_EQ(agent.finish(), 0);
    auto log = mac.log();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(boost::json::serialize(log[0]), R"({"prompt":"screen"})");

    // A missing file is a dead Mac too.
    EXPECT_EQ(codeOf(ask(R"({"id":"m","operation":"desktop.guard"})", mac.dir() + "/missing.json")),
              "DESKTOP_LOCKED");
}

TEST(VirtualMac, OutlandishStateNumbersAreAnsweredCalmly) {
    VirtualMacFiles mac;
    mac.write({{"displays", boost::json::array{{{"number", 1e30},
                                                {"uuid", nullptr},
                                                {"bounds", boost::json::array{-1e300, 0.5, 1e300, 2.75}}}}},
               {"agentPid", 1e300},
               {"automationStatus", -1e300}});
    auto monitors = ask(R"({"id":"m","operation":"desktop.monitors"})", mac.statePath());
    ASSERT_EQ(monitors.at("ok"), true) << boost::json::serialize(monitors);
    const auto& bounds = monitors.at("monitors").at(0).at("bounds");
    EXPECT_EQ(bounds.at("x").as_int64(), -9007199254740992);  // clamped, never converted out of range
    EXPECT_EQ(bounds.at("width").as_int64(), 9007199254740992);
    EXPECT_EQ(bounds.at("y").as_int64(), 0);
    EXPECT_EQ(bounds.at("height").as_int64(), 2);
    auto status = ask(R"({"id":"s","operation":"permissions.status"})", mac.statePath());
    EXPECT_EQ(textOf(status.at("permissions").at("automation")), "granted");  // no usable code: the default
}
