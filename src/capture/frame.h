// Frame capture: "desktop.frame" and the shared `frame`.
#pragma once

#include "host/host.h"

namespace brindlecast::capture {

void desktopFrame(Host& host, const Request& request, Result& result);

}  // namespace brindlecast::capture
