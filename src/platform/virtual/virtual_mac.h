// The virtual Mac: a backend that answers every query from a state that a
// JSON file describes, and writes every effect to an event log instead of
// performing it. The state file is named by BRINDLECAST_VIRTUAL_MAC; without
// one the built-in default state is used.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <boost/json/object.hpp>
#include <boost/json/value.hpp>

#include "platform/mac.h"

namespace brindlecast {
class JsonLine;
}

namespace brindlecast::platform {

class VirtualMac final : public Mac {
public:
    // `statePath` empty: the built-in default state.
    explicit VirtualMac(std::string statePath);
    ~VirtualMac() override;

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
    void beginRequest(std::string_view id) override;

private:
    struct FileIdentity {
        uint64_t device = 0;
        uint64_t inode = 0;
        int64_t size = 0;
        int64_t mtimeNanoseconds = 0;
        bool exists = false;
        bool operator==(const FileIdentity&) const = default;
    };

    // Reads the state file again when it has changed; called before every query.
    void refresh();
    void load();
    // The current value of a state key, or null when the key is absent.
    const boost::json::value* key(std::string_view name);
    bool flag(std::string_view name, bool fallback);
    bool eventFails(std::string_view kind);
    const boost::json::object* display(uint32_t number);
    // A named moment inside a request has passed: apply the "then" entries for it.
    void passed(std::string_view moment);
    // Appends one line to the event log, if the state names one.
    void log(const JsonLine& line);

    std::string path_;
    FileIdentity identity_;
    bool loaded_ = false;
    boost::json::object state_;
    std::vector<bool> thenApplied_;
    std::string requestId_;  // of the request being handled

    // ---- capture (virtual/capture.cpp) ----
    // The display objects of the state, in platform order.
    std::vector<const boost::json::object*> displayList();
    // The picture in an "image" file, decoded once and kept until the file
    // changes; null when it cannot be read or decoded.
    std::shared_ptr<const Picture> pictureFile(const std::string& path);
    struct DecodedPicture {
        FileIdentity identity;
        std::shared_ptr<const Picture> picture;
    };
    std::map<std::string, DecodedPicture, std::less<>> pictures_;
    // A built-in desktop or window picture, drawn once per seed and size: an
    // unchanged screen gives the same picture without drawing it again.
    Picture builtInPicture(bool window, uint32_t seed, const CaptureSettings& settings);
    struct DrawnPicture {
        bool window = false;
        uint32_t seed = 0;
        Picture picture;
    };
    std::vector<DrawnPicture> drawn_;
    // The picture of a display or window: its "image" file sampled at the
    // size, or the built-in picture drawn at it.
    Picture screenshot(bool window, uint32_t seed, const std::string& image, const CaptureSettings& settings);
    // Logs the capture line and lets the "screenshot" moment pass.
    void finishCapture(JsonLine line, const CaptureSettings& settings);
    // (end of capture)
};

// A virtual Mac on the state file that BRINDLECAST_VIRTUAL_MAC names.
std::unique_ptr<Mac> makeVirtualMac();

// A state value as a whole number (a double is truncated); none for any other
// value, or for a number no 64-bit integer holds.
std::optional<int64_t> wholeNumber(const boost::json::value* value);

// The state a virtual Mac has when its file cannot be read or is not an object.
boost::json::object deadMacState();

}  // namespace brindlecast::platform
