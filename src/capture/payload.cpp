#include "capture/payload.h"

#include <algorithm>
#include <cmath>

#include <openssl/evp.h>

#include "host/failure.h"

namespace brindlecast::capture {

namespace {

constexpr double lowestQuality = 0.25;
constexpr double qualityStep = -0.1;

// Base64 without line breaks, written into `out` (room for the text and a
// NUL): four characters for every three bytes, the last group padded with
// "=". A group of three may span two pieces.
std::size_t base64(const JpegPieces& bytes, char* text) {
    auto* out = reinterpret_cast<unsigned char*>(text);
    std::size_t written = 0;
    unsigned char carry[3];
    int carried = 0;
    // EVP_EncodeBlock counts in int: whole groups of three bytes at a time.
    // Each call ends its text with a NUL, which the next call (or the
    // string's own terminator) overwrites.
    constexpr std::size_t chunk = 3u << 20;
    for (const auto piece : bytes.pieces) {
        const uint8_t* p = piece.data();
        std::size_t n = piece.size();
        if (carried > 0) {
            const std::size_t take = std::min<std::size_t>(3 - carried, n);
            std::copy(p, p + take, carry + carried);
            carried += static_cast<int>(take);
            p += take;
            n -= take;
            if (carried < 3) continue;
            written += static_cast<std::size_t>(EVP_EncodeBlock(out + written, carry, 3));
            carried = 0;
        }
        const std::size_t whole = n / 3 * 3;
        for (std::size_t done = 0; done < whole; done += chunk) {
            const std::size_t count = std::min(chunk, whole - done);
            written += static_cast<std::size_t>(EVP_EncodeBlock(out + written, p + done, static_cast<int>(count)));
        }
        std::copy(p + whole, p + n, carry);
        carried = static_cast<int>(n - whole);
    }
    if (carried > 0) written += static_cast<std::size_t>(EVP_EncodeBlock(out + written, carry, carried));
    return written;
}

}  // namespace

std::vector<double> qualityRungs(double jpegQuality) {
    std::vector<double> rungs;
    // NaN fails this comparison too; an infinite start would never step down.
    if (!(jpegQuality >= lowestQuality) || std::isinf(jpegQuality)) return rungs;
    double q = std::min(jpegQuality, 1.0);
    for (; q >= lowestQuality; q = q + qualityStep) rungs.push_back(q);
    return rungs;
}

JpegPieces fitUnderLimit(double jpegQuality, int64_t limit, const RungEncoder& encode) {
    if (limit >= 0) {
        for (const double quality : qualityRungs(jpegQuality)) {
            auto bytes = encode(quality, limit);
            if (bytes && bytes->size <= static_cast<uint64_t>(limit)) return std::move(*bytes);
        }
    }
    fail(failures::frameTooLarge);
}

Result payloadFromPieces(const JpegPieces& bytes, std::string_view mimeType) {
    // The text is written once, into the string's own storage: no zero-filled
    // buffer first, no copy of the picture joined into one piece.
    boost::json::string data;
    data.reserve(4 * ((bytes.size + 2) / 3));
    data.grow(base64(bytes, data.data()));
    Result payload;
    payload.reserve(3);  // room for a key the caller adds
    payload.emplace("data", std::move(data));
    payload.emplace("mimeType", mimeType);
    return payload;
}

Result payloadFromBytes(std::span<const uint8_t> bytes, std::string_view mimeType) {
    JpegPieces pieces;
    pieces.pieces.push_back(bytes);
    pieces.size = bytes.size();
    return payloadFromPieces(pieces, mimeType);
}

Result imagePayload(const platform::Picture& picture, double jpegQuality, int64_t limit, int threads) {
    JpegEncoder encoder(picture, threads);
    const JpegPieces bytes = fitUnderLimit(
        jpegQuality, limit, [&](double quality, int64_t rungLimit) { return encoder.encode(quality, rungLimit); });
    return payloadFromPieces(bytes, "image/jpeg");
}

}  // namespace brindlecast::capture
