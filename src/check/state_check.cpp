#include "check/state_check.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <functional>
#include <optional>
#include <string_view>

#include <dirent.h>
#include <sys/stat.h>

#include <boost/json/serialize.hpp>

#include "apps/catalog.h"
#include "platform/virtual/pictures.h"
#include "platform/virtual/state_file.h"
#include "platform/virtual/virtual_mac.h"

namespace brindlecast::check {

namespace {

using boost::json::object;
using boost::json::value;

std::string lower(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

std::string quoted(std::string_view text) {
    return boost::json::serialize(value(text));
}

// What a JSON value is, in the words of a problem line.
std::string kindOf(const value& v) {
    switch (v.kind()) {
        case boost::json::kind::null: return "null";
        case boost::json::kind::bool_: return v.get_bool() ? "true" : "false";
        case boost::json::kind::string: return "the text " + quoted(v.get_string());
        case boost::json::kind::array:
        case boost::json::kind::object: {
            const std::string text = boost::json::serialize(v);
            if (text.size() <= 40) return text;
            return v.is_array() ? "an array" : "an object";
        }
        default: return "the number " + boost::json::serialize(v);
    }
}

// The number of single-letter insertions, deletions, substitutions and swaps
// of two neighbours between two words, ignoring case.
std::size_t editDistance(std::string_view a, std::string_view b) {
    const std::string x = lower(a);
    const std::string y = lower(b);
    const std::size_t width = y.size() + 1;
    // Three rows: two back, the previous one and the current one.
    std::vector<std::size_t> rows(3 * width);
    auto at = [&](std::size_t i, std::size_t j) -> std::size_t& { return rows[(i % 3) * width + j]; };
    for (std::size_t i = 0; i <= x.size(); ++i) {
        for (std::size_t j = 0; j <= y.size(); ++j) {
            if (i == 0 || j == 0) {
                at(i, j) = i + j;
                continue;
            }
            std::size_t best = std::min({at(i - 1, j) + 1, at(i, j - 1) + 1,
                                         at(i - 1, j - 1) + (x[i - 1] == y[j - 1] ? 0 : 1)});
            if (i > 1 && j > 1 && x[i - 1] == y[j - 2] && x[i - 2] == y[j - 1]) {
                best = std::min(best, at(i - 2, j - 2) + 1);
            }
            at(i, j) = best;
        }
    }
    return at(x.size(), y.size());
}

// A number as a JSON writer would put it by hand: 10.7, not 1.07E1.
std::string shortNumber(const value& v) {
    char buffer[32];
    const auto written = std::to_chars(buffer, buffer + sizeof buffer, v.to_number<double>());
    return std::string(buffer, written.ptr);
}

// The known word a misspelt one most likely meant: the same but for case, or
// at most two letters off (one for short words).
std::optional<std::string_view> nearest(std::string_view word, const std::vector<std::string_view>& known) {
    std::optional<std::string_view> best;
    std::size_t bestDistance = 0;
    for (const auto name : known) {
        const std::size_t distance = editDistance(word, name);
        const std::size_t allowed = name.size() <= 6 ? 1 : 2;
        if (distance <= allowed && (!best || distance < bestDistance)) {
            best = name;
            bestDistance = distance;
        }
    }
    return best;
}

// The session dictionary's keys the virtual Mac reads, as the system spells them.
constexpr std::string_view onConsoleKey = "kCGSSessionOnConsoleKey";
constexpr std::string_view loginDoneKey = "kCGSessionLoginDoneKey";
constexpr std::string_view screenLockedKey = "CGSSessionScreenIsLocked";

bool isWhole(const value& v) {
    if (v.is_int64() || v.is_uint64()) return true;
    return v.is_double() && std::isfinite(v.get_double()) && std::trunc(v.get_double()) == v.get_double();
}

bool isFolder(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool isRegularFile(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

class Checker {
public:
    std::vector<std::string> problems;

    void state(const object& s, const std::string& at) {
        unknownKeys(s, at,
                    {"session", "secureInput", "frontmost", "accessibility", "screenRecording", "automationStatus",
                     "displays", "mainDisplay", "displayQuery", "windows", "runningApps", "agentPid", "focus",
                     "eventsFail", "appleEventReply", "shareableContentError", "screenshotError", "openError",
                     "applicationFolders", "now", "eventLog", "logRequestIds", "then"});
        for (const auto* name : {"secureInput", "accessibility", "screenRecording", "shareableContentError",
                                 "screenshotError", "openError", "logRequestIds"}) {
            if (const auto* v = s.if_contains(name)) boolean(*v, path(at, name));
        }
        if (const auto* v = s.if_contains("session")) session(*v, path(at, "session"));
        if (const auto* v = s.if_contains("frontmost")) frontmost(*v, path(at, "frontmost"));
        if (const auto* v = s.if_contains("automationStatus")) integer(*v, path(at, "automationStatus"));
        if (const auto* v = s.if_contains("agentPid")) integer(*v, path(at, "agentPid"));
        if (const auto* v = s.if_contains("mainDisplay")) displayNumber(*v, path(at, "mainDisplay"));
        if (const auto* v = s.if_contains("displayQuery")) {
            oneOf(*v, path(at, "displayQuery"), {"ok", "countFails", "fillFails", "vanish"});
        }
        if (const auto* v = s.if_contains("displays")) {
            arrayOf(*v, path(at, "displays"), [this](const value& d, const std::string& where) { display(d, where); });
        }
        if (const auto* v = s.if_contains("windows")) {
            arrayOf(*v, path(at, "windows"), [this](const value& w, const std::string& where) { window(w, where); });
        }
        if (const auto* v = s.if_contains("runningApps")) {
            arrayOf(*v, path(at, "runningApps"),
                    [this](const value& a, const std::string& where) { runningApp(a, where); });
        }
        if (const auto* v = s.if_contains("focus")) focus(*v, path(at, "focus"));
        if (const auto* v = s.if_contains("eventsFail")) {
            arrayOf(*v, path(at, "eventsFail"), [this](const value& e, const std::string& where) {
                oneOf(e, where, {"mouse", "scroll", "keyDown", "keyUp", "mediaDown", "mediaUp"});
            });
        }
        if (const auto* v = s.if_contains("appleEventReply")) appleEventReply(*v, path(at, "appleEventReply"));
        if (const auto* v = s.if_contains("applicationFolders")) folders(*v, path(at, "applicationFolders"));
        if (const auto* v = s.if_contains("now"); v != nullptr && !v->is_number()) {
            wrong(path(at, "now"), "a number (seconds since 1970)", *v);
        }
        if (const auto* v = s.if_contains("eventLog")) eventLog(*v, path(at, "eventLog"));
        if (const auto* v = s.if_contains("then")) then(*v, path(at, "then"));
    }

private:
    static std::string path(const std::string& at, std::string_view key) {
        return at.empty() ? std::string(key) : at + "." + std::string(key);
    }

    void add(const std::string& where, const std::string& what) { problems.push_back(where + ": " + what); }

    void wrong(const std::string& where, const std::string& wanted, const value& got) {
        add(where, "must be " + wanted + ", not " + kindOf(got));
    }

    void unknownKeys(const object& o, const std::string& at, std::vector<std::string_view> known) {
        for (const auto& member : o) {
            const std::string_view key = member.key();
            if (std::find(known.begin(), known.end(), key) != known.end()) continue;
            std::string line = "unknown key, ignored";
            if (const auto meant = nearest(key, known)) line += " (did you mean " + quoted(*meant) + "?)";
            add(path(at, key.empty() ? std::string_view("\"\"") : key), line);
        }
    }

    void boolean(const value& v, const std::string& where) {
        if (!v.is_bool()) wrong(where, "true or false", v);
    }

    void integer(const value& v, const std::string& where) {
        if (!v.is_number() || !isWhole(v)) wrong(where, "a whole number", v);
    }

    void displayNumber(const value& v, const std::string& where) {
        if (!v.is_number() || !isWhole(v) || v.to_number<double>() < 0 || v.to_number<double>() > 4294967295.0) {
            wrong(where, "a display number (a whole number from 0 to 4294967295)", v);
        }
    }

    void text(const value& v, const std::string& where) {
        if (!v.is_string()) wrong(where, "a text", v);
    }

    void textOrNull(const value& v, const std::string& where) {
        if (!v.is_string() && !v.is_null()) wrong(where, "a text or null", v);
    }

    void oneOf(const value& v, const std::string& where, std::initializer_list<std::string_view> words) {
        if (v.is_string() && std::find(words.begin(), words.end(), v.get_string()) != words.end()) return;
        std::string list;
        for (const auto word : words) list += (list.empty() ? "" : ", ") + quoted(word);
        wrong(where, "one of " + list, v);
    }

    template <typename Each>
    void arrayOf(const value& v, const std::string& where, Each each) {
        const auto* array = v.if_array();
        if (array == nullptr) return wrong(where, "an array", v);
        for (std::size_t i = 0; i < array->size(); ++i) each((*array)[i], where + "[" + std::to_string(i) + "]");
    }

    // `empty` says what a width or height that is not positive makes of it.
    void rectangle(const value& v, const std::string& where, std::string_view empty) {
        const auto* array = v.if_array();
        const bool ok = array != nullptr && array->size() == 4 &&
                        std::all_of(array->begin(), array->end(), [](const value& n) { return n.is_number(); });
        if (!ok) return wrong(where, "[x, y, width, height], four numbers", v);
        if ((*array)[2].to_number<double>() <= 0 || (*array)[3].to_number<double>() <= 0) {
            add(where, "the width and height must be positive, not " + shortNumber((*array)[2]) + " and " +
                           shortNumber((*array)[3]) + "; " + std::string(empty));
        }
    }

    void picture(const value& v, const std::string& where) {
        if (!v.is_string()) return wrong(where, "the path of a PNG or JPEG file", v);
        const std::string file(v.get_string());
        if (!isRegularFile(file)) return add(where, quoted(file) + ": no such file; every screenshot of it fails");
        if (!platform::decodePictureFile(file)) {
            add(where, quoted(file) + ": not a readable PNG or JPEG of at most 8192 pixels a side; every screenshot of it fails");
        }
    }

    const object* objectWith(const value& v, const std::string& where, std::vector<std::string_view> keys) {
        const auto* o = v.if_object();
        if (o == nullptr) {
            wrong(where, "an object", v);
            return nullptr;
        }
        unknownKeys(*o, where, std::move(keys));
        return o;
    }

    // The dictionary may hold any keys; only a near miss of a key that is
    // read, or a read key that is no boolean, is surely a mistake.
    void session(const value& v, const std::string& where) {
        if (v.is_null()) return;
        const auto* o = v.if_object();
        if (o == nullptr) return wrong(where, "an object or null (anything else makes a locked Mac)", v);
        const std::vector<std::string_view> read{onConsoleKey, loginDoneKey, screenLockedKey};
        for (const auto& member : *o) {
            const std::string_view key = member.key();
            if (std::find(read.begin(), read.end(), key) != read.end()) {
                if (!member.value().is_bool()) {
                    wrong(path(where, key), "true or false (anything else counts as absent)", member.value());
                }
                continue;
            }
            if (const auto meant = nearest(key, read)) {
                add(path(where, key), "not a key the Mac reads (did you mean " + quoted(*meant) + "?)" +
                                          (*meant == screenLockedKey ? "" : "; without it the Mac counts as locked"));
            }
        }
    }

    void frontmost(const value& v, const std::string& where) {
        if (v.is_null()) return;
        const auto* o = v.if_object();
        if (o == nullptr) return wrong(where, "null or an object {\"bundleId\": text or null}", v);
        unknownKeys(*o, where, {"bundleId"});
        if (const auto* id = o->if_contains("bundleId")) textOrNull(*id, path(where, "bundleId"));
    }

    void display(const value& v, const std::string& where) {
        const auto* o = objectWith(v, where, {"number", "uuid", "bounds", "shareable", "image"});
        if (o == nullptr) return;
        if (const auto* n = o->if_contains("number")) {
            displayNumber(*n, path(where, "number"));
        } else {
            add(where, "has no \"number\"; it counts as display 0");
        }
        if (const auto* uuid = o->if_contains("uuid")) textOrNull(*uuid, path(where, "uuid"));
        if (const auto* b = o->if_contains("bounds")) {
            rectangle(*b, path(where, "bounds"), "the display has no area");
        } else {
            add(where, "has no \"bounds\"; the display is 0 x 0 points");
        }
        if (const auto* s = o->if_contains("shareable")) boolean(*s, path(where, "shareable"));
        if (const auto* image = o->if_contains("image")) picture(*image, path(where, "image"));
    }

    void window(const value& v, const std::string& where) {
        const auto* o = objectWith(v, where, {"pid", "layer", "frame", "image"});
        if (o == nullptr) return;
        if (const auto* pid = o->if_contains("pid"); pid != nullptr && !pid->is_null()) integer(*pid, path(where, "pid"));
        if (const auto* layer = o->if_contains("layer")) integer(*layer, path(where, "layer"));
        if (const auto* frame = o->if_contains("frame")) {
            rectangle(*frame, path(where, "frame"), "the window is never previewed");
        }
        if (const auto* image = o->if_contains("image")) picture(*image, path(where, "image"));
    }

    void runningApp(const value& v, const std::string& where) {
        const auto* o = objectWith(v, where, {"pid", "bundlePath", "activates", "terminates", "forceTerminates"});
        if (o == nullptr) return;
        const auto* pid = o->if_contains("pid");
        // Only a number written without a fraction or exponent counts.
        if (pid == nullptr) {
            add(where, "has no \"pid\"; the entry is ignored");
        } else if (!(pid->is_int64() || pid->is_uint64())) {
            add(path(where, "pid"), "must be a plain integer (3, not 3.0 or 3e0), not " + kindOf(*pid) +
                                       "; the entry is ignored");
        }
        if (const auto* bundle = o->if_contains("bundlePath")) textOrNull(*bundle, path(where, "bundlePath"));
        for (const auto* name : {"activates", "terminates", "forceTerminates"}) {
            if (const auto* b = o->if_contains(name)) boolean(*b, path(where, name));
        }
    }

    void focus(const value& v, const std::string& where) {
        if (v.is_null()) return;
        if (v.is_string()) return oneOf(v, where, {"error", "notElement"});
        const auto* o = v.if_object();
        if (o == nullptr) return wrong(where, "null, \"error\", \"notElement\" or an object", v);
        unknownKeys(*o, where, {"role", "subrole", "roleError"});
        if (const auto* e = o->if_contains("roleError")) boolean(*e, path(where, "roleError"));
        // Any role may be meant (a button refuses text); a near miss of the
        // roles that matter is surely a typo.
        attribute(o->if_contains("role"), path(where, "role"), {"AXTextField", "AXTextArea", "AXComboBox"},
                  "is no text field's role, so text is refused");
        attribute(o->if_contains("subrole"), path(where, "subrole"), {"AXSecureTextField"},
                  "is not the password field's subrole, so the field is not private");
    }

    void attribute(const value* v, const std::string& where, const std::vector<std::string_view>& known,
                   std::string_view otherwise) {
        if (v == nullptr || v->is_null()) return;
        if (!v->is_string()) return wrong(where, "a text or null (anything else reads as none)", *v);
        const std::string_view word = v->get_string();
        if (const auto meant = nearest(word, known); meant && *meant != word) {
            add(where, quoted(word) + " " + std::string(otherwise) + " (did you mean " + quoted(*meant) + "?)");
        }
    }

    void appleEventReply(const value& v, const std::string& where) {
        if (v.is_string() && v.get_string() == "noReply") return;
        const auto* o = v.if_object();
        if (o == nullptr) return wrong(where, "an object {\"errn\": n} or {}, or \"noReply\"", v);
        unknownKeys(*o, where, {"errn"});
        if (const auto* e = o->if_contains("errn")) integer(*e, path(where, "errn"));
    }

    void eventLog(const value& v, const std::string& where) {
        if (!v.is_string() || v.get_string().empty()) return wrong(where, "the path of a file", v);
        const std::string file(v.get_string());
        const std::size_t slash = file.rfind('/');
        const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : file.substr(0, slash);
        if (!isFolder(folder)) add(where, quoted(folder) + " is not a folder; no event-log line can be written");
    }

    void then(const value& v, const std::string& where) {
        arrayOf(v, where, [this](const value& entry, const std::string& at) {
            const auto* o = objectWith(entry, at, {"after", "set"});
            if (o == nullptr) return;
            if (const auto* after = o->if_contains("after")) {
                oneOf(*after, path(at, "after"), {"focusRead", "screenshot"});
            } else {
                add(at, "has no \"after\"; it never applies");
            }
            const auto* set = o->if_contains("set");
            if (set == nullptr) return add(at, "has no \"set\"; it changes nothing");
            if (const auto* keys = set->if_object()) return state(*keys, path(at, "set"));
            wrong(path(at, "set"), "an object of state keys", *set);
        });
    }

    // ---- application folders ----

    void folders(const value& v, const std::string& where) {
        const auto* o = objectWith(v, where, {"applications", "system", "home"});
        if (o == nullptr) return;
        for (const auto* name : {"applications", "system", "home"}) {
            const auto* root = o->if_contains(name);
            const std::string at = path(where, name);
            if (root == nullptr) {
                add(at, "not given: the real folder is scanned, so the catalog depends on the machine");
                continue;
            }
            if (!root->is_string()) {
                wrong(at, "the path of a folder", *root);
                continue;
            }
            const std::string folder(root->get_string());
            if (folder.empty()) continue;  // no folder: passed over
            if (!isFolder(folder)) {
                add(at, quoted(folder) + " is not a folder; nothing is catalogued from it");
                continue;
            }
            std::size_t catalogued = 0;
            scan(folder, 0, at, catalogued);
            if (catalogued > apps::catalogEntryLimit) {
                add(at, "more than " + std::to_string(apps::catalogEntryLimit) +
                            " bundles: the scan stops listing folders after that many");
            }
        }
    }

    void notCatalogued(const std::string& at, const std::string& bundle, const std::string& why) {
        add(at, quoted(bundle) + " is not catalogued: " + why);
    }

    void scan(const std::string& folder, int depth, const std::string& at, std::size_t& catalogued) {
        // Every entry, hidden ones too, to say why those are left out.
        std::vector<std::string> names;
        if (DIR* dir = ::opendir(folder.c_str())) {
            while (const dirent* entry = ::readdir(dir)) {
                const std::string name = entry->d_name;
                if (name != "." && name != "..") names.push_back(name);
            }
            ::closedir(dir);
        } else {
            return;
        }
        std::sort(names.begin(), names.end());
        const std::string prefix = folder.back() == '/' ? folder : folder + "/";
        std::size_t listed = 0;
        for (const auto& name : names) {
            const std::string entry = prefix + name;
            const bool bundle = apps::pathExtension(name) == "app";
            if (name[0] == '.') {
                if (bundle) notCatalogued(at, entry, "hidden (its name begins with a dot)");
                continue;
            }
            if (++listed > apps::folderEntryLimit) {
                if (bundle) {
                    notCatalogued(at, entry, "only the first " + std::to_string(apps::folderEntryLimit) +
                                                 " entries of a folder are looked at");
                }
                continue;
            }
            struct stat info {};
            if (::lstat(entry.c_str(), &info) != 0) continue;
            if (S_ISLNK(info.st_mode)) {
                if (bundle) notCatalogued(at, entry, "a symbolic link (links are never followed)");
                continue;
            }
            if (!S_ISDIR(info.st_mode)) {
                if (bundle) notCatalogued(at, entry, "not a folder");
                continue;
            }
            if (!bundle) {
                if (depth + 1 <= apps::deepestFolder) {
                    scan(entry, depth + 1, at, catalogued);
                } else {
                    tooDeep(entry, at);
                }
                continue;
            }
            bundleProblems(entry, at, catalogued);
        }
    }

    // Bundles in a folder below the deepest one that is listed.
    void tooDeep(const std::string& folder, const std::string& at) {
        DIR* dir = ::opendir(folder.c_str());
        if (dir == nullptr) return;
        std::vector<std::string> bundles;
        while (const dirent* entry = ::readdir(dir)) {
            const std::string name = entry->d_name;
            if (name[0] != '.' && apps::pathExtension(name) == "app") bundles.push_back(folder + "/" + name);
        }
        ::closedir(dir);
        std::sort(bundles.begin(), bundles.end());
        for (const auto& bundle : bundles) {
            notCatalogued(at, bundle, "too deep (bundles are found at most three folders below a root)");
        }
    }

    void bundleProblems(const std::string& path, const std::string& at, std::size_t& catalogued) {
        const auto bundle = mac_.openBundle(path);
        if (!bundle) return notCatalogued(at, path, "it cannot be opened");
        if (!bundle->bundleId) {
            if (!isRegularFile(path + "/Contents/Info.plist")) return notCatalogued(at, path, "no Contents/Info.plist");
            return notCatalogued(at, path,
                                 "no identifier (Contents/Info.plist is no readable property list with a "
                                 "\"CFBundleIdentifier\" text)");
        }
        if (blocked_.blockedBundles.contains(*bundle->bundleId)) {
            return notCatalogued(at, path, "its identifier " + quoted(*bundle->bundleId) + " is never catalogued");
        }
        if (!bundle->hasExecutable) {
            return notCatalogued(at, path,
                                 "no executable (\"CFBundleExecutable\" must name a regular file in "
                                 "Contents/MacOS)");
        }
        ++catalogued;
    }

    // The virtual Mac's own bundle reading, on the built-in state.
    platform::VirtualMac mac_{""};
    platform::IdentifierSets blocked_ = mac_.identifierSets();
};

}  // namespace

std::vector<std::string> checkStateObject(const object& state) {
    Checker checker;
    checker.state(state, "");
    return std::move(checker.problems);
}

std::vector<std::string> checkState(const std::string& path) {
    platform::StateFile file = platform::readStateFile(path);
    if (file.outcome != platform::StateFile::Outcome::ok) {
        return {file.problem + "; the virtual Mac treats this as a dead Mac (locked, no displays, no permissions)"};
    }
    return checkStateObject(file.state);
}

}  // namespace brindlecast::check
