// Pointer, keyboard, text entry and action requests, end to end through the
// agent binary and the virtual Mac's event log.
#include <gtest/gtest.h>

#include <string>

#include "support/virtual_session.h"

using namespace testing_support;
using namespace testing_support::messages;

namespace {

// Two displays: the main one at the origin and a second one to its right.
const char* const twoDisplays = R"({"displays":[
    {"number":1,"uuid":"3F2504E0-4F89-41D3-9A0C-0305E82C3301","bounds":[0,0,1512,982]},
    {"number":2,"uuid":"11111111-2222-3333-4444-555555555555","bounds":[1920,0,1280,800]}]})";
const char* const lockedSession =
    R"({"session":{"kCGSSessionOnConsoleKey":true,"kCGSessionLoginDoneKey":true,"CGSSessionScreenIsLocked":true}})";

std::string mouse(int type, std::string_view x, std::string_view y, int button) {
    return R"({"post":"mouse","type":)" + std::to_string(type) + R"(,"x":)" + std::string(x) + R"(,"y":)" +
           std::string(y) + R"(,"button":)" + std::to_string(button) + "}";
}

std::string keyLine(int keyCode, bool down, int flags) {
    return R"({"post":"key","keyCode":)" + std::to_string(keyCode) + R"(,"down":)" + (down ? "true" : "false") +
           R"(,"flags":)" + std::to_string(flags) + "}";
}

std::string textLine(bool down, std::string_view escapedText) {
    return std::string(R"({"post":"key","keyCode":0,"down":)") + (down ? "true" : "false") + R"(,"text":")" +
           std::string(escapedText) + "\"}";
}

std::string mediaLine(long long data1, bool down) {
    return R"({"post":"system","type":14,"subtype":8,"flags":)" + std::string(down ? "2560" : "2816") +
           R"(,"data1":)" + std::to_string(data1) + R"(,"data2":-1})";
}

std::string appleEventLine(std::string_view id) {
    return R"({"send":"appleEvent","class":"aevt","id":")" + std::string(id) +
           R"(","target":"com.apple.loginwindow","options":35,"timeout":5})";
}

// A text request whose "text" is `text` repeated `count` times.
std::string textRequest(std::string_view text, int count) {
    std::string repeated;
    for (int i = 0; i < count; ++i) repeated += text;
    return boost::json::serialize(boost::json::object{{"id", "t"}, {"operation", "desktop.text"}, {"text", repeated}});
}

}  // namespace

TEST(Pointer, PointsOnTheChosenDisplay) {
    VirtualSession mac;
    const auto displays = state(twoDisplays);
    const std::string second = R"("monitorId":"monitor_)" + std::string("666ff6ccaa5b3c07") + "\"";
    // Corners of the main display: 0 is its minimum, 1 one point short of its far edge.
    expectPosted(mac.ask(R"({"id":"c","operation":"desktop.click","x":0,"y":0})", displays),
                 {mouse(1, "0", "0", 0), mouse(2, "0", "0", 0)});
    expectPosted(mac.ask(R"({"id":"c","operation":"desktop.click","x":1,"y":1,"button":"right"})", displays),
                 {mouse(3, "1511", "981", 1), mouse(4, "1511", "981", 1)});
    // On the second display: 1920 + 0.5 x 1279, 0.25 x 799.
    expectPosted(mac.ask(R"({"id":"p","operation":"presentation.pointer","x":0.5,"y":0.25,)" + second + "}", displays),
                 {mouse(5, "2559.5", "199.75", 0)});
    // -0.0 is 0; a "monitorId" that is not a string means the main display; a
    // "button" that is not a string means the left one.
    expectPosted(mac.ask(R"({"id":"c","operation":"desktop.click","x":-0.0,"y":0.5,"monitorId":2,"button":null})", displays),
                 {mouse(1, "0", "490.5", 0), mouse(2, "0", "490.5", 0)});
    expectPosted(mac.ask(R"({"id":"c","operation":"desktop.click","x":0.1,"y":0.1,"button":2})", displays),
                 {mouse(1, "151.1", "98.10000000000001", 0), mouse(2, "151.1", "98.10000000000001", 0)});
    // A display narrower than one point maps every x to its minimum x.
    expectPosted(mac.ask(R"({"id":"p","operation":"presentation.pointer","x":0.7,"y":1})",
                         state(R"({"displays":[{"number":4,"bounds":[-10.5,20,0.5,1]}]})")),
                 {mouse(5, "-10.5", "20", 0)});
    // A mouse event the platform does not make is skipped, not a failure.
    expectPosted(mac.ask(R"({"id":"c","operation":"desktop.click","x":0.5,"y":0.5})",
                         state(R"({"eventsFail":["mouse"]})")),
                 {});
}

TEST(Pointer, OrderOfChecks) {
    VirtualSession mac;
    // exact first: a missing "x" is not an invalid number, even on a locked Mac.
    expectRefused(mac.ask(R"({"id":"c","operation":"desktop.click","y":0.5})", state(lockedSession)),
                  notAllowedCode, incomplete);
    expectRefused(mac.ask(R"({"id":"p","operation":"presentation.pointer","x":0,"y":0,"button":"left"})"),
                  notAllowedCode, incomplete);
    // The guard before any field value.
    expectRefused(mac.ask(R"({"id":"c","operation":"desktop.click","x":"bad","y":0.5,"monitorId":"gone"})",
                          state(lockedSession)),
                  lockedCode, locked);
    // The display before "x".
    expectRefused(mac.ask(R"({"id":"c","operation":"desktop.click","x":2,"y":0.5,"monitorId":"monitor_0000000000000000"})"),
                  "DESKTOP_MONITOR_INVALID", "That monitor is no longer connected.");
    expectRefused(mac.ask(R"({"id":"c","operation":"desktop.click","x":2,"y":0.5})",
                          state(R"({"displayQuery":"fillFails"})")),
                  "DESKTOP_CAPTURE_UNAVAILABLE", "Cannot read Mac displays.");
    // "x" before "y", the point before the button.
    expectRefused(mac.ask(R"({"id":"c","operation":"desktop.click","x":1.0000001,"y":true,"button":"middle"})"),
                  invalidCode, "Input exceeds its permitted bounds.");
    expectRefused(mac.ask(R"({"id":"c","operation":"desktop.click","x":true,"y":0.5})"), invalidCode,
                  "Invalid numeric input.");
    expectRefused(mac.ask(R"({"id":"c","operation":"desktop.click","x":0.5,"y":null})"), invalidCode,
                  "Invalid numeric input.");
    expectRefused(mac.ask(R"({"id":"c","operation":"desktop.click","x":0.5,"y":-0.01,"button":"middle"})"),
                  invalidCode, "Input exceeds its permitted bounds.");
    expectRefused(mac.ask(R"({"id":"c","operation":"desktop.click","x":0.5,"y":0.5,"button":"Left"})"), invalidCode,
                  "Unknown mouse button.");
}

TEST(Scroll, WheelValuesAndOrderOfChecks) {
    VirtualSession mac;
    const auto displays = state(twoDisplays);
    // The pointer goes to the centre of the display, then the wheels turn the other way.
    expectPosted(mac.ask(R"({"id":"s","operation":"desktop.scroll","deltaX":0,"deltaY":120})", displays),
                 {mouse(5, "756", "491", 0),
                  R"({"post":"scroll","unit":0,"wheelCount":2,"wheel1":-120,"wheel2":0,"wheel3":0})"});
    expectPosted(mac.ask(R"({"id":"s","operation":"desktop.scroll","deltaX":1200,"deltaY":-1200,"monitorId":"monitor_666ff6ccaa5b3c07"})", displays),
                 {mouse(5, "2560", "400", 0),
                  R"({"post":"scroll","unit":0,"wheelCount":2,"wheel1":1200,"wheel2":-1200,"wheel3":0})"});
    // Events the platform does not make are skipped.
    expectPosted(mac.ask(R"({"id":"s","operation":"desktop.scroll","deltaX":-3,"deltaY":0})",
                         state(R"({"eventsFail":["scroll"]})")),
                 {mouse(5, "756", "491", 0)});
    expectPosted(mac.ask(R"({"id":"s","operation":"desktop.scroll","deltaX":-3,"deltaY":0})",
                         state(R"({"eventsFail":["scroll","mouse"]})")),
                 {});

    expectRefused(mac.ask(R"({"id":"s","operation":"desktop.scroll","deltaX":"x","deltaY":0})", state(lockedSession)),
                  lockedCode, locked);
    expectRefused(mac.ask(R"({"id":"s","operation":"desktop.scroll","deltaX":2.5,"deltaY":0})"), invalidCode,
                  "Input exceeds its permitted bounds.");
    expectRefused(mac.ask(R"({"id":"s","operation":"desktop.scroll","deltaX":0,"deltaY":-1201})"), invalidCode,
                  "Input exceeds its permitted bounds.");
    expectRefused(mac.ask(R"({"id":"s","operation":"desktop.scroll","deltaX":"5","deltaY":0})"), invalidCode,
                  "Invalid numeric input.");
    // Both zero is refused before the display is resolved.
    expectRefused(mac.ask(R"({"id":"s","operation":"desktop.scroll","deltaX":0,"deltaY":-0.0,"monitorId":"gone"})"),
                  invalidCode, "Empty scroll.");
    expectRefused(mac.ask(R"({"id":"s","operation":"desktop.scroll","deltaX":1,"deltaY":0,"monitorId":"gone"})"),
                  "DESKTOP_MONITOR_INVALID", "That monitor is no longer connected.");
    expectRefused(mac.ask(R"({"id":"s","operation":"desktop.scroll","deltaX":1,"deltaY":0,"button":"left"})"),
                  notAllowedCode, incomplete);
}

TEST(Text, LimitsFieldsAndOrderOfChecks) {
    VirtualSession mac;
    // The type of "text" is checked before the guard, its value after.
    expectRefused(mac.ask(R"({"id":"t","operation":"desktop.text","text":42})", state(lockedSession)), invalidCode,
                  "Invalid text.");
    expectRefused(mac.ask(R"({"id":"t","operation":"desktop.text","text":""})", state(lockedSession)), lockedCode,
                  locked);
    expectRefused(mac.ask(R"({"id":"t","operation":"desktop.text","text":""})"), invalidCode, "Invalid text input.");
    expectRefused(mac.ask(R"({"id":"t","operation":"desktop.text","text":"a\u0000b"})"), invalidCode,
                  "Invalid text input.");
    // 256 UTF-16 code units are the limit; a character outside the BMP counts two.
    EXPECT_TRUE(mac.ask(textRequest("a", 256)).ok());
    expectRefused(mac.ask(textRequest("a", 257)), invalidCode, "Invalid text input.");
    EXPECT_TRUE(mac.ask(textRequest("\xF0\x9F\x98\x80", 128)).ok());
    expectRefused(mac.ask(textRequest("\xF0\x9F\x98\x80", 129)), invalidCode, "Invalid text input.");
    expectRefused(mac.ask(textRequest("\xF0\x9F\x98\x80", 200)), invalidCode, "Invalid text input.");
    // The limit is checked before the focused field is read.
    expectRefused(mac.ask(textRequest("a", 257), state(R"({"focus":null})")), invalidCode, "Invalid text input.");

    const std::string_view hi = R"({"id":"t","operation":"desktop.text","text":"hi"})";
    const std::pair<const char*, std::string_view> refusals[] = {
        {R"({"focus":null})", "Select an ordinary text field on the Mac first."},
        {R"({"focus":"error"})", "Select an ordinary text field on the Mac first."},
        {R"({"focus":"notElement"})", "Select an ordinary text field on the Mac first."},
        {R"({"focus":{"role":"AXTextField","roleError":true}})", "This field does not support remote text."},
        {R"({"focus":{"role":"AXWebArea"}})", "This field does not support remote text."},
        {R"({"focus":{"role":"AXButton","subrole":"AXSecureTextField"}})", "This field does not support remote text."},
        {R"({"focus":{"role":"axtextfield"}})", "This field does not support remote text."},
        {R"({"focus":{"role":5}})", "This field does not support remote text."},
        {R"({"focus":{}})", "This field does not support remote text."},
        {R"({"eventsFail":["keyDown"]})", "Text input unavailable."},
        {R"({"eventsFail":["keyUp"]})", "Text input unavailable."},
    };
    for (const auto& [macState, message] : refusals) {
        expectRefused(mac.ask(hi, state(macState)), unavailableCode, message);
    }
    // A password field is private: a lock code, not an unavailable one.
    expectRefused(mac.ask(hi, state(R"({"focus":{"role":"AXTextField","subrole":"AXSecureTextField"}})")),
                  lockedCode, "Password fields stay private.");
    for (const char* field : {R"({"focus":{"role":"AXTextField","subrole":"AXSearchField"}})",
                              R"({"focus":{"role":"AXTextArea","subrole":5}})", R"({"focus":{"role":"AXComboBox"}})"}) {
        expectPosted(mac.ask(hi, state(field)), {textLine(true, "hi"), textLine(false, "hi")});
    }
    // Line breaks stay in the text; a short text is one pair without flags.
    expectPosted(mac.ask(R"({"id":"t","operation":"desktop.text","text":"one\ntwo\r\n\u00e9\ud83d\ude00"})"),
                 {textLine(true, R"(one\ntwo\r\n)" "\xC3\xA9\xF0\x9F\x98\x80"),
                  textLine(false, R"(one\ntwo\r\n)" "\xC3\xA9\xF0\x9F\x98\x80")});
}

TEST(Text, LockFoundAtTheSecondCheckPostsNothing) {
    VirtualSession mac;
    // The Mac locks (or a protected screen comes up) once the field has been read.
    expectRefused(mac.ask(textRequest("a", 100), state(R"({"then":[{"after":"focusRead","set":{"session":{"kCGSSessionOnConsoleKey":true,"kCGSessionLoginDoneKey":true,"CGSSessionScreenIsLocked":true}}}]})")),
                  lockedCode, locked);
    expectRefused(mac.ask(textRequest("a", 5), state(R"({"then":[{"after":"focusRead","set":{"secureInput":true}}]})")),
                  lockedCode, locked);
    expectRefused(mac.ask(textRequest("a", 5), state(R"({"then":[{"after":"focusRead","set":{"frontmost":{"bundleId":"com.apple.SecurityAgent"}}}]})")),
                  lockedCode, protectedScreen);
    // Losing Accessibility trust at that moment does not matter: only the session is checked again.
    EXPECT_TRUE(mac.ask(textRequest("a", 5), state(R"({"then":[{"after":"focusRead","set":{"accessibility":false}}]})")).ok());
}

TEST(Text, LongTextIsTypedInWholeRuns) {
    VirtualSession mac;
    // 40 units: two flags (4 units each) straddle unit 20 after 18 letters.
    const std::string flags = "\xF0\x9F\x87\xAB\xF0\x9F\x87\xB7";  // one flag, two regional indicators
    const std::string text = std::string(18, 'a') + flags + std::string(18, 'b');
    const Answer answer = mac.ask(boost::json::serialize(
        boost::json::object{{"id", "t"}, {"operation", "desktop.text"}, {"text", text}}));
    expectPosted(answer, {textLine(true, std::string(18, 'a')), textLine(false, std::string(18, 'a')),
                          textLine(true, flags + std::string(16, 'b')), textLine(false, flags + std::string(16, 'b')),
                          textLine(true, "bb"), textLine(false, "bb")});

    // 256 units typed in full: every run at most 20 units, in order, down then up.
    std::string expected;
    for (int i = 0; i < 51; ++i) expected += "\xF0\x9F\x98\x80" "abc";
    expected += "d";
    const Answer full = mac.ask(textRequest(expected, 1));
    ASSERT_TRUE(full.ok());
    std::string typed;
    ASSERT_EQ(full.log.size() % 2, 0u);
    for (std::size_t i = 0; i < full.log.size(); i += 2) {
        const auto down = boost::json::parse(full.log[i]).as_object();
        const auto up = boost::json::parse(full.log[i + 1]).as_object();
        EXPECT_EQ(down.at("down"), true);
        EXPECT_EQ(up.at("down"), false);
        EXPECT_EQ(down.at("text"), up.at("text"));
        EXPECT_FALSE(down.contains("flags"));
        const std::string run(down.at("text").as_string());
        // "😀abc" is 5 units: four of them fit in 20.
        EXPECT_LE(run.size(), 4u * 7u);
        typed += run;
    }
    // 12 runs of four "😀abc", then three more and the "d".
    EXPECT_EQ(full.log.size(), 2u * 13u);
    EXPECT_EQ(typed, expected);

    // A key-up that cannot be made for a later run: nothing of the text is posted.
    expectRefused(mac.ask(textRequest("a", 100), state(R"({"eventsFail":["keyUp"]})")), unavailableCode,
                  "Text input unavailable.");
}

TEST(Actions, MediaKeys) {
    VirtualSession mac;
    const std::pair<const char*, long long> keys[] = {{"playPause", 16}, {"next", 17},    {"previous", 18},
                                                      {"mute", 7},       {"volumeUp", 0}, {"volumeDown", 1}};
    for (const auto& [action, keyType] : keys) {
        expectPosted(mac.ask(std::string(R"({"id":"a","action":")") + action + "\"}"),
                     {mediaLine(keyType * 65536 + 0xa00, true), mediaLine(keyType * 65536 + 0xb00, false)});
    }
    // "seconds" is allowed and changes nothing.
    expectPosted(mac.ask(R"({"id":"a","action":"playPause","seconds":30})"),
                 {mediaLine(0x100a00, true), mediaLine(0x100b00, false)});
    expectRefused(mac.ask(R"({"id":"a","action":"mute"})", state(R"({"eventsFail":["mediaDown"]})")),
                  "MEDIA_INPUT_UNAVAILABLE", "Media control is unavailable.");
    // The one failure that leaves an event posted: the key-up half.
    const Answer halfway = mac.ask(R"({"id":"a","action":"mute"})", state(R"({"eventsFail":["mediaUp"]})"));
    EXPECT_EQ(halfway.response.at("error"), "Media control is unavailable.");
    EXPECT_EQ(halfway.log, std::vector<std::string>{mediaLine(7 * 65536 + 0xa00, true)});
}

TEST(Actions, RoutingAndKeys) {
    VirtualSession mac;
    const auto ask = [&](std::string_view request, const char* macState = "{}") {
        return mac.ask(request, state(macState));
    };
    expectRefused(ask(R"({"id":"a","action":"mute","extra":1})"), notAllowedCode, incomplete);
    expectRefused(ask(R"({"id":"a","operation":5,"action":"mute"})"), notAllowedCode, incomplete);
    expectRefused(ask(R"({"id":"a","operation":5})"), notAllowedCode, incomplete);
    expectRefused(ask(R"({"id":"a"})"), notAllowedCode, incomplete);
    expectRefused(ask(R"({"id":"a","action":7})", lockedSession), notAllowedCode, "Unknown action.");

    expectPosted(ask(R"({"id":"a","action":"toggleFullscreen"})"), {keyLine(3, true, 0x140000), keyLine(3, false, 0x140000)});
    expectPosted(ask(R"({"id":"a","action":"lock"})"), {keyLine(12, true, 0x140000), keyLine(12, false, 0x140000)});
    const std::pair<const char*, int> presentation[] = {{"previous", 123}, {"next", 124}, {"start", 96},
                                                        {"end", 53},       {"blank", 11}};
    for (const auto& [word, keyCode] : presentation) {
        expectPosted(ask(std::string(R"({"id":"a","action":"presentation:)") + word + "\"}"),
                     {keyLine(keyCode, true, 0), keyLine(keyCode, false, 0)});
    }
    expectRefused(ask(R"({"id":"a","action":"lock"})", R"({"eventsFail":["keyUp"]})"), unavailableCode,
                  "macOS could not create the key event.");
    expectRefused(ask(R"({"id":"a","action":"presentation:next"})", R"({"eventsFail":["keyDown"]})"), unavailableCode,
                  "macOS could not create the key event.");

    // The last two rules fail before any guard runs.
    for (const char* action : {"presentation:", "presentation:Next", "presentation:next "}) {
        expectRefused(ask(std::string(R"({"id":"a","action":")") + action + "\"}", lockedSession), notAllowedCode,
                      "Unknown presentation action.");
    }
    for (const char* action : {"Presentation:next", "Mute", "lockScreen", ""}) {
        expectRefused(ask(std::string(R"({"id":"a","action":")") + action + "\"}", lockedSession),
                      "MEDIA_INPUT_UNAVAILABLE", "This Mac player does not provide that control yet.");
    }
}

TEST(Actions, PowerReplies) {
    VirtualSession mac;
    const std::pair<const char*, const char*> actions[] = {{"shutdown", "shut"}, {"restart", "rest"}, {"sleep", "slep"}};
    for (const auto& [action, id] : actions) {
        const std::string request = std::string(R"({"id":"a","action":")") + action + "\"}";
        expectPosted(mac.ask(request), {appleEventLine(id)});
        expectPosted(mac.ask(request, state(R"({"appleEventReply":{"errn":0}})")), {appleEventLine(id)});
        expectRefused(mac.ask(request, state(lockedSession)), lockedCode, locked);
        expectRefused(mac.ask(request, state(R"({"frontmost":{"bundleId":"com.apple.loginwindow"}})")), lockedCode,
                      protectedScreen);
    }
    const Answer declined = mac.ask(R"({"id":"a","action":"restart"})", state(R"({"appleEventReply":{"errn":-128}})"));
    EXPECT_EQ(declined.response.at("code"), "POWER_UNAVAILABLE");
    EXPECT_EQ(declined.response.at("error"), "macOS declined the request. Check Automation permission and unsaved work.");
    EXPECT_EQ(declined.log, std::vector<std::string>{appleEventLine("rest")});
    // No reply is the platform's error, passed on.
    const Answer silent = mac.ask(R"({"id":"a","action":"shutdown"})", state(R"({"appleEventReply":"noReply"})"));
    EXPECT_EQ(silent.response.at("code"), "MAC_OPERATION_UNAVAILABLE");
    EXPECT_EQ(silent.response.at("error"), "macOS could not complete the request. Check local permissions.");
    EXPECT_EQ(silent.response.at("id"), "a");
    EXPECT_EQ(silent.log, std::vector<std::string>{appleEventLine("shut")});
}
