#include "platform/x11/typing.h"

#include <algorithm>

namespace brindlecast::platform::x11 {

namespace {

bool contains(const std::vector<int>& keys, int key) {
    return std::find(keys.begin(), keys.end(), key) != keys.end();
}

// The end of the longest stretch of `keysyms` from `from` on whose different
// characters number at most `room`; those characters, in order of appearance.
std::size_t stretch(const std::vector<unsigned long>& keysyms, std::size_t from, std::size_t room,
                    std::vector<unsigned long>& characters) {
    std::size_t end = from;
    for (; end < keysyms.size(); ++end) {
        if (std::find(characters.begin(), characters.end(), keysyms[end]) != characters.end()) continue;
        if (characters.size() == room) break;
        characters.push_back(keysyms[end]);
    }
    return end;
}

}  // namespace

std::vector<KeyLender::BorrowedKey>::iterator KeyLender::find(int keyCode) {
    return std::find_if(borrowed_.begin(), borrowed_.end(), [&](const BorrowedKey& b) { return b.keyCode == keyCode; });
}

std::vector<int> KeyLender::spareKeys(const Keyboard::Map& map) {
    std::vector<int> spare;
    for (int key = map.first; key <= map.last; ++key) {
        const unsigned long* syms = map.of(key);
        const auto b = find(key);
        if ((b != borrowed_.end() && syms[0] == b->keysym) ||
            std::all_of(syms, syms + map.perKey, [](unsigned long s) { return s == 0; })) {
            spare.push_back(key);
        }
    }
    if (spare.empty()) spare.push_back(map.last);
    // A key mapped otherwise now (by another client, or a new server) is no longer ours.
    std::erase_if(borrowed_, [&](const BorrowedKey& b) { return !contains(spare, b.keyCode); });
    return spare;
}

std::vector<int> KeyLender::assign(Keyboard& keyboard, const Keyboard::Map& map, const std::vector<int>& spare,
                                   const std::vector<unsigned long>& characters) {
    std::vector<int> keyOf(characters.size(), 0);
    std::vector<int> taken;
    for (std::size_t i = 0; i < characters.size(); ++i) {
        for (const auto& b : borrowed_) {
            if (b.keysym == characters[i]) {
                keyOf[i] = b.keyCode;
                taken.push_back(b.keyCode);
            }
        }
    }
    bool changed = false;
    for (std::size_t i = 0; i < characters.size(); ++i) {
        if (keyOf[i] != 0) continue;
        // A key never borrowed, else the one pressed longest ago.
        int choice = 0;
        for (int key : spare) {
            if (contains(taken, key)) continue;
            const auto b = find(key);
            if (b == borrowed_.end()) {
                choice = key;
                break;
            }
            if (choice == 0 || b->pressed < find(choice)->pressed) choice = key;
        }
        auto b = find(choice);
        if (b == borrowed_.end()) {
            const unsigned long* syms = map.of(choice);
            borrowed_.push_back({choice, std::vector<unsigned long>(syms, syms + map.perKey), 0, {}});
            b = borrowed_.end() - 1;
        } else {
            // No client may still be reading its last press with the old map.
            keyboard.sleepUntil(b->pressed + keymapSettle);
        }
        b->keysym = characters[i];
        // Every group and level: whatever the modifiers, the key types this character.
        keyboard.remap(choice, std::vector<unsigned long>(static_cast<std::size_t>(map.perKey), characters[i]));
        keyOf[i] = choice;
        taken.push_back(choice);
        changed = true;
    }
    if (changed) keyboard.sync();
    return keyOf;
}

void KeyLender::type(Keyboard& keyboard, const std::vector<unsigned long>& keysyms) {
    if (keysyms.empty()) return;
    const auto map = keyboard.map();
    if (!map || map->perKey <= 0) return;
    const std::vector<int> spare = spareKeys(*map);

    for (std::size_t next = 0; next < keysyms.size();) {
        std::vector<unsigned long> characters;
        const std::size_t end = stretch(keysyms, next, spare.size(), characters);
        const std::vector<int> keyOf = assign(keyboard, *map, spare, characters);
        for (std::size_t i = next; i < end; ++i) {
            const auto slot = std::find(characters.begin(), characters.end(), keysyms[i]) - characters.begin();
            keyboard.tap(keyOf[static_cast<std::size_t>(slot)]);
        }
        keyboard.sync();
        const auto now = keyboard.now();
        for (auto& b : borrowed_) {
            if (contains(keyOf, b.keyCode)) b.pressed = now;
        }
        next = end;
    }
}

void KeyLender::giveBack(Keyboard& keyboard, bool wait) {
    if (borrowed_.empty()) return;
    const auto now = keyboard.now();
    bool changed = false;
    for (auto b = borrowed_.begin(); b != borrowed_.end();) {
        if (!wait && now < b->pressed + keymapSettle) {
            ++b;
            continue;
        }
        if (wait) keyboard.sleepUntil(b->pressed + keymapSettle);
        keyboard.remap(b->keyCode, b->original);
        changed = true;
        b = borrowed_.erase(b);
    }
    if (changed) keyboard.sync();
}

}  // namespace brindlecast::platform::x11
