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
#include "support/forwarding_mac.h"
#include "support/sample_mac.h"

using namespace brindlecast;

namespace {

// The virtual Mac with its icons kept once drawn. Drawing an icon costs
// more than all the rest of a request; this Mac never changes, so every
// later icon of a bundle is the first one again.
class KeptIcons final : public testing_support::ForwardingMac {
public:
    explicit KeptIcons(platform::Mac& mac) : ForwardingMac(mac) {}

    std::optional<platform::Picture> drawIcon(const std::string& bundlePath, int size) override {
        const auto key = std::make_pair(bundlePath, size);
        auto kept = icons_.find(key);
        if (kept == icons_.end()) {
            std::optional<platform::Picture> icon = ForwardingMac::drawIcon(bundlePath, size);
            if (icon && !icon->lent) icon->lendOwnBytes();
            kept = icons_.emplace(key, std::move(icon)).first;
        }
        return kept->second;  // shares the pixels
    }

private:
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
