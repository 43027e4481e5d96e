// The sorted writer against Boost.JSON's own serialisation of a sorted copy.
#include <algorithm>
#include <random>

#include <boost/json.hpp>

#include <gtest/gtest.h>

#include "host/json_out.h"

namespace json = boost::json;

namespace {

json::value sortedCopy(const json::value& value) {
    if (const auto* object = value.if_object()) {
        std::vector<const json::key_value_pair*> members;
        for (const auto& member : *object) members.push_back(&member);
        std::sort(members.begin(), members.end(), [](auto* a, auto* b) { return a->key() < b->key(); });
        json::object sorted;
        for (const auto* member : members) sorted.emplace(member->key(), sortedCopy(member->value()));
        return sorted;
    }
    if (const auto* array = value.if_array()) {
        json::array copy;
        for (const auto& element : *array) copy.push_back(sortedCopy(element));
        return copy;
    }
    return value;
}

}  // namespace

TEST(SortedJson, MatchesBoostOnEscapesNumbersAndNesting) {
    // Texts with the characters that need escaping at every offset within and
    // across the eight-byte steps of the fast scan, and UTF-8 left alone.
    std::mt19937 random(5);
    const std::string alphabet = std::string("abcXYZ+/=\"\\\n\t\x01\x1f\x7f ") + "\xc3\xa9";
    json::array texts;
    for (int n = 0; n < 200; ++n) {
        std::string text;
        const int length = static_cast<int>(random() % 40);
        for (int i = 0; i < length; ++i) text.push_back(alphabet[random() % alphabet.size()]);
        texts.push_back(json::string(text));
    }
    json::object value{{"zeta", texts},
                       {"alpha", {{"b", 1.5}, {"a", -3}, {"c", nullptr}}},
                       {"mid", json::array{true, false, 18446744073709551615ull, 1e300, 0.1}},
                       {"\"quoted\\key", "v"},
                       {"data", std::string(100000, 'A') + "\"" + std::string(7, 'B')},
                       {"frame", {{"data", std::string(70000, '/')}, {"short", std::string(10, '+')}}}};
    const std::string expected = json::serialize(sortedCopy(value));
    EXPECT_EQ(brindlecast::serializeSorted(value), expected);
    EXPECT_EQ(brindlecast::serializeSorted(json::value(value)), expected);
    // Only the long text that needs no escapes is lent; the pieces join to the same line.
    const auto lending = brindlecast::serializeSortedLending(value);
    ASSERT_EQ(lending.lent.size(), 1u);
    EXPECT_EQ(lending.lent[0].text.size(), 70000u);
    EXPECT_EQ(lending.size(), expected.size());
    EXPECT_EQ(lending.joined(), expected);
}
