// The desktop target: what a Linux desktop hands the X11 agent, which nobody
// on the project wrote. The first byte of an input picks what the rest is:
//   0  a desktop entry, read as a catalogued entry, as a running
//      application's candidate, and its Exec line split
//   1  a PNG, 2 an SVG, 3 an XPM icon file, decoded to fit 96 x 96
//   4  an XSETTINGS property (_XSETTINGS_SETTINGS), searched for the icon theme
//   5  an icon theme's index.theme, looked through for an icon (its Inherits
//      may name itself)
// It checks that nothing crashes, hangs or writes to standard error (with
// -close_fd_mask=2; an SVG excepted, see below), and what the answers promise: a decoded icon fits the
// square and has its pixels, a desktop id of the entry file is its own.
//
// With BRINDLECAST_FUZZ_SEEDS naming a folder, the fuzzer writes its seed
// corpus there and exits.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>

#include <gdk-pixbuf/gdk-pixbuf.h>

#include "harness.h"
#include "platform/x11/apps/desktop_entries.h"
#include "platform/x11/bus.h"

namespace fs = std::filesystem;
namespace x11 = brindlecast::platform::x11;

namespace {

std::string* entryPath = nullptr;
std::string* themeIndex = nullptr;

constexpr const char* iconFormats[] = {"png", "svg", "xpm"};

// A one-colour PNG of the given size, as bytes.
std::string pngBytes(int width, int height) {
    GdkPixbuf* pixbuf = gdk_pixbuf_new(GDK_COLORSPACE_RGB, TRUE, 8, width, height);
    gdk_pixbuf_fill(pixbuf, 0x3366ccff);
    gchar* buffer = nullptr;
    gsize length = 0;
    gdk_pixbuf_save_to_buffer(pixbuf, &buffer, &length, "png", nullptr, nullptr);
    std::string bytes(buffer, length);
    g_free(buffer);
    g_object_unref(pixbuf);
    return bytes;
}

std::string xsettings(const std::string& name, const std::string& value) {
    std::string bytes("\0\0\0\0\1\0\0\0\1\0\0\0", 12);
    const auto card32 = [&](uint32_t v) {
        for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
    };
    const auto padded = [&](const std::string& text) {
        bytes += text;
        bytes.append((4 - text.size() % 4) % 4, '\0');
    };
    bytes += std::string("\1\0", 2);
    bytes.push_back(static_cast<char>(name.size()));
    bytes.push_back(0);
    padded(name);
    card32(0);
    card32(static_cast<uint32_t>(value.size()));
    padded(value);
    return bytes;
}

void writeSeeds(const std::string& folder) {
    fs::create_directories(folder);
    const auto seed = [&](std::string_view name, char kind, const std::string& text) {
        fuzzing::writeText(folder + "/" + std::string(name), std::string(1, kind) + text);
    };
    seed("entry", 0,
         "[Desktop Entry]\nType=Application\nName=Seed\nName[de]=Saat\nExec=\"/usr/bin/true\" --flag %U\n"
         "Icon=seed\nOnlyShowIn=XFCE;GNOME;\nNotShowIn=KDE;\nCategories=Utility;TerminalEmulator;\n"
         "Terminal=false\nTryExec=true\nStartupWMClass=Seed\n");
    seed("entry-odd", 0, "[Desktop Entry]\nType=Application\nName=\\s\\n\\t\\\\\nExec=true \"unterminated\nHidden=maybe\n");
    seed("png", 1, pngBytes(48, 24));
    seed("svg", 2,
         "<svg xmlns='http://www.w3.org/2000/svg' xmlns:xlink='http://www.w3.org/1999/xlink' width='10' height='20'>"
         "<defs><g id='a'><rect width='5' height='5' fill='#00f'/></g></defs><use xlink:href='#a'/></svg>");
    seed("xpm", 3, "/* XPM */\nstatic char *x[] = {\n\"2 2 2 1\",\n\". c #ff0000\",\n\"# c None\",\n\".#\",\n\"#.\"};\n");
    seed("xsettings", 4, xsettings("Net/IconThemeName", "Papirus-Dark"));
    seed("theme", 5,
         "[Icon Theme]\nName=Fuzz\nInherits=Fuzz,hicolor\nDirectories=48x48/apps,scalable/apps\n\n"
         "[48x48/apps]\nSize=48\nType=Threshold\nThreshold=-2147483648\n\n"
         "[scalable/apps]\nSize=64\nMinSize=-1\nMaxSize=2147483647\nType=Scalable\n");
}

void checkPicture(const std::optional<brindlecast::platform::Picture>& picture, int size) {
    if (!picture) return;
    if (picture->width <= 0 || picture->height <= 0 || picture->width > size || picture->height > size) {
        fuzzing::violated("desktop", "a decoded icon does not fit its square");
    }
    if (picture->stride != static_cast<std::size_t>(picture->width) * 4 ||
        picture->pixels.size() != picture->stride * static_cast<std::size_t>(picture->height)) {
        fuzzing::violated("desktop", "a decoded icon's pixels do not match its size");
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    if (const char* seeds = std::getenv("BRINDLECAST_FUZZ_SEEDS"); seeds != nullptr && *seeds != '\0') {
        writeSeeds(seeds);
        std::exit(0);
    }
    fuzzing::start(*argc, *argv, "desktop");
    // As the agent does before anything else: GLib's messages go nowhere.
    x11::silenceGLib();
    const std::string data = fuzzing::scratchDir() + "/data";
    fs::create_directories(data + "/applications/nested");
    fs::create_directories(data + "/icons/Fuzz/48x48/apps");
    fs::create_directories(data + "/icons/hicolor");
    fuzzing::writeText(data + "/icons/Fuzz/48x48/apps/wanted.png", pngBytes(48, 48));
    ::setenv("XDG_DATA_HOME", data.c_str(), 1);
    ::setenv("XDG_DATA_DIRS", (fuzzing::scratchDir() + "/none").c_str(), 1);
    ::setenv("XDG_CURRENT_DESKTOP", "XFCE", 1);
    entryPath = new std::string(data + "/applications/nested/fuzz.desktop");
    themeIndex = new std::string(data + "/icons/Fuzz/index.theme");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);
    switch (data[0] % 6) {
        case 0:
            fuzzing::writeText(*entryPath, input);
            fuzzing::quietly("desktop", [&] {
                if (const auto bundle = x11::openEntry(*entryPath, {"refused"})) {
                    if (bundle->bundleId != "nested-fuzz") fuzzing::violated("desktop", "an entry lost its desktop id");
                }
                (void)x11::shownEntries();
                (void)x11::execArguments(input);
            });
            break;
        case 1:
        case 3:
            fuzzing::quietly("desktop", [&] {
                checkPicture(x11::decodeIcon(input, iconFormats[data[0] % 6 - 1], 96), 96);
            });
            break;
        case 2:
            // The agent draws an SVG only in a child whose standard error is
            // /dev/null (libxml2 writes its parse errors there): here only
            // crashes, leaks and the picture are checked.
            checkPicture(x11::decodeIcon(input, "svg", 96), 96);
            break;
        case 4:
            fuzzing::quietly("desktop", [&] { (void)x11::xsettingsString(input, "Net/IconThemeName"); });
            break;
        case 5:
            fuzzing::writeText(*themeIndex, input);
            fuzzing::quietly("desktop", [&] {
                (void)x11::findThemedIcon("wanted", 96, "Fuzz");
                (void)x11::findThemedIcon("missing", 17, "Fuzz");
            });
            break;
    }
    return 0;
}
