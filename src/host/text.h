// Text helpers of the request path: UTF-8 repair and extended grapheme clusters.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include <utf8proc.h>

namespace brindlecast {

// Calls visit(code point, byte offset, whether an extended grapheme cluster
// starts there) for each code point of the text, until visit returns false.
// A byte that does not start a valid sequence counts as U+FFFD on its own.
template <typename Visit>
void forEachCodePoint(std::string_view text, Visit visit) {
    const auto* p = reinterpret_cast<const utf8proc_uint8_t*>(text.data());
    const auto n = static_cast<utf8proc_ssize_t>(text.size());
    utf8proc_ssize_t i = 0;
    utf8proc_int32_t previous = -1;
    utf8proc_int32_t state = 0;
    while (i < n) {
        utf8proc_int32_t cp = 0;
        utf8proc_ssize_t len = utf8proc_iterate(p + i, n - i, &cp);
        if (len <= 0) {
            len = 1;
            cp = 0xFFFD;
        }
        const bool starts = previous < 0 || utf8proc_grapheme_break_stateful(previous, cp, &state);
        if (!visit(static_cast<char32_t>(cp), static_cast<std::size_t>(i), starts)) return;
        previous = cp;
        i += len;
    }
}

// Appends `bytes` to `out` with every ill-formed UTF-8 sequence replaced by
// U+FFFD, one replacement per maximal ill-formed subpart.
void repairUtf8(std::string_view bytes, std::string& out);

// The number of extended grapheme clusters in valid UTF-8, counting no
// further than `limit + 1`.
std::size_t graphemeCount(std::string_view text, std::size_t limit);

// The prefix of valid UTF-8 text that holds its first `count` clusters.
std::string_view graphemePrefix(std::string_view text, std::size_t count);

}  // namespace brindlecast
