// "desktop.guard", "permissions.status" and "permissions.request".
#pragma once

#include <string_view>

#include "host/host.h"

namespace brindlecast::input {

// The Automation state for the power events to the login window, as one of
// "granted", "denied", "not-determined" and "unavailable". Never fails.
std::string_view automationPermission(const Host& host, bool prompt = false);

void desktopGuard(Host& host, const Request& request, Result& result);

// "permissions.status" and "permissions.request".
void permissions(Host& host, const Request& request, Result& result);

}  // namespace brindlecast::input
