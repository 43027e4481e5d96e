// Applications on the virtual Mac: real folders and bundles on disk, and the
// running applications of the state.
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <system_error>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <plist/plist.h>

#include "host/json_out.h"
#include "host/text.h"
#include "platform/apple.h"
#include "platform/posix.h"
#include "platform/virtual/icon.h"
#include "platform/virtual/property_list.h"
#include "platform/virtual/virtual_mac.h"

namespace brindlecast::platform {

namespace {

// Information property lists larger than this are not read.
constexpr std::size_t maxInfoBytes = 1 << 20;
constexpr std::size_t maxIconFileBytes = 8 << 20;

// The string values of an information property list that the bundle uses.
struct InfoValues {
    std::optional<std::string> bundleId;
    std::optional<std::string> displayName;
    std::optional<std::string> iconFile;
    std::optional<std::string> executable;
};

std::optional<std::string> stringItem(plist_t dictionary, const char* key) {
    plist_t item = plist_dict_get_item(dictionary, key);
    if (item == nullptr || plist_get_node_type(item) != PLIST_STRING) return std::nullopt;
    uint64_t length = 0;
    const char* text = plist_get_string_ptr(item, &length);
    if (text == nullptr) return std::nullopt;
    return std::string(text, static_cast<std::size_t>(length));
}

// libplist 2.3 gave plist_from_memory a fourth parameter (where to put the
// format it found); the header this is compiled against decides which call
// is made, so the host's 2.2 and the Mac build's 2.6 both work.
template <typename Root>
void readPropertyList(const char* data, uint32_t length, Root* root) {
    if constexpr (requires { plist_from_memory(data, length, root, nullptr); }) {
        plist_from_memory(data, length, root, nullptr);
    } else {
        plist_from_memory(data, length, root);
    }
}

InfoValues parseInfo(const std::string& bytes) {
    InfoValues values;
    plist_t root = nullptr;
    readPropertyList(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
    if (root == nullptr) return values;
    if (plist_get_node_type(root) == PLIST_DICT) {
        values.bundleId = stringItem(root, "CFBundleIdentifier");
        values.displayName = stringItem(root, "CFBundleDisplayName");
        values.iconFile = stringItem(root, "CFBundleIconFile");
        values.executable = stringItem(root, "CFBundleExecutable");
    }
    plist_free(root);
    return values;
}

// The values of the bundle's Contents/Info.plist, XML or binary; empty when
// it is missing, unreadable, too large, nested too deep or not a dictionary.
InfoValues readInfo(const std::string& bundlePath) {
    const auto bytes = readSmallFile(bundlePath + "/Contents/Info.plist", maxInfoBytes);
    if (!bytes || bytes->empty() || !shallowPropertyList(*bytes)) return {};
    return parseInfo(*bytes);
}

// A name that stays inside the folder it is looked up in.
bool plainFileName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

bool isDirectory(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool isRegularFile(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

// Symbolic links resolved as far as the path exists, then ".", ".." and
// repeated or trailing separators removed. A path that does not exist, or
// whose links cannot be resolved, is still standardised.
std::string normalisedPath(const std::string& path) {
    if (path.empty()) return path;
    if (char* real = ::realpath(path.c_str(), nullptr)) {
        std::string resolved(real);
        std::free(real);
        return resolved;
    }
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::path result = fs::weakly_canonical(fs::path(path), ec);
    if (ec) {
        result = fs::absolute(fs::path(path), ec);
        if (ec) result = fs::path(path);
        result = result.lexically_normal();
    }
    std::string text = result.string();
    while (text.size() > 1 && text.back() == '/') text.pop_back();
    return text;
}

std::string homeFolder() {
    const char* home = std::getenv("HOME");
    return home != nullptr ? std::string(home) : std::string();
}

// What the state says about one running application, kept with the
// application the platform handed out.
struct RunningState {
    bool activates = true;
    bool terminates = true;
    bool forceTerminates = true;
};

bool memberFlag(const boost::json::object& object, std::string_view name) {
    const auto* value = object.if_contains(name);
    return value == nullptr || !value->is_bool() || value->get_bool();
}

const RunningState& runningState(const RunningApp& app) {
    static const RunningState accepting;
    const auto* state = static_cast<const RunningState*>(app.native.get());
    return state != nullptr ? *state : accepting;
}

}  // namespace

ScanRoots VirtualMac::applicationRoots() {
    refresh();
    const std::string home = homeFolder();
    ScanRoots roots{"/Applications", "/System/Applications", home.empty() ? std::string() : home + "/Applications"};
    const auto* folders = key("applicationFolders");
    if (folders == nullptr || !folders->is_object()) return roots;
    const std::array<std::string_view, 3> names{"applications", "system", "home"};
    for (std::size_t i = 0; i < names.size(); ++i) {
        const auto* value = folders->get_object().if_contains(names[i]);
        if (value == nullptr) continue;  // that root keeps its usual folder
        // Anything but a path names no folder, so that root is passed over.
        roots[i] = value->is_string() ? std::string(value->get_string()) : std::string();
    }
    return roots;
}

bool VirtualMac::isApplicationCandidate(const FolderEntry& entry) { return apple::isBundleCandidate(entry); }

std::optional<std::vector<FolderEntry>> VirtualMac::listFolder(const std::string& path) {
    refresh();
    return readFolder(path);
}

std::optional<Bundle> VirtualMac::openBundle(const std::string& path) {
    refresh();
    if (path.empty() || !isDirectory(path)) return std::nullopt;
    InfoValues info = readInfo(path);
    Bundle bundle;
    bundle.bundleId = std::move(info.bundleId);
    bundle.displayName = std::move(info.displayName);
    bundle.hasExecutable =
        info.executable && plainFileName(*info.executable) && isRegularFile(path + "/Contents/MacOS/" + *info.executable);
    return bundle;
}

std::string VirtualMac::standardLocation(const std::string& path) {
    refresh();
    return normalisedPath(path);
}

bool VirtualMac::fileExists(const std::string& path) {
    refresh();
    struct stat info {};
    return !path.empty() && ::stat(path.c_str(), &info) == 0;
}

std::vector<RunningApp> VirtualMac::runningApplications() {
    refresh();
    std::vector<RunningApp> apps;
    const auto* list = key("runningApps");
    if (list == nullptr || !list->is_array()) return apps;
    for (const auto& element : list->get_array()) {
        const auto* object = element.if_object();
        if (object == nullptr) continue;
        const auto* pid = object->if_contains("pid");
        if (pid == nullptr || !(pid->is_int64() || pid->is_uint64())) continue;
        RunningApp app;
        app.pid = static_cast<int32_t>(pid->to_number<int64_t>());
        if (const auto* path = object->if_contains("bundlePath"); path != nullptr && path->is_string()) {
            app.bundlePath = std::string(path->get_string());
        }
        app.native = std::make_shared<const RunningState>(RunningState{
            memberFlag(*object, "activates"), memberFlag(*object, "terminates"),
            memberFlag(*object, "forceTerminates")});
        apps.push_back(std::move(app));
    }
    return apps;
}

bool VirtualMac::activate(const RunningApp& app, ActivationOptions options) {
    refresh();
    const bool accepted = runningState(app).activates;
    log(JsonLine()
            .add("app", "activate")
            .add("pid", app.pid)
            .add("options", static_cast<uint64_t>(options))
            .add("accepted", accepted));
    return accepted;
}

bool VirtualMac::terminate(const RunningApp& app) {
    refresh();
    const bool accepted = runningState(app).terminates;
    log(JsonLine().add("app", "terminate").add("pid", app.pid).add("accepted", accepted));
    return accepted;
}

bool VirtualMac::forceTerminate(const RunningApp& app) {
    refresh();
    const bool accepted = runningState(app).forceTerminates;
    log(JsonLine().add("app", "forceTerminate").add("pid", app.pid).add("accepted", accepted));
    return accepted;
}

void VirtualMac::openApplication(const std::string& bundlePath) {
    refresh();
    // The log is JSON: a path whose bytes are not UTF-8 is written repaired.
    std::string path;
    repairUtf8(bundlePath, path);
    log(JsonLine().add("app", "open").add("path", std::string_view(path)));
    // The call-back comes at once: with the error the state asks for, or with
    // a running application.
    if (flag("openError", false)) throw PlatformError{};
}

std::optional<Picture> VirtualMac::drawIcon(const std::string& bundlePath, int size) {
    refresh();
    if (size <= 0) return std::nullopt;
    if (!bundlePath.empty() && isDirectory(bundlePath)) {
        const InfoValues info = readInfo(bundlePath);
        if (info.iconFile && plainFileName(*info.iconFile)) {
            std::string name = *info.iconFile;
            if (name.find('.') == std::string::npos) name += ".png";
            if (const auto bytes = readSmallFile(bundlePath + "/Contents/Resources/" + name, maxIconFileBytes)) {
                if (auto picture = scaledPngIcon(*bytes, size)) return picture;
            }
        }
    }
    return genericIcon(size);
}

}  // namespace brindlecast::platform
