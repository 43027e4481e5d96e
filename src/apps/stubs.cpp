// Routed operations whose work is not built yet answer as a platform error.
#include "apps/actions.h"
#include "apps/list.h"

namespace brindlecast::apps {

void appsList(Host&, const Request&, Result&) { throw platform::PlatformError{"not built"}; }
void appOperation(Host&, const Request&, Result&) { throw platform::PlatformError{"not built"}; }

}  // namespace brindlecast::apps
