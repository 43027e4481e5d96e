// The agent: answers JSON request lines on standard input until it ends.
#include <csignal>

#include <unistd.h>

#include "host/host.h"
#include "host/loop.h"
#ifdef BRINDLECAST_MACOS_BACKEND
#include "platform/macos/macos_mac.h"
#else
#include "platform/virtual/virtual_mac.h"
#endif

int main() {
    // A parent that closes the pipe early must not end the agent mid-write.
    std::signal(SIGPIPE, SIG_IGN);
#ifdef BRINDLECAST_MACOS_BACKEND
    auto mac = brindlecast::platform::makeMacOSMac();
#else
    auto mac = brindlecast::platform::makeVirtualMac();
#endif
    {
        brindlecast::Host host(*mac);
        brindlecast::runLoop(host, STDIN_FILENO, STDOUT_FILENO);
    }
    return 0;
}
