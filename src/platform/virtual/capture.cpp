// Capture on the virtual Mac: the shareable displays and windows of the state,
// and pictures rendered at the requested size.
#include "platform/virtual/virtual_mac.h"

namespace brindlecast::platform {

ShareableContent VirtualMac::shareableContent() {
    refresh();
    throw PlatformError{"not built"};
}

Picture VirtualMac::captureDisplay(const ShareableContent&, uint32_t, const CaptureSettings&) {
    refresh();
    throw PlatformError{"not built"};
}

Picture VirtualMac::captureWindow(const ShareableContent&, std::size_t, const CaptureSettings&) {
    refresh();
    throw PlatformError{"not built"};
}

}  // namespace brindlecast::platform
