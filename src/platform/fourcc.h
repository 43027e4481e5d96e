#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace brindlecast {

// A four-character code held as a number, first character in the top byte.
constexpr uint32_t fourcc(std::string_view code) {
    return (static_cast<uint32_t>(static_cast<unsigned char>(code[0])) << 24) |
           (static_cast<uint32_t>(static_cast<unsigned char>(code[1])) << 16) |
           (static_cast<uint32_t>(static_cast<unsigned char>(code[2])) << 8) |
           static_cast<uint32_t>(static_cast<unsigned char>(code[3]));
}

inline std::string fourccText(uint32_t code) {
    return {static_cast<char>(code >> 24), static_cast<char>((code >> 16) & 0xff),
            static_cast<char>((code >> 8) & 0xff), static_cast<char>(code & 0xff)};
}

}  // namespace brindlecast
