// Keeps an arbitrary virtual Mac state file from reaching outside the
// fuzzer's own folders: a state names files that the virtual Mac reads
// (pictures, scan roots) and one it appends to (the event log). Used by the
// state target and by the test that replays its corpus.
#pragma once

#include <string>
#include <string_view>

#include <boost/json.hpp>

namespace fuzzing {

namespace confined_detail {

// A bare word (no slash) may name a file in the working folder, but never a
// folder below or above it; any other path must lie inside `readable`.
inline bool allowedPath(std::string_view text, std::string_view readable) {
    if (text.find("..") != std::string_view::npos || text == ".") return false;
    if (text.find('/') == std::string_view::npos) return true;
    return !readable.empty() && text.substr(0, readable.size()) == readable &&
           (text.size() == readable.size() || text[readable.size()] == '/');
}

// Returns whether anything was changed.
inline bool confine(boost::json::value& value, std::string_view readable, const std::string& logPath) {
    bool changed = false;
    if (auto* text = value.if_string()) {
        if (!allowedPath(*text, readable)) {
            *text = "outside";
            changed = true;
        }
    } else if (auto* array = value.if_array()) {
        for (auto& item : *array) changed |= confine(item, readable, logPath);
    } else if (auto* object = value.if_object()) {
        for (auto& member : *object) {
            if (member.key() == "eventLog") {
                if (member.value().is_string() && member.value().get_string() != logPath) {
                    member.value() = logPath;
                    changed = true;
                }
            } else {
                changed |= confine(member.value(), readable, logPath);
            }
        }
    }
    return changed;
}

}  // namespace confined_detail

// `text` unchanged when it is not a JSON object (a dead Mac) or names
// nothing outside; otherwise the object again with every "eventLog" text (at
// any depth, so "then" entries too) set to `logPath`, and every other text that
// is a path outside `readable` replaced (bare file names stay: they can only
// be read).
inline std::string confinedState(std::string_view text, std::string_view readable, const std::string& logPath) {
    boost::system::error_code ec;
    boost::json::value parsed = boost::json::parse(text, ec);
    if (ec || !parsed.is_object()) return std::string(text);
    if (!confined_detail::confine(parsed, readable, logPath)) return std::string(text);
    return boost::json::serialize(parsed);
}

}  // namespace fuzzing
