// The Linux desktop under X11: the X server named by DISPLAY, logind on the
// system bus, the session bus and the accessibility bus.
#pragma once

#include <memory>

#include "platform/mac.h"

namespace brindlecast::platform {

// Nothing is connected yet: every connection is made when a request first
// needs it, and made again after it was lost.
std::unique_ptr<Mac> makeX11Mac();

}  // namespace brindlecast::platform
