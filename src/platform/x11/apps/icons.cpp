// Application icons: the entry's Icon looked up as icon themes lay them out
// (hicolor first, then the installed themes, by the sizes each theme's
// index.theme gives, then /usr/share/pixmaps), read by gdk-pixbuf (PNG, SVG, XPM).
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <set>
#include <string_view>

#include <dirent.h>
#include <sys/stat.h>

#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gio/gdesktopappinfo.h>
#include <gio/gio.h>

#include "platform/x11/apps/desktop_entries.h"

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
constexpr long maxIconFileBytes = 4 * 1024 * 1024;

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? std::string(value) : std::string();
}

bool isFile(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && info.st_size <= maxIconFileBytes;
}

bool isFolder(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
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

// The folders themes are found in: the user's first, then each data folder's.
std::vector<std::string> iconBases() {
    std::vector<std::string> bases;
    if (const std::string data = userDataFolder(); !data.empty()) bases.push_back(data + "/icons");
    if (const std::string home = environment("HOME"); !home.empty()) bases.push_back(home + "/.icons");
    for (const auto& dir : systemDataFolders()) bases.push_back(dir + "/icons");
    return bases;
}

struct ThemeFolder {
    std::string name;
    int size = 0;
    int minSize = 0;
    int maxSize = 0;
    int threshold = 2;
    enum class Type { fixed, scalable, threshold } type = Type::threshold;

    bool matches(int wanted) const {
        switch (type) {
            case Type::fixed: return size == wanted;
            case Type::scalable: return minSize <= wanted && wanted <= maxSize;
            case Type::threshold: return size - threshold <= wanted && wanted <= size + threshold;
        }
        return false;
    }
    int distance(int wanted) const {
        switch (type) {
            case Type::fixed: return std::abs(size - wanted);
            case Type::scalable:
                if (wanted < minSize) return minSize - wanted;
                if (wanted > maxSize) return wanted - maxSize;
                return 0;
            case Type::threshold:
                if (wanted < size - threshold) return minSize - wanted;
                if (wanted > size + threshold) return wanted - maxSize;
                return 0;
        }
        return 0;
    }
};

// The folders of a theme, from the first index.theme found for it; none when
// no base holds one.
std::optional<std::vector<ThemeFolder>> themeFolders(const std::vector<std::string>& bases, const std::string& theme) {
    for (const auto& base : bases) {
        const std::string index = base + "/" + theme + "/index.theme";
        if (!isFile(index)) continue;
        std::unique_ptr<GKeyFile, KeyFileFree> file(g_key_file_new());
        // The theme's lists are separated by commas.
        g_key_file_set_list_separator(file.get(), ',');
        if (!g_key_file_load_from_file(file.get(), index.c_str(), G_KEY_FILE_NONE, nullptr)) continue;
        std::unique_ptr<gchar*, StrvFree> names(
            g_key_file_get_string_list(file.get(), "Icon Theme", "Directories", nullptr, nullptr));
        std::vector<ThemeFolder> folders;
        for (gchar** name = names.get(); name != nullptr && *name != nullptr; ++name) {
            const char* group = *name;
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
            folders.push_back(std::move(folder));
        }
        return folders;
    }
    return std::nullopt;
}

// The icon's file in one theme: a folder matching the size, else the nearest.
std::optional<std::string> lookInTheme(const std::vector<std::string>& bases, const std::string& theme,
                                       const std::vector<ThemeFolder>& folders, const std::string& name, int size) {
    std::optional<std::string> nearest;
    int nearestDistance = std::numeric_limits<int>::max();
    for (const auto& folder : folders) {
        for (const auto& base : bases) {
            for (const char* extension : extensions) {
                const std::string file = base + "/" + theme + "/" + folder.name + "/" + name + extension;
                if (!isFile(file)) continue;
                if (folder.matches(size)) return file;
                const int distance = folder.distance(size);
                if (distance < nearestDistance) {
                    nearest = file;
                    nearestDistance = distance;
                }
            }
        }
    }
    return nearest;
}

// hicolor first, where applications install their icons, then the other
// installed themes by name.
std::vector<std::string> themes(const std::vector<std::string>& bases) {
    std::set<std::string> others;
    for (const auto& base : bases) {
        DIR* folder = ::opendir(base.c_str());
        if (folder == nullptr) continue;
        while (const dirent* entry = ::readdir(folder)) {
            if (entry->d_name[0] == '.' || std::strcmp(entry->d_name, "hicolor") == 0) continue;
            if (isFolder(base + "/" + entry->d_name)) others.insert(entry->d_name);
        }
        ::closedir(folder);
    }
    std::vector<std::string> list{"hicolor"};
    list.insert(list.end(), others.begin(), others.end());
    return list;
}

// The gdk-pixbuf format of an icon file, from its name: the type is not
// guessed from the content, which would need the MIME database.
const char* formatOf(std::string_view file) {
    if (file.ends_with(".png")) return "png";
    if (file.ends_with(".svg") || file.ends_with(".svgz")) return "svg";
    if (file.ends_with(".xpm")) return "xpm";
    return nullptr;
}

// Asks for the largest size that fits the square, the proportions kept.
void fitSquare(GdkPixbufLoader* loader, int width, int height, gpointer data) {
    const int side = *static_cast<const int*>(data);
    if (width <= 0 || height <= 0) return;
    const double scale = std::min(static_cast<double>(side) / width, static_cast<double>(side) / height);
    gdk_pixbuf_loader_set_size(loader, std::max(1, static_cast<int>(std::lround(width * scale))),
                               std::max(1, static_cast<int>(std::lround(height * scale))));
}

std::unique_ptr<GdkPixbuf, GObjectUnref> loadScaled(const std::string& file, int size) {
    if (!isFile(file)) return nullptr;
    gchar* bytes = nullptr;
    gsize length = 0;
    if (!g_file_get_contents(file.c_str(), &bytes, &length, nullptr)) return nullptr;
    std::unique_ptr<gchar, void (*)(gpointer)> owned(bytes, g_free);
    const char* format = formatOf(file);
    std::unique_ptr<GdkPixbufLoader, GObjectUnref> loader(format != nullptr ? gdk_pixbuf_loader_new_with_type(format, nullptr)
                                                                             : gdk_pixbuf_loader_new());
    if (!loader) return nullptr;
    int side = size;
    g_signal_connect(loader.get(), "size-prepared", G_CALLBACK(fitSquare), &side);
    const bool written = gdk_pixbuf_loader_write(loader.get(), reinterpret_cast<const guchar*>(bytes), length, nullptr);
    // Closed in any case, so the loader lets its image go.
    const bool closed = gdk_pixbuf_loader_close(loader.get(), nullptr);
    if (!written || !closed) return nullptr;
    GdkPixbuf* image = gdk_pixbuf_loader_get_pixbuf(loader.get());
    if (image == nullptr) return nullptr;
    return std::unique_ptr<GdkPixbuf, GObjectUnref>(GDK_PIXBUF(g_object_ref(image)));
}

std::optional<Picture> drawFile(const std::string& file, int size) {
    const auto loaded = loadScaled(file, size);
    if (!loaded) return std::nullopt;
    std::unique_ptr<GdkPixbuf, GObjectUnref> image(gdk_pixbuf_add_alpha(loaded.get(), FALSE, 0, 0, 0));
    if (!image || gdk_pixbuf_get_n_channels(image.get()) != 4 || gdk_pixbuf_get_bits_per_sample(image.get()) != 8) {
        return std::nullopt;
    }
    const int width = std::min(gdk_pixbuf_get_width(image.get()), size);
    const int height = std::min(gdk_pixbuf_get_height(image.get()), size);
    Picture canvas = transparentCanvas(size);
    const int left = (size - width) / 2;
    const int top = (size - height) / 2;
    const guchar* pixels = gdk_pixbuf_read_pixels(image.get());
    const auto rowstride = static_cast<std::size_t>(gdk_pixbuf_get_rowstride(image.get()));
    for (int y = 0; y < height; ++y) {
        std::memcpy(canvas.pixels.data() + static_cast<std::size_t>(top + y) * canvas.stride +
                        static_cast<std::size_t>(left) * 4,
                    pixels + static_cast<std::size_t>(y) * rowstride, static_cast<std::size_t>(width) * 4);
    }
    return canvas;
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

std::optional<Picture> drawThemed(const std::string& name, int size) {
    const auto file = findThemedIcon(name, size);
    return file ? drawFile(*file, size) : std::nullopt;
}

}  // namespace

std::optional<std::string> findThemedIcon(const std::string& name, int size) {
    if (name.empty() || name.find('/') != std::string::npos) return std::nullopt;
    const auto bases = iconBases();
    for (const auto& theme : themes(bases)) {
        const auto folders = themeFolders(bases, theme);
        if (!folders) continue;
        if (auto file = lookInTheme(bases, theme, *folders, name, size)) return file;
    }
    for (const auto& folder : {std::string("/usr/share/pixmaps")}) {
        for (const char* extension : extensions) {
            std::string file = folder + "/" + name + extension;
            if (isFile(file)) return file;
        }
    }
    return std::nullopt;
}

std::optional<Picture> drawEntryIcon(const std::string& path, int size) {
    if (size <= 0) return std::nullopt;
    std::unique_ptr<GDesktopAppInfo, GObjectUnref> info(g_desktop_app_info_new_from_filename(path.c_str()));
    GIcon* icon = info ? g_app_info_get_icon(G_APP_INFO(info.get())) : nullptr;
    if (icon != nullptr && G_IS_FILE_ICON(icon)) {
        if (char* file = g_file_get_path(g_file_icon_get_file(G_FILE_ICON(icon)))) {
            auto picture = drawFile(file, size);
            g_free(file);
            if (picture) return picture;
        }
    } else if (icon != nullptr && G_IS_THEMED_ICON(icon)) {
        for (const gchar* const* name = g_themed_icon_get_names(G_THEMED_ICON(icon)); name != nullptr && *name != nullptr;
             ++name) {
            if (auto picture = drawThemed(*name, size)) return picture;
        }
    }
    for (const char* name : genericIcons) {
        if (auto picture = drawThemed(name, size)) return picture;
    }
    return drawnGeneric(size);
}

}  // namespace brindlecast::platform::x11
