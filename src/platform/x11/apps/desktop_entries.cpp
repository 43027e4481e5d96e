#include "platform/x11/apps/desktop_entries.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string_view>
#include <system_error>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gio/gdesktopappinfo.h>
#include <gio/gio.h>

#include "platform/posix.h"

namespace brindlecast::platform::x11 {

namespace {

struct GObjectUnref {
    void operator()(gpointer object) const { g_object_unref(object); }
};
using AppInfo = std::unique_ptr<GDesktopAppInfo, GObjectUnref>;

struct GFreeing {
    void operator()(gpointer memory) const { g_free(memory); }
};
using GText = std::unique_ptr<gchar, GFreeing>;

constexpr std::string_view entrySuffix = ".desktop";
// Deeper entries are not catalogued either; the same bound keeps the
// shadowing test small.
constexpr int deepestFolder = 2;
// A desktop id with more dashes than this is looked for only as itself.
constexpr int dashLimit = 8;

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? std::string(value) : std::string();
}

std::string tidy(const std::string& path) {
    std::string out = std::filesystem::path(path).lexically_normal().string();
    while (out.size() > 1 && out.back() == '/') out.pop_back();
    return out;
}

bool isFile(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

// Whether `root` holds a file for `id`, each "-" of it read as "-" or "/".
bool holdsId(const std::string& root, std::string_view id, int dashes) {
    if (isFile(root + "/" + std::string(id))) return true;
    if (dashes <= 0) return false;
    for (std::size_t dash = id.find('-'); dash != std::string_view::npos; dash = id.find('-', dash + 1)) {
        if (dash == 0) continue;
        const std::string folder = root + "/" + std::string(id.substr(0, dash));
        struct stat info {};
        if (::stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) continue;
        if (holdsId(folder, id.substr(dash + 1), dashes - 1)) return true;
    }
    return false;
}

// The folder that holds `path`, as its index in `folders`, and the path below it.
std::optional<std::pair<std::size_t, std::string>> placeOf(const ScanRoots& folders, const std::string& path) {
    const std::string tidied = tidy(path);
    for (std::size_t i = 0; i < folders.size(); ++i) {
        for (const std::string& folder : {folders[i], standardPath(folders[i])}) {
            if (tidied.size() > folder.size() + 1 && tidied.starts_with(folder) && tidied[folder.size()] == '/') {
                return std::pair{i, tidied.substr(folder.size() + 1)};
            }
        }
    }
    return std::nullopt;
}

std::string idFromRelative(std::string relative) {
    std::replace(relative.begin(), relative.end(), '/', '-');
    return relative;
}

// The resolved path of the program an entry runs, empty when not installed.
std::string programPath(const char* program) {
    if (program == nullptr || *program == '\0') return {};
    GText found(g_find_program_in_path(program));
    if (!found) return {};
    return standardPath(found.get());
}

// The entry loaded by GIO, when it is a shown application that no other
// entry shadows.
AppInfo loadShown(const std::string& path) {
    if (!isFile(path)) return nullptr;
    const ScanRoots folders = applicationFolders();
    if (const auto place = placeOf(folders, path)) {
        const std::string id = idFromRelative(place->second);
        const auto dashes = static_cast<int>(std::count(id.begin(), id.end(), '-'));
        for (std::size_t i = 0; i < place->first; ++i) {
            if (holdsId(folders[i], id, std::min(dashes, dashLimit))) return nullptr;
        }
    }
    // GIO refuses an entry of another Type, or whose TryExec is not installed.
    AppInfo info(g_desktop_app_info_new_from_filename(path.c_str()));
    if (!info) return nullptr;
    if (g_desktop_app_info_get_is_hidden(info.get()) || g_desktop_app_info_get_nodisplay(info.get())) return nullptr;
    return info;
}

void collectShown(const std::string& folder, int depth, std::vector<EntrySummary>& out) {
    if (depth > deepestFolder) return;
    const auto entries = readFolder(folder);
    if (!entries) return;
    for (const auto& entry : *entries) {
        if (entry.propertiesRead && !entry.isSymbolicLink.value_or(false) && entry.isDirectory.value_or(false)) {
            collectShown(entry.path, depth + 1, out);
            continue;
        }
        if (!isDesktopEntryCandidate(entry)) continue;
        const AppInfo info = loadShown(entry.path);
        if (!info) continue;
        EntrySummary summary;
        summary.path = entry.path;
        if (const char* wmClass = g_desktop_app_info_get_startup_wm_class(info.get())) summary.startupWmClass = wmClass;
        summary.executable = programPath(g_app_info_get_executable(G_APP_INFO(info.get())));
        gchar** argv = nullptr;
        const char* line = g_app_info_get_commandline(G_APP_INFO(info.get()));
        if (line != nullptr && g_shell_parse_argv(line, nullptr, &argv, nullptr)) {
            for (gchar** argument = argv; *argument != nullptr; ++argument) {
                if (argument == argv || (*argument)[0] == '%') continue;
                summary.arguments.emplace_back(*argument);
            }
            g_strfreev(argv);
        }
        out.push_back(std::move(summary));
    }
}

}  // namespace

std::string userDataFolder() {
    const std::string dataHome = environment("XDG_DATA_HOME");
    if (!dataHome.empty() && dataHome.front() == '/') return dataHome;
    const std::string home = environment("HOME");
    return home.empty() ? std::string() : home + "/.local/share";
}

std::vector<std::string> systemDataFolders() {
    std::string dirs = environment("XDG_DATA_DIRS");
    if (dirs.empty()) dirs = "/usr/local/share/:/usr/share/";
    std::vector<std::string> folders;
    std::size_t start = 0;
    while (start <= dirs.size()) {
        std::size_t end = dirs.find(':', start);
        if (end == std::string::npos) end = dirs.size();
        std::string dir = dirs.substr(start, end - start);
        if (!dir.empty() && dir.front() == '/') folders.push_back(std::move(dir));
        start = end + 1;
    }
    return folders;
}

ScanRoots applicationFolders() {
    std::vector<std::string> bases;
    if (std::string home = userDataFolder(); !home.empty()) bases.push_back(std::move(home));
    for (auto& dir : systemDataFolders()) bases.push_back(std::move(dir));
    ScanRoots folders;
    for (const auto& base : bases) {
        std::string folder = tidy(base + "/applications");
        if (std::find(folders.begin(), folders.end(), folder) == folders.end()) folders.push_back(std::move(folder));
    }
    return folders;
}

bool isDesktopEntryCandidate(const FolderEntry& entry) {
    return entry.propertiesRead && !entry.isSymbolicLink.value_or(false) && !entry.isDirectory.value_or(false) &&
           entry.name.size() > entrySuffix.size() && entry.name.ends_with(entrySuffix);
}

std::string desktopId(const std::string& path) {
    if (const auto place = placeOf(applicationFolders(), path)) return idFromRelative(place->second);
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::optional<Bundle> openEntry(const std::string& path) {
    const AppInfo info = loadShown(path);
    if (!info) return std::nullopt;
    Bundle bundle;
    std::string id = desktopId(path);
    if (id.ends_with(entrySuffix)) id.resize(id.size() - entrySuffix.size());
    bundle.bundleId = std::move(id);
    if (const char* name = g_app_info_get_name(G_APP_INFO(info.get()))) bundle.displayName = std::string(name);
    bundle.hasExecutable = !programPath(g_app_info_get_executable(G_APP_INFO(info.get()))).empty();
    return bundle;
}

std::string standardPath(const std::string& path) {
    std::error_code error;
    const auto resolved = std::filesystem::canonical(path, error);
    return error ? tidy(path) : resolved.string();
}

std::vector<EntrySummary> shownEntries() {
    std::vector<EntrySummary> entries;
    for (const auto& folder : applicationFolders()) collectShown(folder, 0, entries);
    return entries;
}

namespace {

// In the launched program, before it starts: a session of its own, so that
// the agent's terminal, process group and end are not the program's.
void newSession(gpointer) { ::setsid(); }

}  // namespace

void launchEntry(const std::string& path) {
    AppInfo info(g_desktop_app_info_new_from_filename(path.c_str()));
    if (!info) throw PlatformError{};  // the entry cannot be read
    // The program reads nothing from the agent and writes nothing into its
    // responses: /dev/null for its three streams. GLib closes every other
    // descriptor, and without G_SPAWN_DO_NOT_REAP_CHILD it starts the program
    // through an intermediate child, so the agent has no child to reap.
    const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null < 0) throw PlatformError{};
    GError* error = nullptr;
    const gboolean launched = g_desktop_app_info_launch_uris_as_manager_with_fds(
        info.get(), nullptr, nullptr, G_SPAWN_SEARCH_PATH, newSession, nullptr, nullptr, nullptr, null, null, null,
        &error);
    ::close(null);
    if (!launched) {
        if (error != nullptr) g_error_free(error);
        throw PlatformError{};
    }
}

}  // namespace brindlecast::platform::x11
