#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace brindlecast {

// The SHA-256 of the UTF-8 bytes of `text` in lower-case hexadecimal, cut to
// its first `count` characters (all 64 when count is 64 or more).
std::string digest(std::string_view text, std::size_t count);

}  // namespace brindlecast
