#include "platform/apple.h"

namespace brindlecast::platform::apple {

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
