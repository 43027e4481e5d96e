#include "apps/lookup.h"

#include "apps/catalog.h"
#include "host/failure.h"

namespace brindlecast::apps {

std::string application(Host& host, std::string_view identifier) {
    refreshCatalog(host);
    const auto found = host.catalog.find(std::string(identifier));
    if (found == host.catalog.end()) fail(failures::appNotInCatalog);
    // The catalog may be up to 15 seconds old: the bundle is checked again.
    platform::Mac& mac = host.mac();
    const std::string& location = found->second;
    if (!mac.fileExists(location)) fail(failures::appNotInCatalog);
    const auto bundle = mac.openBundle(location);
    if (!bundle) fail(failures::appNotInCatalog);
    if (host.blockedBundles.contains(bundle->bundleId.value_or(""))) fail(failures::appNotInCatalog);
    return location;
}

namespace {

// Calls visit(application, normalised bundle location) for each running
// application with a bundle location of its own, the agent itself left out.
template <typename Visit>
void forEachRunningBundle(Host& host, Visit visit) {
    platform::Mac& mac = host.mac();
    const int32_t self = mac.ownProcessId();
    for (auto& app : mac.runningApplications()) {
        if (!app.bundlePath || app.pid == self) continue;
        std::string location = mac.standardLocation(*app.bundlePath);
        visit(app, std::move(location));
    }
}

}  // namespace

std::vector<platform::RunningApp> running(Host& host, const std::string& location) {
    std::vector<platform::RunningApp> instances;
    forEachRunningBundle(host, [&](platform::RunningApp& app, std::string found) {
        if (found == location) instances.push_back(std::move(app));
    });
    return instances;
}

std::set<int32_t> runningPids(Host& host, const std::string& location) {
    std::set<int32_t> pids;
    for (const auto& app : running(host, location)) pids.insert(app.pid);
    return pids;
}

std::set<std::string, std::less<>> runningLocations(Host& host) {
    std::set<std::string, std::less<>> locations;
    forEachRunningBundle(host, [&](platform::RunningApp&, std::string found) { locations.insert(std::move(found)); });
    return locations;
}

bool isProtected(const Host& host, const std::optional<platform::Bundle>& bundle) {
    const std::string_view identifier = bundle && bundle->bundleId ? std::string_view(*bundle->bundleId) : "";
    return host.protectedBundles.contains(identifier);
}

}  // namespace brindlecast::apps
