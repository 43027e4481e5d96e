// The macOS backend's class and the few helpers its parts share.
// Objective-C++ only: included by the .mm files of this folder.
#pragma once

// The frameworks' assertion header must not define `check`, `verify` and
// `require` as macros; they would clash with ordinary C++ names.
#define __ASSERT_MACROS_DEFINE_VERSIONS_WITHOUT_UNDERSCORES 0

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#import <CoreFoundation/CoreFoundation.h>
#import <Foundation/Foundation.h>

#include "platform/mac.h"

namespace brindlecast::platform {

class MacOSMac final : public Mac {
public:
    MacOSMac() = default;

    std::optional<SessionFacts> session() override;
    bool secureInputEnabled() override;
    std::optional<FrontmostApp> frontmostApplication() override;
    bool accessibilityTrusted() override;
    void promptAccessibility() override;
    bool screenCaptureAllowed() override;
    void promptScreenCapture() override;
    AutomationStatus automationStatus(bool prompt) override;

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
};

// A Core Foundation object owned under the Create rule, released when the
// holder goes. Empty holders release nothing.
template <typename Ref>
class Owned {
public:
    explicit Owned(Ref ref = nullptr) : ref_(ref) {}
    ~Owned() {
        if (ref_ != nullptr) CFRelease(ref_);
    }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;

    Ref get() const { return ref_; }
    // For calls that hand back a new object through an out parameter; use on
    // an empty holder only.
    Ref* out() { return &ref_; }
    explicit operator bool() const { return ref_ != nullptr; }

private:
    Ref ref_;
};

// UTF-8 of a string; characters that cannot be converted become '?'.
std::string textOf(CFStringRef text);
std::string textOf(NSString* text);

// The string of UTF-8 text, or nil when the bytes are not UTF-8.
NSString* stringOf(const std::string& text);

// The file URL of an absolute path, or nil for an empty or non-UTF-8 path.
NSURL* fileURLOf(const std::string& path);

// Keeps an Objective-C object alive for as long as the pointer is held.
std::shared_ptr<const void> retainedObject(id object);

// Lets the main run loop take in what the system has told this process since
// the last request (the workspace's list of running and frontmost
// applications only changes while the main run loop runs). Returns at once
// when nothing is pending.
void serviceMainRunLoop();

// How long the agent waits for a platform call-back before it gives up and
// answers the request as failed: capture is quick unless something is stuck;
// a launch may wait behind a first-launch check or a slow disk.
constexpr double captureDeadlineSeconds = 30;
constexpr double launchDeadlineSeconds = 120;
// The Automation check answers at once, unless it asks the user and waits
// for the answer.
constexpr double automationCheckDeadlineSeconds = 30;
constexpr double automationPromptDeadlineSeconds = 120;

// Waits on the main thread until a platform completion handler signals `done`,
// for at most `seconds`; false when the time ran out. Handlers normally run on
// another queue; one delivered on the main queue is served here as well, so
// the wait never blocks its own completion. A handler that comes after the
// deadline must find everything it touches still alive: it keeps its state
// through a shared pointer of its own.
bool awaitCompletion(dispatch_semaphore_t done, double seconds);

}  // namespace brindlecast::platform
