#include "host/json_out.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include <boost/json/serialize.hpp>

namespace brindlecast {

namespace {

// The length of the leading run of `text` that a JSON string holds as it is:
// no control character, quote or backslash. Eight bytes are tested at a time
// (every bit trick below is exact for "is there any such byte"), so long
// plain texts such as Base64 pictures are copied at memory speed.
std::size_t plainRun(const char* text, std::size_t size) {
    constexpr uint64_t ones = 0x0101010101010101ull;
    constexpr uint64_t highs = 0x8080808080808080ull;
    auto hasZero = [](uint64_t v) { return ((v - ones) & ~v & highs) != 0; };
    std::size_t i = 0;
    // Blocks of 64 bytes first, in a form the compiler turns into vector code.
    for (; i + 64 <= size; i += 64) {
        const auto* block = reinterpret_cast<const unsigned char*>(text + i);
        unsigned char special = 0;
        for (int j = 0; j < 64; ++j) {
            const unsigned char c = block[j];
            special |= static_cast<unsigned char>((c < 0x20) | (c == '"') | (c == '\\'));
        }
        if (special != 0) break;
    }
    for (; i + 8 <= size; i += 8) {
        uint64_t w;
        std::memcpy(&w, text + i, 8);
        const bool control = ((w - ones * 0x20) & ~w & highs) != 0;  // a byte below 0x20
        if (control || hasZero(w ^ (ones * '"')) || hasZero(w ^ (ones * '\\'))) break;
    }
    for (; i < size; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c == '"' || c == '\\') break;
    }
    return i;
}

// The bytes the text of a value will take, strings without their escapes.
std::size_t estimate(const boost::json::value& value);

std::size_t estimate(const boost::json::object& object) {
    std::size_t n = 2;
    for (const auto& member : object) n += member.key().size() + 4 + estimate(member.value());
    return n;
}

std::size_t estimate(const boost::json::value& value) {
    if (const auto* object = value.if_object()) return estimate(*object);
    if (const auto* array = value.if_array()) {
        std::size_t n = 2;
        for (const auto& element : *array) n += 1 + estimate(element);
        return n;
    }
    if (const auto* text = value.if_string()) return text->size() + 2;
    return 24;
}

// Strings at least this long that need no escapes are lent, when lending.
constexpr std::size_t lentStringBytes = 64 * 1024;

void writeSorted(std::string& out, const boost::json::value& value, LendingText* lending);

void writeSorted(std::string& out, const boost::json::object& object, LendingText* lending) {
    std::vector<const boost::json::key_value_pair*> members;
    members.reserve(object.size());
    for (const auto& member : object) members.push_back(&member);
    std::sort(members.begin(), members.end(), [](const auto* a, const auto* b) { return a->key() < b->key(); });
    out.push_back('{');
    for (std::size_t i = 0; i < members.size(); ++i) {
        if (i > 0) out.push_back(',');
        appendJsonString(out, members[i]->key());
        out.push_back(':');
        writeSorted(out, members[i]->value(), lending);
    }
    out.push_back('}');
}

void writeSorted(std::string& out, const boost::json::value& value, LendingText* lending) {
    if (const auto* object = value.if_object()) {
        writeSorted(out, *object, lending);
    } else if (const auto* array = value.if_array()) {
        out.push_back('[');
        for (std::size_t i = 0; i < array->size(); ++i) {
            if (i > 0) out.push_back(',');
            writeSorted(out, (*array)[i], lending);
        }
        out.push_back(']');
    } else if (const auto* text = value.if_string()) {
        if (lending != nullptr && text->size() >= lentStringBytes && plainRun(text->data(), text->size()) == text->size()) {
            out.push_back('"');
            lending->lent.push_back({out.size(), std::string_view(*text)});
            out.push_back('"');
            return;
        }
        appendJsonString(out, *text);
    } else {
        out += boost::json::serialize(value);  // numbers, booleans and null as Boost.JSON writes them
    }
}

template <class Json>
std::string sortedText(const Json& json) {
    // Written straight from the value: a large picture text is never copied
    // into a sorted duplicate first.
    std::string out;
    out.reserve(estimate(json) + 64);
    writeSorted(out, json, nullptr);
    return out;
}

// What is left of a value's text once its lent strings are taken out.
std::size_t estimateOwn(const boost::json::value& value) {
    if (const auto* object = value.if_object()) {
        std::size_t n = 2;
        for (const auto& member : *object) n += member.key().size() + 4 + estimateOwn(member.value());
        return n;
    }
    if (const auto* text = value.if_string(); text != nullptr && text->size() >= lentStringBytes) return 2;
    return estimate(value);
}

}  // namespace

std::size_t LendingText::size() const {
    std::size_t n = own.size();
    for (const auto& piece : lent) n += piece.text.size();
    return n;
}

std::string LendingText::joined() const {
    std::string out;
    out.reserve(size());
    std::size_t from = 0;
    for (const auto& piece : lent) {
        out.append(own, from, piece.at - from);
        out.append(piece.text);
        from = piece.at;
    }
    out.append(own, from);
    return out;
}

LendingText serializeSortedLending(const boost::json::object& object) {
    LendingText out;
    std::size_t own = 2;
    for (const auto& member : object) own += member.key().size() + 4 + estimateOwn(member.value());
    out.own.reserve(own + 64);
    writeSorted(out.own, object, &out);
    return out;
}

std::string serializeSorted(const boost::json::value& value) { return sortedText(value); }

std::string serializeSorted(const boost::json::object& object) { return sortedText(object); }

void appendJsonString(std::string& out, std::string_view text) {
    static constexpr char hex[] = "0123456789abcdef";
    out.push_back('"');
    std::size_t i = 0;
    while (i < text.size()) {
        const std::size_t run = plainRun(text.data() + i, text.size() - i);
        out.append(text.data() + i, run);
        i += run;
        if (i == text.size()) break;
        const auto c = static_cast<unsigned char>(text[i++]);
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
