#include "host/digest.h"

#include <algorithm>

#include <openssl/sha.h>

namespace brindlecast {

std::string digest(std::string_view text, std::size_t count) {
    unsigned char hash[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char*>(text.data()), text.size(), hash);
    static constexpr char hex[] = "0123456789abcdef";
    std::string out(2 * SHA256_DIGEST_LENGTH, '0');
    for (std::size_t i = 0; i < SHA256_DIGEST_LENGTH; ++i) {
        out[2 * i] = hex[hash[i] >> 4];
        out[2 * i + 1] = hex[hash[i] & 0x0f];
    }
    out.resize(std::min(count, out.size()));
    return out;
}

}  // namespace brindlecast
