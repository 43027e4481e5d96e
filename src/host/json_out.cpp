#include "host/json_out.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <vector>

#include <boost/json/serialize.hpp>

namespace brindlecast {

namespace {

boost::json::value sortedCopy(const boost::json::value& value) {
    if (const auto* object = value.if_object()) {
        std::vector<const boost::json::key_value_pair*> members;
        members.reserve(object->size());
        for (const auto& member : *object) members.push_back(&member);
        std::sort(members.begin(), members.end(),
                  [](const auto* a, const auto* b) { return a->key() < b->key(); });
        boost::json::object sorted;
        sorted.reserve(members.size());
        for (const auto* member : members) sorted.emplace(member->key(), sortedCopy(member->value()));
        return sorted;
    }
    if (const auto* array = value.if_array()) {
        boost::json::array copy;
        copy.reserve(array->size());
        for (const auto& element : *array) copy.push_back(sortedCopy(element));
        return copy;
    }
    return value;
}

// Objects whose keys are already in order are written as they are, so the
// large picture strings of a frame are never copied.
bool isSorted(const boost::json::value& value) {
    if (const auto* object = value.if_object()) {
        std::string_view previous;
        bool first = true;
        for (const auto& member : *object) {
            if (!first && !(previous < member.key())) return false;
            if (!isSorted(member.value())) return false;
            previous = member.key();
            first = false;
        }
        return true;
    }
    if (const auto* array = value.if_array()) {
        return std::all_of(array->begin(), array->end(), [](const auto& v) { return isSorted(v); });
    }
    return true;
}

}  // namespace

std::string serializeSorted(const boost::json::value& value) {
    if (isSorted(value)) return boost::json::serialize(value);
    return boost::json::serialize(sortedCopy(value));
}

void appendJsonString(std::string& out, std::string_view text) {
    static constexpr char hex[] = "0123456789abcdef";
    out.push_back('"');
    std::size_t start = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c != '"' && c != '\\') continue;
        out.append(text.data() + start, i - start);
        start = i + 1;
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            case '\b': out += "\\b"; break;
            case '\f': out += "\\f"; break;
            default:
                out += "\\u00";
                out.push_back(hex[c >> 4]);
                out.push_back(hex[c & 0x0f]);
        }
    }
    out.append(text.data() + start, text.size() - start);
    out.push_back('"');
}

void JsonLine::key(std::string_view key) {
    if (text_.size() > 1) text_.push_back(',');
    appendJsonString(text_, key);
    text_.push_back(':');
}

JsonLine& JsonLine::add(std::string_view k, std::string_view text) {
    key(k);
    appendJsonString(text_, text);
    return *this;
}

JsonLine& JsonLine::add(std::string_view k, bool flag) {
    key(k);
    text_ += flag ? "true" : "false";
    return *this;
}

JsonLine& JsonLine::add(std::string_view k, int64_t n) {
    key(k);
    text_ += std::to_string(n);
    return *this;
}

JsonLine& JsonLine::add(std::string_view k, uint64_t n) {
    key(k);
    text_ += std::to_string(n);
    return *this;
}

JsonLine& JsonLine::add(std::string_view k, double n) {
    key(k);
    if (!std::isfinite(n)) {
        text_ += "null";
        return *this;
    }
    char buffer[64];
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, n);
    text_.append(buffer, end);
    return *this;
}

}  // namespace brindlecast
