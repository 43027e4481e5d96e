// The window target of `frame`, in process: a virtual Mac whose running
// applications the test chooses, and the windows of its state file.
#include <gtest/gtest.h>

#include "apps/lookup.h"
#include "capture/frame.h"
#include "host/failure.h"
#include "platform/virtual/virtual_mac.h"
#include "support/agent.h"
#include "support/forwarding_mac.h"
#include "support/pictures.h"

using namespace brindlecast;
namespace json = boost::json;

namespace {

// The virtual Mac the wrapper below hands its calls to, made before it.
struct OwnVirtualMac {
    explicit OwnVirtualMac(const std::string& statePath) : virtualMac(statePath) {}
    platform::VirtualMac virtualMac;
};

// Everything from a virtual Mac except the running applications, which the
// test gives directly.
class MacWithApps final : private OwnVirtualMac, public testing_support::ForwardingMac {
public:
    MacWithApps(const std::string& statePath, std::vector<platform::RunningApp> apps)
        : OwnVirtualMac(statePath), ForwardingMac(virtualMac), apps_(std::move(apps)) {}

    std::vector<platform::RunningApp> runningApplications() override { return apps_; }
    std::string standardLocation(const std::string& path) override { return path; }
    int32_t ownProcessId() override { return 1; }

private:
    std::vector<platform::RunningApp> apps_;
};

const std::string notes = "/Applications/Notes.app";

// The request "apps.preview" hands to `frame`.
const Request previewRequest{{"maxWidth", 1280}, {"maxHeight", 720}, {"jpegQuality", 75}};

// A picture of the windows of Notes, as "apps.preview" asks for it.
Result notesPicture(Host& host) {
    const capture::WindowOwners owners = [&] { return apps::runningPids(host, notes); };
    return capture::frame(host, previewRequest, &owners);
}

json::object window(json::value pid, json::array frame, int layer = 0) {
    return {{"pid", std::move(pid)}, {"frame", std::move(frame)}, {"layer", layer}};
}

}  // namespace

TEST(WindowCapture, LargestQualifyingWindowOfTheApplication) {
    testing_support::VirtualMacFiles files;
    files.write({{"windows", json::array{
                                 window(20, {0, 0, 2000, 2000}),        // another application
                                 window(10, {0, 0, 1800, 1800}, 25),    // a panel above the windows
                                 window(10, {10, 10, 800, 600}),
                                 window(11, {40, 40, 1600, 1142}),      // the second instance's window
                                 window(10, {0, 0, 1142, 1600}),        // the same area, listed later
                                 window(nullptr, {0, 0, 3000, 3000}),   // no owning application
                             }}});
    MacWithApps mac(files.statePath(), {{10, notes, nullptr}, {11, notes, nullptr}, {20, "/Applications/Mail.app",
                                                                                     nullptr}});
    Host host(mac);

    const Result preview = notesPicture(host);
    EXPECT_FALSE(preview.contains("monitorId"));
    EXPECT_EQ(preview.size(), 2u);
    const auto jpeg = testing_support::base64Decode(preview.at("data").as_string());
    const auto info = testing_support::jpegInfo(jpeg);
    EXPECT_EQ(info.width, 1008);
    EXPECT_EQ(info.height, 719);
    const auto log = files.log();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(json::serialize(log[0]), R"({"capture":"window","pid":11,"width":1008,"height":719,"cursor":true,"audio":false})");
}

TEST(WindowCapture, NoVisibleWindow) {
    testing_support::VirtualMacFiles files;
    files.write({{"windows", json::array{window(10, {0, 0, 64, 900}), window(10, {0, 0, 900, 64}),
                                         window(10, {0, 0, 900, 900}, 3), window(20, {0, 0, 900, 900})}}});
    auto expectNoWindow = [&](MacWithApps& mac) {
        Host host(mac);
        try {
            notesPicture(host);
            ADD_FAILURE() << "a window was captured";
        } catch (const Failure& failure) {
            EXPECT_EQ(failure.code, failures::noAppWindow.code);
            EXPECT_EQ(failure.message, failures::noAppWindow.message);
        }
    };
    MacWithApps running(files.statePath(), {{10, notes, nullptr}});
    expectNoWindow(running);
    MacWithApps notRunning(files.statePath(), {});
    expectNoWindow(notRunning);
    EXPECT_TRUE(files.log().empty());

    // An application whose process is the agent's own is not one of its instances.
    files.write({{"windows", json::array{window(1, {0, 0, 900, 900})}}});
    MacWithApps itself(files.statePath(), {{1, notes, nullptr}});
    expectNoWindow(itself);
}

TEST(WindowCapture, WindowPictureFileIsUsed) {
    testing_support::VirtualMacFiles files;
    const std::string path = files.dir() + "/window.png";
    std::vector<uint8_t> green(200 * 100 * 3, 0);
    for (std::size_t i = 1; i < green.size(); i += 3) green[i] = 200;
    testing_support::writePng(path, 200, 100, green);
    json::object w = window(10, {0, 0, 400, 200});
    w["image"] = path;
    files.write({{"windows", json::array{w}}});
    MacWithApps mac(files.statePath(), {{10, notes, nullptr}});
    Host host(mac);
    const auto pixels = testing_support::jpegPixels(
        testing_support::base64Decode(notesPicture(host).at("data").as_string()));
    ASSERT_EQ(pixels.size(), 400u * 200 * 3);
    EXPECT_GT(pixels[100 * 400 * 3 + 200 * 3 + 1], 150);
    EXPECT_LT(pixels[100 * 400 * 3 + 200 * 3 + 0], 80);
}
