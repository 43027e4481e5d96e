// Application icons: the entry's Icon looked up as icon themes lay them out
// (the user's theme and the themes it inherits, then hicolor, by the sizes
// each theme's index.theme gives, then the icon folders' own files), read by
// gdk-pixbuf (PNG, SVG, XPM). Nothing an icon file says is trusted to cost
// unbounded memory or time: sizes are read from the header before decoding,
// and an SVG is drawn in a child process that is ended when it takes too long.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <set>
#include <utility>
#include <string_view>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <X11/Xatom.h>
#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gio/gdesktopappinfo.h>
#include <gio/gio.h>

#include "platform/posix.h"
#include "platform/x11/apps/desktop_entries.h"

extern char** environ;

#if defined(__SANITIZE_ADDRESS__)
#define BRINDLECAST_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define BRINDLECAST_ADDRESS_SANITIZER 1
#endif
#endif
#ifndef BRINDLECAST_ADDRESS_SANITIZER
#define BRINDLECAST_ADDRESS_SANITIZER 0
#endif

namespace brindlecast::platform::x11 {

namespace {

struct GObjectUnref {
    void operator()(gpointer object) const { g_object_unref(object); }
};
struct KeyFileFree {
    void operator()(GKeyFile* file) const { g_key_file_free(file); }
};
struct StrvFree {
    void operator()(gchar** list) const { g_strfreev(list); }
};

constexpr const char* genericIcons[] = {"application-x-executable", "application-default-icon"};
constexpr const char* extensions[] = {".png", ".svg", ".xpm"};
// Icon files larger than this are not read.
constexpr std::size_t maxIconFileBytes = 4 * 1024 * 1024;
// Nor are pictures of more pixels than this (2048 x 2048).
constexpr long long maxIconPixels = 4LL * 1024 * 1024;
// An index.theme larger than this is no theme; a theme's folders past this
// count and inherited themes past this many are not looked at.
constexpr off_t maxThemeIndexBytes = 1024 * 1024;
constexpr std::size_t maxThemeFolders = 1024;
constexpr std::size_t maxThemes = 32;
// The XSETTINGS property is read up to this many bytes.
constexpr long maxSettingsBytes = 256 * 1024;
constexpr const char* drawerArgument = "--brindlecast-draw-icon";

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? std::string(value) : std::string();
}

bool isFile(const std::string& path, off_t maxBytes = std::numeric_limits<off_t>::max()) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && info.st_size <= maxBytes;
}

// A size x size RGBA canvas, every pixel transparent.
Picture transparentCanvas(int size) {
    const auto side = static_cast<std::size_t>(size);
    Picture canvas;
    canvas.width = size;
    canvas.height = size;
    canvas.stride = side * 4;
    canvas.format = PixelFormat::RGBA;
    canvas.pixels.assign(canvas.stride * side, 0);
    return canvas;
}

// The icon folders, in the order they are searched: the user's, ~/.icons,
// each data folder's icons, then each data folder's pixmaps.
std::vector<std::string> iconBases() {
    std::vector<std::string> bases;
    if (const std::string data = userDataFolder(); !data.empty()) bases.push_back(data + "/icons");
    if (const std::string home = environment("HOME"); !home.empty()) bases.push_back(home + "/.icons");
    const auto system = systemDataFolders();
    for (const auto& dir : system) bases.push_back(dir + "/icons");
    for (const auto& dir : system) bases.push_back(dir + "/pixmaps");
    return bases;
}

struct ThemeFolder {
    std::string name;
    int size = 0;
    int minSize = 0;
    int maxSize = 0;
    int threshold = 2;
    enum class Type { fixed, scalable, threshold } type = Type::threshold;

    // How far the folder's sizes are from `wanted`; 0 when it matches.
    long distance(int wanted) const {
        const auto outside = [wanted](long low, long high) -> long {
            if (wanted < low) return low - wanted;
            if (wanted > high) return wanted - high;
            return 0;
        };
        switch (type) {
            case Type::fixed: return std::labs(static_cast<long>(size) - wanted);
            case Type::scalable: return outside(minSize, maxSize);
            // Size +- Threshold, as GTK reads it.
            case Type::threshold: return outside(static_cast<long>(size) - threshold, static_cast<long>(size) + threshold);
        }
        return 0;
    }
    // Whether the folder's icons are smaller than `wanted`: scaled up, they
    // look worse than larger ones scaled down.
    bool smaller(int wanted) const {
        switch (type) {
            case Type::fixed: return size < wanted;
            case Type::scalable: return maxSize < wanted;
            case Type::threshold: return static_cast<long>(size) + threshold < wanted;
        }
        return false;
    }
};

struct Theme {
    std::string name;
    std::vector<ThemeFolder> folders;
    std::vector<std::string> parents;
};

// A theme, from the first index.theme found for it; none when no base holds
// one (hicolor is there even without one).
std::optional<Theme> loadTheme(const std::vector<std::string>& bases, const std::string& name) {
    if (name.empty() || name.find('/') != std::string::npos || name == "." || name == "..") return std::nullopt;
    for (const auto& base : bases) {
        const std::string index = base + "/" + name + "/index.theme";
        if (!isFile(index, maxThemeIndexBytes)) continue;
        std::unique_ptr<GKeyFile, KeyFileFree> file(g_key_file_new());
        // The theme's lists are separated by commas.
        g_key_file_set_list_separator(file.get(), ',');
        if (!g_key_file_load_from_file(file.get(), index.c_str(), G_KEY_FILE_NONE, nullptr)) continue;
        Theme theme;
        theme.name = name;
        std::unique_ptr<gchar*, StrvFree> parents(
            g_key_file_get_string_list(file.get(), "Icon Theme", "Inherits", nullptr, nullptr));
        for (gchar** parent = parents.get(); parent != nullptr && *parent != nullptr; ++parent) {
            if (**parent != '\0') theme.parents.emplace_back(*parent);
        }
        std::unique_ptr<gchar*, StrvFree> names(
            g_key_file_get_string_list(file.get(), "Icon Theme", "Directories", nullptr, nullptr));
        for (gchar** entry = names.get(); entry != nullptr && *entry != nullptr; ++entry) {
            if (theme.folders.size() >= maxThemeFolders) break;
            const char* group = *entry;
            if (!g_key_file_has_group(file.get(), group)) continue;
            const auto integer = [&](const char* key, int fallback) {
                GError* error = nullptr;
                const int value = g_key_file_get_integer(file.get(), group, key, &error);
                if (error != nullptr) {
                    g_error_free(error);
                    return fallback;
                }
                return value;
            };
            if (integer("Scale", 1) != 1) continue;
            ThemeFolder folder;
            folder.name = group;
            folder.size = integer("Size", 0);
            folder.minSize = integer("MinSize", folder.size);
            folder.maxSize = integer("MaxSize", folder.size);
            folder.threshold = integer("Threshold", 2);
            gchar* type = g_key_file_get_string(file.get(), group, "Type", nullptr);
            if (type != nullptr) {
                if (std::strcmp(type, "Fixed") == 0) folder.type = ThemeFolder::Type::fixed;
                if (std::strcmp(type, "Scalable") == 0) folder.type = ThemeFolder::Type::scalable;
                g_free(type);
            }
            theme.folders.push_back(std::move(folder));
        }
        return theme;
    }
    if (name == "hicolor") return Theme{.name = name, .folders = {}, .parents = {}};
    return std::nullopt;
}

// `name` and the themes it inherits, depth first, each once; hicolor last.
std::vector<Theme> themeChain(const std::vector<std::string>& bases, const std::string& name) {
    std::vector<Theme> chain;
    std::set<std::string> seen;
    const auto insert = [&](const auto& self, const std::string& theme) -> void {
        if (chain.size() >= maxThemes || !seen.insert(theme).second) return;
        auto loaded = loadTheme(bases, theme);
        if (!loaded) return;
        const std::vector<std::string> parents = loaded->parents;
        chain.push_back(std::move(*loaded));
        for (const auto& parent : parents) self(self, parent);
    };
    insert(insert, name);
    if (!seen.contains("hicolor")) {
        if (auto hicolor = loadTheme(bases, "hicolor")) chain.push_back(std::move(*hicolor));
    }
    return chain;
}

// The icon's file in one theme: the first folder matching the size, else,
// as GTK chooses, the nearest folder of larger icons, else the nearest of
// smaller ones.
std::optional<std::string> lookInTheme(const std::vector<std::string>& bases, const Theme& theme,
                                       const std::string& name, int size) {
    std::optional<std::string> best;
    // (smaller, distance) of the best so far: less is better.
    std::pair<bool, long> bestRank{true, std::numeric_limits<long>::max()};
    for (const auto& folder : theme.folders) {
        const std::pair<bool, long> rank{folder.distance(size) != 0 && folder.smaller(size), folder.distance(size)};
        if (rank >= bestRank) continue;
        for (const auto& base : bases) {
            const std::string dir = base + "/" + theme.name + "/" + folder.name + "/";
            for (const char* extension : extensions) {
                std::string file = dir + name + extension;
                if (!isFile(file)) continue;
                if (rank.second == 0) return file;
                best = std::move(file);
                bestRank = rank;
                break;
            }
            if (bestRank == rank) break;
        }
    }
    return best;
}

// The gdk-pixbuf format of an icon file, from its name: the type is not
// guessed from the content, which would need the MIME database.
const char* formatOf(std::string_view file) {
    if (file.ends_with(".png")) return "png";
    if (file.ends_with(".svg") || file.ends_with(".svgz")) return "svg";
    if (file.ends_with(".xpm")) return "xpm";
    return nullptr;
}

uint32_t bigEndian32(std::string_view bytes, std::size_t at) {
    return (static_cast<uint32_t>(static_cast<uint8_t>(bytes[at])) << 24) |
           (static_cast<uint32_t>(static_cast<uint8_t>(bytes[at + 1])) << 16) |
           (static_cast<uint32_t>(static_cast<uint8_t>(bytes[at + 2])) << 8) |
           static_cast<uint32_t>(static_cast<uint8_t>(bytes[at + 3]));
}

// Whether the picture's header names a size that may be decoded: a PNG's
// IHDR, an XPM's values line. An SVG is drawn at the size asked for,
// whatever it says.
bool headerFits(std::string_view bytes, std::string_view format) {
    if (format == "png") {
        constexpr std::string_view signature("\x89PNG\r\n\x1a\n", 8);
        if (bytes.size() < 24 || !bytes.starts_with(signature) || bytes.substr(12, 4) != "IHDR") return false;
        const uint32_t width = bigEndian32(bytes, 16);
        const uint32_t height = bigEndian32(bytes, 20);
        // (At most 2^32 - 1 each: their product fits 64 unsigned bits.)
        return width > 0 && height > 0 && static_cast<uint64_t>(width) * height <= static_cast<uint64_t>(maxIconPixels);
    }
    if (format == "xpm") {
        // The first string holds "width height colours characters-per-pixel".
        const std::size_t quote = bytes.find('"');
        if (quote == std::string_view::npos) return false;
        const std::size_t end = bytes.find('"', quote + 1);
        if (end == std::string_view::npos || end - quote > 128) return false;
        const std::string values(bytes.substr(quote + 1, end - quote - 1));
        long long width = 0, height = 0;
        if (std::sscanf(values.c_str(), "%lld %lld", &width, &height) != 2) return false;
        return width > 0 && height > 0 && width <= maxIconPixels && height <= maxIconPixels &&
               width * height <= maxIconPixels;
    }
    return format == "svg";
}

struct Fitting {
    int side = 0;
    bool refused = false;
};

// Asks for the largest size that fits the square, the proportions kept; a
// picture the header check let through but the loader finds too large is
// stopped before it is decoded (a size of 0 ends the load).
void fitSquare(GdkPixbufLoader* loader, int width, int height, gpointer data) {
    auto& fitting = *static_cast<Fitting*>(data);
    GdkPixbufFormat* format = gdk_pixbuf_loader_get_format(loader);
    gchar* formatName = format != nullptr ? gdk_pixbuf_format_get_name(format) : nullptr;
    const bool vector = formatName != nullptr && std::strcmp(formatName, "svg") == 0;
    g_free(formatName);
    if (width <= 0 || height <= 0 || (!vector && static_cast<long long>(width) * height > maxIconPixels)) {
        fitting.refused = true;
        gdk_pixbuf_loader_set_size(loader, 0, 0);
        return;
    }
    const double scale = std::min(static_cast<double>(fitting.side) / width, static_cast<double>(fitting.side) / height);
    gdk_pixbuf_loader_set_size(loader, std::max(1, static_cast<int>(std::lround(width * scale))),
                               std::max(1, static_cast<int>(std::lround(height * scale))));
}

// The picture centred on a size x size transparent canvas.
Picture onCanvas(const Picture& image, int size) {
    Picture canvas = transparentCanvas(size);
    const int width = std::min(image.width, size);
    const int height = std::min(image.height, size);
    const int left = (size - width) / 2;
    const int top = (size - height) / 2;
    for (int y = 0; y < height; ++y) {
        std::memcpy(canvas.pixels.data() + static_cast<std::size_t>(top + y) * canvas.stride +
                        static_cast<std::size_t>(left) * 4,
                    image.pixels.data() + static_cast<std::size_t>(y) * image.stride, static_cast<std::size_t>(width) * 4);
    }
    return canvas;
}

bool writeAll(int fd, const void* data, std::size_t length) {
    const auto* bytes = static_cast<const char*>(data);
    while (length > 0) {
        const ssize_t put = ::write(fd, bytes, length);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return false;
        bytes += put;
        length -= static_cast<std::size_t>(put);
    }
    return true;
}

// Draws the SVG in a child process (this program again, as the icon
// drawer), waiting at most `seconds`; none when it takes longer or fails.
std::optional<Picture> drawInChild(const std::string& file, int size, double seconds) {
    int pipe[2];
    if (::pipe2(pipe, O_CLOEXEC) != 0) return std::nullopt;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipe[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
    const std::string sizeText = std::to_string(size);
    std::string program = "/proc/self/exe";
    char* argv[] = {program.data(), const_cast<char*>(drawerArgument), const_cast<char*>(file.c_str()),
                    const_cast<char*>(sizeText.c_str()), nullptr};
    pid_t child = -1;
    const int spawned = posix_spawn(&child, program.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipe[1]);
    if (spawned != 0) {
        ::close(pipe[0]);
        return std::nullopt;
    }
    // "width height\n" and the RGBA rows.
    const std::size_t most = 32 + static_cast<std::size_t>(size) * static_cast<std::size_t>(size) * 4;
    std::string answer;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    bool complete = false;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd wait{pipe[0], POLLIN, 0};
        const int ready = ::poll(&wait, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) break;
        char chunk[65536];
        const ssize_t got = ::read(pipe[0], chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            complete = got == 0;
            break;
        }
        if (answer.size() + static_cast<std::size_t>(got) > most) break;
        answer.append(chunk, static_cast<std::size_t>(got));
    }
    ::close(pipe[0]);
    if (!complete) ::kill(child, SIGKILL);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (!complete || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
    const std::size_t newline = answer.find('\n');
    int width = 0, height = 0;
    if (newline == std::string::npos || std::sscanf(answer.c_str(), "%d %d", &width, &height) != 2) return std::nullopt;
    if (width <= 0 || height <= 0 || width > size || height > size) return std::nullopt;
    Picture image;
    image.width = width;
    image.height = height;
    image.stride = static_cast<std::size_t>(width) * 4;
    image.format = PixelFormat::RGBA;
    if (answer.size() - newline - 1 != image.stride * static_cast<std::size_t>(height)) return std::nullopt;
    image.pixels.assign(answer.begin() + static_cast<std::ptrdiff_t>(newline) + 1, answer.end());
    return image;
}

// A plain stand-in when no theme has even the generic icon: a grey rounded
// tile.
Picture drawnGeneric(int size) {
    Picture canvas = transparentCanvas(size);
    const double margin = size / 8.0;
    const double radius = size / 6.0;
    for (int y = 0; y < size; ++y) {
        for (int x = 0; x < size; ++x) {
            const double cx = std::clamp(x + 0.5, margin + radius, size - margin - radius);
            const double cy = std::clamp(y + 0.5, margin + radius, size - margin - radius);
            if (std::hypot(x + 0.5 - cx, y + 0.5 - cy) > radius) continue;
            uint8_t* pixel = canvas.pixels.data() + static_cast<std::size_t>(y) * canvas.stride + static_cast<std::size_t>(x) * 4;
            pixel[0] = pixel[1] = pixel[2] = 0x9a;
            pixel[3] = 0xff;
        }
    }
    return canvas;
}

std::optional<Picture> drawThemed(const std::string& name, int size, const std::string& theme) {
    const auto file = findThemedIcon(name, size, theme);
    if (!file) return std::nullopt;
    auto image = readIconFile(*file, size);
    if (!image) return std::nullopt;
    return onCanvas(*image, size);
}

uint32_t settingsCard32(std::string_view bytes, std::size_t at, bool bigEndian) {
    if (bigEndian) return bigEndian32(bytes, at);
    return static_cast<uint32_t>(static_cast<uint8_t>(bytes[at])) |
           (static_cast<uint32_t>(static_cast<uint8_t>(bytes[at + 1])) << 8) |
           (static_cast<uint32_t>(static_cast<uint8_t>(bytes[at + 2])) << 16) |
           (static_cast<uint32_t>(static_cast<uint8_t>(bytes[at + 3])) << 24);
}

// The theme of the GNOME interface settings, when its schema is installed.
std::optional<std::string> gnomeIconTheme() {
    static GSettings* settings = [] () -> GSettings* {
        GSettingsSchemaSource* source = g_settings_schema_source_get_default();
        if (source == nullptr) return nullptr;
        GSettingsSchema* schema = g_settings_schema_source_lookup(source, "org.gnome.desktop.interface", TRUE);
        if (schema == nullptr) return nullptr;
        GSettings* made = g_settings_schema_has_key(schema, "icon-theme") ? g_settings_new_full(schema, nullptr, nullptr)
                                                                            : nullptr;
        g_settings_schema_unref(schema);
        return made;
    }();
    if (settings == nullptr) return std::nullopt;
    gchar* value = g_settings_get_string(settings, "icon-theme");
    std::optional<std::string> theme;
    if (value != nullptr && *value != '\0') theme = value;
    g_free(value);
    return theme;
}

}  // namespace

std::optional<std::string> xsettingsString(std::string_view property, std::string_view name) {
    // byte order (LSBFirst 0, MSBFirst 1), 3 unused, serial, count; then each
    // setting: type, unused, name length (16 bits), name padded to 4,
    // last-change serial, and its value: an integer (4), a string (length and
    // bytes padded to 4) or a colour (8).
    if (property.size() < 12) return std::nullopt;
    const auto order = static_cast<uint8_t>(property[0]);
    if (order > 1) return std::nullopt;
    const bool big = order == 1;
    const uint32_t count = settingsCard32(property, 8, big);
    const auto pad = [](std::size_t length) { return (length + 3) & ~std::size_t{3}; };
    std::size_t at = 12;
    for (uint32_t i = 0; i < count; ++i) {
        if (property.size() - at < 4) return std::nullopt;
        const auto type = static_cast<uint8_t>(property[at]);
        const std::size_t nameLength =
            big ? (static_cast<std::size_t>(static_cast<uint8_t>(property[at + 2])) << 8) | static_cast<uint8_t>(property[at + 3])
                : (static_cast<std::size_t>(static_cast<uint8_t>(property[at + 3])) << 8) | static_cast<uint8_t>(property[at + 2]);
        at += 4;
        if (property.size() - at < pad(nameLength) + 4) return std::nullopt;
        const std::string_view settingName = property.substr(at, nameLength);
        at += pad(nameLength) + 4;
        switch (type) {
            case 0:  // integer
                if (property.size() - at < 4) return std::nullopt;
                at += 4;
                break;
            case 1: {  // string
                if (property.size() - at < 4) return std::nullopt;
                const std::size_t length = settingsCard32(property, at, big);
                at += 4;
                if (length > property.size() - at || pad(length) > property.size() - at) return std::nullopt;
                if (settingName == name) return std::string(property.substr(at, length));
                at += pad(length);
                break;
            }
            case 2:  // colour
                if (property.size() - at < 8) return std::nullopt;
                at += 8;
                break;
            default: return std::nullopt;
        }
    }
    return std::nullopt;
}

std::string chosenIconTheme(::Display* display) {
    if (display != nullptr) {
        const std::string selection = "_XSETTINGS_S" + std::to_string(DefaultScreen(display));
        const Atom selectionAtom = XInternAtom(display, selection.c_str(), True);
        const Atom settingsAtom = XInternAtom(display, "_XSETTINGS_SETTINGS", True);
        const ::Window owner = selectionAtom != None ? XGetSelectionOwner(display, selectionAtom) : None;
        if (owner != None && settingsAtom != None) {
            Atom type = None;
            int format = 0;
            unsigned long count = 0, after = 0;
            unsigned char* data = nullptr;
            // An owner gone meanwhile is an error the connection's handler keeps.
            const bool read = XGetWindowProperty(display, owner, settingsAtom, 0, maxSettingsBytes / 4, False,
                                                 settingsAtom, &type, &format, &count, &after, &data) == Success;
            std::optional<std::string> theme;
            if (read && data != nullptr && format == 8 && type == settingsAtom) {
                theme = xsettingsString(std::string_view(reinterpret_cast<const char*>(data), count), "Net/IconThemeName");
            }
            if (data != nullptr) XFree(data);
            if (theme && !theme->empty()) return *theme;
        }
    }
    if (auto theme = gnomeIconTheme()) return *theme;
    return "hicolor";
}

std::optional<std::string> findThemedIcon(const std::string& name, int size, const std::string& theme) {
    if (name.empty() || name.find('/') != std::string::npos) return std::nullopt;
    const auto bases = iconBases();
    for (const auto& each : themeChain(bases, theme)) {
        if (auto file = lookInTheme(bases, each, name, size)) return file;
    }
    for (const auto& base : bases) {
        for (const char* extension : extensions) {
            std::string file = base + "/" + name + extension;
            if (isFile(file)) return file;
        }
    }
    return std::nullopt;
}

std::optional<Picture> decodeIcon(std::string_view bytes, std::string_view format, int size) {
    if (size <= 0 || bytes.empty() || !headerFits(bytes, format)) return std::nullopt;
    const std::string type(format);
    std::unique_ptr<GdkPixbufLoader, GObjectUnref> loader(gdk_pixbuf_loader_new_with_type(type.c_str(), nullptr));
    if (!loader) return std::nullopt;
    Fitting fitting{.side = size, .refused = false};
    g_signal_connect(loader.get(), "size-prepared", G_CALLBACK(fitSquare), &fitting);
    const bool written =
        gdk_pixbuf_loader_write(loader.get(), reinterpret_cast<const guchar*>(bytes.data()), bytes.size(), nullptr);
    // Closed in any case, so the loader lets its image go.
    const bool closed = gdk_pixbuf_loader_close(loader.get(), nullptr);
    if (!written || !closed || fitting.refused) return std::nullopt;
    GdkPixbuf* loaded = gdk_pixbuf_loader_get_pixbuf(loader.get());
    if (loaded == nullptr) return std::nullopt;
    std::unique_ptr<GdkPixbuf, GObjectUnref> image(gdk_pixbuf_add_alpha(loaded, FALSE, 0, 0, 0));
    if (!image || gdk_pixbuf_get_n_channels(image.get()) != 4 || gdk_pixbuf_get_bits_per_sample(image.get()) != 8) {
        return std::nullopt;
    }
    // A loader that ignored the size asked for is scaled here.
    if (gdk_pixbuf_get_width(image.get()) > size || gdk_pixbuf_get_height(image.get()) > size) {
        const int width = gdk_pixbuf_get_width(image.get());
        const int height = gdk_pixbuf_get_height(image.get());
        const double scale = std::min(static_cast<double>(size) / width, static_cast<double>(size) / height);
        image.reset(gdk_pixbuf_scale_simple(image.get(), std::max(1, static_cast<int>(std::lround(width * scale))),
                                            std::max(1, static_cast<int>(std::lround(height * scale))),
                                            GDK_INTERP_BILINEAR));
        if (!image) return std::nullopt;
    }
    Picture picture;
    picture.width = gdk_pixbuf_get_width(image.get());
    picture.height = gdk_pixbuf_get_height(image.get());
    picture.stride = static_cast<std::size_t>(picture.width) * 4;
    picture.format = PixelFormat::RGBA;
    picture.pixels.resize(picture.stride * static_cast<std::size_t>(picture.height));
    const guchar* pixels = gdk_pixbuf_read_pixels(image.get());
    const auto rowstride = static_cast<std::size_t>(gdk_pixbuf_get_rowstride(image.get()));
    for (int y = 0; y < picture.height; ++y) {
        std::memcpy(picture.pixels.data() + static_cast<std::size_t>(y) * picture.stride,
                    pixels + static_cast<std::size_t>(y) * rowstride, picture.stride);
    }
    return picture;
}

std::optional<Picture> readIconFile(const std::string& file, int size, double svgSeconds) {
    const char* format = formatOf(file);
    if (format == nullptr || size <= 0) return std::nullopt;
    if (std::strcmp(format, "svg") == 0) {
        if (!isFile(file, maxIconFileBytes)) return std::nullopt;
        return drawInChild(file, size, svgSeconds);
    }
    const auto bytes = readSmallFile(file, maxIconFileBytes);
    if (!bytes) return std::nullopt;
    return decodeIcon(*bytes, format, size);
}

namespace {

int drawIconToOutput(const std::string& file, int size) {
    const char* format = formatOf(file);
    if (format == nullptr || size <= 0 || size > 1024) return 1;
    const auto bytes = readSmallFile(file, maxIconFileBytes);
    if (!bytes) return 1;
    const auto image = decodeIcon(*bytes, format, size);
    if (!image) return 1;
    const std::string header = std::to_string(image->width) + " " + std::to_string(image->height) + "\n";
    if (!writeAll(STDOUT_FILENO, header.data(), header.size()) ||
        !writeAll(STDOUT_FILENO, image->pixels.data(), image->pixels.size())) {
        return 1;
    }
    return 0;
}

}  // namespace

void runIconDrawerIfAsked(int argc, char** argv) {
    if (argc != 4 || std::strcmp(argv[1], drawerArgument) != 0) return;
    // Whatever the file holds, the child stays within a second of CPU time
    // beyond its parent's wait and a gigabyte of memory.
    const rlimit cpu{3, 3};
    ::setrlimit(RLIMIT_CPU, &cpu);
#if !BRINDLECAST_ADDRESS_SANITIZER
    // (AddressSanitizer reserves far more address space than this.)
    constexpr rlim_t drawerMemoryBytes = rlim_t{1} << 30;
    const rlimit memory{drawerMemoryBytes, drawerMemoryBytes};
    ::setrlimit(RLIMIT_AS, &memory);
#endif
    // Ended without exit handlers: nothing run at exit (a leak checker)
    // changes the status the parent reads.
    ::_exit(drawIconToOutput(argv[2], std::atoi(argv[3])));
}

std::optional<Picture> drawEntryIcon(const std::string& path, int size, const std::string& theme) {
    if (size <= 0) return std::nullopt;
    std::unique_ptr<GDesktopAppInfo, GObjectUnref> info;
    if (isFile(path, 128 * 1024)) info.reset(g_desktop_app_info_new_from_filename(path.c_str()));
    GIcon* icon = info ? g_app_info_get_icon(G_APP_INFO(info.get())) : nullptr;
    if (icon != nullptr && G_IS_FILE_ICON(icon)) {
        if (char* file = g_file_get_path(g_file_icon_get_file(G_FILE_ICON(icon)))) {
            auto image = readIconFile(file, size);
            g_free(file);
            if (image) return onCanvas(*image, size);
        }
    } else if (icon != nullptr && G_IS_THEMED_ICON(icon)) {
        for (const gchar* const* name = g_themed_icon_get_names(G_THEMED_ICON(icon)); name != nullptr && *name != nullptr;
             ++name) {
            if (auto picture = drawThemed(*name, size, theme)) return picture;
        }
    }
    for (const char* name : genericIcons) {
        if (auto picture = drawThemed(name, size, theme)) return picture;
    }
    return drawnGeneric(size);
}

}  // namespace brindlecast::platform::x11
