// The fast request target: every input goes once through the request loop
// to one virtual Mac on which everything can be done, with displays and
// windows so small that a frame is a few kilobytes of work. It checks what
// the deep target checks:
// - one well-formed response line per input line, in order, each answering
//   its own line;
// - nothing written to standard error (with -close_fd_mask=2);
// - every line of the virtual Mac's event log a JSON object.
// Its inputs are request lines, built and edited by the structure-aware
// mutator in request_mutator.cpp.
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <utility>
#include <vector>
#include <string>
#include <string_view>

#include <boost/json.hpp>

#include "harness.h"
#include "host/host.h"
#include "platform/virtual/virtual_mac.h"
#include "support/sample_mac.h"

using namespace brindlecast;

namespace {

// The virtual Mac with its icons kept once drawn. Drawing an icon costs
// more than all the rest of a request; this Mac never changes, so every
// later icon of a bundle is the first one again.
class KeptIcons final : public platform::Mac {
public:
    explicit KeptIcons(platform::Mac& mac) : mac_(mac) {}

    std::optional<platform::Picture> drawIcon(const std::string& bundlePath, int size) override {
        const auto key = std::make_pair(bundlePath, size);
        auto kept = icons_.find(key);
        if (kept == icons_.end()) {
            std::optional<platform::Picture> icon = mac_.drawIcon(bundlePath, size);
            if (icon && !icon->lent) icon->lent = std::make_shared<const std::vector<uint8_t>>(std::move(icon->pixels));
            kept = icons_.emplace(key, std::move(icon)).first;
        }
        return kept->second;  // shares the pixels
    }

    std::optional<platform::SessionFacts> session() override { return mac_.session(); }
    bool secureInputEnabled() override { return mac_.secureInputEnabled(); }
    std::optional<platform::FrontmostApp> frontmostApplication() override { return mac_.frontmostApplication(); }
    bool accessibilityTrusted() override { return mac_.accessibilityTrusted(); }
    void promptAccessibility() override { mac_.promptAccessibility(); }
    bool screenCaptureAllowed() override { return mac_.screenCaptureAllowed(); }
    void promptScreenCapture() override { mac_.promptScreenCapture(); }
    int32_t automationStatus(bool prompt) override { return mac_.automationStatus(prompt); }
    std::optional<uint32_t> activeDisplayCount() override { return mac_.activeDisplayCount(); }
    std::optional<std::vector<uint32_t>> activeDisplays(uint32_t capacity) override {
        return mac_.activeDisplays(capacity);
    }
    uint32_t mainDisplay() override { return mac_.mainDisplay(); }
    std::optional<std::string> displayUuid(uint32_t display) override { return mac_.displayUuid(display); }
    platform::Rect displayBounds(uint32_t display) override { return mac_.displayBounds(display); }
    platform::EventHandle mouseEvent(uint32_t type, platform::Point at, uint32_t button) override {
        return mac_.mouseEvent(type, at, button);
    }
    platform::EventHandle scrollEvent(const platform::ScrollWheel& wheel) override { return mac_.scrollEvent(wheel); }
    platform::EventHandle keyEvent(uint16_t keyCode, bool down) override { return mac_.keyEvent(keyCode, down); }
    platform::EventHandle mediaKeyEvent(platform::MediaKey key, bool down) override {
        return mac_.mediaKeyEvent(key, down);
    }
    void setFlags(platform::Event& event, uint64_t flags) override { mac_.setFlags(event, flags); }
    void setText(platform::Event& event, std::u16string_view units) override { mac_.setText(event, units); }
    void post(platform::Event& event) override { mac_.post(event); }
    platform::FocusedField focusedField() override { return mac_.focusedField(); }
    platform::PowerReply requestPower(platform::PowerIntent intent, double timeoutSeconds) override {
        return mac_.requestPower(intent, timeoutSeconds);
    }
    platform::ShareableContent shareableContent() override { return mac_.shareableContent(); }
    platform::Picture captureDisplay(const platform::ShareableContent& content, uint32_t display,
                                     const platform::CaptureSettings& settings) override {
        return mac_.captureDisplay(content, display, settings);
    }
    platform::Picture captureWindow(const platform::ShareableContent& content, std::size_t windowIndex,
                                    const platform::CaptureSettings& settings) override {
        return mac_.captureWindow(content, windowIndex, settings);
    }
    platform::ScanRoots applicationRoots() override { return mac_.applicationRoots(); }
    std::optional<std::vector<platform::FolderEntry>> listFolder(const std::string& path) override {
        return mac_.listFolder(path);
    }
    std::optional<platform::Bundle> openBundle(const std::string& path) override { return mac_.openBundle(path); }
    std::string standardLocation(const std::string& path) override { return mac_.standardLocation(path); }
    bool fileExists(const std::string& path) override { return mac_.fileExists(path); }
    std::vector<platform::RunningApp> runningApplications() override { return mac_.runningApplications(); }
    int32_t ownProcessId() override { return mac_.ownProcessId(); }
    bool activate(const platform::RunningApp& app, uint64_t options) override { return mac_.activate(app, options); }
    bool terminate(const platform::RunningApp& app) override { return mac_.terminate(app); }
    bool forceTerminate(const platform::RunningApp& app) override { return mac_.forceTerminate(app); }
    void openApplication(const std::string& bundlePath) override { mac_.openApplication(bundlePath); }
    platform::IdentifierSets identifierSets() override { return mac_.identifierSets(); }
    double now() override { return mac_.now(); }

private:
    platform::Mac& mac_;
    std::map<std::pair<std::string, int>, std::optional<platform::Picture>> icons_;
};

struct Machine {
    std::string logPath;
    std::unique_ptr<platform::VirtualMac> virtualMac;
    std::unique_ptr<KeptIcons> mac;
    std::unique_ptr<Host> host;
};

Machine* machine = nullptr;

// The ready sample Mac, shrunk: two displays of a few points each, windows
// on them, and the sample applications running.
boost::json::object tinyMacState(const std::string& root) {
    boost::json::object state = testing_support::readyMacState(root);
    auto& displays = state["displays"].as_array();
    displays[0].as_object()["bounds"] = {0, 0, 16, 10};
    displays[1].as_object()["bounds"] = {16, 0, 8, 6};
    for (auto& window : state["windows"].as_array()) {
        auto& frame = window.as_object()["frame"].as_array();
        frame = {frame[0].to_number<double>() / 10, frame[1].to_number<double>() / 10, 12, 8};
    }
    return state;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    const std::string& root = testing_support::corpusApplicationsRoot;
    testing_support::writeSampleApplications(root);
    fuzzing::start(*argc, *argv, "fast");
    machine = new Machine;
    machine->logPath = fuzzing::scratchDir() + "/tiny.log";
    boost::json::object state = tinyMacState(root);
    state["eventLog"] = machine->logPath;
    const std::string statePath = fuzzing::scratchDir() + "/tiny.json";
    fuzzing::writeText(statePath, boost::json::serialize(state));
    machine->virtualMac = std::make_unique<platform::VirtualMac>(statePath);
    machine->mac = std::make_unique<KeptIcons>(*machine->virtualMac);
    machine->host = std::make_unique<Host>(*machine->mac);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::string output = fuzzing::exchange("tiny", *machine->host, input);
    fuzzing::checkAnswers("tiny", input, output);
    fuzzing::checkEventLog("tiny", machine->logPath);
    return 0;
}
