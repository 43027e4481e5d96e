// Structure-aware inputs for the request targets. An input stays what the
// agent reads (request lines), so every corpus file replays as it is; the
// mutator (LLVMFuzzerCustomMutator) builds and edits
// requests of the real operations and actions with odd values (numbers at
// and beyond their bounds, wrong types, long and odd strings, grapheme
// clusters, duplicate and foreign keys), and leaves some of its turns to
// libFuzzer's own byte mutations.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <boost/json.hpp>

#include "support/sample_mac.h"

extern "C" size_t LLVMFuzzerMutate(uint8_t* data, size_t size, size_t maxSize);

namespace fuzzing {

namespace {

enum class Kind { fraction, delta, width, height, quality, seconds, monitor, app, appAction, permission, profile, button, text, any };

struct Field {
    const char* key;
    Kind kind;
    bool optional = false;
};

struct Request {
    const char* key;  // "operation" or "action"
    const char* name;
    std::vector<Field> fields;
};

const std::vector<Request>& requests() {
    static const std::vector<Request> all = [] {
        std::vector<Request> list = {
            {"operation", "permissions.status", {}},
            {"operation", "permissions.request", {{"kind", Kind::permission}}},
            {"operation", "desktop.guard", {}},
            {"operation", "desktop.monitors", {}},
            {"operation", "desktop.frame",
             {{"profile", Kind::profile},
              {"maxWidth", Kind::width},
              {"maxHeight", Kind::height},
              {"jpegQuality", Kind::quality},
              {"monitorId", Kind::monitor, true}}},
            {"operation", "desktop.click",
             {{"x", Kind::fraction}, {"y", Kind::fraction}, {"button", Kind::button, true}, {"monitorId", Kind::monitor, true}}},
            {"operation", "presentation.pointer",
             {{"x", Kind::fraction}, {"y", Kind::fraction}, {"monitorId", Kind::monitor, true}}},
            {"operation", "desktop.scroll",
             {{"deltaX", Kind::delta}, {"deltaY", Kind::delta}, {"monitorId", Kind::monitor, true}}},
            {"operation", "desktop.text", {{"text", Kind::text}}},
            {"operation", "apps.list", {}},
            {"operation", "apps.icon", {{"appId", Kind::app}}},
            {"operation", "apps.preview", {{"appId", Kind::app}}},
            {"operation", "apps.action", {{"appId", Kind::app}, {"appAction", Kind::appAction, true}}},
        };
        for (const char* action : {"playPause", "next", "previous", "mute", "volumeUp", "volumeDown", "shutdown",
                                   "restart", "sleep", "lock", "toggleFullscreen", "presentation:previous",
                                   "presentation:next", "presentation:start", "presentation:end",
                                   "presentation:blank"}) {
            list.push_back({"action", action, {{"seconds", Kind::seconds, true}}});
        }
        return list;
    }();
    return all;
}

Kind kindOf(std::string_view key) {
    for (const auto& request : requests()) {
        for (const auto& field : request.fields) {
            if (key == field.key) return field.kind;
        }
    }
    return Kind::any;
}

const std::vector<std::string>& appIds() {
    static const std::vector<std::string> ids = [] {
        const std::string& root = testing_support::corpusApplicationsRoot;
        std::vector<std::string> list;
        for (const char* path : {"applications/Notes.app", "system/Calculator.app", "home/Finder.app",
                                 "applications/Broken Icon.app", "applications/Utilities/Console Tool.app",
                                 "applications/No Executable.app", "applications/Terminal.app",
                                 "applications/.Hidden.app", "applications/Link.app"}) {
            list.push_back(testing_support::sampleAppId(root, path));
        }
        return list;
    }();
    return ids;
}

class Maker {
public:
    // `maxSize`: the longest input the fuzzer takes; long values stay well under it.
    Maker(std::mt19937_64& random, std::size_t maxSize) : random_(random), budget_(std::max<std::size_t>(maxSize / 2, 16)) {}

    std::size_t below(std::size_t n) { return n == 0 ? 0 : static_cast<std::size_t>(random_() % n); }
    bool oneIn(std::size_t n) { return below(n) == 0; }
    template <typename T, std::size_t N>
    const T& pick(const T (&items)[N]) {
        return items[below(N)];
    }

    // A JSON string literal of `text`, escaped where JSON requires it; other
    // bytes (invalid UTF-8 included) pass unchanged.
    static std::string quoted(std::string_view text) {
        std::string out = "\"";
        for (unsigned char c : text) {
            if (c == '"' || c == '\\') {
                out += '\\';
                out += static_cast<char>(c);
            } else if (c < 0x20) {
                char escape[8];
                std::snprintf(escape, sizeof escape, "\\u%04x", c);
                out += escape;
            } else {
                out += static_cast<char>(c);
            }
        }
        return out + "\"";
    }

    // A JSON number text near and beyond [low, high].
    std::string number(double low, double high, bool integral) {
        static const char* const odd[] = {"-0", "-0.0", "0e0", "1e400", "-1e400", "1e-400", "4.9e-324",
                                          "1.7976931348623157e308", "9007199254740993", "18446744073709551616",
                                          "-9223372036854775809", "123456789012345678901234567890", "0.1e1",
                                          "1E2", "1.0000000000000002", "0.9999999999999999"};
        const double span = high - low;
        double value = 0;
        switch (below(10)) {
            case 0: return pick(odd);
            case 1: value = low; break;
            case 2: value = high; break;
            case 3: value = std::nextafter(low, -INFINITY); break;
            case 4: value = std::nextafter(high, INFINITY); break;
            case 5: value = low - 1 - static_cast<double>(below(3)); break;
            case 6: value = high + 1 + static_cast<double>(below(3)); break;
            case 7: value = std::ldexp(1.0, static_cast<int>(below(70))) * (oneIn(2) ? 1 : -1); break;
            default:
                value = low + span * (static_cast<double>(below(1 << 20)) / (1 << 20));
                if (integral || oneIn(2)) value = std::round(value);
                break;
        }
        char text[40];
        if (value == std::floor(value) && std::fabs(value) < 1e15) {
            std::snprintf(text, sizeof text, "%.0f", value);
        } else {
            std::snprintf(text, sizeof text, "%.17g", value);
        }
        return text;
    }

    // A piece of text that is hard on grapheme counting, escaping and key mapping.
    std::string textPiece() {
        static const char* const pieces[] = {
            "a", "Hello", " ", "\n", "\r\n", "\t", "\x7f", "e\xCC\x81", "\xCC\x81\xCC\x81\xCC\x81",
            "\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD",                              // thumbs up, skin tone
            "\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7",  // family (ZWJ)
            "\xF0\x9F\x87\xA9\xF0\x9F\x87\xAA",                              // a flag
            "\xE6\x97\xA5\xE6\x9C\xAC", "\xD8\xA7\xD9\x84\xD8\xB9", "\xE2\x80\xAE", "\xEF\xBB\xBF",
            "\xEF\xBF\xBD", "\xC3\xA9", "\xE1\x84\x80\xE1\x85\xA1\xE1\x86\xA8",  // Hangul jamo
            "\xF4\x8F\xBF\xBF", "\xFF", "\xC0\xAF", "\xED\xA0\x80", "\xF0\x9F\x98",
        };
        static const char* const escapes[] = {"\\u0000", "\\ud800", "\\udfff", "\\ud83d\\ude00", "\\u2028",
                                              "\\u0301", "\\/", "\\b\\f", "\\uFFFF", "\\u00e9"};
        if (oneIn(6)) return pick(escapes);  // already JSON text
        const std::string piece = pick(pieces);
        return quoted(piece).substr(1, quoted(piece).size() - 2);
    }

    // A JSON string literal of odd text, up to about `budget` bytes.
    std::string oddString(std::size_t budget) {
        std::string body;
        const std::size_t parts = oneIn(8) ? 200 + below(800) : below(12);
        const std::string repeated = textPiece();
        const bool repeat = oneIn(4);
        for (std::size_t i = 0; i < parts && body.size() < budget; ++i) body += repeat ? repeated : textPiece();
        return "\"" + body + "\"";
    }

    std::string choice(std::initializer_list<const char*> words) {
        std::string word = *(words.begin() + below(words.size()));
        switch (below(8)) {
            case 0: return oddString(std::min<std::size_t>(64, budget_));
            case 1:
                if (!word.empty()) word[below(word.size())] ^= 0x20;  // change of case
                break;
            case 2: word = " " + word; break;
            case 3: word += textPiece(); break;
            case 4: word = word.substr(0, below(word.size() + 1)); break;
            default: break;
        }
        return quoted(word);
    }

    std::string wrongType() {
        static const char* const values[] = {"true", "false", "null", "[]", "{}", "[1,2]", "{\"a\":1}", "\"\"",
                                             "\"0.5\"", "\"75\"", "0", "1", "-1", "[[[[]]]]", "{\"id\":\"x\"}"};
        return pick(values);
    }

    std::string value(Kind kind) {
        if (kind == Kind::any || oneIn(10)) return wrongType();
        switch (kind) {
            case Kind::fraction: return number(0, 1, false);
            case Kind::delta: return number(-1200, 1200, false);
            case Kind::width: return number(320, 1920, false);
            case Kind::height: return number(180, 1080, false);
            case Kind::quality: return number(40, 95, false);
            case Kind::seconds: return number(0, 3600, false);
            case Kind::monitor: {
                std::string id = testing_support::sampleMonitorId();
                if (oneIn(3)) id = "monitor_" + std::string(16, "0123456789abcdef"[below(16)]);
                if (oneIn(3)) return choice({id.c_str()});
                return quoted(id);
            }
            case Kind::app: {
                std::string id = appIds()[below(appIds().size())];
                if (oneIn(4)) return choice({id.c_str(), "app_"});
                return quoted(id);
            }
            case Kind::appAction: return choice({"run", "view", "close", "terminate"});
            case Kind::permission: return choice({"accessibility", "screen", "automation"});
            case Kind::profile:
                return choice({"balanced", "quality", "smooth", "latency", "relay-balanced", "relay-quality",
                               "relay-smooth", "relay-latency"});
            case Kind::button: return choice({"left", "right", "middle"});
            case Kind::text:
                return oneIn(4) ? quoted(std::string(below(budget_), static_cast<char>('a' + below(26))))
                                : oddString(budget_);
            case Kind::any: break;
        }
        return wrongType();
    }

    std::string identifier() {
        switch (below(12)) {
            case 0: return wrongType();
            case 1: {
                // Around the 32-character cut, in clusters of several code points.
                std::string body;
                const std::size_t count = 30 + below(5);
                const std::string piece = textPiece();
                for (std::size_t i = 0; i < count; ++i) body += piece;
                return "\"" + body + "\"";
            }
            case 2: return oddString(std::min<std::size_t>(200, budget_));
            default: return quoted("r" + std::to_string(below(100)));
        }
    }

    std::string request() {
        const auto& all = requests();
        const Request& chosen = all[below(all.size())];
        std::vector<std::pair<std::string, std::string>> members;
        if (!oneIn(16)) members.emplace_back("id", identifier());
        if (!oneIn(24)) members.emplace_back(chosen.key, oneIn(12) ? choice({chosen.name}) : quoted(chosen.name));
        for (const Field& field : chosen.fields) {
            if (field.optional ? oneIn(2) : !oneIn(16)) members.emplace_back(field.key, value(field.kind));
        }
        if (oneIn(8)) {
            static const char* const foreign[] = {"pad", "operation", "action", "id", "seconds", "x", "appId",
                                                  "__proto__", "", "Id", "text"};
            const char* key = pick(foreign);
            members.emplace_back(key, value(kindOf(key)));
        }
        if (oneIn(8) && !members.empty()) members.push_back(members[below(members.size())]);  // a duplicate key
        if (oneIn(4)) std::shuffle(members.begin(), members.end(), random_);
        std::string line = "{";
        for (std::size_t i = 0; i < members.size(); ++i) {
            if (i > 0) line += oneIn(16) ? " , " : ",";
            line += quoted(members[i].first) + ":" + members[i].second;
        }
        return line + "}";
    }

    // `line` with the value of one of its keys replaced; unchanged when it
    // is not a JSON object with keys.
    std::string withNewValue(const std::string& line) {
        boost::system::error_code ec;
        boost::json::value parsed = boost::json::parse(line, ec);
        if (ec || !parsed.is_object() || parsed.as_object().empty()) return line;
        const auto& object = parsed.as_object();
        const std::size_t target = below(object.size());
        std::string out = "{";
        std::size_t i = 0;
        for (const auto& member : object) {
            if (i > 0) out += ",";
            out += quoted(member.key()) + ":";
            out += i == target ? (member.key() == "id" ? identifier() : value(kindOf(member.key())))
                               : boost::json::serialize(member.value());
            ++i;
        }
        return out + "}";
    }

private:
    std::mt19937_64& random_;
    std::size_t budget_;
};

std::vector<std::string> splitLines(std::string_view text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos) {
            lines.emplace_back(text.substr(start));
            break;
        }
        lines.emplace_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

}  // namespace

}  // namespace fuzzing

extern "C" size_t LLVMFuzzerCustomMutator(uint8_t* data, size_t size, size_t maxSize, unsigned int seed) {
    std::mt19937_64 random(seed);
    fuzzing::Maker make(random, maxSize);
    const std::size_t choice = make.below(10);
    if (choice < 3) return LLVMFuzzerMutate(data, size, maxSize);

    std::vector<std::string> lines = fuzzing::splitLines({reinterpret_cast<const char*>(data), size});
    const std::size_t at = make.below(lines.size());
    switch (choice) {
        case 3:
        case 4:
            if (lines.empty()) lines.push_back(make.request());
            else lines[at] = make.request();
            break;
        case 5: lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(make.below(lines.size() + 1)), make.request()); break;
        case 6:
        case 7:
            if (!lines.empty()) lines[at] = make.withNewValue(lines[at]);
            break;
        case 8:
            if (!lines.empty()) {
                // Byte mutations inside one line only, the others left whole.
                std::string& line = lines[at];
                const std::size_t room = line.size() + 64;
                line.resize(room);
                line.resize(LLVMFuzzerMutate(reinterpret_cast<uint8_t*>(line.data()), room - 64, room));
            }
            break;
        default: {
            lines.clear();
            const std::size_t count = 1 + make.below(4);
            for (std::size_t i = 0; i < count; ++i) lines.push_back(make.request());
            break;
        }
    }
    std::string out;
    for (const auto& line : lines) {
        if (out.size() + line.size() + 1 > maxSize) break;
        out += line;
        out += '\n';
    }
    if (out.empty()) return LLVMFuzzerMutate(data, size, maxSize);
    std::memcpy(data, out.data(), out.size());
    return out.size();
}
