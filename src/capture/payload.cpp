#include "capture/payload.h"

#include <algorithm>
#include <climits>
#include <cmath>

#include <openssl/evp.h>
#include <turbojpeg.h>

#include "host/failure.h"

namespace brindlecast::capture {

namespace {

constexpr double lowestQuality = 0.25;
constexpr double qualityStep = -0.1;
constexpr int subsampling = TJSAMP_420;

// The compressor and the buffers it works in, kept for the life of the
// thread: a frame of the same size needs no new memory and no page faults.
struct Workspace {
    tjhandle compressor = nullptr;
    std::vector<unsigned char> planes;  // YCbCr 4:2:0, rows unpadded
    std::vector<unsigned char> jpeg;    // at least tjBufSize of the picture

    Workspace() = default;
    Workspace(const Workspace&) = delete;
    Workspace& operator=(const Workspace&) = delete;
    ~Workspace() {
        if (compressor != nullptr) tjDestroy(compressor);
    }
};

Workspace& workspace() {
    thread_local Workspace instance;
    return instance;
}

int turboFormat(platform::PixelFormat format) {
    switch (format) {
        case platform::PixelFormat::RGBX: return TJPF_RGBX;
        case platform::PixelFormat::BGRX: return TJPF_BGRX;
        case platform::PixelFormat::RGBA: return TJPF_RGBA;
        case platform::PixelFormat::BGRA: return TJPF_BGRA;
    }
    return TJPF_RGBX;
}

// Grows a buffer to at least `size` bytes; it never shrinks.
bool reserveBytes(std::vector<unsigned char>& buffer, unsigned long size) {
    if (size == 0 || size == static_cast<unsigned long>(-1)) return false;
    if (buffer.size() < size) buffer.resize(size);
    return true;
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

std::span<const uint8_t> fitUnderLimit(double jpegQuality, int64_t limit, const RungEncoder& encode) {
    for (const double quality : qualityRungs(jpegQuality)) {
        const auto bytes = encode(quality);
        if (bytes && limit >= 0 && bytes->size() <= static_cast<uint64_t>(limit)) return *bytes;
    }
    fail(failures::frameTooLarge);
}

Result payloadFromBytes(std::span<const uint8_t> bytes, std::string_view mimeType) {
    // Base64 without line breaks: four characters for every three bytes, the
    // last group padded with "=".
    boost::json::string data;
    data.resize(4 * ((bytes.size() + 2) / 3));
    auto* out = reinterpret_cast<unsigned char*>(data.data());
    // EVP_EncodeBlock counts in int: feed it whole groups of three bytes. Each
    // call ends its text with a NUL, which the next call (or the string's own
    // terminator) overwrites.
    constexpr std::size_t chunk = 3u << 20;
    for (std::size_t done = 0; done < bytes.size(); done += chunk) {
        const std::size_t count = std::min(chunk, bytes.size() - done);
        EVP_EncodeBlock(out + done / 3 * 4, bytes.data() + done, static_cast<int>(count));
    }
    Result payload;
    payload.reserve(3);  // room for a key the caller adds
    payload.emplace("data", std::move(data));
    payload.emplace("mimeType", mimeType);
    return payload;
}

int turboQuality(double quality) {
    if (!(quality > 0)) return 1;
    if (quality >= 1) return 100;
    return std::clamp(static_cast<int>(std::lround(quality * 100)), 1, 100);
}

JpegEncoder::JpegEncoder(const platform::Picture& picture) : picture_(picture) {
    const auto& p = picture_;
    if (p.width < 1 || p.height < 1 || p.stride > static_cast<std::size_t>(INT_MAX)) return;
    const std::size_t rowBytes = static_cast<std::size_t>(p.width) * 4;
    if (p.stride < rowBytes) return;
    const std::size_t needed = p.stride * static_cast<std::size_t>(p.height - 1) + rowBytes;
    valid_ = p.byteCount() >= needed;
}

std::optional<std::span<const uint8_t>> JpegEncoder::encode(double quality) {
    if (!valid_) return std::nullopt;
    Workspace& ws = workspace();
    if (ws.compressor == nullptr) ws.compressor = tjInitCompress();
    if (ws.compressor == nullptr) return std::nullopt;

    const int width = picture_.width;
    const int height = picture_.height;
    // With TJFLAG_NOREALLOC the compressor takes the buffer to be tjBufSize
    // bytes, whatever size it is told, so it must be at least that large.
    if (!reserveBytes(ws.jpeg, tjBufSize(width, height, subsampling))) return std::nullopt;
    unsigned char* out = ws.jpeg.data();
    unsigned long size = static_cast<unsigned long>(ws.jpeg.size());
    const int turbo = turboQuality(quality);
    const bool firstEncoding = encodings_++ == 0;

    // A picture that fits at the first quality is compressed in one pass, with
    // the colour conversion still in cache. Only a picture that needs more
    // rungs pays for converting it once to planes.
    if (!firstEncoding && !planar_ &&
        reserveBytes(ws.planes, tjBufSizeYUV2(width, 1, height, subsampling))) {
        planar_ = tjEncodeYUV3(ws.compressor, picture_.bytes(), width, static_cast<int>(picture_.stride),
                               height, turboFormat(picture_.format), ws.planes.data(), 1, subsampling, 0) == 0;
    }
    int status = 0;
    if (planar_) {
        status = tjCompressFromYUV(ws.compressor, ws.planes.data(), width, 1, height, subsampling, &out, &size,
                                   turbo, TJFLAG_NOREALLOC);
    } else {
        status = tjCompress2(ws.compressor, picture_.bytes(), width, static_cast<int>(picture_.stride), height,
                             turboFormat(picture_.format), &out, &size, subsampling, turbo, TJFLAG_NOREALLOC);
    }
    if (status != 0) return std::nullopt;
    return std::span<const uint8_t>(out, size);
}

Result imagePayload(const platform::Picture& picture, double jpegQuality, int64_t limit) {
    JpegEncoder encoder(picture);
    const auto bytes = fitUnderLimit(jpegQuality, limit, [&](double quality) { return encoder.encode(quality); });
    return payloadFromBytes(bytes, "image/jpeg");
}

}  // namespace brindlecast::capture
