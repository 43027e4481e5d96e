// The pure pieces of the request host: validators, digest, UTF-8 repair and
// grapheme clusters.
#include <cmath>
#include <limits>
#include <string>

#include <boost/json.hpp>
#include <gtest/gtest.h>

#include "host/digest.h"
#include "host/failure.h"
#include "host/text.h"
#include "host/validate.h"

using namespace brindlecast;

namespace {

std::string messageOf(auto&& call) {
    try {
        call();
    } catch (const Failure& failure) {
        return std::string(failure.message);
    }
    return "accepted";
}

Request object(std::string_view json) { return boost::json::parse(json).as_object(); }

}  // namespace

TEST(Exact, RequiredOptionalAndSurplusKeys) {
    const char* incomplete = "Unknown or incomplete request.";
    auto guard = [](std::string_view json) {
        return messageOf([&] { exact(object(json), {"operation"}); });
    };
    EXPECT_EQ(guard(R"({"id":"a","operation":"desktop.guard"})"), "accepted");
    EXPECT_EQ(guard(R"({"id":"a","operation":"desktop.guard","x":1})"), incomplete);
    EXPECT_EQ(guard(R"({"operation":null})"), "accepted");  // null counts as present; no "id" needed here
    EXPECT_EQ(guard(R"({})"), incomplete);
    EXPECT_EQ(guard(R"({"Operation":"desktop.guard"})"), incomplete);  // keys are case-sensitive

    auto withOptional = [](std::string_view json) {
        return messageOf([&] { exact(object(json), {"operation"}, {"kind"}); });
    };
    EXPECT_EQ(withOptional(R"({"operation":1})"), "accepted");
    EXPECT_EQ(withOptional(R"({"operation":1,"kind":"screen"})"), "accepted");
    EXPECT_EQ(withOptional(R"({"kind":"screen"})"), incomplete);
}

TEST(Number, TypesBoundsAndWholeNumbers) {
    const char* invalid = "Invalid numeric input.";
    const char* bounds = "Input exceeds its permitted bounds.";
    auto read = [](std::string_view json, bool integer = false) {
        return messageOf([&] { number(object(json), "v", -1200, 1200, integer); });
    };
    for (auto json : {R"({"v":true})", R"({"v":false})", R"({"v":"12"})", R"({"v":null})", R"({"v":[1]})",
                      R"({"v":{}})", R"({})"}) {
        EXPECT_EQ(read(json), invalid) << json;
    }
    EXPECT_EQ(read(R"({"v":-1200})"), "accepted");
    EXPECT_EQ(read(R"({"v":1200})"), "accepted");
    EXPECT_EQ(read(R"({"v":1200.5})"), bounds);
    EXPECT_EQ(read(R"({"v":1201})"), bounds);
    EXPECT_EQ(read(R"({"v":2.5})", true), bounds);  // a fraction is a bounds failure, not a type failure
    EXPECT_EQ(read(R"({"v":18446744073709551615})"), bounds);

    EXPECT_EQ(number(object(R"({"v":3.0})"), "v", 0, 5, true), 3.0);
    EXPECT_EQ(number(object(R"({"v":1e2})"), "v", 0, 200, true), 100.0);
    EXPECT_EQ(number(object(R"({"v":-0.0})"), "v", 0, 1, false), 0.0);

    boost::json::value infinite(std::numeric_limits<double>::infinity());
    EXPECT_EQ(messageOf([&] { numberValue(&infinite, -1e308, 1e308, false); }), bounds);
    boost::json::value notANumber(std::nan(""));
    EXPECT_EQ(messageOf([&] { numberValue(&notANumber, 0, 1, false); }), bounds);
}

TEST(Digest, Sha256HexCutToCount) {
    EXPECT_EQ(digest("abc", 16), "ba7816bf8f01cfea");
    EXPECT_EQ(digest("abc", 32), "ba7816bf8f01cfea414140de5dae2223");
    EXPECT_EQ(digest("abc", 64), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(digest("abc", 100), digest("abc", 64));
    EXPECT_EQ(digest("", 8), "e3b0c442");
    EXPECT_EQ(digest("/Applications/Example.app", 32).substr(0, 16), digest("/Applications/Example.app", 16));
}

TEST(Utf8Repair, OneReplacementPerMaximalSubpart) {
    auto repaired = [](std::string_view bytes) {
        std::string out;
        repairUtf8(bytes, out);
        return out;
    };
    const std::string r = "\xEF\xBF\xBD";
    EXPECT_EQ(repaired("plain ascii"), "plain ascii");
    EXPECT_EQ(repaired("caf\xC3\xA9 \xF0\x9F\x98\x80"), "caf\xC3\xA9 \xF0\x9F\x98\x80");
    // The worked example of the Unicode Standard's recommended practice.
    EXPECT_EQ(repaired("\x61\xF1\x80\x80\xE1\x80\xC2\x62\x80\x63\x80\xBF\x64"),
              "a" + r + r + r + "b" + r + "c" + r + r + "d");
    EXPECT_EQ(repaired("\xC0\xAF"), r + r);              // overlong: no valid lead byte
    EXPECT_EQ(repaired("\xED\xA0\x80"), r + r + r);      // a surrogate is never well formed
    EXPECT_EQ(repaired("\xF0\x9F\x98"), r);              // truncated at the end
    EXPECT_EQ(repaired("\xF4\x90\x80\x80"), r + r + r + r);  // beyond U+10FFFF
    EXPECT_EQ(repaired("\xFF"), r);
}

TEST(Graphemes, CountAndPrefixByExtendedClusters) {
    EXPECT_EQ(graphemeCount("", 32), 0u);
    EXPECT_EQ(graphemeCount("abc", 32), 3u);
    EXPECT_EQ(graphemeCount("e\xCC\x81", 32), 1u);                       // e + combining acute
    EXPECT_EQ(graphemeCount("\xF0\x9F\x87\xAB\xF0\x9F\x87\xB7", 32), 1u);  // a flag: two regional indicators
    const std::string family = "\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7";
    EXPECT_EQ(graphemeCount(family, 32), 1u);                             // joined by ZWJ
    EXPECT_EQ(graphemeCount("\r\n", 32), 1u);
    EXPECT_EQ(graphemeCount(std::string(100, 'x'), 32), 33u);             // counting stops past the limit

    EXPECT_EQ(graphemePrefix("abcdef", 3), "abc");
    EXPECT_EQ(graphemePrefix("ab", 3), "ab");
    EXPECT_EQ(graphemePrefix(family + family, 1), family);
    EXPECT_EQ(graphemePrefix("e\xCC\x81x", 1), "e\xCC\x81");
}
