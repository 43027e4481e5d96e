// "desktop.frame" end to end: the real agent against a virtual Mac.
#include <fstream>
#include <optional>
#include <sstream>

#include <gtest/gtest.h>

#include "host/digest.h"
#include "support/agent.h"
#include "support/pictures.h"

using namespace testing_support;
namespace json = boost::json;

namespace {

const std::string uuidA = "3F2504E0-4F89-41D3-9A0C-0305E82C3301";
const std::string uuidB = "9B1DEB4D-3B7D-4BAD-9BDD-2B0D7B3DCB6D";
const std::string uuidC = "1C6B1470-2B42-4C6E-8C0E-6F3D5A9B7E11";

std::string monitorId(const std::string& source) { return "monitor_" + brindlecast::digest(source, 16); }

json::object display(int number, const std::optional<std::string>& uuid, json::array bounds) {
    json::object d{{"number", number}, {"bounds", std::move(bounds)}};
    if (uuid) d["uuid"] = *uuid;
    return d;
}

std::string frameRequest(std::string_view profile, int maxWidth, int maxHeight, int quality,
                         const std::string& extra = "") {
    std::ostringstream out;
    out << R"({"id":"f","operation":"desktop.frame","profile":")" << profile << R"(","maxWidth":)" << maxWidth
        << R"(,"maxHeight":)" << maxHeight << R"(,"jpegQuality":)" << quality << extra << "}";
    return out.str();
}

std::string withMonitor(const std::string& id) { return R"(,"monitorId":")" + id + "\""; }

std::vector<uint8_t> jpegOf(const json::object& response) {
    return base64Decode(response.at("frame").at("data").as_string());
}

std::vector<json::object> captures(const VirtualMacFiles& files) {
    std::vector<json::object> lines;
    for (auto& line : files.log()) {
        if (line.contains("capture")) lines.push_back(std::move(line));
    }
    return lines;
}

json::object captureLine(int displayNumber, int width, int height) {
    return {{"capture", "display"}, {"display", displayNumber}, {"width", width},
            {"height", height},     {"cursor", true},           {"audio", false}};
}

void expectFailure(const json::object& response, std::string_view code, std::string_view message) {
    EXPECT_EQ(response.at("ok"), false) << json::serialize(response);
    EXPECT_EQ(response.at("code").as_string(), code) << json::serialize(response);
    EXPECT_EQ(response.at("error").as_string(), message) << json::serialize(response);
    EXPECT_FALSE(response.contains("frame"));
}

constexpr std::string_view frameTooLarge = "This frame exceeds the connection limit.";
constexpr std::string_view platformMessage = "macOS could not complete the request. Check local permissions.";

}  // namespace

TEST(DesktopFrame, WorkedSizesAndMonitorIdentifiers) {
    VirtualMacFiles files;
    files.write({{"displays", json::array{display(1, uuidA, {0, 0, 1512, 982}), display(2, uuidB, {1512, 0, 1920, 1080}),
                                          display(3, std::nullopt, {-800, 0, 800, 600}),
                                          display(4, uuidC, {0, 982, 1600, 1142})}}});
    AgentProcess agent(files.statePath());

    // No "monitorId": the main display, and its identifier in the answer.
    auto response = agent.ask(frameRequest("balanced", 1280, 720, 75));
    ASSERT_EQ(response.at("ok"), true) << json::serialize(response);
    const auto& frame = response.at("frame").as_object();
    EXPECT_EQ(frame.size(), 3u);
    EXPECT_EQ(frame.at("mimeType"), "image/jpeg");
    EXPECT_EQ(frame.at("monitorId").as_string(), monitorId(uuidA));
    auto info = jpegInfo(jpegOf(response));
    EXPECT_TRUE(info.valid);
    EXPECT_EQ(info.width, 1108);
    EXPECT_EQ(info.height, 720);
    {
        std::ifstream log(files.logPath());
        std::string line;
        std::getline(log, line);
        EXPECT_EQ(line, R"({"capture":"display","display":1,"width":1108,"height":720,"cursor":true,"audio":false})");
    }

    struct Case {
        std::string monitor;
        int maxWidth, maxHeight;
        int display, width, height;
    };
    const Case cases[] = {
        {monitorId(uuidA), 1920, 1080, 1, 1512, 982},  // never enlarged
        {monitorId(uuidB), 1280, 720, 2, 1280, 720},
        {monitorId("3"), 1280, 720, 3, 800, 600},      // no UUID: the identifier of its number
        {monitorId(uuidC), 1280, 720, 4, 1008, 719},   // 720/1142 x 1142 falls a hair short of 720
        {monitorId(uuidC), 320, 180, 4, 252, 179},    // the same at the smallest limits
    };
    for (const auto& c : cases) {
        files.clearLog();
        response = agent.ask(frameRequest("quality", c.maxWidth, c.maxHeight, 75, withMonitor(c.monitor)));
        ASSERT_EQ(response.at("ok"), true) << json::serialize(response);
        EXPECT_EQ(response.at("frame").at("monitorId").as_string(), c.monitor);
        info = jpegInfo(jpegOf(response));
        EXPECT_EQ(info.width, c.width);
        EXPECT_EQ(info.height, c.height);
        const auto lines = captures(files);
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(json::serialize(lines[0]), json::serialize(captureLine(c.display, c.width, c.height)));
    }

    // The whole response is written with sorted keys.
    const std::string raw = agent.request(frameRequest("smooth", 320, 180, 40));
    EXPECT_EQ(raw.rfind(R"({"frame":{"data":"/9j/)", 0), 0u);
    EXPECT_NE(raw.find(R"(","mimeType":"image/jpeg","monitorId":")" + monitorId(uuidA) + R"("},"id":"f","ok":true})"),
              std::string::npos);
}

TEST(DesktopFrame, ProfilesChooseTheByteLimit) {
    VirtualMacFiles files;
    files.write({});
    AgentProcess agent(files.statePath());

    // The built-in desktop at 95 is far above 180 KiB: a direct profile takes
    // it at once, a relay profile steps the quality down until it fits.
    auto direct = agent.ask(frameRequest("quality", 1280, 720, 95));
    ASSERT_EQ(direct.at("ok"), true);
    const auto directBytes = jpegOf(direct);
    EXPECT_GT(directBytes.size(), 184320u);
    for (const char* profile : {"relay-balanced", "relay-quality", "relay-smooth", "relay-latency"}) {
        auto relayed = agent.ask(frameRequest(profile, 1280, 720, 95));
        ASSERT_EQ(relayed.at("ok"), true) << profile;
        const auto bytes = jpegOf(relayed);
        EXPECT_LE(bytes.size(), 184320u) << profile;
        EXPECT_EQ(jpegInfo(bytes).width, 1108) << profile;
    }

    // Noise: at 1920 x 1080 even the lowest rung is above 180 KiB, while 2 MiB
    // is reached a rung or two below 95.
    const std::string noisy = files.dir() + "/noise.png";
    writePng(noisy, 1920, 1080, noiseRgb(1920, 1080, 7));
    files.write({{"displays", json::array{{{"number", 5}, {"bounds", {0, 0, 1920, 1080}}, {"image", noisy}}}}});
    files.clearLog();
    expectFailure(agent.ask(frameRequest("relay-latency", 1920, 1080, 95)), "DESKTOP_CAPTURE_UNAVAILABLE",
                  frameTooLarge);
    EXPECT_EQ(captures(files).size(), 1u);  // the screenshot was taken, the picture not sent
    auto large = agent.ask(frameRequest("latency", 1920, 1080, 95));
    ASSERT_EQ(large.at("ok"), true);
    const auto largeBytes = jpegOf(large);
    EXPECT_LE(largeBytes.size(), 2097152u);
    EXPECT_GT(largeBytes.size(), 184320u);

    // Only the eight names pass, checked before the guard and the permission.
    files.write({{"session", {{"kCGSSessionOnConsoleKey", true}, {"kCGSessionLoginDoneKey", true},
                              {"CGSSessionScreenIsLocked", true}}},
                 {"screenRecording", false}});
    for (const char* profile : {"relay-fast", "Quality", "", "relay-"}) {
        expectFailure(agent.ask(frameRequest(profile, 1280, 720, 75)), "DESKTOP_CAPTURE_PROFILE_INVALID",
                      "Unknown picture profile.");
    }
    expectFailure(agent.ask(R"({"id":"f","operation":"desktop.frame","profile":5,"maxWidth":1280,"maxHeight":720,"jpegQuality":75})"),
                  "DESKTOP_CAPTURE_PROFILE_INVALID", "Unknown picture profile.");
}

TEST(DesktopFrame, ChecksComeInOrder) {
    VirtualMacFiles files;
    files.write({});
    AgentProcess agent(files.statePath());

    expectFailure(agent.ask(frameRequest("quality", 1280, 720, 75, R"(,"scale":2)")), "COMMAND_NOT_ALLOWED",
                  "Unknown or incomplete request.");
    expectFailure(agent.ask(R"({"id":"f","operation":"desktop.frame","profile":"quality","maxWidth":1280,"maxHeight":720})"),
                  "COMMAND_NOT_ALLOWED", "Unknown or incomplete request.");

    // The number checks come after the permission, the permission after the guard.
    files.write({{"screenRecording", false},
                 {"session", {{"kCGSSessionOnConsoleKey", true}, {"kCGSessionLoginDoneKey", true},
                              {"CGSSessionScreenIsLocked", true}}}});
    expectFailure(agent.ask(frameRequest("quality", 319, 720, 75)), "DESKTOP_LOCKED",
                  "Unlock your Mac and leave any password field before using remote controls.");
    files.write({{"screenRecording", false}});
    expectFailure(agent.ask(frameRequest("quality", 319, 720, 75)), "DESKTOP_CAPTURE_UNAVAILABLE",
                  "Allow Brindlecast in Screen Recording settings.");

    // The numbers come before the shareable content is read.
    files.write({{"shareableContentError", true}});
    const std::string outOfBounds = "Input exceeds its permitted bounds.";
    expectFailure(agent.ask(frameRequest("quality", 319, 720, 75)), "DESKTOP_INPUT_INVALID", outOfBounds);
    expectFailure(agent.ask(frameRequest("quality", 1280, 720, 96)), "DESKTOP_INPUT_INVALID", outOfBounds);
    expectFailure(agent.ask(R"({"id":"f","operation":"desktop.frame","profile":"quality","maxWidth":1280.5,"maxHeight":720,"jpegQuality":75})"),
                  "DESKTOP_INPUT_INVALID", outOfBounds);
    expectFailure(agent.ask(R"({"id":"f","operation":"desktop.frame","profile":"quality","maxWidth":1280,"maxHeight":true,"jpegQuality":75})"),
                  "DESKTOP_INPUT_INVALID", "Invalid numeric input.");
    EXPECT_TRUE(captures(files).empty());

    // The bounds themselves are accepted.
    files.write({});
    for (const auto& [w, h, q] : {std::tuple{320, 180, 40}, std::tuple{1920, 1080, 95}}) {
        auto response = agent.ask(frameRequest("quality", w, h, q));
        EXPECT_EQ(response.at("ok"), true) << json::serialize(response);
    }
}

TEST(DesktopFrame, DisplayChoiceFailures) {
    VirtualMacFiles files;
    json::object second = display(2, uuidB, {1512, 0, 1920, 1080});
    second["shareable"] = false;
    files.write({{"displays", json::array{display(1, uuidA, {0, 0, 1512, 982}), second}}});
    AgentProcess agent(files.statePath());

    expectFailure(agent.ask(frameRequest("quality", 1280, 720, 75, withMonitor("monitor_0123456789abcdef"))),
                  "DESKTOP_MONITOR_INVALID", "That monitor is no longer connected.");
    expectFailure(agent.ask(frameRequest("quality", 1280, 720, 75, withMonitor(monitorId(uuidB)))),
                  "DESKTOP_MONITOR_INVALID", "That display cannot be shared.");
    EXPECT_TRUE(captures(files).empty());

    // A "monitorId" that is not a string names no display: the main one is taken.
    auto response = agent.ask(frameRequest("quality", 1280, 720, 75, R"(,"monitorId":42)"));
    ASSERT_EQ(response.at("ok"), true);
    EXPECT_EQ(response.at("frame").at("monitorId").as_string(), monitorId(uuidA));

    // The main display not shareable, and no "monitorId".
    files.write({{"displays", json::array{display(1, uuidA, {0, 0, 1512, 982}), second}}, {"mainDisplay", 2}});
    files.clearLog();
    expectFailure(agent.ask(frameRequest("quality", 1280, 720, 75)), "DESKTOP_MONITOR_INVALID",
                  "That display cannot be shared.");
    EXPECT_TRUE(captures(files).empty());
}

TEST(DesktopFrame, PlatformErrorsAnswerAsUnavailable) {
    VirtualMacFiles files;
    AgentProcess agent(files.statePath());

    files.write({{"shareableContentError", true}});
    expectFailure(agent.ask(frameRequest("quality", 1280, 720, 75)), "MAC_OPERATION_UNAVAILABLE", platformMessage);
    files.write({{"screenshotError", true}});
    expectFailure(agent.ask(frameRequest("quality", 1280, 720, 75)), "MAC_OPERATION_UNAVAILABLE", platformMessage);
    // A display picture file that does not exist cannot be shown either.
    files.write({{"displays", json::array{{{"number", 1}, {"bounds", {0, 0, 800, 600}},
                                           {"image", files.dir() + "/missing.png"}}}}});
    expectFailure(agent.ask(frameRequest("quality", 1280, 720, 75)), "MAC_OPERATION_UNAVAILABLE", platformMessage);
    EXPECT_TRUE(captures(files).empty());
}

TEST(DesktopFrame, ChangesDuringTheScreenshotDropThePicture) {
    VirtualMacFiles files;
    AgentProcess agent(files.statePath());

    json::object locked{{"kCGSSessionOnConsoleKey", true}, {"kCGSessionLoginDoneKey", true},
                        {"CGSSessionScreenIsLocked", true}};
    files.write({{"then", json::array{{{"after", "screenshot"}, {"set", {{"session", locked}}}}}}});
    expectFailure(agent.ask(frameRequest("quality", 1280, 720, 75)), "DESKTOP_LOCKED",
                  "Unlock your Mac and leave any password field before using remote controls.");
    EXPECT_EQ(captures(files).size(), 1u);

    files.clearLog();
    files.write({{"then", json::array{{{"after", "screenshot"}, {"set", {{"screenRecording", false}}}}}}});
    expectFailure(agent.ask(frameRequest("quality", 1280, 720, 75)), "DESKTOP_CAPTURE_UNAVAILABLE",
                  "Screen permission was removed.");
    EXPECT_EQ(captures(files).size(), 1u);
}

TEST(DesktopFrame, PictureFilesAreSampledAndReloadedWhenChanged) {
    VirtualMacFiles files;
    const std::string path = files.dir() + "/screen.png";
    // Left half red, right half blue, at a quarter of the display's size.
    auto halves = [](bool redLeft) {
        std::vector<uint8_t> rgb(400 * 300 * 3);
        for (int y = 0; y < 300; ++y) {
            for (int x = 0; x < 400; ++x) {
                const bool red = (x < 200) == redLeft;
                uint8_t* p = &rgb[(static_cast<std::size_t>(y) * 400 + x) * 3];
                p[0] = red ? 220 : 20;
                p[2] = red ? 20 : 220;
            }
        }
        return rgb;
    };
    writePng(path, 400, 300, halves(true));
    files.write({{"displays", json::array{{{"number", 1}, {"bounds", {0, 0, 800, 600}}, {"image", path}}}}});
    AgentProcess agent(files.statePath());

    auto redAt = [](const std::vector<uint8_t>& rgb, int x, int y) {
        const uint8_t* p = &rgb[(static_cast<std::size_t>(y) * 800 + x) * 3];
        return p[0] > 150 && p[2] < 80;
    };
    auto pixels = jpegPixels(jpegOf(agent.ask(frameRequest("quality", 1280, 720, 90))));
    ASSERT_EQ(pixels.size(), 800u * 600 * 3);
    EXPECT_TRUE(redAt(pixels, 100, 300));
    EXPECT_FALSE(redAt(pixels, 700, 300));

    writePng(path, 400, 300, halves(false));
    pixels = jpegPixels(jpegOf(agent.ask(frameRequest("quality", 1280, 720, 90))));
    ASSERT_EQ(pixels.size(), 800u * 600 * 3);
    EXPECT_FALSE(redAt(pixels, 100, 300));
    EXPECT_TRUE(redAt(pixels, 700, 300));
}
