#include "apps/lookup.h"

#include "host/failure.h"

namespace brindlecast::apps {

std::string application(Host&, std::string_view) {
    fail(failures::appNotInCatalog);
}

std::vector<platform::RunningApp> running(Host& host, const std::string& location) {
    platform::Mac& mac = host.mac();
    const int32_t self = mac.ownProcessId();
    std::vector<platform::RunningApp> instances;
    for (auto& app : mac.runningApplications()) {
        if (!app.bundlePath || app.pid == self) continue;
        if (mac.standardLocation(*app.bundlePath) == location) instances.push_back(std::move(app));
    }
    return instances;
}

}  // namespace brindlecast::apps
