// Applications on the virtual Mac: real folders and bundles on disk, and the
// running applications of the state.
#include "platform/virtual/virtual_mac.h"

namespace brindlecast::platform {

ScanRoots VirtualMac::applicationRoots() {
    refresh();
    return {"/Applications", "/System/Applications", ""};
}

std::optional<std::vector<FolderEntry>> VirtualMac::listFolder(const std::string&) {
    refresh();
    return std::nullopt;
}

std::optional<Bundle> VirtualMac::openBundle(const std::string&) {
    refresh();
    return std::nullopt;
}

std::string VirtualMac::standardLocation(const std::string& path) {
    refresh();
    return path;
}

bool VirtualMac::fileExists(const std::string&) {
    refresh();
    return false;
}

std::vector<RunningApp> VirtualMac::runningApplications() {
    refresh();
    return {};
}

bool VirtualMac::activate(const RunningApp&, uint64_t) { return false; }
bool VirtualMac::terminate(const RunningApp&) { return false; }
bool VirtualMac::forceTerminate(const RunningApp&) { return false; }

void VirtualMac::openApplication(const std::string&) {
    refresh();
    throw PlatformError{"not built"};
}

std::optional<Picture> VirtualMac::drawIcon(const std::string&, int) {
    refresh();
    return std::nullopt;
}

}  // namespace brindlecast::platform
