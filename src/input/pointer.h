// "desktop.click", "presentation.pointer" and "desktop.scroll".
#pragma once

#include "host/host.h"

namespace brindlecast::input {

void clickOrPointer(Host& host, const Request& request, Result& result);
void desktopScroll(Host& host, const Request& request, Result& result);

}  // namespace brindlecast::input
