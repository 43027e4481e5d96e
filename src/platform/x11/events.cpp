// The Linux desktop: pointer, keys, text and media keys through XTest. Key
// codes, flag bits and mouse event types are the macOS ones; they are
// translated here into X keysyms, modifier keys and buttons.
#include <cmath>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include <X11/XKBlib.h>
#include <X11/Xatom.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include "platform/x11/backend.h"
#include "platform/x11/translate.h"
#include "platform/x11/typing.h"

namespace brindlecast::platform {

using namespace x11;

namespace {

// The keys that stand for the modifier flags.
struct ModifierKey {
    EventFlags flag;
    KeySym keysym;
};
constexpr ModifierKey modifierKeys[] = {{EventFlags::shift, XK_Shift_L},
                                        {EventFlags::control, XK_Control_L},
                                        {EventFlags::alternate, XK_Alt_L},
                                        {EventFlags::command, XK_Super_L}};
constexpr EventFlags modifierFlags =
    EventFlags::shift | EventFlags::control | EventFlags::alternate | EventFlags::command;

// Whether a key event is one of the two chords that the desktop has no key
// for: the lock and the full-screen chord.
bool isChord(const KeyChord& chord, VirtualKey key, EventFlags flags) {
    return key == chord.key && (flags & modifierFlags) == chord.flags;
}

// The keyboard that typed text borrows keys of: the server's key map, changed
// and pressed through XTest. Borrowed keys are given back at the first request
// after they have settled, or when the agent ends.
class XTestKeyboard final : public Keyboard {
public:
    XTestKeyboard(::Display* display, RequestDeadline& deadline) : display_(display), deadline_(deadline) {}

    std::optional<Map> map() override {
        Map map;
        XDisplayKeycodes(display_, &map.first, &map.last);
        XFreeing<KeySym> syms(XGetKeyboardMapping(display_, static_cast<KeyCode>(map.first), map.last - map.first + 1,
                                                  &map.perKey));
        if (syms.get() == nullptr || map.perKey <= 0) return std::nullopt;
        map.keysyms.assign(syms.get(), syms.get() + static_cast<std::ptrdiff_t>(map.last - map.first + 1) * map.perKey);
        return map;
    }
    void remap(int keyCode, const std::vector<unsigned long>& keysyms) override {
        std::vector<KeySym> syms(keysyms.begin(), keysyms.end());
        XChangeKeyboardMapping(display_, keyCode, static_cast<int>(syms.size()), syms.data(), 1);
    }
    void tap(int keyCode) override {
        XTestFakeKeyEvent(display_, static_cast<unsigned>(keyCode), True, CurrentTime);
        XTestFakeKeyEvent(display_, static_cast<unsigned>(keyCode), False, CurrentTime);
    }
    void sync() override { XSync(display_, False); }
    Clock::time_point now() override { return Clock::now(); }
    // The wait for a borrowed key to settle is the request's own: the
    // deadline moves back by it.
    void sleepUntil(Clock::time_point when) override {
        deadline_.allow(when - Clock::now());
        std::this_thread::sleep_until(when);
    }

private:
    ::Display* display_;
    RequestDeadline& deadline_;
};

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
    MouseEventType type = MouseEventType::moved;
    Point at;
    ScrollWheel wheel;
    VirtualKey key = VirtualKey::a;
    KeyCode xKey = 0;
    bool down = false;
    EventFlags flags = EventFlags::none;
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

EventHandle X11Mac::mouseEvent(MouseEventType type, Point at, MouseButton) {
    if (x_.get() == nullptr) return nullptr;
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

EventHandle X11Mac::keyEvent(VirtualKey key, bool down) {
    ::Display* display = x_.get();
    const KeySym keysym = keysymOf(key);
    if (display == nullptr || keysym == NoSymbol) return nullptr;
    const KeyCode xKey = XKeysymToKeycode(display, keysym);
    if (xKey == 0) return nullptr;
    auto event = std::make_unique<X11Event>(X11Event::Kind::key);
    event->key = key;
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

void X11Mac::setFlags(Event& event, EventFlags flags) {
    static_cast<X11Event&>(event).flags = flags;
}

void X11Mac::setText(Event& event, std::u16string_view units) {
    static_cast<X11Event&>(event).text = std::u16string(units);
}

// ---- Posting ----------------------------------------------------------------

void X11Mac::pressModifiers(EventFlags flags, bool down) {
    ::Display* display = x_.get();
    for (const auto& modifier : modifierKeys) {
        if ((flags & modifier.flag) == EventFlags::none) continue;
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
            if (event.type != MouseEventType::moved) {
                const bool left = event.type == MouseEventType::leftDown || event.type == MouseEventType::leftUp;
                const unsigned button = left ? 1 : 3;
                const bool down = event.type == MouseEventType::leftDown || event.type == MouseEventType::rightDown;
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
            const bool fullscreen = isChord(fullscreenChord, event.key, event.flags);
            if (fullscreen || isChord(lockChord, event.key, event.flags)) {
                if (!event.down) return;
                if (fullscreen) {
                    toggleFullscreen();
                } else if (!lockSession()) {
                    throw PlatformError{};
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
    // Only a window manager can make a window full screen.
    if (!windowManagerRuns(x_)) throw PlatformError{};
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
    XTestKeyboard keyboard(x_.get(), deadline_);
    lender_.type(keyboard, textKeysyms(units));
}

void X11Mac::returnBorrowedKeys(bool wait) {
    if (lender_.empty()) return;
    ::Display* display = x_.get();
    if (display == nullptr) {
        lender_.forget();  // a new server has its own map
        return;
    }
    XTestKeyboard keyboard(display, deadline_);
    lender_.giveBack(keyboard, wait);
}

void X11Mac::beginRequest(std::string_view) {
    deadline_.begin();
    returnBorrowedKeys(false);
    monitorsRead_ = false;
    keyboardHeld_.reset();
    front_.reset();
}

}  // namespace brindlecast::platform
