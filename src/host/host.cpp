#include "host/host.h"

#include <array>
#include <string_view>
#include <utility>

#include "apps/actions.h"
#include "apps/list.h"
#include "capture/displays.h"
#include "capture/frame.h"
#include "host/failure.h"
#include "host/text.h"
#include "input/actions.h"
#include "input/keyboard.h"
#include "input/permissions.h"
#include "input/pointer.h"

namespace brindlecast {

namespace {

constexpr std::size_t maxIdentifierLength = 32;

// The operation names, in the order in which they are tested.
constexpr std::array<std::pair<std::string_view, Operation>, 13> operations{{
    {"permissions.status", input::permissions},
    {"permissions.request", input::permissions},
    {"desktop.guard", input::desktopGuard},
    {"desktop.monitors", capture::desktopMonitors},
    {"desktop.frame", capture::desktopFrame},
    {"desktop.click", input::clickOrPointer},
    {"presentation.pointer", input::clickOrPointer},
    {"desktop.scroll", input::desktopScroll},
    {"desktop.text", input::desktopText},
    {"apps.list", apps::appsList},
    {"apps.action", apps::appOperation},
    {"apps.icon", apps::appOperation},
    {"apps.preview", apps::appOperation},
}};

}  // namespace

Host::Host(platform::Mac& mac) : Host(mac, mac.identifierSets()) {}

Host::Host(platform::Mac& mac, platform::IdentifierSets identifiers)
    : secureScreenBundles(std::move(identifiers.secureScreenBundles)),
      blockedBundles(std::move(identifiers.blockedBundles)),
      protectedBundles(std::move(identifiers.protectedBundles)),
      mac_(mac) {}

Result Host::handle(const Request& request) {
    // The identifier comes before everything else: a text of at most 32
    // extended grapheme clusters; the empty text is valid.
    const auto* id = stringField(request, "id");
    if (id == nullptr || graphemeCount(*id, maxIdentifierLength) > maxIdentifierLength) {
        fail(failures::invalidIdentifier);
    }
    Result result;
    result.reserve(4);
    result.emplace("id", *id);
    result.emplace("ok", true);
    try {
        mac_.beginRequest(*id);
        route(request, result);
    } catch (...) {
        // A platform that gave up on the request answers for it, whatever the operation made of that.
        mac_.endRequest();
        throw;
    }
    mac_.endRequest();
    return result;
}

void Host::route(const Request& request, Result& result) {
    if (const auto* name = stringField(request, "operation")) {
        for (const auto& [operationName, operation] : operations) {
            if (operationName == *name) {
                operation(*this, request, result);
                return;
            }
        }
        fail(failures::unknownOperation);
    }
    // Without a text "operation" the request is an action request.
    input::actionRequest(*this, request, result);
}

}  // namespace brindlecast
