// The action request: media keys, power, shortcuts and presentation keys.
#pragma once

#include "host/host.h"

namespace brindlecast::input {

void actionRequest(Host& host, const Request& request, Result& result);

}  // namespace brindlecast::input
