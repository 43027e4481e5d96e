// Key presses and text entry: `press`, `text` and "desktop.text".
#pragma once

#include <cstdint>
#include <string_view>

#include "host/host.h"

namespace brindlecast::input {

void desktopText(Host& host, const Request& request, Result& result);

}  // namespace brindlecast::input
