// The application catalog: the bundles of the three application folders,
// keyed by identifiers derived from their locations.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "host/host.h"

namespace brindlecast::apps {

// A scan is reused for this many seconds of wall-clock time.
inline constexpr double catalogReuseSeconds = 15.0;
// No folder is listed once the scan has found this many bundles.
inline constexpr std::size_t catalogEntryLimit = 512;
// Only the first entries of a folder listing are examined.
inline constexpr std::size_t folderEntryLimit = 1024;
// Scan roots are listed at depth 0; folders deeper than this are not listed.
inline constexpr int deepestFolder = 2;

// "app_" followed by the first 32 hexadecimal digits of the SHA-256 of the
// bundle location's path.
std::string applicationIdentifier(std::string_view location);

// The text after the last "." of a file name, "" when it has none.
std::string_view pathExtension(std::string_view name);

// Scans the three application folders again when the last scan finished 15
// seconds ago or more, and replaces the catalog with the result. Never fails.
void refreshCatalog(Host& host);

}  // namespace brindlecast::apps
