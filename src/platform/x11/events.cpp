// The Linux desktop: pointer, keys, text and media keys through XTest. Key
// codes, flag bits and mouse event types are the macOS ones; they are
// translated here into X keysyms, modifier keys and buttons.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <thread>

#include <X11/XKBlib.h>
#include <X11/Xatom.h>
#include <X11/XF86keysym.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include "platform/x11/backend.h"

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

// Virtual key codes of the US keyboard and the keysyms they stand for.
struct KeyName {
    uint16_t code;
    KeySym keysym;
};
constexpr KeyName keyNames[] = {
    {0, XK_a},           {1, XK_s},          {2, XK_d},           {3, XK_f},          {4, XK_h},
    {5, XK_g},           {6, XK_z},          {7, XK_x},           {8, XK_c},          {9, XK_v},
    {11, XK_b},          {12, XK_q},         {13, XK_w},          {14, XK_e},         {15, XK_r},
    {16, XK_y},          {17, XK_t},         {18, XK_1},          {19, XK_2},         {20, XK_3},
    {21, XK_4},          {22, XK_6},         {23, XK_5},          {24, XK_equal},     {25, XK_9},
    {26, XK_7},          {27, XK_minus},     {28, XK_8},          {29, XK_0},         {30, XK_bracketright},
    {31, XK_o},          {32, XK_u},         {33, XK_bracketleft}, {34, XK_i},        {35, XK_p},
    {36, XK_Return},     {37, XK_l},         {38, XK_j},          {39, XK_apostrophe}, {40, XK_k},
    {41, XK_semicolon},  {42, XK_backslash}, {43, XK_comma},      {44, XK_slash},     {45, XK_n},
    {46, XK_m},          {47, XK_period},    {48, XK_Tab},        {49, XK_space},     {50, XK_grave},
    {51, XK_BackSpace},  {53, XK_Escape},    {96, XK_F5},         {97, XK_F6},        {98, XK_F7},
    {99, XK_F3},         {100, XK_F8},       {101, XK_F9},        {103, XK_F11},      {109, XK_F10},
    {111, XK_F12},       {115, XK_Home},     {116, XK_Prior},     {117, XK_Delete},   {118, XK_F4},
    {119, XK_End},       {120, XK_F2},       {121, XK_Next},      {122, XK_F1},       {123, XK_Left},
    {124, XK_Right},     {125, XK_Down},     {126, XK_Up},
};

KeySym keysymOf(uint16_t code) {
    for (const auto& key : keyNames) {
        if (key.code == code) return key.keysym;
    }
    return NoSymbol;
}

KeySym mediaKeysym(MediaKey key) {
    switch (key) {
        case MediaKey::play: return XF86XK_AudioPlay;
        case MediaKey::next: return XF86XK_AudioNext;
        case MediaKey::previous: return XF86XK_AudioPrev;
        case MediaKey::mute: return XF86XK_AudioMute;
        case MediaKey::soundUp: return XF86XK_AudioRaiseVolume;
        case MediaKey::soundDown: return XF86XK_AudioLowerVolume;
    }
    return NoSymbol;
}

// The mouse event types of the common vocabulary.
constexpr uint32_t leftDown = 1;
constexpr uint32_t leftUp = 2;
constexpr uint32_t rightDown = 3;
constexpr uint32_t rightUp = 4;
constexpr uint32_t mouseMoved = 5;

// A wheel click scrolls this many pixels; every scroll moves at least one click.
constexpr int pixelsPerClick = 40;

// GTK reads a changed key map only when the key event arrives; the map is put
// back this long after the last key of a text was typed (10 ms loses characters).
constexpr auto keymapSettle = std::chrono::milliseconds(100);

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

void clicks(::Display* display, int amount, unsigned positive, unsigned negative) {
    if (amount == 0) return;
    const unsigned button = amount > 0 ? positive : negative;
    const int count = std::max(1, (std::abs(amount) + pixelsPerClick / 2) / pixelsPerClick);
    for (int i = 0; i < count; ++i) {
        XTestFakeButtonEvent(display, button, True, CurrentTime);
        XTestFakeButtonEvent(display, button, False, CurrentTime);
    }
}

// The keysyms that type UTF-16 text: a carriage return with or without a line
// feed is one Return; other control characters are left out.
std::vector<KeySym> textKeysyms(std::u16string_view units) {
    std::vector<KeySym> out;
    for (std::size_t i = 0; i < units.size(); ++i) {
        char32_t c = units[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (units[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        if (c == '\r') {
            if (i + 1 < units.size() && units[i + 1] == '\n') ++i;
            out.push_back(XK_Return);
        } else if (c == '\n') {
            out.push_back(XK_Return);
        } else if (c == '\t') {
            out.push_back(XK_Tab);
        } else if (c < 0x20 || c == 0x7F || (c >= 0x80 && c < 0xA0)) {
            continue;
        } else if (c < 0x100) {
            out.push_back(static_cast<KeySym>(c));  // Latin-1 keysyms are the characters
        } else {
            out.push_back(static_cast<KeySym>(0x01000000 | c));
        }
    }
    return out;
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
            // A point lies in the pixel that contains it.
            XTestFakeMotionEvent(display, -1, static_cast<int>(std::floor(event.at.x)),
                                 static_cast<int>(std::floor(event.at.y)), CurrentTime);
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
    const std::vector<KeySym> keysyms = textKeysyms(units);
    if (keysyms.empty()) return;

    int first = 0;
    int last = 0;
    XDisplayKeycodes(display, &first, &last);
    int perKey = 0;
    XFreeing<KeySym> map(XGetKeyboardMapping(display, static_cast<KeyCode>(first), last - first + 1, &perKey));
    if (map.get() == nullptr || perKey <= 0) return;
    // Key codes without any keysym are borrowed; without any, the last one is.
    std::vector<int> spare;
    for (int key = first; key <= last; ++key) {
        const KeySym* syms = map.get() + static_cast<std::ptrdiff_t>(key - first) * perKey;
        if (std::all_of(syms, syms + perKey, [](KeySym s) { return s == NoSymbol; })) spare.push_back(key);
    }
    if (spare.empty()) spare.push_back(last);

    std::size_t next = 0;
    while (next < keysyms.size()) {
        // The longest stretch of the text whose different characters fit the spare keys.
        std::vector<KeySym> assigned;
        std::size_t end = next;
        for (; end < keysyms.size(); ++end) {
            if (std::find(assigned.begin(), assigned.end(), keysyms[end]) != assigned.end()) continue;
            if (assigned.size() == spare.size()) break;
            assigned.push_back(keysyms[end]);
        }
        for (std::size_t i = 0; i < assigned.size(); ++i) {
            // Every group and level: whatever the modifiers, the key types this character.
            std::vector<KeySym> syms(static_cast<std::size_t>(perKey), assigned[i]);
            XChangeKeyboardMapping(display, spare[i], perKey, syms.data(), 1);
        }
        XSync(display, False);
        for (std::size_t i = next; i < end; ++i) {
            const auto slot = std::find(assigned.begin(), assigned.end(), keysyms[i]) - assigned.begin();
            const auto key = static_cast<KeyCode>(spare[static_cast<std::size_t>(slot)]);
            XTestFakeKeyEvent(display, key, True, CurrentTime);
            XTestFakeKeyEvent(display, key, False, CurrentTime);
        }
        XSync(display, False);
        std::this_thread::sleep_for(keymapSettle);
        for (std::size_t i = 0; i < assigned.size(); ++i) {
            XChangeKeyboardMapping(display, spare[i], perKey,
                                   map.get() + static_cast<std::ptrdiff_t>(spare[i] - first) * perKey, 1);
        }
        XSync(display, False);
        next = end;
    }
}

}  // namespace brindlecast::platform
