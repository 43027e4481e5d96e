// "desktop.click", "presentation.pointer" and "desktop.scroll".
#pragma once

#include "host/host.h"

namespace brindlecast::input {

// The place a request's "monitorId", "x" and "y" name, in global display
// points: the fractions 0 to 1 span the display from its minimum coordinate
// to one point short of its far edge.
platform::Point point(Host& host, const Request& request);

void clickOrPointer(Host& host, const Request& request, Result& result);
void desktopScroll(Host& host, const Request& request, Result& result);

}  // namespace brindlecast::input
