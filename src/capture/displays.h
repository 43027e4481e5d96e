// The display list, monitor identifiers and "desktop.monitors".
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/host.h"

namespace brindlecast::capture {

// One active display: its monitor identifier, display number and bounds in
// global display points.
struct DisplayEntry {
    std::string identifier;
    uint32_t number = 0;
    platform::Rect bounds;
};

// "monitor_" and the first 16 hexadecimal digits of the SHA-256 of the
// display's UUID text, or of its decimal number when it has no UUID.
std::string monitorIdentifier(platform::Mac& mac, uint32_t display);

// The active displays in platform order, at most 16.
std::vector<DisplayEntry> screens(Host& host);

// The display a request's "monitorId" names; the main display (or the first)
// when it names none.
DisplayEntry monitor(Host& host, const Request& request);

void desktopMonitors(Host& host, const Request& request, Result& result);

}  // namespace brindlecast::capture
