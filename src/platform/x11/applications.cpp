// Applications on the X11 desktop: desktop entries stand for bundles, client
// windows for running applications.
#include <sys/stat.h>

#include "platform/x11/apps/desktop_entries.h"
#include "platform/x11/apps/windows.h"
#include "platform/x11/backend.h"
#include "platform/x11/x11_mac.h"

namespace brindlecast::platform {

void runIconDrawerIfAsked(int argc, char** argv) { x11::runIconDrawerIfAsked(argc, argv); }

ScanRoots X11Mac::applicationRoots() { return x11::applicationFolders(); }

// An applications folder is listed with every entry below it: desktop
// entries are found at any depth.
std::optional<std::vector<FolderEntry>> X11Mac::listFolder(const std::string& path) {
    return x11::listEntryFolder(path);
}

bool X11Mac::isApplicationCandidate(const FolderEntry& entry) { return x11::isDesktopEntryCandidate(entry); }

std::optional<Bundle> X11Mac::openBundle(const std::string& path) {
    // An entry that starts a blocked program or a protected screen's program
    // (a terminal, a lock screen, a greeter, a polkit agent), whatever its
    // desktop id, is never offered.
    static const x11::ProgramNames refused = [this] {
        IdentifierSets sets = identifierSets();
        x11::ProgramNames names(sets.blockedBundles.begin(), sets.blockedBundles.end());
        names.insert(sets.secureScreenBundles.begin(), sets.secureScreenBundles.end());
        return names;
    }();
    return x11::openEntry(path, refused);
}

std::string X11Mac::standardLocation(const std::string& path) { return x11::entryLocation(path); }

bool X11Mac::fileExists(const std::string& path) {
    struct stat info {};
    return !path.empty() && ::stat(path.c_str(), &info) == 0;
}

std::vector<RunningApp> X11Mac::runningApplications() { return x11::runningApplications(x_, ownProcessId()); }

bool X11Mac::activate(const RunningApp& app, ActivationOptions) { return x11::activateWindows(x_, app.pid); }

bool X11Mac::terminate(const RunningApp& app) { return x11::closeWindows(x_, app.pid); }

bool X11Mac::forceTerminate(const RunningApp& app) { return x11::endProcess(x_, app.pid); }

void X11Mac::openApplication(const std::string& bundlePath) {
    // As opening an application that runs does on the Mac: the running one comes forward.
    const std::string wanted = x11::standardPath(bundlePath);
    for (const auto& app : runningApplications()) {
        if (app.bundlePath && x11::standardPath(*app.bundlePath) == wanted && x11::activateWindows(x_, app.pid)) {
            return;
        }
    }
    x11::launchEntry(bundlePath);
}

std::optional<Picture> X11Mac::drawIcon(const std::string& bundlePath, int size) {
    return x11::drawEntryIcon(bundlePath, size, x11::chosenIconTheme(x_.get()));
}

}  // namespace brindlecast::platform
