// The rules of typing through borrowed key codes, on a keyboard that is a
// plain key map with a clock that moves only when the rules wait.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "platform/x11/typing.h"

namespace x11 = brindlecast::platform::x11;
using namespace std::chrono_literals;

namespace {

// Key codes 8 to 15, two keysyms each; 8 to 11 type "a" to "d", 12 to 15 are spare.
class FakeKeyboard final : public x11::Keyboard {
public:
    FakeKeyboard() {
        for (int key = first; key <= last; ++key) {
            const unsigned long sym = key < 12 ? 'a' + (key - first) : 0;
            keys[key] = {sym, sym};
        }
    }

    std::optional<Map> map() override {
        Map m{first, last, 2, {}};
        for (const auto& [key, syms] : keys) m.keysyms.insert(m.keysyms.end(), syms.begin(), syms.end());
        return m;
    }
    void remap(int keyCode, const std::vector<unsigned long>& syms) override {
        keys[keyCode] = syms;
        log += "map " + std::to_string(keyCode) + "=" + text(syms[0]) + " ";
    }
    void tap(int keyCode) override {
        // What the key types now, as a client reading the map at this moment would see it.
        typed += text(keys[keyCode][0]);
        pressedAt[keyCode] = clock;
        log += "tap " + std::to_string(keyCode) + " ";
    }
    void sync() override {}
    x11::Clock::time_point now() override { return clock; }
    void sleepUntil(x11::Clock::time_point when) override {
        if (when > clock) {
            waited += when - clock;
            clock = when;
        }
    }

    static std::string text(unsigned long sym) { return sym == 0 ? "-" : std::string(1, static_cast<char>(sym)); }

    // A key is remapped safely only once its last press has settled.
    bool remappedTooSoon() const { return tooSoon; }

    static constexpr int first = 8;
    static constexpr int last = 15;
    std::map<int, std::vector<unsigned long>> keys;
    std::map<int, x11::Clock::time_point> pressedAt;
    x11::Clock::time_point clock{};
    x11::Clock::duration waited{};
    std::string typed;
    std::string log;
    bool tooSoon = false;
};

// A keyboard that also checks every remap against the key's last press.
class WatchedKeyboard final : public x11::Keyboard {
public:
    explicit WatchedKeyboard(FakeKeyboard& inner) : inner_(inner) {}
    std::optional<Map> map() override { return inner_.map(); }
    void remap(int keyCode, const std::vector<unsigned long>& syms) override {
        const auto pressed = inner_.pressedAt.find(keyCode);
        if (pressed != inner_.pressedAt.end() && inner_.clock < pressed->second + x11::keymapSettle) {
            inner_.tooSoon = true;
        }
        inner_.remap(keyCode, syms);
    }
    void tap(int keyCode) override { inner_.tap(keyCode); }
    void sync() override {}
    x11::Clock::time_point now() override { return inner_.now(); }
    void sleepUntil(x11::Clock::time_point when) override { inner_.sleepUntil(when); }

private:
    FakeKeyboard& inner_;
};

std::vector<unsigned long> syms(const std::string& text) { return {text.begin(), text.end()}; }

}  // namespace

TEST(X11Typing, TypesThroughSpareKeysOnlyAndReusesAKeyWithinTheText) {
    FakeKeyboard keyboard;
    x11::KeyLender lender;
    lender.type(keyboard, syms("xyx"));
    EXPECT_EQ(keyboard.typed, "xyx");
    EXPECT_EQ(keyboard.log, "map 12=x map 13=y tap 12 tap 13 tap 12 ");
    EXPECT_EQ(keyboard.waited, x11::Clock::duration::zero());
    for (int key = 8; key < 12; ++key) EXPECT_EQ(keyboard.keys[key][0], 'a' + (key - 8)) << key;
    // Every level of a borrowed key types the character.
    EXPECT_EQ(keyboard.keys[12], (std::vector<unsigned long>{'x', 'x'}));
}

TEST(X11Typing, AKeyKeepsItsCharacterForTheNextTextAndIsGivenBackOnceSettled) {
    FakeKeyboard keyboard;
    x11::KeyLender lender;
    lender.type(keyboard, syms("x"));
    keyboard.log.clear();
    lender.type(keyboard, syms("xz"));
    EXPECT_EQ(keyboard.log, "map 13=z tap 12 tap 13 ");

    // Not settled yet: nothing is given back.
    keyboard.clock += 499ms;
    lender.giveBack(keyboard, false);
    EXPECT_EQ(keyboard.keys[12][0], 'x');
    keyboard.clock += 1ms;
    keyboard.log.clear();
    lender.giveBack(keyboard, false);
    EXPECT_EQ(keyboard.log, "map 12=- map 13=- ");
    EXPECT_TRUE(lender.empty());
    EXPECT_EQ(keyboard.keys[12], (std::vector<unsigned long>{0, 0}));
}

TEST(X11Typing, MoreCharactersThanSpareKeysGoOutInStretchesOnceTheKeysHaveSettled) {
    FakeKeyboard keyboard;
    WatchedKeyboard watched(keyboard);
    x11::KeyLender lender;
    // Six different characters, four spare keys.
    lender.type(watched, syms("pqrsptuv"));
    EXPECT_EQ(keyboard.typed, "pqrsptuv");
    EXPECT_FALSE(keyboard.remappedTooSoon());
    // The second stretch waits once, for the keys of the first to settle.
    EXPECT_EQ(keyboard.waited, x11::keymapSettle);
    EXPECT_EQ(keyboard.log,
              "map 12=p map 13=q map 14=r map 15=s tap 12 tap 13 tap 14 tap 15 tap 12 "
              "map 12=t map 13=u map 14=v tap 12 tap 13 tap 14 ");
}

TEST(X11Typing, ANewCharacterTakesTheKeyPressedLongestAgo) {
    FakeKeyboard keyboard;
    WatchedKeyboard watched(keyboard);
    x11::KeyLender lender;
    for (const char* text : {"p", "q", "r", "s"}) {
        lender.type(watched, syms(text));
        keyboard.clock += 100ms;
    }
    // p and q are pressed again: r's key is now the one pressed longest ago.
    lender.type(watched, syms("pq"));
    keyboard.log.clear();
    lender.type(watched, syms("t"));
    EXPECT_EQ(keyboard.log, "map 14=t tap 14 ");
    // r was pressed at 200 ms and settles at 700 ms, 300 ms from now.
    EXPECT_EQ(keyboard.waited, 300ms);
    EXPECT_FALSE(keyboard.remappedTooSoon());
}

TEST(X11Typing, WithoutASpareKeyTheLastKeyIsBorrowedAndItsKeysymsComeBack) {
    FakeKeyboard keyboard;
    for (int key = 12; key <= 15; ++key) keyboard.keys[key] = {'e', 'E'};
    x11::KeyLender lender;
    lender.type(keyboard, syms("xy"));
    EXPECT_EQ(keyboard.typed, "xy");
    EXPECT_EQ(keyboard.log, "map 15=x tap 15 map 15=y tap 15 ");
    EXPECT_EQ(keyboard.waited, x11::keymapSettle);

    lender.giveBack(keyboard, true);
    EXPECT_EQ(keyboard.keys[15], (std::vector<unsigned long>{'e', 'E'}));
    EXPECT_EQ(keyboard.waited, 2 * x11::keymapSettle);
}

TEST(X11Typing, AKeyAnotherClientRemappedIsNeitherUsedNorGivenBack) {
    FakeKeyboard keyboard;
    x11::KeyLender lender;
    lender.type(keyboard, syms("xy"));
    // Someone else maps key 12 meanwhile.
    keyboard.keys[12] = {'k', 'K'};
    keyboard.log.clear();
    lender.type(keyboard, syms("x"));
    EXPECT_EQ(keyboard.log, "map 14=x tap 14 ");

    keyboard.log.clear();
    lender.giveBack(keyboard, true);
    EXPECT_EQ(keyboard.log, "map 13=- map 14=- ");
    EXPECT_EQ(keyboard.keys[12][0], 'k');
}

TEST(X11Typing, NothingHappensWithoutAMapOrText) {
    class Unreadable final : public x11::Keyboard {
    public:
        std::optional<Map> map() override { return std::nullopt; }
        void remap(int, const std::vector<unsigned long>&) override { ADD_FAILURE(); }
        void tap(int) override { ADD_FAILURE(); }
        void sync() override {}
        x11::Clock::time_point now() override { return {}; }
        void sleepUntil(x11::Clock::time_point) override {}
    } unreadable;
    x11::KeyLender lender;
    lender.type(unreadable, syms("x"));
    FakeKeyboard keyboard;
    lender.type(keyboard, {});
    EXPECT_TRUE(keyboard.log.empty());
    EXPECT_TRUE(lender.empty());
}
