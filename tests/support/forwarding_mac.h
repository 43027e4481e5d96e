// A Mac that hands every query and effect to another one, for tests and tools
// that change or watch a few calls of a real backend and keep the rest.
#pragma once

#include "platform/mac.h"

namespace testing_support {

namespace platform = brindlecast::platform;

class ForwardingMac : public platform::Mac {
public:
    explicit ForwardingMac(platform::Mac& inner) : inner_(inner) {}

    std::optional<platform::SessionFacts> session() override { return inner_.session(); }
    bool secureInputEnabled() override { return inner_.secureInputEnabled(); }
    std::optional<platform::FrontmostApp> frontmostApplication() override { return inner_.frontmostApplication(); }
    bool accessibilityTrusted() override { return inner_.accessibilityTrusted(); }
    void promptAccessibility() override { inner_.promptAccessibility(); }
    bool screenCaptureAllowed() override { return inner_.screenCaptureAllowed(); }
    void promptScreenCapture() override { inner_.promptScreenCapture(); }
    platform::AutomationStatus automationStatus(bool prompt) override { return inner_.automationStatus(prompt); }
    platform::DesktopSystem desktopSystem() const override { return inner_.desktopSystem(); }

    std::optional<uint32_t> activeDisplayCount() override { return inner_.activeDisplayCount(); }
    std::optional<std::vector<uint32_t>> activeDisplays(uint32_t capacity) override {
        return inner_.activeDisplays(capacity);
    }
    uint32_t mainDisplay() override { return inner_.mainDisplay(); }
    std::optional<std::string> displayUuid(uint32_t display) override { return inner_.displayUuid(display); }
    platform::Rect displayBounds(uint32_t display) override { return inner_.displayBounds(display); }

    platform::EventHandle mouseEvent(platform::MouseEventType type, platform::Point at,
                                     platform::MouseButton button) override {
        return inner_.mouseEvent(type, at, button);
    }
    platform::EventHandle scrollEvent(const platform::ScrollWheel& wheel) override {
        return inner_.scrollEvent(wheel);
    }
    platform::EventHandle keyEvent(platform::VirtualKey key, bool down) override { return inner_.keyEvent(key, down); }
    platform::EventHandle mediaKeyEvent(platform::MediaKey key, bool down) override {
        return inner_.mediaKeyEvent(key, down);
    }
    void setFlags(platform::Event& event, platform::EventFlags flags) override { inner_.setFlags(event, flags); }
    void setText(platform::Event& event, std::u16string_view units) override { inner_.setText(event, units); }
    void post(platform::Event& event) override { inner_.post(event); }
    platform::FocusedField focusedField() override { return inner_.focusedField(); }
    platform::PowerReply requestPower(platform::PowerIntent intent, double timeoutSeconds) override {
        return inner_.requestPower(intent, timeoutSeconds);
    }

    platform::ShareableContent shareableContent(platform::ContentScope scope) override {
        return inner_.shareableContent(scope);
    }
    platform::Picture captureDisplay(const platform::ShareableContent& content, uint32_t display,
                                     const platform::CaptureSettings& settings) override {
        return inner_.captureDisplay(content, display, settings);
    }
    platform::Picture captureWindow(const platform::ShareableContent& content, std::size_t windowIndex,
                                    const platform::CaptureSettings& settings) override {
        return inner_.captureWindow(content, windowIndex, settings);
    }

    platform::ScanRoots applicationRoots() override { return inner_.applicationRoots(); }
    bool isApplicationCandidate(const platform::FolderEntry& entry) override {
        return inner_.isApplicationCandidate(entry);
    }
    std::optional<std::vector<platform::FolderEntry>> listFolder(const std::string& path) override {
        return inner_.listFolder(path);
    }
    std::optional<platform::Bundle> openBundle(const std::string& path) override { return inner_.openBundle(path); }
    std::string standardLocation(const std::string& path) override { return inner_.standardLocation(path); }
    bool fileExists(const std::string& path) override { return inner_.fileExists(path); }
    std::vector<platform::RunningApp> runningApplications() override { return inner_.runningApplications(); }
    int32_t ownProcessId() override { return inner_.ownProcessId(); }
    bool activate(const platform::RunningApp& app, platform::ActivationOptions options) override {
        return inner_.activate(app, options);
    }
    bool terminate(const platform::RunningApp& app) override { return inner_.terminate(app); }
    bool forceTerminate(const platform::RunningApp& app) override { return inner_.forceTerminate(app); }
    void openApplication(const std::string& bundlePath) override { inner_.openApplication(bundlePath); }
    std::optional<platform::Picture> drawIcon(const std::string& bundlePath, int size) override {
        return inner_.drawIcon(bundlePath, size);
    }

    platform::IdentifierSets identifierSets() override { return inner_.identifierSets(); }
    double now() override { return inner_.now(); }
    void beginRequest(std::string_view id) override { inner_.beginRequest(id); }
    void endRequest() override { inner_.endRequest(); }

protected:
    platform::Mac& inner() { return inner_; }

private:
    platform::Mac& inner_;
};

}  // namespace testing_support
