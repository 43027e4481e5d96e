// The application catalog, list, icons and actions, end to end through the
// agent binary and bundles built on disk.
#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include <gtest/gtest.h>

#include "host/digest.h"
#include "support/agent.h"
#include "support/bundles.h"
#include "support/pictures.h"

using namespace testing_support;
namespace fs = std::filesystem;
namespace json = boost::json;

namespace {

// A virtual Mac whose three application folders lie in a scratch folder.
struct AppsMac {
    VirtualMacFiles files;
    std::string apps = files.dir() + "/Applications";
    std::string system = files.dir() + "/System";
    std::string home = files.dir() + "/Home";
    json::object state;

    AppsMac() {
        fs::create_directories(apps);
        fs::create_directories(system);
        state = {{"applicationFolders", {{"applications", apps}, {"system", system}, {"home", home}}},
                 {"now", 1000}};
        files.write(state);
    }
    void set(std::string_view key, json::value value) {
        state[key] = std::move(value);
        files.write(state);
    }
};

std::string idOf(const std::string& bundlePath) {
    return "app_" + brindlecast::digest(realPath(bundlePath), 32);
}

std::string request(std::string_view operation, std::string_view appId, std::string_view extra = "") {
    std::string line = R"({"id":"r","operation":")" + std::string(operation) + R"(","appId":")" +
                       std::string(appId) + "\"";
    return line + std::string(extra) + "}";
}

// The "apps" of a list response, identifier to entry.
std::map<std::string, json::object> listed(const json::object& response) {
    std::map<std::string, json::object> entries;
    for (const auto& app : response.at("apps").as_array()) {
        entries.emplace(json::value_to<std::string>(app.at("id")), app.as_object());
    }
    return entries;
}

std::set<std::string> listedIds(const json::object& response) {
    std::set<std::string> ids;
    for (const auto& [id, entry] : listed(response)) ids.insert(id);
    return ids;
}

void expectFailure(const json::object& response, std::string_view code, std::string_view message) {
    EXPECT_EQ(response.at("ok"), false) << json::serialize(response);
    EXPECT_EQ(response.at("code"), json::value(code)) << json::serialize(response);
    EXPECT_EQ(response.at("error"), json::value(message)) << json::serialize(response);
}

void expectSuccess(const json::object& response) {
    EXPECT_EQ(response.at("ok"), true) << json::serialize(response);
}

constexpr std::string_view notInCatalog = "That app is not in the Mac application catalog.";

}  // namespace

TEST(AppCatalog, FindsBundlesByTheScanRules) {
    AppsMac mac;
    const std::string a = mac.apps;
    makeBundle(a + "/Top.app", app("com.example.top"));
    makeBundle(a + "/One/Mid.app", app("com.example.mid"));
    makeBundle(a + "/One/Two/Deep.app", app("com.example.deep"));
    makeBundle(a + "/One/Two/Three/TooDeep.app", app("com.example.toodeep"));
    // "APP" is not the bundle extension: an ordinary folder, searched.
    makeBundle(a + "/Tools.APP/Inside.app", app("com.example.inside"));
    // A candidate is never searched, even when it is no bundle.
    fs::create_directories(a + "/Empty.app");
    makeBundle(a + "/Empty.app/Nested.app", app("com.example.nested"));
    makeBundle(a + "/Outer.app/Contents/Inner.app", app("com.example.inner"));
    makeBundle(a + "/Outer.app", app("com.example.outer"));
    // Links are never followed.
    makeBundle(mac.files.dir() + "/Elsewhere/Linked.app", app("com.example.linked"));
    fs::create_directory_symlink(a + "/Top.app", a + "/LinkToTop.app");
    fs::create_directory_symlink(mac.files.dir() + "/Elsewhere", a + "/LinkedFolder");
    fs::create_symlink(a + "/Missing.app", a + "/Dangling.app");
    // Left out: blocked, no identifier, no executable, unreadable plist, hidden.
    makeBundle(a + "/Terminal.app", app("com.apple.Terminal"));
    makeBundle(a + "/One/iTerm.app", app("com.googlecode.iterm2"));
    makeBundle(a + "/NoId.app", app(std::nullopt));
    makeBundle(a + "/NoExec.app", app("com.example.noexec").withoutExecutableFile());
    makeBundle(a + "/NoExecKey.app", app("com.example.noexeckey").withoutExecutableKey());
    makeBundle(a + "/ExecIsFolder.app", app("com.example.execfolder").withoutExecutableFile());
    fs::create_directories(a + "/ExecIsFolder.app/Contents/MacOS/App");
    makeBundle(a + "/Garbage.app", app("com.example.garbage"));
    std::ofstream(a + "/Garbage.app/Contents/Info.plist", std::ios::trunc) << "<plist><dict><key>";
    makeBundle(a + "/.Hidden.app", app("com.example.hidden"));
    makeBundle(a + "/.hidden/Shown.app", app("com.example.shown"));
    std::ofstream(a + "/File.app") << "not a folder";
    // A binary property list; the home folder has no Applications folder.
    makeBundle(mac.system + "/Binary.app", app("com.example.binary").named("Bin\u00e4r").binary());

    const auto response = ask(R"({"id":"1","operation":"apps.list"})", mac.files.statePath());
    expectSuccess(response);
    const auto entries = listed(response);
    std::map<std::string, std::string> expected{
        {idOf(a + "/Top.app"), "Top"},
        {idOf(a + "/One/Mid.app"), "Mid"},
        {idOf(a + "/One/Two/Deep.app"), "Deep"},
        {idOf(a + "/Tools.APP/Inside.app"), "Inside"},
        {idOf(a + "/Outer.app"), "Outer"},
        {idOf(mac.system + "/Binary.app"), "Bin\u00e4r"},
    };
    std::map<std::string, std::string> got;
    for (const auto& [id, entry] : entries) got[id] = json::value_to<std::string>(entry.at("name"));
    EXPECT_EQ(got, expected);
    EXPECT_EQ(entries.begin()->first.size(), 36u);
}

TEST(AppCatalog, DeeplyNestedPropertyListDoesNotBringTheScanDown) {
    AppsMac mac;
    makeBundle(mac.apps + "/Good.app", app("com.example.good"));
    makeBundle(mac.apps + "/Deep.app", app("com.example.deep"));
    // Arrays nested 140,000 deep, just under 1 MiB.
    const std::string bytes = nestedBinaryPlist(140000);
    ASSERT_LT(bytes.size(), 1u << 20);
    std::ofstream(mac.apps + "/Deep.app/Contents/Info.plist", std::ios::binary | std::ios::trunc) << bytes;

    const auto run = runAgent(R"({"id":"1","operation":"apps.list"})" "\n", mac.files.statePath());
    ASSERT_EQ(run.lines.size(), 1u) << "exit " << run.exitStatus;
    EXPECT_EQ(listedIds(run.responses()[0]), std::set<std::string>{idOf(mac.apps + "/Good.app")});
}

TEST(AppCatalog, ReusesAScanForFifteenSecondsOfTheGivenClock) {
    AppsMac mac;
    makeBundle(mac.apps + "/First.app", app("com.example.first"));
    AgentProcess agent(mac.files.statePath());
    const std::string list = R"({"id":"l","operation":"apps.list"})";
    EXPECT_EQ(listedIds(agent.ask(list)).size(), 1u);  // scanned at 1000

    const std::string second = mac.apps + "/Second.app";
    makeBundle(second, app("com.example.second"));
    mac.set("now", 1014.9);
    EXPECT_EQ(listedIds(agent.ask(list)).size(), 1u);
    expectFailure(agent.ask(request("apps.action", idOf(second))), "APP_NOT_FOUND", notInCatalog);
    mac.set("now", 1015);
    EXPECT_EQ(listedIds(agent.ask(list)).size(), 2u);  // scanned at 1015

    // A clock set back scans no sooner than 15 seconds past the stored time.
    makeBundle(mac.apps + "/Third.app", app("com.example.third"));
    mac.set("now", 900);
    EXPECT_EQ(listedIds(agent.ask(list)).size(), 2u);
    mac.set("now", 1029.5);
    EXPECT_EQ(listedIds(agent.ask(list)).size(), 2u);
    mac.set("now", 1030);
    EXPECT_EQ(listedIds(agent.ask(list)).size(), 3u);  // scanned at 1030

    // A bundle deleted after the scan: still listed, but no longer usable.
    fs::remove_all(second);
    mac.set("now", 1031);
    EXPECT_TRUE(listedIds(agent.ask(list)).contains(idOf(mac.apps + "/First.app")));
    EXPECT_EQ(listedIds(agent.ask(list)).size(), 3u);
    const std::string secondId = "app_" + brindlecast::digest(realPath(mac.apps) + "/Second.app", 32);
    expectFailure(agent.ask(request("apps.icon", secondId)), "APP_NOT_FOUND", notInCatalog);
    mac.set("now", 1045);
    EXPECT_FALSE(listedIds(agent.ask(list)).contains(secondId));
    EXPECT_EQ(agent.finish(), 0);
}

TEST(AppCatalog, SameApplicationAtTwoPathsAndStableIdentifiers) {
    AppsMac mac;
    makeBundle(mac.apps + "/Editor.app", app("com.example.editor"));
    makeBundle(mac.home + "/Applications/Tools/Editor.app", app("com.example.editor"));
    const std::string list = R"({"id":"l","operation":"apps.list"})";
    const auto first = listedIds(ask(list, mac.files.statePath()));
    const std::set<std::string> expected{idOf(mac.apps + "/Editor.app"),
                                         idOf(mac.home + "/Applications/Tools/Editor.app")};
    EXPECT_EQ(first, expected);
    // Another run of the agent gives the same identifiers.
    EXPECT_EQ(listedIds(ask(list, mac.files.statePath())), expected);
}

TEST(AppCatalog, FolderAndCatalogLimits) {
    AppsMac mac;
    // 1500 bundles in one folder: only the first 1024 by name are examined,
    // and with more than 512 found the remaining roots are not listed at all.
    std::vector<std::string> paths;
    for (int i = 0; i < 1500; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "/App%04d.app", i);
        paths.push_back(mac.apps + name);
        makeBundle(paths.back(), app("com.example.many"));
    }
    makeBundle(mac.system + "/Extra.app", app("com.example.extra"));

    std::string input = R"({"id":"l","operation":"apps.list"})";
    input += "\n" + request("apps.action", idOf(paths[1023])) + "\n" + request("apps.action", idOf(paths[1024])) +
             "\n" + request("apps.action", idOf(mac.system + "/Extra.app")) + "\n";
    const auto responses = runAgent(input, mac.files.statePath()).responses();
    ASSERT_EQ(responses.size(), 4u);

    // The list holds the 512 lowest identifiers of the 1024 catalogued bundles, in order.
    std::vector<std::string> catalogued;
    for (int i = 0; i < 1024; ++i) catalogued.push_back(idOf(paths[static_cast<std::size_t>(i)]));
    std::sort(catalogued.begin(), catalogued.end());
    catalogued.resize(512);
    std::vector<std::string> ids;
    for (const auto& app : responses[0].at("apps").as_array()) ids.push_back(json::value_to<std::string>(app.at("id")));
    EXPECT_EQ(ids, catalogued);

    expectFailure(responses[1], "APP_ACTION_INVALID", "Unknown app action.");  // catalogued
    expectFailure(responses[2], "APP_NOT_FOUND", notInCatalog);               // past the first 1024
    expectFailure(responses[3], "APP_NOT_FOUND", notInCatalog);               // root never listed
}

TEST(AppList, NamesRunningStateAndCapabilities) {
    AppsMac mac;
    std::string longName;
    for (int i = 0; i < 100; ++i) longName += "e\u0301";  // 100 user-perceived characters
    makeBundle(mac.apps + "/Long.app", app("com.example.long").named(longName));
    makeBundle(mac.apps + "/Blank.app", app("com.example.blank").named(""));
    makeBundle(mac.apps + "/Version 2.5.app", app("com.example.version"));
    makeBundle(mac.apps + "/Finder.app", app("com.apple.finder"));
    makeBundle(mac.apps + "/Self.app", app("com.example.self"));
    // Running applications: one named through a link and a "..", one the agent itself.
    fs::create_directory_symlink(mac.apps, mac.files.dir() + "/AppsLink");
    mac.set("agentPid", 77);
    mac.set("runningApps", json::array{
                               {{"pid", 10}, {"bundlePath", mac.files.dir() + "/AppsLink/../Applications/Finder.app/"}},
                               {{"pid", 77}, {"bundlePath", mac.apps + "/Self.app"}},
                               {{"pid", 11}, {"bundlePath", nullptr}},
                           });

    const auto response = ask(R"({"id":"1","operation":"apps.list"})", mac.files.statePath());
    expectSuccess(response);
    const auto& apps = response.at("apps").as_array();
    ASSERT_EQ(apps.size(), 5u);
    for (std::size_t i = 1; i < apps.size(); ++i) {
        EXPECT_LT(apps[i - 1].at("id").as_string(), apps[i].at("id").as_string());
    }
    auto entries = listed(response);
    std::string cut;
    for (int i = 0; i < 80; ++i) cut += "e\u0301";
    EXPECT_EQ(entries.at(idOf(mac.apps + "/Long.app")).at("name"), json::value(cut));
    EXPECT_EQ(entries.at(idOf(mac.apps + "/Blank.app")).at("name"), "");
    EXPECT_EQ(entries.at(idOf(mac.apps + "/Version 2.5.app")).at("name"), "Version 2.5");

    const auto& finder = entries.at(idOf(mac.apps + "/Finder.app"));
    EXPECT_EQ(finder.at("running"), true);
    EXPECT_EQ(json::serialize(finder.at("capabilities")),
              R"({"close":false,"preview":true,"run":true,"terminate":false,"view":true})");
    const auto& self = entries.at(idOf(mac.apps + "/Self.app"));
    EXPECT_EQ(self.at("running"), false);
    EXPECT_EQ(json::serialize(self.at("capabilities")),
              R"({"close":true,"preview":true,"run":true,"terminate":true,"view":true})");
    EXPECT_EQ(self.size(), 4u);

    // An empty catalog lists nothing, without failing.
    AppsMac empty;
    const auto none = ask(R"({"id":"2","operation":"apps.list"})", empty.files.statePath());
    EXPECT_EQ(json::serialize(none), R"({"apps":[],"id":"2","ok":true})");
}

TEST(AppIcon, AlwaysA96PixelSquareRgbaPng) {
    AppsMac mac;
    makeBundle(mac.apps + "/Red.app",
               app("com.example.red").icon("AppIcon", solidPng(300, 200, 255, 0, 0)));
    makeBundle(mac.apps + "/Plain.app", app("com.example.plain"));
    makeBundle(mac.apps + "/Corrupt.app",
               app("com.example.corrupt").icon("icon.png", "\x89PNG broken"));
    AgentProcess agent(mac.files.statePath());
    for (const char* name : {"/Red.app", "/Plain.app", "/Corrupt.app"}) {
        const auto response = agent.ask(request("apps.icon", idOf(mac.apps + name)));
        expectSuccess(response);
        const auto& icon = response.at("icon").as_object();
        EXPECT_EQ(icon.size(), 2u);
        EXPECT_EQ(icon.at("mimeType"), "image/png");
        const auto bytes = base64Decode(icon.at("data").as_string());
        const auto png = decodePng(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
        EXPECT_EQ(png.width, 96u) << name;
        EXPECT_EQ(png.height, 96u) << name;
        EXPECT_EQ(png.colourType, 6) << name;  // truecolour with alpha
        EXPECT_EQ(png.bitDepth, 8) << name;
        if (std::string_view(name) == "/Red.app") {
            // The icon fills the whole canvas, stretched.
            for (std::size_t at : {std::size_t{0}, std::size_t{48 * 96 + 48}, std::size_t{96 * 96 - 1}}) {
                EXPECT_EQ(png.rgba[at * 4], 255);
                EXPECT_EQ(png.rgba[at * 4 + 1], 0);
                EXPECT_EQ(png.rgba[at * 4 + 3], 255);
            }
        } else {
            // The generic icon: transparent corners, an opaque middle.
            EXPECT_EQ(png.rgba[3], 0) << name;
            EXPECT_EQ(png.rgba[(48 * 96 + 48) * 4 + 3], 255) << name;
        }
    }
    EXPECT_EQ(agent.finish(), 0);
}

TEST(AppAction, RunViewCloseAndTerminate) {
    AppsMac mac;
    const std::string path = mac.apps + "/Player.app";
    makeBundle(path, app("com.example.player"));
    const std::string id = idOf(path);
    const std::string location = realPath(path);
    AgentProcess agent(mac.files.statePath());
    auto action = [&](std::string_view name) {
        return agent.ask(request("apps.action", id, R"(,"appAction":")" + std::string(name) + "\""));
    };

    // Not running: "run" opens it, "view" and "close" refuse.
    expectSuccess(action("run"));
    EXPECT_EQ(mac.files.log(), (std::vector<json::object>{{{"app", "open"}, {"path", location}}}));
    expectFailure(action("view"), "APP_ACTION_UNAVAILABLE", "Open the app before bringing it forward.");
    expectFailure(action("close"), "APP_ACTION_UNAVAILABLE", "That app cannot be closed remotely.");
    expectFailure(action("terminate"), "APP_ACTION_UNAVAILABLE", "That app cannot be closed remotely.");
    mac.set("openError", true);
    expectFailure(action("run"), "MAC_OPERATION_UNAVAILABLE",
                  "macOS could not complete the request. Check local permissions.");
    EXPECT_EQ(mac.files.log().size(), 2u);
    mac.set("openError", false);

    // Two instances: "view" asks only the first; the second refuses to quit.
    mac.files.clearLog();
    mac.set("runningApps", json::array{{{"pid", 21}, {"bundlePath", path}},
                                       {{"pid", 22}, {"bundlePath", path}, {"terminates", false}}});
    expectSuccess(action("view"));
    expectFailure(action("close"), "APP_ACTION_UNAVAILABLE", "macOS declined the close request.");
    expectSuccess(action("terminate"));
    EXPECT_EQ(mac.files.log(), (std::vector<json::object>{
                                   {{"app", "activate"}, {"pid", 21}, {"options", 1}, {"accepted", true}},
                                   {{"app", "terminate"}, {"pid", 21}, {"accepted", true}},
                                   {{"app", "terminate"}, {"pid", 22}, {"accepted", false}},
                                   {{"app", "forceTerminate"}, {"pid", 21}, {"accepted", true}},
                                   {{"app", "forceTerminate"}, {"pid", 22}, {"accepted", true}},
                               }));

    mac.files.clearLog();
    mac.set("runningApps", json::array{{{"pid", 21}, {"bundlePath", path}, {"activates", false},
                                        {"forceTerminates", false}}});
    expectFailure(action("view"), "APP_ACTION_UNAVAILABLE", "Open the app before bringing it forward.");
    expectFailure(action("terminate"), "APP_ACTION_UNAVAILABLE", "macOS declined the close request.");
    EXPECT_EQ(mac.files.log().size(), 2u);

    // Unknown actions, once the identifier resolves.
    expectFailure(agent.ask(request("apps.action", id)), "APP_ACTION_INVALID", "Unknown app action.");
    expectFailure(agent.ask(request("apps.action", id, R"(,"appAction":3)")), "APP_ACTION_INVALID",
                  "Unknown app action.");
    expectFailure(action("Run"), "APP_ACTION_INVALID", "Unknown app action.");

    // The protection and the block are read from the bundle at the moment of use.
    mac.files.clearLog();
    writeInfo(path, app("com.apple.finder"));
    expectFailure(action("close"), "APP_ACTION_UNAVAILABLE", "That app cannot be closed remotely.");
    expectSuccess(action("run"));
    writeInfo(path, app("com.apple.Terminal"));
    expectFailure(action("run"), "APP_NOT_FOUND", notInCatalog);
    EXPECT_EQ(mac.files.log().size(), 1u);  // the one "run" that passed
    EXPECT_EQ(agent.finish(), 0);
}

TEST(AppOperations, OrderOfChecks) {
    AppsMac mac;
    makeBundle(mac.apps + "/Notes.app", app("com.example.notes"));
    const std::string id = idOf(mac.apps + "/Notes.app");
    const std::string lines[] = {
        R"({"id":"1","operation":"apps.list","appId":"x"})",
        request("apps.icon", id, R"(,"appAction":"run")"),
        R"({"id":"3","operation":"apps.action","appAction":"run"})",
        R"({"id":"4","operation":"apps.action","appId":5,"appAction":"run"})",
        request("apps.action", "app_0123", R"(,"appAction":"bogus")"),
        R"({"id":"6","operation":"apps.icon","appId":null})",
        request("apps.preview", id, R"(,"appAction":"run")"),
        R"({"id":"8","operation":"apps.preview","appId":["x"]})",
        request("apps.preview", "../../etc"),
        request("apps.preview", id),
    };
    std::string input;
    for (const auto& line : lines) input += line + "\n";
    auto responses = runAgent(input, mac.files.statePath()).responses();
    ASSERT_EQ(responses.size(), 10u);
    const std::string_view incomplete = "Unknown or incomplete request.";
    expectFailure(responses[0], "COMMAND_NOT_ALLOWED", incomplete);
    expectFailure(responses[1], "COMMAND_NOT_ALLOWED", incomplete);
    expectFailure(responses[2], "COMMAND_NOT_ALLOWED", incomplete);
    expectFailure(responses[3], "APP_NOT_FOUND", "Invalid app.");
    expectFailure(responses[4], "APP_NOT_FOUND", notInCatalog);
    expectFailure(responses[5], "APP_NOT_FOUND", "Invalid app.");
    expectFailure(responses[6], "COMMAND_NOT_ALLOWED", incomplete);
    expectFailure(responses[7], "APP_NOT_FOUND", "Invalid app.");
    expectFailure(responses[8], "APP_NOT_FOUND", notInCatalog);
    // A catalogued application gets past every check of its own and on to
    // the capture (which answers for itself).
    EXPECT_NE(responses[9].at("code"), "APP_NOT_FOUND") << json::serialize(responses[9]);
    EXPECT_NE(responses[9].at("code"), "COMMAND_NOT_ALLOWED") << json::serialize(responses[9]);

    // The guard comes after the keys and before the identifier's type.
    mac.set("session", {{"kCGSSessionOnConsoleKey", true}, {"kCGSessionLoginDoneKey", true},
                        {"CGSSessionScreenIsLocked", true}});
    input = R"({"id":"a","operation":"apps.list"})" "\n"
            R"({"id":"b","operation":"apps.icon","appId":5})" "\n"
            R"({"id":"c","operation":"apps.preview","appId":5})" "\n"
            R"({"id":"d","operation":"apps.action","appId":5,"extra":1})" "\n";
    responses = runAgent(input, mac.files.statePath()).responses();
    ASSERT_EQ(responses.size(), 4u);
    const std::string_view locked =
        "Unlock your Mac and leave any password field before using remote controls.";
    for (int i = 0; i < 3; ++i) expectFailure(responses[i], "DESKTOP_LOCKED", locked);
    expectFailure(responses[3], "COMMAND_NOT_ALLOWED", incomplete);
    EXPECT_TRUE(mac.files.log().empty());
}

TEST(AppPreview, LargestWindowOfTheRunningApplication) {
    AppsMac mac;
    makeBundle(mac.apps + "/Notes.app", app("com.example.notes"));
    makeBundle(mac.apps + "/Other.app", app("com.example.other"));
    const std::string notes = realPath(mac.apps + "/Notes.app");
    const std::string id = idOf(mac.apps + "/Notes.app");
    const std::string preview = request("apps.preview", id);

    // Not running: no window can be its own.
    mac.set("windows", json::array{{{"pid", 40}, {"layer", 0}, {"frame", {0, 0, 800, 600}}}});
    expectFailure(ask(preview, mac.files.statePath()), "APP_PREVIEW_UNAVAILABLE", "No visible app window is available.");

    // Two instances (one is the agent itself and does not count), windows of
    // other processes, other layers, too narrow, too low, and two of equal
    // largest area: the earlier of those is captured.
    mac.set("agentPid", 41);
    mac.set("runningApps", json::array{{{"pid", 41}, {"bundlePath", notes}},
                                       {{"pid", 42}, {"bundlePath", notes}},
                                       {{"pid", 50}, {"bundlePath", realPath(mac.apps + "/Other.app")}}});
    mac.set("windows", json::array{
                           {{"pid", 41}, {"layer", 0}, {"frame", {0, 0, 3000, 2000}}},  // the agent's own
                           {{"pid", 50}, {"layer", 0}, {"frame", {0, 0, 2000, 2000}}},  // another app
                           {{"pid", nullptr}, {"layer", 0}, {"frame", {0, 0, 2000, 2000}}},
                           {{"pid", 42}, {"layer", 3}, {"frame", {0, 0, 1900, 1900}}},
                           {{"pid", 42}, {"layer", 0}, {"frame", {0, 0, 64, 1800}}},
                           {{"pid", 42}, {"layer", 0}, {"frame", {0, 0, 1800, 64}}},
                           {{"pid", 42}, {"layer", 0}, {"frame", {10, 10, 1600, 1142}}},
                           {{"pid", 42}, {"layer", 0}, {"frame", {20, 20, 1142, 1600}}},
                           {{"pid", 42}, {"layer", 0}, {"frame", {0, 0, 65, 65}}},
                       });
    mac.files.clearLog();
    auto response = ask(preview, mac.files.statePath());
    expectSuccess(response);
    const auto& payload = response.at("preview").as_object();
    EXPECT_EQ(payload.size(), 2u);  // no "monitorId" in a preview
    EXPECT_EQ(payload.at("mimeType"), "image/jpeg");
    const auto jpeg = jpegInfo(base64Decode(payload.at("data").as_string()));
    EXPECT_TRUE(jpeg.valid);
    EXPECT_EQ(jpeg.width, 1008);  // 1600 x 1142 within 1280 x 720
    EXPECT_EQ(jpeg.height, 719);
    const auto log = mac.files.log();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(json::serialize(log[0]),
              R"({"capture":"window","pid":42,"width":1008,"height":719,"cursor":true,"audio":false})");
}
