// The agent: answers JSON request lines on standard input until it ends.
#include <csignal>

#include <unistd.h>
#ifdef __GLIBC__
#include <malloc.h>
#endif

#include "host/host.h"
#include "host/loop.h"
#ifdef BRINDLECAST_MACOS_BACKEND
#include "platform/macos/macos_mac.h"
#elif defined(BRINDLECAST_X11_BACKEND)
#include "platform/x11/x11_mac.h"
#else
#include "platform/virtual/virtual_mac.h"
#endif

int main(int argc, char** argv) {
#ifdef BRINDLECAST_X11_BACKEND
    brindlecast::platform::runIconDrawerIfAsked(argc, argv);
#else
    (void)argc;
    (void)argv;
#endif
    // A parent that closes the pipe early must not end the agent mid-write.
    std::signal(SIGPIPE, SIG_IGN);
#ifdef __GLIBC__
    // A frame needs the same few megabytes of buffers request after request;
    // keep them in the heap instead of mapping and faulting in fresh pages
    // for every frame. The working set stays what the largest frame needed.
    mallopt(M_MMAP_THRESHOLD, 32 << 20);
    mallopt(M_TRIM_THRESHOLD, 64 << 20);
#endif
#ifdef BRINDLECAST_MACOS_BACKEND
    auto mac = brindlecast::platform::makeMacOSMac();
#elif defined(BRINDLECAST_X11_BACKEND)
    auto mac = brindlecast::platform::makeX11Mac();
#else
    auto mac = brindlecast::platform::makeVirtualMac();
#endif
    {
        brindlecast::Host host(*mac);
        brindlecast::runLoop(host, STDIN_FILENO, STDOUT_FILENO);
    }
    return 0;
}
