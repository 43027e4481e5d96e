// "apps.list".
#pragma once

#include "host/host.h"

namespace brindlecast::apps {

void appsList(Host& host, const Request& request, Result& result);

}  // namespace brindlecast::apps
