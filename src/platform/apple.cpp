#include "platform/apple.h"

#include <string>
#include <string_view>

namespace brindlecast::platform::apple {

bool isBundleCandidate(const FolderEntry& entry) {
    if (!entry.propertiesRead || entry.isSymbolicLink.value_or(false) || !entry.isDirectory.value_or(false)) return false;
    const std::size_t dot = entry.name.rfind('.');
    return dot != std::string::npos && std::string_view(entry.name).substr(dot + 1) == "app";
}

IdentifierSets identifierSets() {
    return {
        .secureScreenBundles = {"com.apple.loginwindow", "com.apple.SecurityAgent", "com.apple.CoreServicesUIAgent"},
        .blockedBundles = {"app.brindlecast.desktop", "com.apple.Terminal", "com.apple.ScriptEditor2",
                           "com.apple.Automator", "com.apple.systempreferences", "com.apple.loginwindow",
                           "com.apple.SecurityAgent", "com.googlecode.iterm2"},
        .protectedBundles = {"app.brindlecast.desktop", "com.apple.finder", "com.apple.dock",
                             "com.apple.loginwindow", "com.apple.SecurityAgent", "com.apple.systemuiserver"},
    };
}

}  // namespace brindlecast::platform::apple
