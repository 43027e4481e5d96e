#include "input/permissions.h"

#include "host/failure.h"
#include "input/guard.h"

namespace brindlecast::input {

namespace {

boost::json::object statusObject(const Host& host) {
    platform::Mac& mac = host.mac();
    boost::json::object status;
    status.reserve(3);
    // Read in this order: screen, accessibility, automation.
    const bool screen = mac.screenCaptureAllowed();
    const bool accessibility = mac.accessibilityTrusted();
    const std::string_view automation = automationPermission(host, false);
    status.emplace("accessibility", accessibility);
    status.emplace("automation", automation);
    status.emplace("screen", screen);
    return status;
}

}  // namespace

std::string_view automationPermission(const Host& host, bool prompt) {
    switch (host.mac().automationStatus(prompt)) {
        case platform::AutomationStatus::granted: return "granted";
        case platform::AutomationStatus::denied: return "denied";
        case platform::AutomationStatus::notDetermined: return "not-determined";
        default: return "unavailable";
    }
}

void desktopGuard(Host& host, const Request& request, Result&) {
    exact(request, {"operation"});
    interactive(host);
}

void permissions(Host& host, const Request& request, Result& result) {
    if (request.at("operation").get_string() == "permissions.status") {
        exact(request, {"operation"});
    } else {
        exact(request, {"operation"}, {"kind"});
        const auto* kind = stringField(request, "kind");
        platform::Mac& mac = host.mac();
        if (kind != nullptr && *kind == "screen") {
            mac.promptScreenCapture();
        } else if (kind != nullptr && *kind == "accessibility") {
            mac.promptAccessibility();
        } else if (kind != nullptr && *kind == "automation") {
            automationPermission(host, true);
        } else {
            fail(failures::unknownPermission);
        }
    }
    result.emplace("permissions", statusObject(host));
}

}  // namespace brindlecast::input
