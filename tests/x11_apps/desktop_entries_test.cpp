// The desktop-entry applications on a made-up desktop: data folders in a
// temporary directory, named by XDG_DATA_HOME and XDG_DATA_DIRS.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
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

    // Files named *.desktop, and links to such files, are candidates; a
    // dangling link or a link to a folder is none.
    fs::create_symlink(system_ / "plain.desktop", home_ / "linked.desktop");
    fs::create_symlink(dir_ / "nowhere.desktop", home_ / "dangling.desktop");
    fs::create_directory_symlink(system_ / "tools", home_ / "folder.desktop");
    const auto listed = brindlecast::platform::readFolder(home_.string());
    ASSERT_TRUE(listed);
    std::vector<std::string> candidates;
    for (const auto& item : *listed) {
        if (x11::isDesktopEntryCandidate(item)) candidates.push_back(item.name);
    }
    EXPECT_EQ(candidates, (std::vector<std::string>{"deleted.desktop", "linked.desktop", "shadowed.desktop"}));
    EXPECT_FALSE(x11::listEntryFolder((dir_ / "nowhere").string()));
    // A folder link that leads back up is walked once.
    fs::create_directory_symlink(system_, system_ / "tools" / "loop");
    std::vector<std::string> walked;
    const auto walk = x11::listEntryFolder(system_.string());
    ASSERT_TRUE(walk);
    for (const auto& item : *walk) walked.push_back(item.name);
    EXPECT_EQ(std::count(walked.begin(), walked.end(), "plain.desktop"), 1);
    fs::remove(system_ / "tools" / "loop");

    // Every scan reads the folders afresh: an entry added later is there.
    const auto names = [] {
        std::vector<std::string> found;
        for (const auto& shown : x11::shownEntries()) found.push_back(fs::path(shown.path).filename().string());
        return found;
    };
    // A folder named "folder.desktop" is not looked into.
    EXPECT_EQ(names(), (std::vector<std::string>{"linked.desktop", "shadowed.desktop", "plain.desktop",
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

// The entries GIO shows (Gio.AppInfo.get_all() and should_show()), by desktop
// id and file.
std::map<std::string, std::string> gioShows(const fs::path& dir) {
    const fs::path out = dir / "gio.txt";
    const std::string command = "/usr/bin/python3 " BRINDLECAST_X11_APPS_SCRIPTS "/gio_catalog.py '" + out.string() + "'";
    EXPECT_EQ(std::system(command.c_str()), 0);
    std::map<std::string, std::string> shown;
    std::ifstream in(out);
    for (std::string line; std::getline(in, line);) {
        const auto tab = line.find('\t');
        if (tab != std::string::npos) shown[line.substr(0, tab)] = line.substr(tab + 1);
    }
    return shown;
}

TEST_F(DesktopEntries, CatalogAgreesWithGio) {
    // Under XDG_CURRENT_DESKTOP=XFCE (set for the whole program).
    write(system_ / "onlyxfce.desktop", entry("OnlyXfce", "OnlyShowIn=GNOME;XFCE;\n"));
    write(system_ / "onlykde.desktop", entry("OnlyKde", "OnlyShowIn=KDE;\n"));
    write(system_ / "notxfce.desktop", entry("NotXfce", "NotShowIn=XFCE;\n"));
    // A quoted program with a space in its path.
    const fs::path program = dir_ / "opt" / "My App" / "bin" / "myapp";
    write(program, "#!/bin/sh\n");
    fs::permissions(program, fs::perms::owner_all);
    write(system_ / "quoted.desktop", entry("Quoted", "Exec=\"" + program.string() + "\" %U\n"));
    write(system_ / "quotedmissing.desktop", "[Desktop Entry]\nType=Application\nName=Q\nExec=\"/no such/app\" %U\n");
    // Any depth; the id joins the folders with '-'.
    write(system_ / "wine" / "Programs" / "Games" / "Deep.desktop", entry("Deep"));
    write(system_ / "a" / "b" / "c" / "d" / "e" / "deeper.desktop", entry("Deeper"));
    // Links: a user's linked override of a system entry, an export linked from
    // outside every applications folder, a dangling link, a linked folder.
    write(dir_ / "store" / "override.desktop", entry("Override"));
    write(system_ / "shared.desktop", entry("System"));
    fs::create_symlink(dir_ / "store" / "override.desktop", home_ / "shared.desktop");
    write(dir_ / "store" / "app" / "exported.desktop", entry("Exported"));
    fs::create_symlink(dir_ / "store" / "app" / "exported.desktop", other_ / "exported.desktop");
    fs::create_symlink(dir_ / "store" / "gone.desktop", other_ / "dangling.desktop");
    // A dangling link and a folder named *.desktop mask the lower entries of their ids.
    write(other_ / "masked.desktop", entry("Masked"));
    fs::create_symlink(dir_ / "store" / "gone.desktop", home_ / "masked.desktop");
    write(system_ / "entryfolder.desktop" / "inside.desktop", entry("Inside"));
    write(other_ / "entryfolder.desktop", entry("UnderFolder"));
    write(dir_ / "store" / "folder" / "inner.desktop", entry("Inner"));
    fs::create_directory_symlink(dir_ / "store" / "folder", other_ / "linked");
    // "kde/thing.desktop" is "kde-thing.desktop": it shadows the lower one.
    write(system_ / "kde" / "thing.desktop", entry("KdeThing"));
    write(other_ / "kde-thing.desktop", entry("LowerThing"));
    // GIO shows these; the catalog never offers them.
    write(system_ / "terminal.desktop", entry("InTerminal", "Terminal=true\n"));
    write(system_ / "emulator.desktop", entry("Emulator", "Categories=System;TerminalEmulator;\n"));
    write(system_ / "big.desktop", entry("Big", "Comment=" + std::string(300 * 1024, 'x') + "\n"));

    const auto gio = gioShows(dir_);
    ASSERT_FALSE(gio.empty());
    const std::set<std::string> neverOffered{"terminal.desktop", "emulator.desktop", "big.desktop"};
    std::map<std::string, std::string> expected;
    for (const auto& [id, file] : gio) {
        if (!neverOffered.contains(id)) expected[id] = file;
    }
    for (const auto& id : neverOffered) EXPECT_TRUE(gio.contains(id)) << id;

    std::map<std::string, std::string> ours;
    for (const auto& root : x11::applicationFolders()) {
        const auto candidates = x11::listEntryFolder(root);
        ASSERT_TRUE(candidates) << root;
        for (const auto& candidate : *candidates) {
            if (const auto bundle = x11::openEntry(candidate.path)) {
                ASSERT_TRUE(bundle->hasExecutable) << candidate.path;
                ours[*bundle->bundleId + ".desktop"] = candidate.path;
            }
        }
    }
    EXPECT_EQ(ours, expected);
    // The cases this fixture is about are among them.
    for (const char* id : {"onlyxfce.desktop", "quoted.desktop", "wine-Programs-Games-Deep.desktop",
                           "a-b-c-d-e-deeper.desktop", "shared.desktop", "exported.desktop", "linked-inner.desktop",
                           "kde-thing.desktop"}) {
        EXPECT_TRUE(expected.contains(id)) << id;
    }
    // A linked entry keeps its place: its location is the link's, and it opens again there.
    const std::string location = x11::entryLocation((home_ / "shared.desktop").string());
    EXPECT_EQ(location, fs::canonical(home_).string() + "/shared.desktop");
    EXPECT_EQ(x11::openEntry(location)->displayName, "Override");
    EXPECT_FALSE(x11::openEntry((system_ / "shared.desktop").string()));
    // A program refused by name is never offered, whatever the entry is called.
    EXPECT_FALSE(x11::openEntry((system_ / "quoted.desktop").string(), {"myapp"}));
    EXPECT_FALSE(x11::openEntry((system_ / "onlyxfce.desktop").string(), {"true"}));
    write(system_ / "wrapped.desktop", "[Desktop Entry]\nType=Application\nName=Wrapped\nExec=env -u X LANG=C \"" +
                                           program.string() + "\" -x\n");
    EXPECT_TRUE(x11::openEntry((system_ / "wrapped.desktop").string(), {"xterm"}));
    EXPECT_FALSE(x11::openEntry((system_ / "wrapped.desktop").string(), {"myapp"}));

    // Running applications are matched against the same entries: the quoted
    // program is found.
    bool quotedFound = false;
    for (const auto& shown : x11::shownEntries()) {
        if (shown.path.ends_with("quoted.desktop")) quotedFound = shown.executable == fs::canonical(program).string();
    }
    EXPECT_TRUE(quotedFound);
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

// The icon theme a settings manager announces, in either byte order and after
// settings of the other types; else the GNOME interface setting.
TEST(IconTheme, FromXSettingsElseTheGnomeSetting) {
    const auto property = [](bool big) {
        std::string bytes;
        const auto card = [&](uint32_t v, int width) {
            for (int i = 0; i < width; ++i) {
                const int shift = big ? 8 * (width - 1 - i) : 8 * i;
                bytes.push_back(static_cast<char>((v >> shift) & 0xff));
            }
        };
        const auto setting = [&](int type, const std::string& name) {
            bytes.push_back(static_cast<char>(type));
            bytes.push_back(0);
            card(static_cast<uint32_t>(name.size()), 2);
            bytes += name + std::string((4 - name.size() % 4) % 4, '\0');
            card(7, 4);  // last change
        };
        bytes.push_back(big ? 1 : 0);
        bytes += std::string(3, '\0');
        card(3, 4);
        card(4, 4);
        setting(0, "Net/DoubleClickTime");
        card(400, 4);
        setting(2, "Gtk/Colour");
        bytes += std::string(8, '\x11');
        setting(1, "Net/ThemeName");
        card(4, 4);
        bytes += "Blue";
        setting(1, "Net/IconThemeName");
        card(7, 4);
        bytes += std::string("Papirus") + '\0';
        return bytes;
    };
    for (const bool big : {false, true}) {
        const std::string bytes = property(big);
        EXPECT_EQ(x11::xsettingsString(bytes, "Net/IconThemeName"), "Papirus") << big;
        EXPECT_EQ(x11::xsettingsString(bytes, "Net/ThemeName"), "Blue") << big;
        EXPECT_FALSE(x11::xsettingsString(bytes, "Net/Missing"));
        // Cut anywhere inside the string setting: no answer, never a read past the end.
        for (std::size_t cut = bytes.size() - 12; cut < bytes.size(); ++cut) {
            EXPECT_FALSE(x11::xsettingsString(std::string_view(bytes).substr(0, cut), "Net/IconThemeName")) << cut;
        }
    }
    // Without a display: the GNOME setting (its default, from the installed schema).
    const char* schemas = "/usr/share/glib-2.0/schemas";
    if (!fs::exists(fs::path(schemas) / "org.gnome.desktop.interface.gschema.xml")) GTEST_SKIP() << "no GNOME schema";
    ::setenv("GSETTINGS_SCHEMA_DIR", schemas, 1);
    ::setenv("GSETTINGS_BACKEND", "memory", 1);
    EXPECT_EQ(x11::chosenIconTheme(nullptr), "Adwaita");
}

// The test program is also the icon drawer its SVG icons are drawn by.
int main(int argc, char** argv) {
    x11::runIconDrawerIfAsked(argc, argv);
    // GIO reads the current desktop once.
    ::setenv("XDG_CURRENT_DESKTOP", "XFCE", 1);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
