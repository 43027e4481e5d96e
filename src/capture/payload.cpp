#include "capture/payload.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include <openssl/evp.h>

#include "capture/worker_pool.h"
#include "host/failure.h"

namespace brindlecast::capture {

namespace {

constexpr double lowestQuality = 0.25;
constexpr double qualityStep = -0.1;

constexpr std::size_t parallelTextBytes = 256 * 1024;  // smaller pictures: Base64 on one thread

// Base64 without line breaks of bytes [begin, end) of the pieces, written at
// `out`: four characters for every three bytes, a last group of fewer padded
// with "=". `begin` is a multiple of three, and so is `end` unless it is the
// end of all the bytes. Nothing is written outside the range's own text, so
// ranges can be written at the same time; a group of three may span pieces.
void base64Range(const JpegPieces& bytes, std::size_t begin, std::size_t end, unsigned char* out) {
    unsigned char carry[3];
    int carried = 0;
    // EVP_EncodeBlock counts in int, and ends its text with a NUL: groups
    // that would put that NUL past the range go through `group`.
    auto putGroup = [&](const unsigned char* in, int n) {
        unsigned char group[5];
        EVP_EncodeBlock(group, in, n);
        std::memcpy(out, group, 4);
        out += 4;
    };
    constexpr std::size_t chunk = 3u << 20;
    std::size_t offset = 0;  // of the piece in all the bytes
    for (const auto piece : bytes.pieces) {
        const std::size_t pieceEnd = offset + piece.size();
        if (pieceEnd <= begin) {
            offset = pieceEnd;
            continue;
        }
        if (offset >= end) break;
        const uint8_t* p = piece.data() + (begin > offset ? begin - offset : 0);
        std::size_t n = std::min(pieceEnd, end) - std::max(offset, begin);
        offset = pieceEnd;
        if (carried > 0) {
            const std::size_t take = std::min<std::size_t>(3 - carried, n);
            std::memcpy(carry + carried, p, take);
            carried += static_cast<int>(take);
            p += take;
            n -= take;
            if (carried < 3) continue;
            putGroup(carry, 3);
            carried = 0;
        }
        std::size_t whole = n / 3 * 3;
        if (whole > 0 && offset >= end) whole -= 3;  // the range's last group: through `group`
        for (std::size_t done = 0; done < whole; done += chunk) {
            const std::size_t count = std::min(chunk, whole - done);
            out += EVP_EncodeBlock(out, p + done, static_cast<int>(count));
        }
        // At most five bytes are left: one group through `group`, the rest carried.
        p += whole;
        n -= whole;
        if (n >= 3) {
            putGroup(p, 3);
            p += 3;
            n -= 3;
        }
        std::memcpy(carry, p, n);
        carried = static_cast<int>(n);
    }
    if (carried > 0) putGroup(carry, carried);
}

// The Base64 text of all the bytes at `text`, in ranges written on up to
// `threads` threads; returns its length.
std::size_t base64(const JpegPieces& bytes, char* text, int threads) {
    auto* out = reinterpret_cast<unsigned char*>(text);
    const std::size_t length = 4 * ((bytes.size + 2) / 3);
    const int ranges = std::clamp(static_cast<int>(bytes.size / parallelTextBytes), 1, std::max(1, threads));
    if (ranges == 1) {
        base64Range(bytes, 0, bytes.size, out);
        return length;
    }
    const std::size_t groups = (bytes.size + 2) / 3;
    const std::size_t perRange = (groups + static_cast<std::size_t>(ranges) - 1) / static_cast<std::size_t>(ranges);
    WorkerPool::shared().run(ranges, ranges, [&](int r) {
        const std::size_t begin = std::min(bytes.size, static_cast<std::size_t>(r) * perRange * 3);
        const std::size_t end = std::min(bytes.size, begin + perRange * 3);
        if (begin < end) base64Range(bytes, begin, end, out + begin / 3 * 4);
    });
    return length;
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

Result payloadFromPieces(const JpegPieces& bytes, std::string_view mimeType, int threads) {
    // The text is written once, into the string's own storage: no zero-filled
    // buffer first, no copy of the picture joined into one piece.
    boost::json::string data;
    data.reserve(4 * ((bytes.size + 2) / 3));
    data.grow(base64(bytes, data.data(), threads <= 0 ? encoderThreads() : threads));
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
    return payloadFromPieces(pieces, mimeType, 1);
}

Result imagePayload(const platform::Picture& picture, double jpegQuality, int64_t limit, int threads) {
    JpegEncoder encoder(picture, threads);
    const JpegPieces bytes = fitUnderLimit(
        jpegQuality, limit, [&](double quality, int64_t rungLimit) { return encoder.encode(quality, rungLimit); });
    return payloadFromPieces(bytes, "image/jpeg", threads);
}

}  // namespace brindlecast::capture
