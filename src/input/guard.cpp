#include "input/guard.h"

#include <algorithm>
#include <string_view>

#include "host/failure.h"
#include "host/host.h"

namespace brindlecast::input {

void interactive(const Host& host) {
    platform::Mac& mac = host.mac();
    const auto session = mac.session();
    if (!session) fail(failures::locked);
    if (session->onConsole != true) fail(failures::locked);
    if (session->loginDone != true) fail(failures::locked);
    if (session->screenLocked == true) fail(failures::locked);
    if (mac.secureInputEnabled()) fail(failures::locked);

    const auto front = mac.frontmostApplication();
    if (!front) fail(failures::protectedScreen);
    const std::string_view bundleId = front->bundleId ? std::string_view(*front->bundleId) : std::string_view();
    const auto& secure = host.secureScreenBundles;
    if (std::find(secure.begin(), secure.end(), bundleId) != secure.end()) {
        fail(failures::protectedScreen);
    }
}

void inputAllowed(const Host& host) {
    interactive(host);
    if (!host.mac().accessibilityTrusted()) fail(failures::accessibilityMissing);
}

}  // namespace brindlecast::input
