// The X11 backend's class, shared by the files of this folder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/mac.h"
#include "platform/x11/bus.h"
#include "platform/x11/deadline.h"
#include "platform/x11/typing.h"
#include "platform/x11/xconnection.h"

namespace brindlecast::platform {

class AccessibilityBus;

namespace x11 {

// One RandR monitor. Its number is the atom of its name, which stays the same
// for as long as the server runs.
struct Monitor {
    uint32_t number = 0;
    Rect bounds;
    bool primary = false;
    std::string name;
    std::vector<unsigned long> outputs;
};

// Facts a bus gave, with the bus's change number (Bus::changes) and the time
// when they were read.
template <typename Facts>
struct Remembered {
    Facts facts;
    uint64_t changes = 0;
    Clock::time_point readAt;
};

// The session's facts as logind gave them.
struct LoginFacts {
    bool found = false;  // logind named the session and told its facts
    std::optional<bool> active;
    std::optional<bool> remote;
    std::optional<std::string> state;
    std::optional<bool> lockedHint;
};

// The signals that say logind's and the screen saver's facts may have changed.
std::vector<WatchedSignal> loginSignals();
std::vector<WatchedSignal> screenSaverSignals();

// The shared-memory image that screenshots are read into, kept from one
// frame to the next while its size and connection stay the same, and lent
// to the picture of a screenshot taken at its own size.
class SharedImage;

}  // namespace x11

class X11Mac final : public Mac {
public:
    X11Mac();
    ~X11Mac() override;

    std::optional<SessionFacts> session() override;
    bool secureInputEnabled() override;
    std::optional<FrontmostApp> frontmostApplication() override;
    bool accessibilityTrusted() override;
    void promptAccessibility() override;
    bool screenCaptureAllowed() override;
    void promptScreenCapture() override;
    AutomationStatus automationStatus(bool prompt) override;
    DesktopSystem desktopSystem() const override { return DesktopSystem::linuxX11; }

    std::optional<uint32_t> activeDisplayCount() override;
    std::optional<std::vector<uint32_t>> activeDisplays(uint32_t capacity) override;
    uint32_t mainDisplay() override;
    std::optional<std::string> displayUuid(uint32_t display) override;
    Rect displayBounds(uint32_t display) override;

    EventHandle mouseEvent(MouseEventType type, Point at, MouseButton button) override;
    EventHandle scrollEvent(const ScrollWheel& wheel) override;
    EventHandle keyEvent(VirtualKey key, bool down) override;
    EventHandle mediaKeyEvent(MediaKey key, bool down) override;
    void setFlags(Event& event, EventFlags flags) override;
    void setText(Event& event, std::u16string_view units) override;
    void post(Event& event) override;

    FocusedField focusedField() override;
    PowerReply requestPower(PowerIntent intent, double timeoutSeconds) override;

    ShareableContent shareableContent(ContentScope scope) override;
    Picture captureDisplay(const ShareableContent& content, uint32_t display,
                           const CaptureSettings& settings) override;
    Picture captureWindow(const ShareableContent& content, std::size_t windowIndex,
                          const CaptureSettings& settings) override;

    ScanRoots applicationRoots() override;
    std::optional<std::vector<FolderEntry>> listFolder(const std::string& path) override;
    bool isApplicationCandidate(const FolderEntry& entry) override;
    std::optional<Bundle> openBundle(const std::string& path) override;
    std::string standardLocation(const std::string& path) override;
    bool fileExists(const std::string& path) override;
    std::vector<RunningApp> runningApplications() override;
    int32_t ownProcessId() override;
    bool activate(const RunningApp& app, ActivationOptions options) override;
    bool terminate(const RunningApp& app) override;
    bool forceTerminate(const RunningApp& app) override;
    void openApplication(const std::string& bundlePath) override;
    std::optional<Picture> drawIcon(const std::string& bundlePath, int size) override;

    IdentifierSets identifierSets() override;
    double now() override;
    void beginRequest(std::string_view id) override;
    void endRequest() override;

private:
    // The logind session object of this process, or none.
    std::optional<std::string> sessionObject();
    // Locks the session (logind, else the screen saver); false when neither answered.
    bool lockSession();
    // Toggles full screen on the active window.
    void toggleFullscreen();
    // Types the characters of UTF-16 text through spare key codes.
    void typeText(std::u16string_view units);
    // Gives borrowed key codes their keysyms back once a client that is slow
    // to read its events can no longer need them (all of them, waiting, when
    // `wait`).
    void returnBorrowedKeys(bool wait);
    // Presses or releases the keys of the modifier flags.
    void pressModifiers(EventFlags flags, bool down);
    // The RandR monitors, read once per request; none when they cannot be read.
    const std::optional<std::vector<x11::Monitor>>& monitors();
    // The root window's pixels in `area` at the settings' size, the pointer drawn in.
    std::optional<Picture> screenshot(const Rect& area, const CaptureSettings& settings);

    // Declared first: the connections below wait only within it.
    x11::RequestDeadline deadline_;
    x11::XConnection x_{deadline_};
    x11::Bus system_{x11::Bus::Kind::system, deadline_, x11::loginSignals()};
    x11::Bus session_{x11::Bus::Kind::session, deadline_, x11::screenSaverSignals()};
    // What logind and the screen saver (whether it is active) said last.
    std::optional<x11::Remembered<x11::LoginFacts>> login_;
    std::optional<x11::Remembered<std::optional<bool>>> screenSaver_;
    std::unique_ptr<AccessibilityBus> accessibility_;
    std::optional<std::vector<x11::Monitor>> monitors_;
    bool monitorsRead_ = false;
    std::shared_ptr<x11::SharedImage> shared_;
    // What a scaled screenshot is written into, lent to its picture.
    std::shared_ptr<std::vector<uint8_t>> scaled_;
    // Whether another client holds the keyboard, probed once a request.
    std::optional<bool> keyboardHeld_;
    // The program of the window last found active in this request: a
    // window's client stays the same for as long as the window exists.
    std::optional<std::pair<::Window, FrontmostApp>> front_;

    // The key codes typed text has borrowed.
    x11::KeyLender lender_;
};

}  // namespace brindlecast::platform
