#include "input/guard.h"

#include <algorithm>
#include <array>
#include <string_view>

#include "host/failure.h"
#include "host/host.h"

namespace brindlecast::input {

namespace {

// Applications whose presence in front means macOS shows a protected screen.
constexpr std::array<std::string_view, 3> secureScreenBundles{
    "com.apple.loginwindow",
    "com.apple.SecurityAgent",
    "com.apple.CoreServicesUIAgent",
};

}  // namespace

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
    if (std::find(secureScreenBundles.begin(), secureScreenBundles.end(), bundleId) != secureScreenBundles.end()) {
        fail(failures::protectedScreen);
    }
}

void inputAllowed(const Host& host) {
    interactive(host);
    if (!host.mac().accessibilityTrusted()) fail(failures::accessibilityMissing);
}

}  // namespace brindlecast::input
