#include "host/text.h"

#include <cstdint>


namespace brindlecast {

namespace {

constexpr std::string_view replacement = "\xEF\xBF\xBD";

// The length of the well-formed sequence at `i`, or 0 with `subpart` set to
// the length of the maximal ill-formed subpart found there.
std::size_t wellFormedLength(const unsigned char* p, std::size_t n, std::size_t& subpart) {
    const unsigned char b0 = p[0];
    subpart = 1;
    if (b0 < 0x80) return 1;
    std::size_t need;
    unsigned char lo = 0x80, hi = 0xBF;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        need = 2;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        need = 3;
        if (b0 == 0xE0) lo = 0xA0;
        if (b0 == 0xED) hi = 0x9F;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        need = 4;
        if (b0 == 0xF0) lo = 0x90;
        if (b0 == 0xF4) hi = 0x8F;
    } else {
        return 0;
    }
    for (std::size_t k = 1; k < need; ++k) {
        if (k >= n) return 0;
        const unsigned char b = p[k];
        const unsigned char l = k == 1 ? lo : 0x80;
        const unsigned char h = k == 1 ? hi : 0xBF;
        if (b < l || b > h) return 0;
        subpart = k + 1;
    }
    return need;
}

}  // namespace

void repairUtf8(std::string_view bytes, std::string& out) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t n = bytes.size();
    std::size_t i = 0;
    while (i < n) {
        // Copy runs of ASCII at once: the usual request is all ASCII.
        std::size_t start = i;
        while (i < n && p[i] < 0x80) ++i;
        out.append(bytes.data() + start, i - start);
        if (i == n) break;
        std::size_t subpart = 1;
        std::size_t len = wellFormedLength(p + i, n - i, subpart);
        if (len != 0) {
            out.append(bytes.data() + i, len);
            i += len;
        } else {
            out.append(replacement);
            i += subpart;
        }
    }
}


std::size_t graphemeCount(std::string_view text, std::size_t limit) {
    std::size_t count = 0;
    forEachCodePoint(text, [&](char32_t, std::size_t, bool starts) {
        if (starts) ++count;
        return count <= limit;
    });
    return count;
}

std::string_view graphemePrefix(std::string_view text, std::size_t count) {
    std::size_t seen = 0;
    std::size_t end = text.size();
    forEachCodePoint(text, [&](char32_t, std::size_t offset, bool starts) {
        if (!starts) return true;
        if (seen == count) {
            end = offset;
            return false;
        }
        ++seen;
        return true;
    });
    return text.substr(0, end);
}

}  // namespace brindlecast
