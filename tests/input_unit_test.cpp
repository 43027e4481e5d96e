// Pure parts of text entry, and `power` called with a name the routing never passes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/failure.h"
#include "host/host.h"
#include "input/actions.h"
#include "input/keyboard.h"
#include "platform/virtual/virtual_mac.h"
#include "support/agent.h"

using brindlecast::input::textRuns;

namespace {

std::u16string joined(const std::vector<std::u16string>& runs) {
    std::u16string all;
    for (const auto& run : runs) all += run;
    return all;
}

}  // namespace

TEST(TextRuns, ShortTextIsOneRunAndNothingIsLost) {
    EXPECT_TRUE(textRuns("").empty());
    EXPECT_EQ(textRuns("hello\r\nworld"), std::vector<std::u16string>{u"hello\r\nworld"});
    // Exactly 20 units, with surrogate pairs, stay one run.
    const std::string twenty = std::string(16, 'x') + "\xF0\x9F\x98\x80\xF0\x9F\x98\x80";
    EXPECT_EQ(textRuns(twenty).size(), 1u);
    // 21 letters: 20 and 1.
    EXPECT_EQ(textRuns(std::string(21, 'z')), (std::vector<std::u16string>{std::u16string(20, u'z'), u"z"}));
}

TEST(TextRuns, NeverSplitsAClusterOrASurrogatePair) {
    // A surrogate pair at units 20 and 21 moves to the next run.
    EXPECT_EQ(textRuns(std::string(19, 'a') + "\xF0\x9F\x98\x80" + "b"),
              (std::vector<std::u16string>{std::u16string(19, u'a'), u"\U0001F600b"}));
    // A flag (two regional indicators, 4 units) straddling unit 20.
    EXPECT_EQ(textRuns(std::string(17, 'a') + "\xF0\x9F\x87\xAB\xF0\x9F\x87\xB7" + "\xF0\x9F\x87\xA9\xF0\x9F\x87\xAA"),
              (std::vector<std::u16string>{std::u16string(17, u'a'), u"\U0001F1EB\U0001F1F7\U0001F1E9\U0001F1EA"}));
    // A family emoji joined with ZWJ (11 units) after 15 letters.
    const std::string family =
        "\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7\xE2\x80\x8D\xF0\x9F\x91\xA6";
    const auto runs = textRuns(std::string(15, 'a') + family + "!");
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[0], std::u16string(15, u'a'));
    EXPECT_EQ(runs[1], u"\U0001F468\u200D\U0001F469\u200D\U0001F467\u200D\U0001F466!");
    // "\r\n" is one cluster: it is never cut in two.
    EXPECT_EQ(textRuns(std::string(19, 'a') + "\r\n"),
              (std::vector<std::u16string>{std::u16string(19, u'a'), u"\r\n"}));
}

TEST(TextRuns, AnOverlongClusterIsARunByItself) {
    // "e" with 25 combining acute accents: one cluster of 26 units.
    std::string accented = "e";
    std::u16string accented16 = u"e";
    for (int i = 0; i < 25; ++i) {
        accented += "\xCC\x81";
        accented16 += u'\u0301';
    }
    EXPECT_EQ(textRuns("ab" + accented + "cd"), (std::vector<std::u16string>{u"ab", accented16, u"cd"}));
    EXPECT_EQ(textRuns(accented), std::vector<std::u16string>{accented16});

    // Every run of a mixed text is at most 20 units unless it is one cluster.
    std::string mixed;
    for (int i = 0; i < 30; ++i) mixed += "a\xF0\x9F\x87\xAB\xF0\x9F\x87\xB7" "bc\xC3\xA9";
    const auto runs = textRuns(mixed);
    for (const auto& run : runs) EXPECT_LE(run.size(), 20u);
    std::u16string expected;
    for (int i = 0; i < 30; ++i) expected += u"a\U0001F1EB\U0001F1F7bc\u00E9";
    EXPECT_EQ(joined(runs), expected);
}

TEST(Power, UnknownNameFailsAfterTheGuard) {
    testing_support::VirtualMacFiles files;
    files.write({});
    brindlecast::platform::VirtualMac mac(files.statePath());
    brindlecast::Host host(mac);
    auto failureOf = [&] {
        try {
            brindlecast::input::power(host, "hibernate");
        } catch (const brindlecast::Failure& failure) {
            return std::string(failure.message);
        }
        return std::string();
    };
    EXPECT_EQ(failureOf(), "Unknown power action.");
    files.write({{"frontmost", nullptr}});
    EXPECT_EQ(failureOf(), "macOS is showing a protected screen.");
    EXPECT_TRUE(files.log().empty());
}
