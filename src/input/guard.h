// The session guards every controlling operation calls before it touches the Mac.
#pragma once

namespace brindlecast {
class Host;
}

namespace brindlecast::input {

// Refuses while the Mac is locked, not logged in, not on the console, has
// secure keyboard entry on, or shows a protected screen.
void interactive(const Host& host);

// `interactive`, then the Accessibility trust that synthetic input needs.
void inputAllowed(const Host& host);

}  // namespace brindlecast::input
