// The session guard, the permission operations and the display list, end to
// end through the agent binary and the virtual Mac.
#include <gtest/gtest.h>

#include "support/virtual_session.h"

using namespace testing_support;
using namespace testing_support::messages;

namespace {

constexpr std::string_view guardRequest = R"({"id":"g","operation":"desktop.guard"})";

}  // namespace

TEST(Guard, EachSessionFactAndItsMessage) {
    VirtualSession mac;
    struct Case {
        const char* state;
        std::string_view message;  // empty: the guard passes
    };
    const Case cases[] = {
        {R"({})", ""},
        {R"({"session":{"kCGSSessionOnConsoleKey":true,"kCGSessionLoginDoneKey":true,"CGSSessionScreenIsLocked":false}})", ""},
        {R"({"session":{"kCGSSessionOnConsoleKey":true,"kCGSessionLoginDoneKey":true,"CGSSessionScreenIsLocked":"yes"}})", ""},
        {R"({"session":{"kCGSSessionOnConsoleKey":true,"kCGSessionLoginDoneKey":true,"CGSSessionScreenIsLocked":true}})", locked},
        {R"({"session":{"kCGSessionLoginDoneKey":true}})", locked},
        {R"({"session":{"kCGSSessionOnConsoleKey":false,"kCGSessionLoginDoneKey":true}})", locked},
        {R"({"session":{"kCGSSessionOnConsoleKey":1,"kCGSessionLoginDoneKey":true}})", locked},
        {R"({"session":{"kCGSSessionOnConsoleKey":true}})", locked},
        {R"({"session":{"kCGSSessionOnConsoleKey":true,"kCGSessionLoginDoneKey":"true"}})", locked},
        {R"({"session":{}})", locked},
        {R"({"session":null})", locked},
        {R"({"session":[1]})", locked},
        {R"({"secureInput":true})", locked},
        {R"({"frontmost":null})", protectedScreen},
        {R"({"frontmost":{"bundleId":"com.apple.loginwindow"}})", protectedScreen},
        {R"({"frontmost":{"bundleId":"com.apple.SecurityAgent"}})", protectedScreen},
        {R"({"frontmost":{"bundleId":"com.apple.CoreServicesUIAgent"}})", protectedScreen},
        {R"({"frontmost":{"bundleId":null}})", ""},
        {R"({"frontmost":{}})", ""},
        {R"({"frontmost":{"bundleId":"com.apple.LoginWindow"}})", ""},
        // The earlier check decides when two would fail.
        {R"({"session":{"kCGSSessionOnConsoleKey":true,"kCGSessionLoginDoneKey":true,"CGSSessionScreenIsLocked":true},"frontmost":{"bundleId":"com.apple.loginwindow"}})", locked},
        {R"({"secureInput":true,"frontmost":null})", locked},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.state);
        const Answer answer = mac.ask(guardRequest, state(c.state));
        if (c.message.empty()) {
            EXPECT_EQ(answer.response, state(R"({"id":"g","ok":true})"));
        } else {
            expectRefused(answer, lockedCode, c.message);
        }
    }
    // The key set is checked before the guard.
    expectRefused(mac.ask(R"({"id":"g","operation":"desktop.guard","x":1})", state(R"({"session":null})")),
                  notAllowedCode, incomplete);
}

TEST(Guard, DeadMacIsLocked) {
    // A state file that is not a JSON object: no session at all.
    VirtualMacFiles files;
    {
        std::ofstream(files.statePath()) << "[not an object";
    }
    const auto response = ask(guardRequest, files.statePath());
    EXPECT_EQ(response.at("error").as_string(), locked);
}

TEST(Guard, LockComesBeforeAccessibility) {
    VirtualSession mac;
    const auto lockedWithoutTrust =
        state(R"({"session":{"kCGSSessionOnConsoleKey":true,"kCGSessionLoginDoneKey":true,"CGSSessionScreenIsLocked":true},"accessibility":false})");
    const auto protectedWithoutTrust = state(R"({"frontmost":null,"accessibility":false})");
    const auto untrusted = state(R"({"accessibility":false})");
    const std::string_view inputRequests[] = {
        R"({"id":"1","operation":"desktop.click","x":0.5,"y":0.5})",
        R"({"id":"2","operation":"presentation.pointer","x":0.5,"y":0.5})",
        R"({"id":"3","operation":"desktop.scroll","deltaX":0,"deltaY":10})",
        R"({"id":"4","operation":"desktop.text","text":"hi"})",
        R"({"id":"5","action":"mute"})",
        R"({"id":"6","action":"lock"})",
        R"({"id":"7","action":"toggleFullscreen"})",
        R"({"id":"8","action":"presentation:next"})",
    };
    for (std::string_view request : inputRequests) {
        expectRefused(mac.ask(request, lockedWithoutTrust), lockedCode, locked);
        expectRefused(mac.ask(request, protectedWithoutTrust), lockedCode, protectedScreen);
        expectRefused(mac.ask(request, untrusted), unavailableCode, accessibility);
    }
    // Power needs no Accessibility trust.
    expectPosted(mac.ask(R"({"id":"9","action":"sleep"})", untrusted),
                 {R"({"send":"appleEvent","class":"aevt","id":"slep","target":"com.apple.loginwindow","options":35,"timeout":5})"});
}

TEST(Permissions, StatusWordsAndFlagsWhileLocked) {
    VirtualSession mac;
    const std::pair<int, std::string_view> words[] = {
        {0, "granted"}, {-1743, "denied"}, {-1744, "not-determined"}, {-600, "unavailable"}, {1, "unavailable"}};
    for (const auto& [code, word] : words) {
        auto macState = state(R"({"session":null,"frontmost":null,"accessibility":false,"screenRecording":true})");
        macState["automationStatus"] = code;
        const Answer answer = mac.ask(R"({"id":"p","operation":"permissions.status"})", macState);
        SCOPED_TRACE(code);
        EXPECT_EQ(answer.response,
                  boost::json::object({{"id", "p"},
                                       {"ok", true},
                                       {"permissions", {{"accessibility", false},
                                                        {"automation", word},
                                                        {"screen", true}}}}));
        EXPECT_TRUE(answer.log.empty());
    }
    expectRefused(mac.ask(R"({"id":"p","operation":"permissions.status","kind":"screen"})"), notAllowedCode,
                  incomplete);
}

TEST(Permissions, RequestPromptsThenReports) {
    VirtualSession mac;
    const auto lockedMac = state(R"({"session":null,"automationStatus":-1744,"screenRecording":false})");
    for (std::string_view kind : {"accessibility", "screen", "automation"}) {
        const std::string request =
            std::string(R"({"id":"r","operation":"permissions.request","kind":")") + std::string(kind) + "\"}";
        const Answer answer = mac.ask(request, lockedMac);
        expectPosted(answer, {std::string(R"({"prompt":")") + std::string(kind) + "\"}"});
        EXPECT_EQ(answer.response.at("permissions"),
                  state(R"({"accessibility":true,"automation":"not-determined","screen":false})"));
    }
    for (std::string_view request : {R"({"id":"r","operation":"permissions.request"})",
                                     R"({"id":"r","operation":"permissions.request","kind":"Screen"})",
                                     R"({"id":"r","operation":"permissions.request","kind":5})",
                                     R"({"id":"r","operation":"permissions.request","kind":null})"}) {
        expectRefused(mac.ask(request), notAllowedCode, "Unknown permission.");
    }
    expectRefused(mac.ask(R"({"id":"r","operation":"permissions.request","kind":"screen","x":1})"), notAllowedCode,
                  incomplete);
}

TEST(Monitors, IdentifiersNamesAndBounds) {
    VirtualSession mac;
    const Answer answer = mac.ask(R"({"id":"m","operation":"desktop.monitors"})", state(R"({
        "displays":[{"number":7,"bounds":[-0.5,-1.5,2.75,1080.9]},
                    {"number":3,"uuid":"3F2504E0-4F89-41D3-9A0C-0305E82C3301","bounds":[1920,0,1280,800]}],
        "mainDisplay":3})"));
    EXPECT_EQ(answer.response.at("monitors"), boost::json::parse(R"([
        {"bounds":{"height":1080,"width":2,"x":0,"y":-1},"id":"monitor_7902699be42c8a8e","name":"Display 1","primary":false},
        {"bounds":{"height":800,"width":1280,"x":1920,"y":0},"id":"monitor_d5427d3cc5e5beff","name":"Display 2","primary":true}])"));

    // A main display that is not listed: no entry is primary.
    const Answer noMain = mac.ask(R"({"id":"m","operation":"desktop.monitors"})", state(R"({"mainDisplay":9})"));
    EXPECT_EQ(noMain.response.at("monitors").as_array().at(0).at("primary"), false);
    EXPECT_EQ(noMain.response.at("monitors").as_array().at(0).at("id"), "monitor_d5427d3cc5e5beff");

    // Sixteen displays are listed, seventeen are refused like none.
    boost::json::array displays;
    for (int i = 1; i <= 16; ++i) {
        displays.push_back({{"number", i}, {"bounds", {0, 0, 100, 100}}});
    }
    boost::json::object many{{"displays", displays}};
    EXPECT_TRUE(mac.ask(R"({"id":"m","operation":"desktop.monitors"})", many).ok());
    displays.push_back({{"number", 17}, {"bounds", {0, 0, 100, 100}}});
    many["displays"] = displays;
    expectRefused(mac.ask(R"({"id":"m","operation":"desktop.monitors"})", many), "DESKTOP_CAPTURE_UNAVAILABLE",
                  "No active Mac display is available.");
}

TEST(Monitors, FailingQueriesGuardAndKeys) {
    VirtualSession mac;
    const std::string_view request = R"({"id":"m","operation":"desktop.monitors"})";
    expectRefused(mac.ask(request, state(R"({"displays":[]})")), "DESKTOP_CAPTURE_UNAVAILABLE",
                  "No active Mac display is available.");
    expectRefused(mac.ask(request, state(R"({"displayQuery":"countFails"})")), "DESKTOP_CAPTURE_UNAVAILABLE",
                  "No active Mac display is available.");
    expectRefused(mac.ask(request, state(R"({"displayQuery":"fillFails"})")), "DESKTOP_CAPTURE_UNAVAILABLE",
                  "Cannot read Mac displays.");
    const Answer vanished = mac.ask(request, state(R"({"displayQuery":"vanish"})"));
    EXPECT_TRUE(vanished.ok());
    EXPECT_EQ(vanished.response.at("monitors"), boost::json::array());
    // The guard comes before the display queries, the key set before the guard.
    expectRefused(mac.ask(request, state(R"({"frontmost":null,"displayQuery":"countFails"})")), lockedCode,
                  protectedScreen);
    expectRefused(mac.ask(R"({"id":"m","operation":"desktop.monitors","monitorId":"x"})", state(R"({"session":null})")),
                  notAllowedCode, incomplete);
}
