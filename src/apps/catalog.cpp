#include "apps/catalog.h"

#include <algorithm>
#include <map>

#include "host/digest.h"

namespace brindlecast::apps {

namespace {

using Catalog = std::map<std::string, std::string>;

// Adds the bundles found in `folder` and the folders below it to `building`.
// Applications are catalogued at most three folders below a root; folder
// links are never followed; an application candidate is never searched further.
void collect(Host& host, Catalog& building, const std::string& folder, int depth) {
    if (depth > deepestFolder) return;
    // Tested once, before listing: one folder may take the catalog past it.
    if (building.size() >= catalogEntryLimit) return;
    platform::Mac& mac = host.mac();
    const auto entries = mac.listFolder(folder);
    if (!entries) return;
    const std::size_t examined = std::min(entries->size(), folderEntryLimit);
    for (std::size_t i = 0; i < examined; ++i) {
        const platform::FolderEntry& entry = (*entries)[i];
        // Whether an entry is an application is the platform's to say; any
        // other folder, read as itself and no link, is searched.
        if (!mac.isApplicationCandidate(entry)) {
            if (entry.propertiesRead && !entry.isSymbolicLink.value_or(false) && entry.isDirectory.value_or(false)) {
                collect(host, building, entry.path, depth + 1);
            }
            continue;
        }
        const auto bundle = mac.openBundle(entry.path);
        if (!bundle || !bundle->bundleId) continue;
        if (host.blockedBundles.contains(*bundle->bundleId)) continue;
        if (!bundle->hasExecutable) continue;
        std::string location = mac.standardLocation(entry.path);
        building.insert_or_assign(applicationIdentifier(location), std::move(location));
    }
}

}  // namespace

std::string applicationIdentifier(std::string_view location) {
    return "app_" + digest(location, 32);
}

std::string_view pathExtension(std::string_view name) {
    const std::size_t dot = name.rfind('.');
    return dot == std::string_view::npos ? std::string_view() : name.substr(dot + 1);
}

void refreshCatalog(Host& host) {
    platform::Mac& mac = host.mac();
    // A clock set back gives a negative age: no scan until it passes the
    // stored time by the whole reuse period.
    if (mac.now() - host.catalogTime < catalogReuseSeconds) return;
    Catalog building;
    for (const std::string& root : mac.applicationRoots()) collect(host, building, root, 0);
    host.catalog = std::move(building);
    host.catalogTime = mac.now();
}

}  // namespace brindlecast::apps
