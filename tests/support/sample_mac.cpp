#include "support/sample_mac.h"

#include <filesystem>
#include <fstream>
#include <system_error>

#include <unistd.h>

#include "host/digest.h"

namespace fs = std::filesystem;

namespace testing_support {

namespace {

constexpr std::string_view firstDisplayUuid = "3F2504E0-4F89-41D3-9A0C-0305E82C3301";
constexpr std::string_view secondDisplayUuid = "6B29FC40-CA47-1067-B31D-00DD010662DA";

// A 2 x 2 RGBA picture.
constexpr unsigned char tinyPng[] = {
    0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a, 0x00, 0x00, 0x00, 0x0d, 0x49, 0x48, 0x44, 0x52, 0x00,
    0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x02, 0x08, 0x06, 0x00, 0x00, 0x00, 0x72, 0xb6, 0x0d, 0x24, 0x00,
    0x00, 0x00, 0x11, 0x49, 0x44, 0x41, 0x54, 0x78, 0x9c, 0x63, 0xf8, 0xcf, 0xc0, 0x00, 0x42, 0xff, 0x19,
    0x60, 0x0c, 0x00, 0x43, 0xce, 0x07, 0xf9, 0x58, 0xed, 0x66, 0xa0, 0x00, 0x00, 0x00, 0x00, 0x49, 0x45,
    0x4e, 0x44, 0xae, 0x42, 0x60, 0x82};

// Writes through a temporary file renamed into place, so that two processes
// building the same tree never see half a file.
void writeFile(const fs::path& path, std::string_view content) {
    fs::create_directories(path.parent_path());
    fs::path temp = path;
    temp += ".tmp" + std::to_string(::getpid());
    {
        std::ofstream file(temp, std::ios::binary | std::ios::trunc);
        file.write(content.data(), static_cast<std::streamsize>(content.size()));
    }
    fs::rename(temp, path);
}

struct SampleBundle {
    std::string_view path;         // under the root
    std::string_view bundleId;
    std::string_view name;         // display name and executable
    bool executable = true;
    std::string_view icon = {};    // icon file name, if any
    std::string_view iconBytes = {};
};

const std::string_view pngBytes(reinterpret_cast<const char*>(tinyPng), sizeof tinyPng);

const SampleBundle sampleBundles[] = {
    {"applications/Notes.app", "com.example.notes", "Notes", true, "icon", pngBytes},
    {"applications/Broken Icon.app", "com.example.brokenicon", "Broken Icon", true, "bad.png", "not a picture"},
    {"applications/Utilities/Console Tool.app", "com.example.tool", "Console Tool"},
    {"applications/No Executable.app", "com.example.noexec", "No Executable", false},
    {"applications/Terminal.app", "com.apple.Terminal", "Terminal"},
    {"applications/.Hidden.app", "com.example.hidden", "Hidden"},
    {"system/Calculator.app", "com.apple.calculator", "Calculator"},
    {"home/Finder.app", "com.apple.finder", "Finder"},
};

std::string infoPlist(const SampleBundle& bundle) {
    std::string text =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
        "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
        "<plist version=\"1.0\"><dict>\n";
    auto entry = [&](std::string_view key, std::string_view value) {
        text += "<key>" + std::string(key) + "</key><string>" + std::string(value) + "</string>\n";
    };
    entry("CFBundleIdentifier", bundle.bundleId);
    entry("CFBundleDisplayName", bundle.name);
    entry("CFBundleExecutable", bundle.name);
    if (!bundle.icon.empty()) entry("CFBundleIconFile", bundle.icon);
    text += "</dict></plist>\n";
    return text;
}

std::string canonicalRoot(const std::string& root) {
    std::error_code ec;
    fs::path canonical = fs::weakly_canonical(root, ec);
    return ec ? root : canonical.string();
}

std::string bundlePath(const std::string& root, std::string_view path) {
    return canonicalRoot(root) + "/" + std::string(path);
}

boost::json::object folders(const std::string& root) {
    const std::string base = canonicalRoot(root);
    return {{"applications", base + "/applications"}, {"system", base + "/system"}, {"home", base + "/home"}};
}

boost::json::array runningSamples(const std::string& root, bool accepting) {
    boost::json::array apps;
    auto add = [&](int pid, std::string_view path) {
        boost::json::object app{{"pid", pid}, {"bundlePath", bundlePath(root, path)}};
        if (!accepting) {
            app["activates"] = false;
            app["terminates"] = false;
            app["forceTerminates"] = false;
        }
        apps.push_back(std::move(app));
    };
    add(4242, "applications/Notes.app");
    add(4243, "system/Calculator.app");
    add(4244, "home/Finder.app");
    apps.push_back(boost::json::object{{"pid", 4245}, {"bundlePath", nullptr}});
    return apps;
}

}  // namespace

boost::json::object writeSampleApplications(const std::string& root) {
    const fs::path base(root);
    fs::create_directories(base / "applications");
    fs::create_directories(base / "system");
    fs::create_directories(base / "home");
    for (const auto& bundle : sampleBundles) {
        const fs::path contents = base / std::string(bundle.path) / "Contents";
        writeFile(contents / "Info.plist", infoPlist(bundle));
        if (bundle.executable) writeFile(contents / "MacOS" / std::string(bundle.name), "#!/bin/sh\n");
        if (!bundle.icon.empty()) {
            std::string file(bundle.icon);
            if (file.find('.') == std::string::npos) file += ".png";
            writeFile(contents / "Resources" / file, bundle.iconBytes);
        }
    }
    // A link to a bundle is never followed.
    const fs::path link = base / "applications" / "Link.app";
    std::error_code ec;
    if (!fs::is_symlink(fs::symlink_status(link, ec))) fs::create_directory_symlink("Notes.app", link, ec);
    return folders(root);
}

boost::json::object readyMacState(const std::string& root) {
    return {
        {"displays",
         boost::json::array{
             boost::json::object{{"number", 1}, {"uuid", firstDisplayUuid}, {"bounds", {0, 0, 160, 100}}},
             boost::json::object{{"number", 2}, {"uuid", secondDisplayUuid}, {"bounds", {160, 0, 96, 64}}}}},
        {"mainDisplay", 1},
        {"windows",
         boost::json::array{boost::json::object{{"pid", 4242}, {"frame", {0, 0, 120, 90}}},
                            boost::json::object{{"pid", 4243}, {"frame", {10, 10, 100, 80}}},
                            boost::json::object{{"pid", 4243}, {"layer", 25}, {"frame", {0, 0, 150, 99}}},
                            boost::json::object{{"pid", nullptr}, {"frame", {0, 0, 150, 99}}}}},
        {"runningApps", runningSamples(root, true)},
        {"applicationFolders", folders(root)},
    };
}

boost::json::object brokenMacState(const std::string& root) {
    return {
        {"secureInput", false},
        {"focus", {{"role", "AXTextField"}, {"subrole", "AXSecureTextField"}}},
        {"eventsFail", {"mouse", "scroll", "keyDown", "keyUp", "mediaDown", "mediaUp"}},
        {"displays",
         boost::json::array{
             boost::json::object{{"number", 7}, {"uuid", nullptr}, {"bounds", {-1e9, 0, 0.5, 1e9}}},
             boost::json::object{{"number", 8}, {"bounds", {0, 0, 64, 48}}, {"shareable", false}}}},
        {"mainDisplay", 99},
        {"displayQuery", "vanish"},
        {"windows", boost::json::array{boost::json::object{{"pid", 4242}, {"frame", {0, 0, 64, 64}}}}},
        {"runningApps", runningSamples(root, false)},
        {"appleEventReply", "noReply"},
        {"automationStatus", -1743},
        {"shareableContentError", false},
        {"screenshotError", true},
        {"openError", true},
        {"applicationFolders", folders(root)},
    };
}

std::string sampleMonitorId() { return "monitor_" + brindlecast::digest(firstDisplayUuid, 16); }

std::string sampleAppId(const std::string& root, std::string_view path) {
    return "app_" + brindlecast::digest(bundlePath(root, path), 32);
}

std::vector<std::string> sampleRequests(std::string_view id, const std::string& root) {
    std::vector<std::string> lines;
    auto add = [&](boost::json::object fields) {
        boost::json::object request{{"id", id}};
        for (auto& field : fields) request.emplace(field.key(), std::move(field.value()));
        lines.push_back(boost::json::serialize(request));
    };
    const std::string monitor = sampleMonitorId();
    const std::string notes = sampleAppId(root, "applications/Notes.app");
    const std::string calculator = sampleAppId(root, "system/Calculator.app");
    const std::string finder = sampleAppId(root, "home/Finder.app");
    const std::string brokenIcon = sampleAppId(root, "applications/Broken Icon.app");
    const std::string tool = sampleAppId(root, "applications/Utilities/Console Tool.app");

    add({{"operation", "permissions.status"}});
    for (const char* kind : {"accessibility", "screen", "automation"}) {
        add({{"operation", "permissions.request"}, {"kind", kind}});
    }
    add({{"operation", "desktop.guard"}});
    add({{"operation", "desktop.monitors"}});
    for (const char* profile : {"balanced", "quality", "smooth", "latency", "relay-balanced", "relay-quality",
                                "relay-smooth", "relay-latency"}) {
        add({{"operation", "desktop.frame"}, {"profile", profile}, {"maxWidth", 1280}, {"maxHeight", 720},
             {"jpegQuality", 75}});
    }
    add({{"operation", "desktop.frame"}, {"profile", "relay-latency"}, {"maxWidth", 320}, {"maxHeight", 180},
         {"jpegQuality", 40}, {"monitorId", monitor}});
    add({{"operation", "desktop.click"}, {"x", 0.5}, {"y", 0.25}});
    add({{"operation", "desktop.click"}, {"x", 1}, {"y", 0}, {"button", "right"}, {"monitorId", monitor}});
    add({{"operation", "presentation.pointer"}, {"x", 0.1}, {"y", 0.9}, {"monitorId", monitor}});
    add({{"operation", "desktop.scroll"}, {"deltaX", 0}, {"deltaY", 120}});
    add({{"operation", "desktop.scroll"}, {"deltaX", -1200}, {"deltaY", 1200}, {"monitorId", monitor}});
    add({{"operation", "desktop.text"}, {"text", "Hello, Mac! \xF0\x9F\x91\x8B\nSecond line"}});
    add({{"operation", "apps.list"}});
    for (const auto& app : {notes, calculator, finder, brokenIcon, tool}) {
        add({{"operation", "apps.icon"}, {"appId", app}});
        add({{"operation", "apps.preview"}, {"appId", app}});
    }
    for (const char* action : {"run", "view", "close", "terminate"}) {
        add({{"operation", "apps.action"}, {"appId", notes}, {"appAction", action}});
        add({{"operation", "apps.action"}, {"appId", finder}, {"appAction", action}});
    }
    add({{"operation", "apps.action"}, {"appId", calculator}, {"appAction", "close"}});
    for (const char* action : {"playPause", "next", "previous", "mute", "volumeUp", "volumeDown", "shutdown",
                               "restart", "sleep", "lock", "toggleFullscreen", "presentation:previous",
                               "presentation:next", "presentation:start", "presentation:end",
                               "presentation:blank"}) {
        add({{"action", action}});
    }
    add({{"action", "playPause"}, {"seconds", 30}});
    return lines;
}

}  // namespace testing_support
