// The lookups every application operation rests on.
#pragma once

#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "host/host.h"

namespace brindlecast::apps {

// The bundle location of a catalogued application, checked on disk now: it
// exists, opens as a bundle and its identifier is not blocked.
std::string application(Host& host, std::string_view identifier);

// The running instances of a bundle location, in platform order: those whose
// normalised bundle location equals it, the agent's own process left out.
std::vector<platform::RunningApp> running(Host& host, const std::string& location);

// The process identifiers of those instances.
std::set<int32_t> runningPids(Host& host, const std::string& location);

// The normalised bundle locations of every running application but the
// agent itself: a location has a running instance when it is in the set.
std::set<std::string, std::less<>> runningLocations(Host& host);

// Whether a bundle may not be closed or force-quit remotely. A bundle that
// did not open, or has no identifier, counts as the identifier "".
bool isProtected(const Host& host, const std::optional<platform::Bundle>& bundle);

}  // namespace brindlecast::apps
