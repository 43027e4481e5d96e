// The Linux desktop under X11: the X server named by DISPLAY, logind on the
// system bus, the session bus and the accessibility bus.
#pragma once

#include <memory>

#include "platform/mac.h"

namespace brindlecast::platform {

// Nothing is connected yet: every connection is made when a request first
// needs it, and made again after it was lost.
std::unique_ptr<Mac> makeX11Mac();

// When the agent was started again by itself to draw one icon (an SVG, which
// may take unbounded time) in a process of its own, draws it and ends the
// process; otherwise does nothing.
void runIconDrawerIfAsked(int argc, char** argv);

}  // namespace brindlecast::platform
