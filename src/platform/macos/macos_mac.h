// The real Mac: the platform interface served by the macOS frameworks.
// Only built on macOS (see CMakeLists.txt); everything else uses the virtual Mac.
#pragma once

#include <memory>

#include "platform/mac.h"

namespace brindlecast::platform {

// Obtains the shared application object once, which connects the process to
// the window server, and returns the backend.
std::unique_ptr<Mac> makeMacOSMac();

}  // namespace brindlecast::platform
