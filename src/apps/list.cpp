#include "apps/list.h"

#include <boost/json/array.hpp>

#include "apps/catalog.h"
#include "apps/lookup.h"
#include "host/text.h"
#include "input/guard.h"

namespace brindlecast::apps {

namespace {

// The last path component without its extension: Example.app gives Example.
std::string_view folderName(std::string_view location) {
    const std::size_t slash = location.rfind('/');
    std::string_view name = slash == std::string_view::npos ? location : location.substr(slash + 1);
    const std::size_t dot = name.rfind('.');
    if (dot != std::string_view::npos && dot > 0) name = name.substr(0, dot);
    return name;
}

}  // namespace

std::string listName(const std::optional<platform::Bundle>& bundle, std::string_view location) {
    const std::string_view name = bundle && bundle->displayName ? std::string_view(*bundle->displayName)
                                                                : folderName(location);
    std::string repaired;
    repaired.reserve(name.size());
    repairUtf8(name, repaired);
    repaired.resize(graphemePrefix(repaired, nameLimit).size());
    return repaired;
}

void appsList(Host& host, const Request& request, Result& result) {
    exact(request, {"operation"});
    input::interactive(host);
    refreshCatalog(host);

    platform::Mac& mac = host.mac();
    // The running applications are read once for the whole list.
    const auto runningNow = runningLocations(host);
    boost::json::array apps;
    apps.reserve(std::min(host.catalog.size(), listedAppLimit));
    // The catalog is ordered by identifier.
    for (const auto& [identifier, location] : host.catalog) {
        if (apps.size() >= listedAppLimit) break;
        // One opening serves the name and the protected test.
        const auto bundle = mac.openBundle(location);
        const bool closable = !isProtected(host, bundle);
        apps.push_back(boost::json::object{
            {"capabilities",
             boost::json::object{
                 {"close", closable}, {"preview", true}, {"run", true}, {"terminate", closable}, {"view", true}}},
            {"id", identifier},
            {"name", listName(bundle, location)},
            {"running", runningNow.contains(location)},
        });
    }
    result["apps"] = std::move(apps);
}

}  // namespace brindlecast::apps
