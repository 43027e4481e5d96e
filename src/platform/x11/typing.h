// Typing any character through borrowed key codes: the rules, apart from the
// X server. A character is typed by mapping it onto a key code that no key
// uses (a spare key) and pressing that key; the key keeps the character for a
// while, since clients read a changed map only when the key event arrives.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <vector>

namespace brindlecast::platform::x11 {

using Clock = std::chrono::steady_clock;

// What the rules need of a keyboard: its map, a way to change one key of it,
// key presses, and a clock to wait on.
class Keyboard {
public:
    virtual ~Keyboard() = default;

    // The key map: the keysyms of every key code from `first` to `last`,
    // `perKey` for each, in order.
    struct Map {
        int first = 0;
        int last = 0;
        int perKey = 0;
        std::vector<unsigned long> keysyms;

        const unsigned long* of(int keyCode) const {
            return keysyms.data() + static_cast<std::ptrdiff_t>(keyCode - first) * perKey;
        }
    };
    // None when the map cannot be read.
    virtual std::optional<Map> map() = 0;
    // Gives one key code these keysyms (as many as the map has for each key).
    virtual void remap(int keyCode, const std::vector<unsigned long>& keysyms) = 0;
    // Presses and releases one key code.
    virtual void tap(int keyCode) = 0;
    // Waits until the server has carried out every request so far.
    virtual void sync() = 0;

    virtual Clock::time_point now() = 0;
    virtual void sleepUntil(Clock::time_point when) = 0;
};

// A borrowed key is kept this long after its last press before it types
// something else or is given back. GTK reads a changed key map only when the
// key event arrives: 10 ms loses characters, and a map put back 100 ms after
// typing lost some on a busy machine.
inline constexpr auto keymapSettle = std::chrono::milliseconds(500);

// The key codes lent to characters of typed text, between requests too.
class KeyLender {
public:
    // Types keysyms, in order, through spare key codes. A spare key is one
    // without any keysym, or one borrowed before that still types what it was
    // given; without any, the last key code is borrowed. A character keeps the
    // key that types it already; otherwise it takes a key never borrowed, else
    // the one pressed longest ago once it has settled. Text with more
    // different characters than spare keys goes out in stretches.
    void type(Keyboard& keyboard, const std::vector<unsigned long>& keysyms);

    // Gives keys their keysyms back once they have settled: all of them,
    // waiting for each, with `wait`; otherwise only those settled already.
    void giveBack(Keyboard& keyboard, bool wait);

    // Forgets every borrowed key without giving it back (a new server has a
    // map of its own).
    void forget() { borrowed_.clear(); }

    bool empty() const { return borrowed_.empty(); }

private:
    // A key code lent to a character: the keysyms it had, the character it
    // types now, and when it was last pressed.
    struct BorrowedKey {
        int keyCode = 0;
        std::vector<unsigned long> original;
        unsigned long keysym = 0;
        Clock::time_point pressed;
    };
    std::vector<BorrowedKey>::iterator find(int keyCode);
    // The spare keys of the map; forgets borrowed keys that are no longer spare.
    std::vector<int> spareKeys(const Keyboard::Map& map);
    // Gives each character a key of `spare`, borrowing and remapping where
    // needed; returns the key of each, in the order of `characters`.
    std::vector<int> assign(Keyboard& keyboard, const Keyboard::Map& map, const std::vector<int>& spare,
                            const std::vector<unsigned long>& characters);

    std::vector<BorrowedKey> borrowed_;
};

}  // namespace brindlecast::platform::x11
