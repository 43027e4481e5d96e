// The real Mac's permission-free queries, built and run on macOS only.
// Nothing here posts an event, shows a prompt or needs a privacy permission.
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <string>

#include <CoreFoundation/CoreFoundation.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "platform/macos/macos_mac.h"

namespace {

namespace platform = brindlecast::platform;

platform::Mac& mac() {
    static const std::unique_ptr<platform::Mac> instance = platform::makeMacOSMac();
    return *instance;
}

const std::string calculator = "/System/Applications/Calculator.app";
const std::string nowhere = "/nonexistent-brindlecast-folder/Nothing.app";

const platform::FolderEntry* entryNamed(const std::vector<platform::FolderEntry>& entries, const std::string& name) {
    const auto found =
        std::find_if(entries.begin(), entries.end(), [&](const auto& entry) { return entry.name == name; });
    return found == entries.end() ? nullptr : &*found;
}

TEST(MacOSBackend, ListsFoldersAndOpensBundles) {
    const auto entries = mac().listFolder("/System/Applications");
    ASSERT_TRUE(entries);
    const auto* entry = entryNamed(*entries, "Calculator.app");
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->path, calculator);
    EXPECT_TRUE(entry->propertiesRead);
    EXPECT_EQ(entry->isDirectory, std::optional<bool>(true));
    EXPECT_EQ(entry->isSymbolicLink, std::optional<bool>(false));
    for (const auto& each : *entries) EXPECT_FALSE(each.name.starts_with(".")) << each.name;
    EXPECT_FALSE(mac().listFolder("/nonexistent-brindlecast-folder"));

    const auto bundle = mac().openBundle(calculator);
    ASSERT_TRUE(bundle);
    EXPECT_EQ(bundle->bundleId, std::optional<std::string>("com.apple.calculator"));
    EXPECT_TRUE(bundle->hasExecutable);
    EXPECT_FALSE(mac().openBundle(nowhere));
    EXPECT_TRUE(mac().fileExists(calculator));
    EXPECT_FALSE(mac().fileExists(nowhere));

    const auto roots = mac().applicationRoots();
    EXPECT_EQ(roots[0], "/Applications");
    EXPECT_EQ(roots[1], "/System/Applications");
    if (const char* home = std::getenv("HOME")) EXPECT_EQ(roots[2], std::string(home) + "/Applications");
}

TEST(MacOSBackend, StandardLocationsResolveLinksAndDots) {
    namespace fs = std::filesystem;
    const fs::path dir = fs::temp_directory_path() / ("brindlecast-backend-" + std::to_string(getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir / "Real.app");
    fs::create_directories(dir / "sub");
    fs::create_directory_symlink(dir / "Real.app", dir / "Link.app");

    const std::string real = mac().standardLocation((dir / "Real.app").string());
    EXPECT_TRUE(real.ends_with("/Real.app")) << real;
    EXPECT_EQ(mac().standardLocation((dir / "Link.app").string()), real);
    EXPECT_EQ(mac().standardLocation((dir / "sub" / ".." / "Real.app").string()), real);

    // A link is listed as a link, and its target as a folder.
    const auto entries = mac().listFolder(dir.string());
    ASSERT_TRUE(entries);
    const auto* link = entryNamed(*entries, "Link.app");
    ASSERT_NE(link, nullptr);
    EXPECT_EQ(link->isSymbolicLink, std::optional<bool>(true));
    const auto* folder = entryNamed(*entries, "Real.app");
    ASSERT_NE(folder, nullptr);
    EXPECT_EQ(folder->isSymbolicLink, std::optional<bool>(false));
    EXPECT_EQ(folder->isDirectory, std::optional<bool>(true));
    // A folder that is not a bundle opens as one only if the platform says so;
    // it has no identifier and no executable either way.
    if (const auto bundle = mac().openBundle(folder->path)) {
        EXPECT_FALSE(bundle->bundleId);
        EXPECT_FALSE(bundle->hasExecutable);
    }
    fs::remove_all(dir);
}

void writeInfo(const std::filesystem::path& bundle, const std::string& entries) {
    std::filesystem::create_directories(bundle / "Contents");
    std::ofstream(bundle / "Contents" / "Info.plist")
        << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
           "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
           "<plist version=\"1.0\"><dict>"
        << entries << "</dict></plist>\n";
}

TEST(MacOSBackend, BundleInformationIsReadAfreshEachTime) {
    namespace fs = std::filesystem;
    const fs::path dir = fs::temp_directory_path() / ("brindlecast-bundle-" + std::to_string(getpid()));
    fs::remove_all(dir);
    const fs::path app = dir / "Sample.app";
    fs::create_directories(app / "Contents" / "MacOS");
    std::ofstream(app / "Contents" / "MacOS" / "Sample") << "#!/bin/sh\n";

    writeInfo(app, "<key>CFBundleIdentifier</key><string>test.brindlecast.first</string>"
                   "<key>CFBundleDisplayName</key><string>First</string>"
                   "<key>CFBundleExecutable</key><string>Sample</string>");
    auto bundle = mac().openBundle(app.string());
    ASSERT_TRUE(bundle);
    EXPECT_EQ(bundle->bundleId, std::optional<std::string>("test.brindlecast.first"));
    EXPECT_EQ(bundle->displayName, std::optional<std::string>("First"));
    EXPECT_TRUE(bundle->hasExecutable);

    // An update in place: a new identifier, no name, an executable that is not there.
    writeInfo(app, "<key>CFBundleIdentifier</key><string>test.brindlecast.second</string>"
                   "<key>CFBundleExecutable</key><string>Missing</string>");
    bundle = mac().openBundle(app.string());
    ASSERT_TRUE(bundle);
    EXPECT_EQ(bundle->bundleId, std::optional<std::string>("test.brindlecast.second"));
    EXPECT_FALSE(bundle->displayName);
    EXPECT_FALSE(bundle->hasExecutable);

    // Values of the wrong type count as absent; without CFBundleExecutable the
    // executable is the one named after the bundle.
    writeInfo(app, "<key>CFBundleIdentifier</key><integer>7</integer>"
                   "<key>CFBundleDisplayName</key><true/>");
    bundle = mac().openBundle(app.string());
    ASSERT_TRUE(bundle);
    EXPECT_FALSE(bundle->bundleId);
    EXPECT_FALSE(bundle->displayName);
    EXPECT_TRUE(bundle->hasExecutable);

    // A plain file is no bundle.
    EXPECT_FALSE(mac().openBundle((app / "Contents" / "Info.plist").string()));
    fs::remove_all(dir);
}

TEST(MacOSBackend, TheAgentCarriesItsInfoPlist) {
    // The system reads a bare executable's Info.plist from its __TEXT,__info_plist section.
    const std::string agent = BRINDLECAST_AGENT;
    const CFURLRef url = CFURLCreateFromFileSystemRepresentation(
        kCFAllocatorDefault, reinterpret_cast<const UInt8*>(agent.data()), static_cast<CFIndex>(agent.size()), false);
    ASSERT_NE(url, nullptr);
    const CFDictionaryRef info = CFBundleCopyInfoDictionaryForURL(url);
    CFRelease(url);
    ASSERT_NE(info, nullptr) << agent << " has no embedded Info.plist";
    const auto text = [&](const char* key) -> std::string {
        const CFStringRef name = CFStringCreateWithCString(kCFAllocatorDefault, key, kCFStringEncodingUTF8);
        const void* value = CFDictionaryGetValue(info, name);
        CFRelease(name);
        if (value == nullptr || CFGetTypeID(value) != CFStringGetTypeID()) return {};
        char buffer[512] = {};
        CFStringGetCString(static_cast<CFStringRef>(value), buffer, sizeof buffer, kCFStringEncodingUTF8);
        return buffer;
    };
    EXPECT_EQ(text("CFBundleIdentifier"), "app.brindlecast.native.agent");
    EXPECT_FALSE(text("NSAppleEventsUsageDescription").empty());
    const void* background = CFDictionaryGetValue(info, CFSTR("LSBackgroundOnly"));
    ASSERT_NE(background, nullptr);
    ASSERT_EQ(CFGetTypeID(background), CFBooleanGetTypeID());
    EXPECT_TRUE(CFBooleanGetValue(static_cast<CFBooleanRef>(background)));
    CFRelease(info);
}

TEST(MacOSBackend, IconsAreStraightAlphaRgbaOfTheAskedSize) {
    // The second path does not exist: the platform supplies a generic icon.
    bool colourAboveAlpha = false;  // impossible in premultiplied pixels
    for (const std::string& path : {calculator, nowhere}) {
        const auto icon = mac().drawIcon(path, 96);
        ASSERT_TRUE(icon) << path;
        EXPECT_EQ(icon->width, 96);
        EXPECT_EQ(icon->height, 96);
        EXPECT_EQ(icon->format, platform::PixelFormat::RGBA);
        ASSERT_GE(icon->stride, 96u * 4);
        ASSERT_EQ(icon->pixels.size(), icon->stride * 96);
        int opaque = 0;
        for (std::size_t y = 0; y < 96; ++y) {
            for (std::size_t x = 0; x < 96; ++x) {
                const uint8_t* p = icon->pixels.data() + y * icon->stride + x * 4;
                if (p[3] == 255) ++opaque;
                if (p[3] == 0) EXPECT_EQ(p[0] | p[1] | p[2], 0) << path << " at " << x << "," << y;
                if (std::max({p[0], p[1], p[2]}) > p[3]) colourAboveAlpha = true;
            }
        }
        EXPECT_GT(opaque, 96 * 96 / 4) << path;
    }
    // Light edge pixels of partial coverage keep their colour.
    EXPECT_TRUE(colourAboveAlpha);
}

TEST(MacOSBackend, ProcessClockAndRunningApplications) {
    EXPECT_EQ(mac().ownProcessId(), getpid());
    const double system =
        std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    EXPECT_NEAR(mac().now(), system, 2.0);

    const auto apps = mac().runningApplications();
    const auto finder = std::find_if(apps.begin(), apps.end(), [](const auto& app) {
        return app.bundlePath == std::optional<std::string>("/System/Library/CoreServices/Finder.app");
    });
    ASSERT_NE(finder, apps.end());
    EXPECT_GT(finder->pid, 0);
    EXPECT_TRUE(finder->native);
    EXPECT_EQ(mac().standardLocation(*finder->bundlePath), "/System/Library/CoreServices/Finder.app");
}

TEST(MacOSBackend, DisplaysHaveBoundsAndUuidText) {
    const auto count = mac().activeDisplayCount();
    ASSERT_TRUE(count);
    ASSERT_GE(*count, 1u);
    const auto displays = mac().activeDisplays(*count);
    ASSERT_TRUE(displays);
    EXPECT_EQ(displays->size(), *count);
    const uint32_t main = mac().mainDisplay();
    EXPECT_NE(std::find(displays->begin(), displays->end(), main), displays->end());

    // The main display's top-left corner is the origin of the global space.
    const auto bounds = mac().displayBounds(main);
    EXPECT_EQ(bounds.x, 0);
    EXPECT_EQ(bounds.y, 0);
    EXPECT_GT(bounds.width, 0);
    EXPECT_GT(bounds.height, 0);
    if (const auto uuid = mac().displayUuid(main)) {
        EXPECT_TRUE(std::regex_match(*uuid, std::regex("[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}")))
            << *uuid;
    }
}

TEST(MacOSBackend, MakesEventsWithoutPostingThem) {
    EXPECT_TRUE(mac().mouseEvent(platform::MouseEventType::moved, {10, 20}, platform::MouseButton::left));
    EXPECT_TRUE(mac().scrollEvent({platform::ScrollUnit::pixel, 2, -120, 0, 0}));
    auto key = mac().keyEvent(platform::VirtualKey::a, true);
    ASSERT_TRUE(key);
    mac().setFlags(*key, platform::lockChord.flags);
    mac().setText(*key, u"h\u00e9llo \U0001F642");

    EXPECT_TRUE(mac().mediaKeyEvent(platform::MediaKey::play, true));
    EXPECT_TRUE(mac().mediaKeyEvent(platform::MediaKey::play, false));
}

TEST(MacOSBackend, FocusIsUnreadableWithoutAccessibility) {
    if (mac().accessibilityTrusted()) GTEST_SKIP() << "this process is a trusted accessibility client";
    EXPECT_FALSE(mac().focusedField().found);
}

}  // namespace
