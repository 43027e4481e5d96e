#include "platform/x11/apps/desktop_entries.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <set>
#include <utility>
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
// GIO reads an entry whole: a larger file is no desktop entry (the largest
// real ones, with every translation, are a few tens of KiB).
constexpr off_t maxEntryBytes = 128 * 1024;
// What one walk of an applications folder may cost.
constexpr int deepestFolder = 32;
constexpr std::size_t maxCandidates = 1024;
constexpr std::size_t maxNamesRead = 16384;
// The most entries read for matching running applications, over all folders.
constexpr std::size_t maxShown = 1024;
// A desktop id with more dashes than this is looked for only as itself.
constexpr int dashLimit = 8;
// The most folders looked at for one desktop id's shadowing.
constexpr int maxShadowLookups = 512;

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

// Whether `root` holds anything named for `id` (as GIO counts them: an
// unreadable entry or a dangling link there masks the id too), each "-" of
// it read as "-" or "/", at most `budget` folders looked at.
bool holdsId(const std::string& root, std::string_view id, int dashes, int& budget) {
    if (--budget < 0) return false;
    struct stat named {};
    if (::lstat((root + "/" + std::string(id)).c_str(), &named) == 0) return true;
    if (dashes <= 0) return false;
    for (std::size_t dash = id.find('-'); dash != std::string_view::npos; dash = id.find('-', dash + 1)) {
        if (dash == 0) continue;
        const std::string folder = root + "/" + std::string(id.substr(0, dash));
        struct stat info {};
        if (::stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) continue;
        if (holdsId(folder, id.substr(dash + 1), dashes - 1, budget)) return true;
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
std::string programPath(const std::string& program) {
    if (program.empty()) return {};
    GText found(g_find_program_in_path(program.c_str()));
    if (!found) return {};
    return standardPath(found.get());
}

std::string_view fileName(std::string_view path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

struct KeyFileFree {
    void operator()(GKeyFile* file) const { g_key_file_free(file); }
};
using KeyFile = std::unique_ptr<GKeyFile, KeyFileFree>;

// The entry file's keys, read only when it is a regular file of at most
// maxEntryBytes (a FIFO or a device is no entry, and is never waited for).
KeyFile readEntryFile(const std::string& path) {
    const auto bytes = readSmallFile(path, static_cast<std::size_t>(maxEntryBytes));
    if (!bytes) return nullptr;
    KeyFile file(g_key_file_new());
    if (!g_key_file_load_from_data(file.get(), bytes->data(), bytes->size(), G_KEY_FILE_NONE, nullptr)) return nullptr;
    return file;
}

// A shown entry, as GIO and its keys read it.
struct LoadedEntry {
    AppInfo info;
    std::vector<std::string> exec;  // the Exec line split, empty when it has none
    std::string program;            // the Exec program's resolved path, empty when not found
};

bool hasCategory(GDesktopAppInfo* info, std::string_view wanted) {
    const char* categories = g_desktop_app_info_get_categories(info);
    if (categories == nullptr) return false;
    const std::string_view list(categories);
    std::size_t start = 0;
    while (start < list.size()) {
        std::size_t end = list.find(';', start);
        if (end == std::string_view::npos) end = list.size();
        if (list.substr(start, end - start) == wanted) return true;
        start = end + 1;
    }
    return false;
}

// The entry loaded by GIO, when it is a shown application of this desktop
// that no other entry shadows and that is offered at all.
std::optional<LoadedEntry> loadShown(const std::string& path, const ProgramNames& refused) {
    if (!isFile(path)) return std::nullopt;
    const ScanRoots folders = applicationFolders();
    if (const auto place = placeOf(folders, path)) {
        const std::string id = idFromRelative(place->second);
        const auto dashes = static_cast<int>(std::count(id.begin(), id.end(), '-'));
        int budget = maxShadowLookups;
        for (std::size_t i = 0; i < place->first; ++i) {
            if (holdsId(folders[i], id, std::min(dashes, dashLimit), budget)) return std::nullopt;
        }
    }
    const KeyFile keys = readEntryFile(path);
    if (!keys) return std::nullopt;
    // GIO refuses an entry of another Type, or whose TryExec or Exec program
    // is not installed.
    AppInfo info(g_desktop_app_info_new_from_keyfile(keys.get()));
    if (!info) return std::nullopt;
    // NoDisplay, OnlyShowIn and NotShowIn, against XDG_CURRENT_DESKTOP.
    if (g_desktop_app_info_get_is_hidden(info.get()) || !g_app_info_should_show(G_APP_INFO(info.get()))) {
        return std::nullopt;
    }
    // A terminal gives whoever holds the phone a shell.
    if (g_key_file_get_boolean(keys.get(), G_KEY_FILE_DESKTOP_GROUP, G_KEY_FILE_DESKTOP_KEY_TERMINAL, nullptr) ||
        hasCategory(info.get(), "TerminalEmulator")) {
        return std::nullopt;
    }
    LoadedEntry entry;
    const char* line = g_app_info_get_commandline(G_APP_INFO(info.get()));
    if (auto arguments = line != nullptr ? execArguments(line) : std::nullopt) entry.exec = std::move(*arguments);
    if (!entry.exec.empty()) {
        entry.program = programPath(entry.exec.front());
        // The program by its name and by the name of what it resolves to
        // (x-terminal-emulator is a link to a terminal); through env, the
        // program env starts.
        std::size_t first = 0;
        if (fileName(entry.exec.front()) == "env") {
            first = 1;
            while (first < entry.exec.size() &&
                   (entry.exec[first].starts_with('-') || entry.exec[first].find('=') != std::string::npos)) {
                // -u NAME and -C FOLDER take the next argument.
                if (entry.exec[first] == "-u" || entry.exec[first] == "-C") ++first;
                ++first;
            }
        }
        for (const std::string& name : {entry.exec.front(), entry.program,
                                        first < entry.exec.size() ? entry.exec[first] : std::string(),
                                        first < entry.exec.size() ? programPath(entry.exec[first]) : std::string()}) {
            if (!name.empty() && refused.contains(fileName(name))) return std::nullopt;
        }
    }
    entry.info = std::move(info);
    return entry;
}

// Adds the candidates of `folder` and the folders below it to `out`.
struct Walk {
    std::vector<FolderEntry> out;
    std::set<std::pair<dev_t, ino_t>> seen;
    std::size_t namesRead = 0;

    bool full() const { return out.size() >= maxCandidates || namesRead >= maxNamesRead; }

    void folder(const std::string& path, int depth) {
        DIR* dir = ::opendir(path.c_str());
        if (dir == nullptr) return;
        struct stat self {};
        if (::fstat(::dirfd(dir), &self) != 0 || !seen.insert({self.st_dev, self.st_ino}).second) {
            ::closedir(dir);
            return;
        }
        std::vector<std::string> names;
        while (const dirent* item = ::readdir(dir)) {
            if (++namesRead > maxNamesRead) break;
            if (item->d_name[0] == '.') continue;  // hidden, and "." and ".."
            names.emplace_back(item->d_name);
        }
        ::closedir(dir);
        std::sort(names.begin(), names.end());
        const std::string prefix = path.back() == '/' ? path : path + "/";
        for (const auto& name : names) {
            if (full()) return;
            FolderEntry entry;
            entry.name = name;
            entry.path = prefix + name;
            struct stat info {};
            if (::lstat(entry.path.c_str(), &info) != 0) continue;
            entry.propertiesRead = true;
            entry.isSymbolicLink = S_ISLNK(info.st_mode);
            entry.isDirectory = S_ISDIR(info.st_mode);
            if (S_ISLNK(info.st_mode) && ::stat(entry.path.c_str(), &info) != 0) continue;
            if (S_ISDIR(info.st_mode)) {
                // A folder named *.desktop is an entry that cannot be read, as GIO sees it.
                if (depth < deepestFolder && !name.ends_with(entrySuffix)) this->folder(entry.path, depth + 1);
            } else if (isDesktopEntryCandidate(entry)) {
                out.push_back(std::move(entry));
            }
        }
    }
};

void collectShown(const std::string& folder, std::vector<EntrySummary>& out) {
    const auto entries = listEntryFolder(folder);
    if (!entries) return;
    for (const auto& entry : *entries) {
        if (out.size() >= maxShown) return;
        const auto loaded = loadShown(entry.path, {});
        if (!loaded) continue;
        EntrySummary summary;
        summary.path = entry.path;
        if (const char* wmClass = g_desktop_app_info_get_startup_wm_class(loaded->info.get())) {
            summary.startupWmClass = wmClass;
        }
        summary.executable = loaded->program;
        for (std::size_t i = 1; i < loaded->exec.size(); ++i) {
            if (!loaded->exec[i].starts_with('%')) summary.arguments.push_back(loaded->exec[i]);
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
    if (!entry.propertiesRead || entry.isDirectory.value_or(false)) return false;
    if (entry.name.size() <= entrySuffix.size() || !entry.name.ends_with(entrySuffix)) return false;
    return !entry.isSymbolicLink.value_or(false) || isFile(entry.path);
}

std::optional<std::vector<FolderEntry>> listEntryFolder(const std::string& path) {
    if (path.empty()) return std::nullopt;
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) return std::nullopt;
    Walk walk;
    walk.folder(path, 0);
    return std::move(walk.out);
}

std::string desktopId(const std::string& path) {
    if (const auto place = placeOf(applicationFolders(), path)) return idFromRelative(place->second);
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::optional<Bundle> openEntry(const std::string& path, const ProgramNames& refused) {
    const auto loaded = loadShown(path, refused);
    if (!loaded) return std::nullopt;
    GDesktopAppInfo* info = loaded->info.get();
    Bundle bundle;
    std::string id = desktopId(path);
    if (id.ends_with(entrySuffix)) id.resize(id.size() - entrySuffix.size());
    bundle.bundleId = std::move(id);
    if (const char* name = g_app_info_get_name(G_APP_INFO(info))) bundle.displayName = std::string(name);
    bundle.hasExecutable = !loaded->program.empty();
    return bundle;
}

std::string standardPath(const std::string& path) {
    std::error_code error;
    const auto resolved = std::filesystem::canonical(path, error);
    return error ? tidy(path) : resolved.string();
}

std::string entryLocation(const std::string& path) {
    const ScanRoots folders = applicationFolders();
    if (const auto place = placeOf(folders, path)) return standardPath(folders[place->first]) + "/" + place->second;
    const std::string tidied = tidy(path);
    const std::size_t slash = tidied.rfind('/');
    if (slash == std::string::npos || slash == 0) return tidied;
    return standardPath(tidied.substr(0, slash)) + tidied.substr(slash);
}

std::optional<std::vector<std::string>> execArguments(std::string_view line) {
    // The Exec quoting is the shell's double quoting; a line of nothing but
    // blanks has no program.
    const std::string text(line);
    gchar** argv = nullptr;
    if (!g_shell_parse_argv(text.c_str(), nullptr, &argv, nullptr)) return std::nullopt;
    std::vector<std::string> arguments;
    for (gchar** argument = argv; *argument != nullptr; ++argument) arguments.emplace_back(*argument);
    g_strfreev(argv);
    return arguments;
}

std::vector<EntrySummary> shownEntries() {
    std::vector<EntrySummary> entries;
    for (const auto& folder : applicationFolders()) collectShown(folder, entries);
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
