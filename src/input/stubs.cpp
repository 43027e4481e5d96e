// Routed operations whose work is not built yet answer as a platform error.
#include "input/actions.h"
#include "input/keyboard.h"
#include "input/pointer.h"

namespace brindlecast::input {

void clickOrPointer(Host&, const Request&, Result&) { throw platform::PlatformError{"not built"}; }
void desktopScroll(Host&, const Request&, Result&) { throw platform::PlatformError{"not built"}; }
void desktopText(Host&, const Request&, Result&) { throw platform::PlatformError{"not built"}; }
void actionRequest(Host&, const Request&, Result&) { throw platform::PlatformError{"not built"}; }

}  // namespace brindlecast::input
