// Frame capture: "desktop.frame" and the shared `frame`.
#pragma once

#include <string>

#include "host/host.h"

namespace brindlecast::capture {

// One picture of a display (no `appLocation`) or of the largest visible
// window of the application at `appLocation`, as an image payload; a display
// picture also carries its "monitorId".
Result frame(Host& host, const Request& request, const std::string* appLocation);

void desktopFrame(Host& host, const Request& request, Result& result);

}  // namespace brindlecast::capture
