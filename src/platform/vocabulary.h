// The words the operations and the backends say to each other. They are the
// Mac's own, with the Mac's numbers, on every system: Quartz mouse event
// types, buttons and modifier flag bits, the virtual key codes of the US
// layout, the application activation options, the Apple event results of the
// Automation check, and the accessibility role words. A backend for another
// system translates them; none declares a number of its own. The virtual
// Mac's event log records the numbers as they are, so none may change.
#pragma once

#include <cstdint>
#include <string_view>

namespace brindlecast::platform {

// ---- Pointer ----------------------------------------------------------------

enum class MouseEventType : uint32_t { leftDown = 1, leftUp = 2, rightDown = 3, rightUp = 4, moved = 5 };

enum class MouseButton : uint32_t { left = 0, right = 1 };

enum class ScrollUnit : int32_t { pixel = 0, line = 1 };

// ---- Keyboard ---------------------------------------------------------------

// The modifier flag bits of a keyboard event, combined with | and tested with &.
enum class EventFlags : uint64_t {
    none = 0,
    shift = 0x20000,
    control = 0x40000,
    alternate = 0x80000,
    command = 0x100000,
};

constexpr EventFlags operator|(EventFlags a, EventFlags b) {
    return static_cast<EventFlags>(static_cast<uint64_t>(a) | static_cast<uint64_t>(b));
}
constexpr EventFlags operator&(EventFlags a, EventFlags b) {
    return static_cast<EventFlags>(static_cast<uint64_t>(a) & static_cast<uint64_t>(b));
}

// The virtual key codes, named after what the key types on the US layout.
enum class VirtualKey : uint16_t {
    a = 0, s = 1, d = 2, f = 3, h = 4, g = 5, z = 6, x = 7, c = 8, v = 9, b = 11, q = 12, w = 13,
    e = 14, r = 15, y = 16, t = 17, digit1 = 18, digit2 = 19, digit3 = 20, digit4 = 21, digit6 = 22,
    digit5 = 23, equal = 24, digit9 = 25, digit7 = 26, minus = 27, digit8 = 28, digit0 = 29,
    rightBracket = 30, o = 31, u = 32, leftBracket = 33, i = 34, p = 35, returnKey = 36, l = 37, j = 38,
    quote = 39, k = 40, semicolon = 41, backslash = 42, comma = 43, slash = 44, n = 45, m = 46,
    period = 47, tab = 48, space = 49, grave = 50, backspace = 51, escape = 53,
    f5 = 96, f6 = 97, f7 = 98, f3 = 99, f8 = 100, f9 = 101, f11 = 103, f10 = 109, f12 = 111,
    home = 115, pageUp = 116, forwardDelete = 117, f4 = 118, end = 119, f2 = 120, pageDown = 121, f1 = 122,
    leftArrow = 123, rightArrow = 124, downArrow = 125, upArrow = 126,
};

// A key pressed with modifier flags.
struct KeyChord {
    VirtualKey key;
    EventFlags flags;
};

// Control + command + Q locks the Mac; control + command + F toggles full screen.
inline constexpr KeyChord lockChord{VirtualKey::q, EventFlags::control | EventFlags::command};
inline constexpr KeyChord fullscreenChord{VirtualKey::f, EventFlags::control | EventFlags::command};

// ---- Accessibility ----------------------------------------------------------

// The role words of a focused element. Text goes only into the first three.
namespace roles {
inline constexpr std::string_view textField = "AXTextField";
inline constexpr std::string_view textArea = "AXTextArea";
inline constexpr std::string_view comboBox = "AXComboBox";
inline constexpr std::string_view staticText = "AXStaticText";
inline constexpr std::string_view popUpButton = "AXPopUpButton";
inline constexpr std::string_view button = "AXButton";
inline constexpr std::string_view webArea = "AXWebArea";
inline constexpr std::string_view list = "AXList";
inline constexpr std::string_view unknown = "AXUnknown";
// The subrole of a password field, whatever its role.
inline constexpr std::string_view secureTextField = "AXSecureTextField";
}  // namespace roles

// ---- Applications and permissions -------------------------------------------

// How an application is brought forward: as the platform chooses, or with every window of it.
enum class ActivationOptions : uint64_t { none = 0, allWindows = 1 };

// The answer of the Automation check for power requests: granted, denied, not
// yet asked, or no answer at all (the target is not there). Any other number
// a Mac answers with also means no answer.
enum class AutomationStatus : int32_t { granted = 0, denied = -1743, notDetermined = -1744, unavailable = -600 };

}  // namespace brindlecast::platform
