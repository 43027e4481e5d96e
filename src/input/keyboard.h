// Key presses and text entry: `press`, `text` and "desktop.text".
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/host.h"

namespace brindlecast::input {

// The virtual key of a presentation action ("presentation:next" and the
// like, matched exactly), pressed without flags; none for any other name.
std::optional<platform::VirtualKey> presentationKey(std::string_view action);

// The most UTF-16 code units macOS takes from the string of one keyboard event.
inline constexpr std::size_t maxUnitsPerEvent = 20;

// Valid UTF-8 text as UTF-16 runs of whole extended grapheme clusters, in
// order, each run at most `maxUnits` code units long; a single cluster that is
// longer than that makes a run by itself. Runs are never empty.
std::vector<std::u16string> textRuns(std::string_view text, std::size_t maxUnits = maxUnitsPerEvent);

// Posts a key-down and a key-up event of one virtual key with exactly `flags`.
void press(const Host& host, platform::KeyChord chord);

// Types valid UTF-8 text into the focused ordinary text field.
void text(const Host& host, std::string_view text);

void desktopText(Host& host, const Request& request, Result& result);

}  // namespace brindlecast::input
