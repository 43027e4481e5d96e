// Image payloads: one picture as a JPEG that fits a byte limit, in Base64.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "host/validate.h"
#include "platform/mac.h"

namespace brindlecast::capture {

// The qualities the ladder tries, best first: the starting quality, then each
// time 0.1 less (q + (-0.1) in double precision) while the quality is at
// least 0.25. Empty when the start is below 0.25, not a number or infinite.
// A start above 1 (the encoder's best) is taken as 1.
std::vector<double> qualityRungs(double jpegQuality);

// One encoding of the picture at a quality; none when the encoder fails. The
// bytes stay valid until the next call.
using RungEncoder = std::function<std::optional<std::span<const uint8_t>>(double quality)>;

// Walks the rungs in order and returns the first encoding of at most `limit`
// bytes (a count equal to the limit fits). A rung whose encoder fails counts
// as one that is too large. Fails with "This frame exceeds the connection
// limit." when no rung fits.
std::span<const uint8_t> fitUnderLimit(double jpegQuality, int64_t limit, const RungEncoder& encode);

// {"data": the bytes in standard Base64, "mimeType": mimeType}, keys in
// sorted order; the caller may add keys beside them.
Result payloadFromBytes(std::span<const uint8_t> bytes, std::string_view mimeType);

// TurboJPEG's quality (1 worst to 100 best) for a compression factor from 0
// (smallest) to 1 (best): the factor times 100, rounded to the nearest
// integer, kept within 1 to 100. The rungs 0.95 ... 0.25000000000000011 map
// to 95 ... 25.
int turboQuality(double quality);

// Encodes one picture as baseline JPEG with 4:2:0 chroma subsampling, as many
// times as the ladder asks. The first encoding goes straight from the pixels;
// when a second one is needed, the picture is converted once to YCbCr planes
// and every later quality is compressed from them, so the colour conversion
// and subsampling are not repeated. One compressor and its buffers are kept
// per thread and reused from call to call.
class JpegEncoder {
public:
    // The picture must outlive the encoder.
    explicit JpegEncoder(const platform::Picture& picture);

    // The JPEG at that quality (0 to 1), or none when the picture cannot be
    // encoded. Valid until the next call on any encoder of this thread.
    std::optional<std::span<const uint8_t>> encode(double quality);

private:
    const platform::Picture& picture_;
    bool valid_ = false;
    bool planar_ = false;  // the YCbCr planes of this picture are ready
    int encodings_ = 0;
};

// The ladder on one picture: the JPEG of the highest rung that fits `limit`,
// as an image payload ("data", "mimeType": "image/jpeg").
Result imagePayload(const platform::Picture& picture, double jpegQuality, int64_t limit);

}  // namespace brindlecast::capture
