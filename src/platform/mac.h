// The one narrow interface through which the agent reaches the Mac.
//
// Every query and effect the operations need, named after what they need and
// not after the frameworks that serve them. A backend answers queries and
// carries out effects; it knows nothing of requests, limits or messages.
// The backends implement it: the real one on macOS (platform/macos), the
// Linux desktop (platform/x11), and the virtual Mac (platform/virtual), which
// every build has and most tests use.
//
// The interface speaks the Mac's vocabulary on every system (vocabulary.h):
// mouse event types and buttons, modifier flag bits, virtual key codes,
// activation options, the Automation answers and the accessibility role
// words are the macOS ones, typed so that one cannot stand for another. The
// operations use them as they are; a backend for another system translates
// them into its own.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "platform/vocabulary.h"

namespace brindlecast::platform {

// An error that a platform service reported. Operations pass it on unchanged;
// the request loop answers it, like any error that is no refusal, with the one
// platform failure, whose words are fixed: it carries nothing.
struct PlatformError {};

struct Point {
    double x = 0;
    double y = 0;
};

struct Rect {
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;
};

// ---- Session ----------------------------------------------------------------

// The three entries of the session attribute dictionary that the guard reads.
// Each holds the entry's value only when the entry is present and a boolean.
struct SessionFacts {
    std::optional<bool> onConsole;
    std::optional<bool> loginDone;
    std::optional<bool> screenLocked;
};

struct FrontmostApp {
    std::optional<std::string> bundleId;
};

// ---- Synthetic events -------------------------------------------------------

// A created, not yet posted event. Released when the handle goes.
class Event {
public:
    virtual ~Event() = default;
};
using EventHandle = std::unique_ptr<Event>;

struct ScrollWheel {
    ScrollUnit unit = ScrollUnit::pixel;
    int32_t wheelCount = 2;
    int32_t wheel1 = 0;
    int32_t wheel2 = 0;
    int32_t wheel3 = 0;
};

// The media keys, each pressed as a key-down and then a key-up event.
enum class MediaKey { play, next, previous, mute, soundUp, soundDown };

// The focused accessibility element, as far as text entry needs it.
struct FocusedField {
    bool found = false;          // the query succeeded and gave an accessibility element
    bool roleReadable = false;   // the "AXRole" query succeeded
    std::optional<std::string> role;     // the role, when it is a string
    std::optional<std::string> subrole;  // the subrole, when a string came back
};

// ---- Power ------------------------------------------------------------------

enum class PowerIntent { shutdown, restart, sleep };

struct PowerReply {
    std::optional<int32_t> errorNumber;  // the reply's error number, when it carries one
};

// ---- Identifiers ------------------------------------------------------------

// The application identifiers that the rules compare against; they differ
// from one system to the next.
struct IdentifierSets {
    // In front, these mean the system shows a protected screen.
    std::vector<std::string> secureScreenBundles;
    // Never catalogued.
    std::set<std::string, std::less<>> blockedBundles;
    // May not be closed or force-quit remotely.
    std::set<std::string, std::less<>> protectedBundles;
};

// ---- Displays and capture ---------------------------------------------------

struct ShareableWindow {
    std::optional<int32_t> ownerPid;  // none: no owning application
    int64_t layer = 0;
    Rect frame;
};

// A snapshot of what can be captured. `native` keeps the backend's own objects
// alive until the capture that uses them is done.
struct ShareableContent {
    std::vector<uint32_t> displays;
    std::vector<ShareableWindow> windows;
    std::shared_ptr<const void> native;
};

// What a capture needs of the shareable content: the displays only (a frame
// of a display), or the windows too (a preview of an application).
enum class ContentScope { displays, windows };

struct CaptureSettings {
    int width = 0;
    int height = 0;
    bool showsCursor = true;
    bool capturesAudio = false;
};

enum class PixelFormat { RGBX, BGRX, RGBA, BGRA };

// A bitmap picture, 4 bytes a pixel, rows `stride` bytes apart. Its bytes are
// its own (`pixels`), or lent by a backend that keeps them (`lent`, which
// holds their owner), so a kept picture, or one read straight into the
// backend's own memory, is handed out without a copy.
struct Picture {
    int width = 0;
    int height = 0;
    std::size_t stride = 0;
    PixelFormat format = PixelFormat::RGBX;
    std::vector<uint8_t> pixels;
    std::shared_ptr<const uint8_t> lent;
    std::size_t lentSize = 0;

    const uint8_t* bytes() const { return lent ? lent.get() : pixels.data(); }
    std::size_t byteCount() const { return lent ? lentSize : pixels.size(); }
    // A picture of its own bytes, all zero, rows of `width` pixels without padding.
    static Picture zeroed(int width, int height, PixelFormat format) {
        Picture picture;
        picture.width = width;
        picture.height = height;
        picture.stride = static_cast<std::size_t>(width) * 4;
        picture.format = format;
        picture.pixels.resize(picture.stride * static_cast<std::size_t>(height));
        return picture;
    }
    // From now on its bytes are lent: copies of the picture share them.
    void lendOwnBytes() {
        auto kept = std::make_shared<const std::vector<uint8_t>>(std::move(pixels));
        pixels = {};
        lentSize = kept->size();
        lent = std::shared_ptr<const uint8_t>(kept, kept->data());
    }
};

// ---- Applications -----------------------------------------------------------

struct FolderEntry {
    std::string name;
    std::string path;
    bool propertiesRead = false;          // false: the two properties could not be read
    std::optional<bool> isSymbolicLink;
    std::optional<bool> isDirectory;
};

struct Bundle {
    std::optional<std::string> bundleId;
    std::optional<std::string> displayName;  // "CFBundleDisplayName" when it is a string
    bool hasExecutable = false;
};

struct RunningApp {
    int32_t pid = 0;
    std::optional<std::string> bundlePath;  // as the platform reports it, not yet normalised
    std::shared_ptr<const void> native;
};

// The folders the catalog scans, in order (on the Mac: applications, system,
// home). Where two roots hold the same application, the earlier one's wins.
using ScanRoots = std::vector<std::string>;

// Which system the backend drives, so that the operations can word what they
// say to its user.
enum class DesktopSystem { mac, linuxX11 };

// ---- The interface ----------------------------------------------------------

class Mac {
public:
    virtual ~Mac() = default;

    // Session and permissions.
    virtual std::optional<SessionFacts> session() = 0;  // none: no usable dictionary (absent, not one, empty)
    virtual bool secureInputEnabled() = 0;
    virtual std::optional<FrontmostApp> frontmostApplication() = 0;
    virtual bool accessibilityTrusted() = 0;
    virtual void promptAccessibility() = 0;
    virtual bool screenCaptureAllowed() = 0;
    virtual void promptScreenCapture() = 0;
    // The state of the permission to control power. With `prompt`, the user
    // may be asked first.
    virtual AutomationStatus automationStatus(bool prompt) = 0;

    // Displays.
    virtual std::optional<uint32_t> activeDisplayCount() = 0;  // none: the query failed
    virtual std::optional<std::vector<uint32_t>> activeDisplays(uint32_t capacity) = 0;  // none: failed
    virtual uint32_t mainDisplay() = 0;
    virtual std::optional<std::string> displayUuid(uint32_t display) = 0;
    virtual Rect displayBounds(uint32_t display) = 0;

    // Synthetic events; a creation returns none when the platform makes no event.
    virtual EventHandle mouseEvent(MouseEventType type, Point at, MouseButton button) = 0;
    virtual EventHandle scrollEvent(const ScrollWheel& wheel) = 0;
    virtual EventHandle keyEvent(VirtualKey key, bool down) = 0;
    virtual EventHandle mediaKeyEvent(MediaKey key, bool down) = 0;
    virtual void setFlags(Event& event, EventFlags flags) = 0;
    virtual void setText(Event& event, std::u16string_view units) = 0;
    virtual void post(Event& event) = 0;  // at the HID event tap

    virtual FocusedField focusedField() = 0;

    // Asks the system to power off, restart or sleep, letting it interact with
    // the user, and waits at most `timeoutSeconds` for its reply. Throws
    // PlatformError when it cannot ask or no reply comes.
    virtual PowerReply requestPower(PowerIntent intent, double timeoutSeconds) = 0;

    // Capture; each throws PlatformError when the platform reports an error.
    // The content holds the windows whenever `scope` asks for them; a backend
    // that gets them with the displays anyway may always list them.
    virtual ShareableContent shareableContent(ContentScope scope) = 0;
    virtual Picture captureDisplay(const ShareableContent& content, uint32_t display,
                                   const CaptureSettings& settings) = 0;
    virtual Picture captureWindow(const ShareableContent& content, std::size_t windowIndex,
                                  const CaptureSettings& settings) = 0;

    // Applications.
    virtual ScanRoots applicationRoots() = 0;
    virtual std::optional<std::vector<FolderEntry>> listFolder(const std::string& path) = 0;
    // Whether a folder entry is opened as an application (a bundle) rather than
    // searched as a folder or passed over.
    virtual bool isApplicationCandidate(const FolderEntry& entry) = 0;
    virtual std::optional<Bundle> openBundle(const std::string& path) = 0;
    virtual std::string standardLocation(const std::string& path) = 0;  // links resolved, then standardised
    virtual bool fileExists(const std::string& path) = 0;
    virtual std::vector<RunningApp> runningApplications() = 0;
    virtual int32_t ownProcessId() = 0;
    virtual bool activate(const RunningApp& app, ActivationOptions options) = 0;
    virtual bool terminate(const RunningApp& app) = 0;
    virtual bool forceTerminate(const RunningApp& app) = 0;
    // Waits for the platform's call-back; throws PlatformError when it brings an error.
    virtual void openApplication(const std::string& bundlePath) = 0;
    // The bundle's icon (or the generic one) drawn scaled into a new size x size RGBA canvas.
    virtual std::optional<Picture> drawIcon(const std::string& bundlePath, int size) = 0;

    // The identifier sets of this system; read once, when the Host is made.
    virtual IdentifierSets identifierSets() = 0;

    // The wall clock, seconds since 1970.
    virtual double now() = 0;

    // The system this backend drives: a Mac unless it says otherwise.
    virtual DesktopSystem desktopSystem() const { return DesktopSystem::mac; }

    // A request with this identifier is being handled; every query and effect
    // until the next call belongs to it. Called once the identifier has been
    // found valid, so a request refused for its identifier, or a line that is
    // no request, never reaches the Mac. A backend that records effects tags
    // them with it; one that holds something back between requests (the X11
    // backend's borrowed key codes) may give it back here.
    virtual void beginRequest(std::string_view /*id*/) {}
    // The request begun last is answered now, whether its operation succeeded
    // or threw. Throws PlatformError when the platform gave up on something
    // the request needed (it did not answer in time), so the request is
    // answered as a platform error instead of from a half-read platform.
    virtual void endRequest() {}
};

}  // namespace brindlecast::platform
