// "apps.list".
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "host/host.h"

namespace brindlecast::apps {

// At most this many applications are listed, the lowest identifiers first.
inline constexpr std::size_t listedAppLimit = 512;
// Names are cut to this many user-perceived characters.
inline constexpr std::size_t nameLimit = 80;

// The listed name of the bundle at `location`: its display name when it has
// one (an empty one included), else the location's last component without
// its extension; made valid UTF-8 and cut to 80 grapheme clusters.
std::string listName(const std::optional<platform::Bundle>& bundle, std::string_view location);

void appsList(Host& host, const Request& request, Result& result);

}  // namespace brindlecast::apps
