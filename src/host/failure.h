// The one error value of the agent, and every code and message it can carry.
#pragma once

#include <string_view>

namespace brindlecast {

// A refusal. `code` and the messages always point at the fixed texts below:
// messages are never built from request data. The code is the same on every
// system; where the Mac's wording would send a Linux desktop's user to the
// wrong place, `linuxMessage` says what to do there instead.
struct Failure {
    std::string_view code;
    std::string_view message;        // as a Mac's user reads it
    std::string_view linuxMessage{};  // as a Linux desktop's user reads it, when it differs

    constexpr std::string_view onLinux() const { return linuxMessage.empty() ? message : linuxMessage; }
};

[[noreturn]] void fail(const Failure& failure);

namespace codes {
inline constexpr std::string_view commandNotAllowed = "COMMAND_NOT_ALLOWED";
inline constexpr std::string_view macOperationUnavailable = "MAC_OPERATION_UNAVAILABLE";
inline constexpr std::string_view desktopLocked = "DESKTOP_LOCKED";
inline constexpr std::string_view desktopInputUnavailable = "DESKTOP_INPUT_UNAVAILABLE";
inline constexpr std::string_view desktopInputInvalid = "DESKTOP_INPUT_INVALID";
inline constexpr std::string_view mediaInputUnavailable = "MEDIA_INPUT_UNAVAILABLE";
inline constexpr std::string_view powerUnavailable = "POWER_UNAVAILABLE";
inline constexpr std::string_view desktopCaptureUnavailable = "DESKTOP_CAPTURE_UNAVAILABLE";
inline constexpr std::string_view desktopCaptureProfileInvalid = "DESKTOP_CAPTURE_PROFILE_INVALID";
inline constexpr std::string_view desktopMonitorInvalid = "DESKTOP_MONITOR_INVALID";
inline constexpr std::string_view appPreviewUnavailable = "APP_PREVIEW_UNAVAILABLE";
inline constexpr std::string_view appNotFound = "APP_NOT_FOUND";
inline constexpr std::string_view appActionInvalid = "APP_ACTION_INVALID";
inline constexpr std::string_view appActionUnavailable = "APP_ACTION_UNAVAILABLE";
}  // namespace codes

// Every failure of the system, code and message together.
namespace failures {
// Request host.
inline constexpr Failure malformedRequest{codes::commandNotAllowed, "Malformed request."};
inline constexpr Failure unknownOrIncomplete{codes::commandNotAllowed, "Unknown or incomplete request."};
inline constexpr Failure invalidIdentifier{codes::commandNotAllowed, "Invalid request identifier."};
inline constexpr Failure unknownOperation{codes::commandNotAllowed, "Unknown operation."};
inline constexpr Failure unknownAction{codes::commandNotAllowed, "Unknown action."};
inline constexpr Failure unknownPermission{codes::commandNotAllowed, "Unknown permission."};
inline constexpr Failure unknownPresentationAction{codes::commandNotAllowed, "Unknown presentation action."};
inline constexpr Failure unknownPowerAction{codes::commandNotAllowed, "Unknown power action."};
inline constexpr Failure platformError{
    codes::macOperationUnavailable, "macOS could not complete the request. Check local permissions.",
    "The desktop could not complete the request. Check that the X11 session and its services are running."};
// Session guard and input.
inline constexpr Failure locked{
    codes::desktopLocked, "Unlock your Mac and leave any password field before using remote controls.",
    "Unlock your desktop session and leave any password field before using remote controls."};
inline constexpr Failure protectedScreen{
    codes::desktopLocked, "macOS is showing a protected screen.",
    "A password prompt or lock screen is in front. Finish it on the computer first."};
inline constexpr Failure passwordField{codes::desktopLocked, "Password fields stay private."};
inline constexpr Failure accessibilityMissing{
    codes::desktopInputUnavailable, "Allow Brindlecast in macOS Accessibility settings.",
    "Remote control needs an X11 session with the XTest extension; Wayland is not supported yet."};
inline constexpr Failure keyEventUnavailable{
    codes::desktopInputUnavailable, "macOS could not create the key event.",
    "The keyboard layout has no key for that shortcut. Check the X server's keyboard map."};
inline constexpr Failure noTextField{
    codes::desktopInputUnavailable, "Select an ordinary text field on the Mac first.",
    "Select an ordinary text field on the computer first, with the desktop's accessibility support turned on."};
inline constexpr Failure fieldRefusesText{codes::desktopInputUnavailable, "This field does not support remote text."};
inline constexpr Failure textInputUnavailable{codes::desktopInputUnavailable, "Text input unavailable."};
inline constexpr Failure invalidNumber{codes::desktopInputInvalid, "Invalid numeric input."};
inline constexpr Failure outOfBounds{codes::desktopInputInvalid, "Input exceeds its permitted bounds."};
inline constexpr Failure unknownMouseButton{codes::desktopInputInvalid, "Unknown mouse button."};
inline constexpr Failure emptyScroll{codes::desktopInputInvalid, "Empty scroll."};
inline constexpr Failure invalidText{codes::desktopInputInvalid, "Invalid text."};
inline constexpr Failure invalidTextInput{codes::desktopInputInvalid, "Invalid text input."};
inline constexpr Failure mediaControlMissing{codes::mediaInputUnavailable,
                                             "This Mac player does not provide that control yet.",
                                             "This desktop does not provide that control yet."};
inline constexpr Failure mediaUnavailable{codes::mediaInputUnavailable, "Media control is unavailable."};
inline constexpr Failure powerDeclined{
    codes::powerUnavailable, "macOS declined the request. Check Automation permission and unsaved work.",
    "The system declined the request. Check that your account may power off, restart or suspend, and save your work."};
// Displays and capture.
inline constexpr Failure noDisplay{codes::desktopCaptureUnavailable, "No active Mac display is available.",
                                   "No X11 screen is available. Check that the X server is running."};
inline constexpr Failure displaysUnreadable{codes::desktopCaptureUnavailable, "Cannot read Mac displays.",
                                            "Cannot read the X11 screens. Check that the X server is running."};
inline constexpr Failure screenRecordingMissing{codes::desktopCaptureUnavailable,
                                                "Allow Brindlecast in Screen Recording settings.",
                                                "Screen pictures need an X11 session; Wayland is not supported yet."};
inline constexpr Failure screenPermissionRemoved{codes::desktopCaptureUnavailable, "Screen permission was removed.",
                                                 "The X11 session ended while the picture was taken."};
inline constexpr Failure frameTooLarge{codes::desktopCaptureUnavailable, "This frame exceeds the connection limit."};
inline constexpr Failure unknownProfile{codes::desktopCaptureProfileInvalid, "Unknown picture profile."};
inline constexpr Failure monitorGone{codes::desktopMonitorInvalid, "That monitor is no longer connected."};
inline constexpr Failure displayNotShareable{codes::desktopMonitorInvalid, "That display cannot be shared."};
inline constexpr Failure noAppWindow{codes::appPreviewUnavailable, "No visible app window is available."};
// Applications.
inline constexpr Failure appNotInCatalog{codes::appNotFound, "That app is not in the Mac application catalog.",
                                         "That app is not among the applications installed on this computer."};
inline constexpr Failure invalidApp{codes::appNotFound, "Invalid app."};
inline constexpr Failure unknownAppAction{codes::appActionInvalid, "Unknown app action."};
inline constexpr Failure appNotOpen{codes::appActionUnavailable, "Open the app before bringing it forward."};
inline constexpr Failure appCannotClose{codes::appActionUnavailable, "That app cannot be closed remotely."};
inline constexpr Failure closeDeclined{codes::appActionUnavailable, "macOS declined the close request.",
                                       "The app declined the close request. Check it for unsaved work."};
}  // namespace failures

}  // namespace brindlecast
