// The agent's one stateful object and the way into every operation.
#pragma once

#include <limits>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "host/validate.h"
#include "platform/mac.h"

namespace brindlecast {

class Host {
public:
    // The identifier sets are the Mac's own, read once here.
    explicit Host(platform::Mac& mac);
    Host(platform::Mac& mac, platform::IdentifierSets identifiers);
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

    // Checks the identifier, builds the base result and routes the request.
    // Returns the result, or throws a Failure or a platform error.
    Result handle(const Request& request);

    platform::Mac& mac() const { return mac_; }

    // The application catalog: identifier to bundle location, the wall-clock
    // time its last scan finished, and the bundles never catalogued.
    std::map<std::string, std::string> catalog;
    double catalogTime = -std::numeric_limits<double>::infinity();
    // The applications whose presence in front means a protected screen.
    const std::vector<std::string> secureScreenBundles;
    const std::set<std::string, std::less<>> blockedBundles;
    // The bundles that may not be closed or force-quit remotely.
    const std::set<std::string, std::less<>> protectedBundles;

private:
    // Runs the operation or action that the request names.
    void route(const Request& request, Result& result);

    platform::Mac& mac_;
};

// Every operation has this shape: it validates its request, applies its
// guard and checks in order, and adds its keys to the base result.
using Operation = void (*)(Host& host, const Request& request, Result& result);

}  // namespace brindlecast
