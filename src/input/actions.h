// The action request: media keys, power, shortcuts and presentation keys.
#pragma once

#include <cstdint>
#include <string_view>

#include "host/host.h"

namespace brindlecast::input {

// Presses one system media key: the key-down event, then the key-up event.
void mediaKey(const Host& host, platform::MediaKey key);

// Asks the system to shut down ("shutdown"), restart ("restart") or sleep
// ("sleep"), waiting up to 5 seconds for its reply. Passes on the platform's
// error when it cannot be asked or no reply comes.
void power(const Host& host, std::string_view action);

void actionRequest(Host& host, const Request& request, Result& result);

}  // namespace brindlecast::input
