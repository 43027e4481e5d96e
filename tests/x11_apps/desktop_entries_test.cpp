// The desktop-entry applications on a made-up desktop: data folders in a
// temporary directory, named by XDG_DATA_HOME and XDG_DATA_DIRS.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <unistd.h>

#include <gdk-pixbuf/gdk-pixbuf.h>

#include "platform/posix.h"
#include "platform/x11/apps/desktop_entries.h"

namespace fs = std::filesystem;
namespace x11 = brindlecast::platform::x11;
using brindlecast::platform::Picture;

namespace {

void write(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path) << text;
}

std::string entry(const std::string& name, const std::string& more = "") {
    return "[Desktop Entry]\nType=Application\nName=" + name + "\nExec=true\n" + more;
}

// A width x height PNG of one colour.
void writePng(const fs::path& path, int width, int height, uint32_t rgba) {
    fs::create_directories(path.parent_path());
    GdkPixbuf* pixbuf = gdk_pixbuf_new(GDK_COLORSPACE_RGB, TRUE, 8, width, height);
    gdk_pixbuf_fill(pixbuf, rgba);
    ASSERT_TRUE(gdk_pixbuf_save(pixbuf, path.c_str(), "png", nullptr, nullptr));
    g_object_unref(pixbuf);
}

const uint8_t* pixel(const Picture& picture, int x, int y) {
    return picture.bytes() + static_cast<std::size_t>(y) * picture.stride + static_cast<std::size_t>(x) * 4;
}

class DesktopEntries : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("brindlecast-entries-" + std::to_string(::getpid()));
        fs::remove_all(dir_);
        home_ = dir_ / "home" / "applications";
        system_ = dir_ / "system" / "applications";
        other_ = dir_ / "other" / "applications";
        fs::create_directories(home_);
        fs::create_directories(system_);
        fs::create_directories(other_);
        ::setenv("XDG_DATA_HOME", (dir_ / "home").c_str(), 1);
        // The second folder is named twice and a relative one is ignored.
        const std::string dirs = (dir_ / "system").string() + ":relative:" + (dir_ / "other").string() + ":" +
                                 (dir_ / "system").string() + "/";
        ::setenv("XDG_DATA_DIRS", dirs.c_str(), 1);
        ::setenv("LANGUAGE", "de", 1);
    }
    void TearDown() override { fs::remove_all(dir_); }

    fs::path dir_, home_, system_, other_;
};

TEST_F(DesktopEntries, FoldersPrecedenceAndWhatIsLeftOut) {
    EXPECT_EQ(x11::applicationFolders(),
              (brindlecast::platform::ScanRoots{home_.string(), system_.string(), other_.string()}));

    write(home_ / "shadowed.desktop", entry("Mine"));
    write(system_ / "shadowed.desktop", entry("Theirs"));
    // A user's Hidden entry deletes the system one of its desktop id.
    write(home_ / "deleted.desktop", entry("Deleted", "Hidden=true\n"));
    write(system_ / "deleted.desktop", entry("Deleted"));
    // "tools/nested.desktop" has the id "tools-nested.desktop", and shadows that file further down.
    write(system_ / "tools" / "nested.desktop", entry("Nested"));
    write(other_ / "tools-nested.desktop", entry("Lower"));
    write(system_ / "plain.desktop", entry("Plain", "Name[de]=Schlicht\nStartupWMClass=PlainWindow\n"));
    write(system_ / "nodisplay.desktop", entry("Quiet", "NoDisplay=true\n"));
    write(system_ / "link.desktop", "[Desktop Entry]\nType=Link\nName=Web\nURL=https://example.invalid/\n");
    write(system_ / "tryexec.desktop", entry("Missing", "TryExec=/nonexistent/program\n"));
    write(system_ / "noprogram.desktop", "[Desktop Entry]\nType=Application\nName=Gone\nExec=/nonexistent/program\n");
    write(system_ / "broken.desktop", "not a desktop entry");

    const auto open = [](const fs::path& path) { return x11::openEntry(path.string()); };
    const auto mine = open(home_ / "shadowed.desktop");
    ASSERT_TRUE(mine);
    EXPECT_EQ(mine->bundleId, "shadowed");
    EXPECT_EQ(mine->displayName, "Mine");
    EXPECT_TRUE(mine->hasExecutable);
    EXPECT_FALSE(open(system_ / "shadowed.desktop"));
    EXPECT_FALSE(open(home_ / "deleted.desktop"));
    EXPECT_FALSE(open(system_ / "deleted.desktop"));
    const auto nested = open(system_ / "tools" / "nested.desktop");
    ASSERT_TRUE(nested);
    EXPECT_EQ(nested->bundleId, "tools-nested");
    EXPECT_FALSE(open(other_ / "tools-nested.desktop"));
    const auto plain = open(system_ / "plain.desktop");
    ASSERT_TRUE(plain);
    EXPECT_EQ(plain->displayName, "Schlicht");  // the localised Name
    EXPECT_FALSE(open(system_ / "nodisplay.desktop"));
    EXPECT_FALSE(open(system_ / "link.desktop"));
    EXPECT_FALSE(open(system_ / "tryexec.desktop"));
    EXPECT_FALSE(open(system_ / "broken.desktop"));
    // GIO leaves out an entry whose program is not installed.
    EXPECT_FALSE(open(system_ / "noprogram.desktop"));
    // The same file reached through the standardised path keeps its place and id.
    fs::create_directory_symlink(system_, dir_ / "via");
    EXPECT_EQ(x11::standardPath((dir_ / "via" / "plain.desktop").string()),
              fs::canonical(system_ / "plain.desktop").string());
    EXPECT_EQ(x11::desktopId(x11::standardPath((system_ / "tools" / "nested.desktop").string())),
              "tools-nested.desktop");

    // Only files named *.desktop, read as themselves, are candidates.
    fs::create_symlink(system_ / "plain.desktop", home_ / "linked.desktop");
    const auto listed = brindlecast::platform::readFolder(home_.string());
    ASSERT_TRUE(listed);
    std::vector<std::string> candidates;
    for (const auto& item : *listed) {
        if (x11::isDesktopEntryCandidate(item)) candidates.push_back(item.name);
    }
    EXPECT_EQ(candidates, (std::vector<std::string>{"deleted.desktop", "shadowed.desktop"}));
    EXPECT_FALSE(brindlecast::platform::readFolder((dir_ / "nowhere").string()));

    // Every scan reads the folders afresh: an entry added later is there.
    const auto names = [] {
        std::vector<std::string> found;
        for (const auto& shown : x11::shownEntries()) found.push_back(fs::path(shown.path).filename().string());
        return found;
    };
    EXPECT_EQ(names(), (std::vector<std::string>{"shadowed.desktop", "plain.desktop",
                                                 "nested.desktop"}));
    write(other_ / "later.desktop", entry("Later"));
    EXPECT_EQ(names().back(), "later.desktop");
    for (const auto& shown : x11::shownEntries()) {
        if (shown.path.ends_with("plain.desktop")) {
            EXPECT_EQ(shown.startupWmClass, "PlainWindow");
            EXPECT_EQ(shown.executable, fs::canonical(x11::standardPath("/usr/bin/true")).string());
        }
    }
}

TEST_F(DesktopEntries, IconsAreDrawnCentredOn96x96) {
    // PNG in the hicolor theme, wider than tall: scaled to fit, centred.
    write(dir_ / "home" / "icons" / "hicolor" / "index.theme",
          "[Icon Theme]\nName=Hicolor\nDirectories=48x48/apps,scalable/apps\n\n"
          "[48x48/apps]\nSize=48\nType=Threshold\n\n"
          "[scalable/apps]\nSize=64\nMinSize=8\nMaxSize=512\nType=Scalable\n");
    writePng(dir_ / "home" / "icons" / "hicolor" / "48x48" / "apps" / "wide.png", 48, 24, 0xff0000ff);
    write(dir_ / "home" / "icons" / "hicolor" / "scalable" / "apps" / "vector.svg",
          "<svg xmlns='http://www.w3.org/2000/svg' width='10' height='10'>"
          "<rect width='10' height='10' fill='#0000ff'/></svg>");
    writePng(dir_ / "absolute.png", 16, 16, 0x00ff00ff);
    write(system_ / "png.desktop", entry("Png", "Icon=wide\n"));
    write(system_ / "svg.desktop", entry("Svg", "Icon=vector.svg\n"));
    write(system_ / "absolute.desktop", entry("Absolute", "Icon=" + (dir_ / "absolute.png").string() + "\n"));
    write(system_ / "none.desktop", entry("None"));
    write(system_ / "unknown.desktop", entry("Unknown", "Icon=no-such-icon\n"));

    const auto draw = [&](const char* name) {
        auto picture = x11::drawEntryIcon((system_ / name).string(), 96);
        EXPECT_TRUE(picture);
        if (picture) {
            EXPECT_EQ(picture->width, 96);
            EXPECT_EQ(picture->height, 96);
            EXPECT_EQ(picture->format, brindlecast::platform::PixelFormat::RGBA);
            EXPECT_GE(picture->byteCount(), picture->stride * 96);
        }
        return picture.value_or(Picture{});
    };
    const Picture png = draw("png.desktop");
    ASSERT_EQ(png.width, 96);
    EXPECT_EQ(pixel(png, 48, 48)[0], 255);
    EXPECT_EQ(pixel(png, 48, 48)[3], 255);
    EXPECT_EQ(pixel(png, 48, 10)[3], 0);  // above the 96 x 48 picture, still transparent
    EXPECT_EQ(pixel(png, 48, 85)[3], 0);
    EXPECT_EQ(pixel(png, 2, 48)[3], 255);

    const Picture svg = draw("svg.desktop");
    ASSERT_EQ(svg.width, 96);
    EXPECT_EQ(pixel(svg, 5, 5)[2], 255);  // drawn at the full size, not 10 x 10
    EXPECT_EQ(pixel(svg, 90, 90)[3], 255);

    const Picture absolute = draw("absolute.desktop");
    ASSERT_EQ(absolute.width, 96);
    EXPECT_EQ(pixel(absolute, 48, 48)[1], 255);

    // Without an icon, or with one no theme has: the generic application icon.
    const Picture none = draw("none.desktop");
    const Picture unknown = draw("unknown.desktop");
    ASSERT_EQ(none.width, 96);
    EXPECT_EQ(pixel(none, 48, 48)[3], 255);
    EXPECT_EQ(none.pixels, unknown.pixels);
    EXPECT_FALSE(x11::drawEntryIcon((system_ / "png.desktop").string(), 0));
}

}  // namespace
