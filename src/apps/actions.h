// "apps.icon", "apps.action" and "apps.preview", which share their first steps.
#pragma once

#include "host/host.h"

namespace brindlecast::apps {

void appOperation(Host& host, const Request& request, Result& result);

}  // namespace brindlecast::apps
