// Writing responses and event-log lines as compact JSON.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <boost/json/object.hpp>
#include <boost/json/value.hpp>

namespace brindlecast {

// Compact JSON with the keys of every object in lexicographic order.
std::string serializeSorted(const boost::json::value& value);
// The same for an object, which is written without first being made a value
// (that would copy all of it).
std::string serializeSorted(const boost::json::object& object);

// A sorted text written in pieces: its own bytes, and at recorded places the
// long strings of the value that need no escapes, lent rather than copied
// (a picture's Base64 text). Valid while the value lives.
struct LendingText {
    struct Lent {
        std::size_t at;          // position in `own` where the string stands
        std::string_view text;   // the string's bytes, inside the value
    };
    std::string own;
    std::vector<Lent> lent;

    std::size_t size() const;
    std::string joined() const;
};
LendingText serializeSortedLending(const boost::json::object& object);

// A flat JSON object written in the order its members are added. Numbers are
// written in their shortest exact form (756, 755.5), never with an exponent
// where plain digits will do.
class JsonLine {
public:
    JsonLine& add(std::string_view key, std::string_view text);
    JsonLine& add(std::string_view key, const char* text) { return add(key, std::string_view(text)); }
    JsonLine& add(std::string_view key, bool flag);
    JsonLine& add(std::string_view key, int64_t n);
    JsonLine& add(std::string_view key, int32_t n) { return add(key, static_cast<int64_t>(n)); }
    JsonLine& add(std::string_view key, uint32_t n) { return add(key, static_cast<int64_t>(n)); }
    JsonLine& add(std::string_view key, uint64_t n);
    JsonLine& add(std::string_view key, double n);
    std::string text() const { return text_ + "}"; }

private:
    void key(std::string_view key);
    std::string text_ = "{";
};

void appendJsonString(std::string& out, std::string_view text);

}  // namespace brindlecast
