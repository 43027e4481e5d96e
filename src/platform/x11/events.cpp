// The Linux desktop: pointer, keys, text and media keys through XTest. Key
// codes, flag bits and mouse event types are the macOS ones; they are
// translated here into X keysyms, modifier keys and buttons.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <thread>

#include <X11/XKBlib.h>
#include <X11/Xatom.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include "platform/x11/backend.h"
#include "platform/x11/translate.h"

namespace brindlecast::platform {

using namespace x11;

namespace {

// The modifier flag bits and the keys that stand for them.
constexpr uint64_t shiftFlag = 0x20000;
constexpr uint64_t controlFlag = 0x40000;
constexpr uint64_t alternateFlag = 0x80000;
constexpr uint64_t commandFlag = 0x100000;
constexpr uint64_t modifierFlags = shiftFlag | controlFlag | alternateFlag | commandFlag;

struct ModifierKey {
    uint64_t flag;
    KeySym keysym;
};
constexpr ModifierKey modifierKeys[] = {
    {shiftFlag, XK_Shift_L}, {controlFlag, XK_Control_L}, {alternateFlag, XK_Alt_L}, {commandFlag, XK_Super_L}};

// The two shortcuts that the desktop has no key for: control + command with Q
// locks the session, with F toggles full screen.
constexpr uint64_t shortcutFlags = controlFlag | commandFlag;
constexpr uint16_t lockKey = 12;
constexpr uint16_t fullscreenKey = 3;

// The mouse event types of the common vocabulary.
constexpr uint32_t leftDown = 1;
constexpr uint32_t leftUp = 2;
constexpr uint32_t rightDown = 3;
constexpr uint32_t rightUp = 4;
constexpr uint32_t mouseMoved = 5;

// GTK reads a changed key map only when the key event arrives, so a borrowed
// key keeps its character until this long after its last press (10 ms loses
// characters; a map put back 100 ms after typing lost some on a busy machine).
// Keys are given back at the next request after that, or when the agent ends.
constexpr auto keymapSettle = std::chrono::milliseconds(500);

// A point lies in the pixel that contains it. Fractions of the display that
// name a pixel exactly (88/1279 of 1279) come out a hair below it in double
// precision, so a point that close to a pixel's edge is taken as on it.
int pixelOf(double coordinate) {
    return static_cast<int>(std::floor(coordinate + 1e-6));
}

struct X11Event final : Event {
    enum class Kind { mouse, scroll, key, media };
    explicit X11Event(Kind k) : kind(k) {}
    Kind kind;
    uint32_t type = 0;
    Point at;
    ScrollWheel wheel;
    uint16_t keyCode = 0;
    KeyCode xKey = 0;
    bool down = false;
    uint64_t flags = 0;
    std::optional<std::u16string> text;
};

void clicks(::Display* display, int32_t pixels, unsigned positive, unsigned negative) {
    const int count = wheelClicks(pixels);
    const unsigned button = count > 0 ? positive : negative;
    for (int i = 0; i < std::abs(count); ++i) {
        XTestFakeButtonEvent(display, button, True, CurrentTime);
        XTestFakeButtonEvent(display, button, False, CurrentTime);
    }
}

}  // namespace

// ---- Making events ----------------------------------------------------------

EventHandle X11Mac::mouseEvent(uint32_t type, Point at, uint32_t) {
    if (type < leftDown || type > mouseMoved || x_.get() == nullptr) return nullptr;
    auto event = std::make_unique<X11Event>(X11Event::Kind::mouse);
    event->type = type;
    event->at = at;
    return event;
}

EventHandle X11Mac::scrollEvent(const ScrollWheel& wheel) {
    if (x_.get() == nullptr) return nullptr;
    auto event = std::make_unique<X11Event>(X11Event::Kind::scroll);
    event->wheel = wheel;
    return event;
}

EventHandle X11Mac::keyEvent(uint16_t keyCode, bool down) {
    ::Display* display = x_.get();
    const KeySym keysym = keysymOf(keyCode);
    if (display == nullptr || keysym == NoSymbol) return nullptr;
    const KeyCode xKey = XKeysymToKeycode(display, keysym);
    if (xKey == 0) return nullptr;
    auto event = std::make_unique<X11Event>(X11Event::Kind::key);
    event->keyCode = keyCode;
    event->xKey = xKey;
    event->down = down;
    return event;
}

EventHandle X11Mac::mediaKeyEvent(MediaKey key, bool down) {
    ::Display* display = x_.get();
    if (display == nullptr) return nullptr;
    const KeyCode xKey = XKeysymToKeycode(display, mediaKeysym(key));
    if (xKey == 0) return nullptr;
    auto event = std::make_unique<X11Event>(X11Event::Kind::media);
    event->xKey = xKey;
    event->down = down;
    return event;
}

void X11Mac::setFlags(Event& event, uint64_t flags) {
    static_cast<X11Event&>(event).flags = flags;
}

void X11Mac::setText(Event& event, std::u16string_view units) {
    static_cast<X11Event&>(event).text = std::u16string(units);
}

// ---- Posting ----------------------------------------------------------------

void X11Mac::pressModifiers(uint64_t flags, bool down) {
    ::Display* display = x_.get();
    for (const auto& modifier : modifierKeys) {
        if ((flags & modifier.flag) == 0) continue;
        if (const KeyCode key = XKeysymToKeycode(display, modifier.keysym)) {
            XTestFakeKeyEvent(display, key, down ? True : False, CurrentTime);
        }
    }
}

void X11Mac::post(Event& posted) {
    auto& event = static_cast<X11Event&>(posted);
    ::Display* display = x_.get();
    if (display == nullptr) return;
    switch (event.kind) {
        case X11Event::Kind::mouse: {
            XTestFakeMotionEvent(display, -1, pixelOf(event.at.x), pixelOf(event.at.y), CurrentTime);
            if (event.type != mouseMoved) {
                const unsigned button = event.type == leftDown || event.type == leftUp ? 1 : 3;
                const bool down = event.type == leftDown || event.type == rightDown;
                XTestFakeButtonEvent(display, button, down ? True : False, CurrentTime);
            }
            break;
        }
        case X11Event::Kind::scroll:
            // Wheel 1 up (positive) or down, wheel 2 left (positive) or right.
            clicks(display, event.wheel.wheel1, 4, 5);
            clicks(display, event.wheel.wheel2, 6, 7);
            break;
        case X11Event::Kind::media:
            XTestFakeKeyEvent(display, event.xKey, event.down ? True : False, CurrentTime);
            break;
        case X11Event::Kind::key: {
            if (event.text) {
                // The key-down types the text; the key-up has nothing left to do.
                if (event.down) typeText(*event.text);
                return;
            }
            if ((event.flags & modifierFlags) == shortcutFlags &&
                (event.keyCode == lockKey || event.keyCode == fullscreenKey)) {
                if (!event.down) return;
                if (event.keyCode == fullscreenKey) {
                    toggleFullscreen();
                } else if (!lockSession()) {
                    throw PlatformError{"the session could not be locked"};
                }
                return;
            }
            if (event.down) pressModifiers(event.flags, true);
            XTestFakeKeyEvent(display, event.xKey, event.down ? True : False, CurrentTime);
            if (!event.down) pressModifiers(event.flags, false);
            break;
        }
    }
    XSync(display, False);
}

void X11Mac::toggleFullscreen() {
    ::Display* display = x_.get();
    const ::Window window = activeWindow(x_);
    if (window == 0) return;
    XEvent message{};
    message.xclient.type = ClientMessage;
    message.xclient.window = window;
    message.xclient.message_type = x_.atom("_NET_WM_STATE");
    message.xclient.format = 32;
    message.xclient.data.l[0] = 2;  // toggle
    message.xclient.data.l[1] = static_cast<long>(x_.atom("_NET_WM_STATE_FULLSCREEN"));
    message.xclient.data.l[2] = 0;
    message.xclient.data.l[3] = 1;  // asked for by an ordinary application
    XSendEvent(display, x_.root(), False, SubstructureRedirectMask | SubstructureNotifyMask, &message);
    XSync(display, False);
}

void X11Mac::typeText(std::u16string_view units) {
    ::Display* display = x_.get();
    const std::vector<unsigned long> keysyms = textKeysyms(units);
    if (keysyms.empty()) return;

    int first = 0;
    int last = 0;
    XDisplayKeycodes(display, &first, &last);
    int perKey = 0;
    XFreeing<KeySym> map(XGetKeyboardMapping(display, static_cast<KeyCode>(first), last - first + 1, &perKey));
    if (map.get() == nullptr || perKey <= 0) return;
    auto borrowedKey = [&](int key) {
        return std::find_if(borrowed_.begin(), borrowed_.end(), [&](const BorrowedKey& b) { return b.keyCode == key; });
    };
    // Key codes without any keysym are borrowed, and those borrowed before;
    // without any, the last one is.
    std::vector<int> spare;
    for (int key = first; key <= last; ++key) {
        const KeySym* syms = map.get() + static_cast<std::ptrdiff_t>(key - first) * perKey;
        const auto b = borrowedKey(key);
        if ((b != borrowed_.end() && syms[0] == b->keysym) ||
            std::all_of(syms, syms + perKey, [](KeySym s) { return s == NoSymbol; })) {
            spare.push_back(key);
        }
    }
    if (spare.empty()) spare.push_back(last);
    // A key the server maps otherwise now (a new server) is no longer ours.
    std::erase_if(borrowed_, [&](const BorrowedKey& b) { return std::find(spare.begin(), spare.end(), b.keyCode) == spare.end(); });

    std::size_t next = 0;
    while (next < keysyms.size()) {
        // The longest stretch of the text whose different characters fit the spare keys.
        std::vector<unsigned long> assigned;
        std::size_t end = next;
        for (; end < keysyms.size(); ++end) {
            if (std::find(assigned.begin(), assigned.end(), keysyms[end]) != assigned.end()) continue;
            if (assigned.size() == spare.size()) break;
            assigned.push_back(keysyms[end]);
        }
        // A character keeps the key that types it already. Otherwise it takes
        // a key never borrowed, else the one pressed longest ago, once no
        // client can still be reading that key's last press with the old map.
        std::vector<int> keyOf(assigned.size(), 0);
        std::vector<int> taken;
        for (std::size_t i = 0; i < assigned.size(); ++i) {
            for (const auto& b : borrowed_) {
                if (b.keysym == assigned[i] && std::find(spare.begin(), spare.end(), b.keyCode) != spare.end()) {
                    keyOf[i] = b.keyCode;
                    taken.push_back(b.keyCode);
                }
            }
        }
        bool changed = false;
        for (std::size_t i = 0; i < assigned.size(); ++i) {
            if (keyOf[i] != 0) continue;
            int choice = 0;
            for (int key : spare) {
                if (std::find(taken.begin(), taken.end(), key) != taken.end()) continue;
                const auto b = borrowedKey(key);
                if (b == borrowed_.end()) {
                    choice = key;
                    break;
                }
                if (choice == 0 || b->pressed < borrowedKey(choice)->pressed) choice = key;
            }
            auto b = borrowedKey(choice);
            if (b == borrowed_.end()) {
                const KeySym* syms = map.get() + static_cast<std::ptrdiff_t>(choice - first) * perKey;
                borrowed_.push_back({choice, std::vector<unsigned long>(syms, syms + perKey), 0, {}});
                b = borrowed_.end() - 1;
            } else {
                std::this_thread::sleep_until(b->pressed + keymapSettle);
            }
            b->keysym = assigned[i];
            // Every group and level: whatever the modifiers, the key types this character.
            std::vector<KeySym> syms(static_cast<std::size_t>(perKey), assigned[i]);
            XChangeKeyboardMapping(display, choice, perKey, syms.data(), 1);
            keyOf[i] = choice;
            taken.push_back(choice);
            changed = true;
        }
        if (changed) XSync(display, False);
        for (std::size_t i = next; i < end; ++i) {
            const auto slot = std::find(assigned.begin(), assigned.end(), keysyms[i]) - assigned.begin();
            const auto key = static_cast<KeyCode>(keyOf[static_cast<std::size_t>(slot)]);
            XTestFakeKeyEvent(display, key, True, CurrentTime);
            XTestFakeKeyEvent(display, key, False, CurrentTime);
        }
        XSync(display, False);
        const auto now = std::chrono::steady_clock::now();
        for (auto& b : borrowed_) {
            if (std::find(keyOf.begin(), keyOf.end(), b.keyCode) != keyOf.end()) b.pressed = now;
        }
        next = end;
    }
}

void X11Mac::returnBorrowedKeys(bool wait) {
    if (borrowed_.empty()) return;
    ::Display* display = x_.get();
    if (display == nullptr) {
        borrowed_.clear();  // a new server has its own map
        return;
    }
    const auto now = std::chrono::steady_clock::now();
    bool changed = false;
    for (auto b = borrowed_.begin(); b != borrowed_.end();) {
        if (!wait && now < b->pressed + keymapSettle) {
            ++b;
            continue;
        }
        if (wait) std::this_thread::sleep_until(b->pressed + keymapSettle);
        std::vector<KeySym> syms(b->original.begin(), b->original.end());
        XChangeKeyboardMapping(display, b->keyCode, static_cast<int>(syms.size()), syms.data(), 1);
        changed = true;
        b = borrowed_.erase(b);
    }
    if (changed) XSync(display, False);
}

void X11Mac::beginRequest(std::string_view) {
    returnBorrowedKeys(false);
    monitorsRead_ = false;
}

}  // namespace brindlecast::platform
