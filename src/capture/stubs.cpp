// Routed operations whose work is not built yet answer as a platform error.
#include "capture/displays.h"
#include "capture/frame.h"

namespace brindlecast::capture {

Result frame(Host&, const Request&, const std::string*) { throw platform::PlatformError{"not built"}; }
void desktopFrame(Host&, const Request&, Result&) { throw platform::PlatformError{"not built"}; }

}  // namespace brindlecast::capture
