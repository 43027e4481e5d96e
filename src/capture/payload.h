// Image payloads: one picture as a JPEG that fits a byte limit, in Base64.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "capture/jpeg_encoder.h"
#include "host/validate.h"
#include "platform/mac.h"

namespace brindlecast::capture {

// The qualities the ladder tries, best first: the starting quality, then each
// time 0.1 less (q + (-0.1) in double precision) while the quality is at
// least 0.25. Empty when the start is below 0.25, not a number or infinite.
// A start above 1 (the encoder's best) is taken as 1.
std::vector<double> qualityRungs(double jpegQuality);

// One encoding of the picture at a quality, told the limit it has to meet:
// the bytes, or none when the encoder fails. An encoder may give none, too,
// as soon as it knows the encoding will be larger than the limit. The bytes
// stay valid until the next call.
using RungEncoder = std::function<std::optional<JpegPieces>(double quality, int64_t limit)>;

// Walks the rungs in order and returns the first encoding of at most `limit`
// bytes (a count equal to the limit fits). A rung whose encoder fails counts
// as one that is too large. Fails with "This frame exceeds the connection
// limit." when no rung fits.
JpegPieces fitUnderLimit(double jpegQuality, int64_t limit, const RungEncoder& encode);

// {"data": the bytes in standard Base64, "mimeType": mimeType}, keys in
// sorted order; the caller may add keys beside them.
Result payloadFromBytes(std::span<const uint8_t> bytes, std::string_view mimeType);
// The same for bytes in pieces, written as Base64 straight from the pieces,
// a large text in parts on up to `threads` threads (0: all the encoder has).
Result payloadFromPieces(const JpegPieces& bytes, std::string_view mimeType, int threads = 0);

// The ladder on one picture: the JPEG of the highest rung that fits `limit`,
// as an image payload ("data", "mimeType": "image/jpeg"). `threads` caps the
// encoder's threads (0: all it has); the answer does not depend on it.
Result imagePayload(const platform::Picture& picture, double jpegQuality, int64_t limit, int threads = 0);

}  // namespace brindlecast::capture
