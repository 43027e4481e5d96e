// The two lookups every application operation rests on.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "host/host.h"

namespace brindlecast::apps {

// The bundle location of a catalogued application, checked on disk now.
std::string application(Host& host, std::string_view identifier);

// The running instances of a bundle location, in platform order: those whose
// normalised bundle location equals it, the agent's own process left out.
std::vector<platform::RunningApp> running(Host& host, const std::string& location);

}  // namespace brindlecast::apps
