// Text helpers of the request path: UTF-8 repair and extended grapheme clusters.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace brindlecast {

// Appends `bytes` to `out` with every ill-formed UTF-8 sequence replaced by
// U+FFFD, one replacement per maximal ill-formed subpart.
void repairUtf8(std::string_view bytes, std::string& out);

// The number of extended grapheme clusters in valid UTF-8, counting no
// further than `limit + 1`.
std::size_t graphemeCount(std::string_view text, std::size_t limit);

// The prefix of valid UTF-8 text that holds its first `count` clusters.
std::string_view graphemePrefix(std::string_view text, std::size_t count);

}  // namespace brindlecast
