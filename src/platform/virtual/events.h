// Events of the virtual Mac: made, flagged and posted as the real ones are,
// and written to the event log when posted.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "host/json_out.h"
#include "platform/mac.h"

namespace brindlecast::platform {

struct VirtualEvent final : Event {
    enum class Kind { Mouse, Scroll, Key, System };
    explicit VirtualEvent(Kind k) : kind(k) {}

    Kind kind;
    JsonLine line;  // the log line of mouse, scroll and system events
    VirtualKey key = VirtualKey::a;
    bool down = false;
    std::optional<EventFlags> flags;
    std::optional<std::string> text;
};

// UTF-8 of UTF-16 code units; a lone surrogate becomes U+FFFD.
std::string utf8FromUtf16(std::u16string_view units);

}  // namespace brindlecast::platform
