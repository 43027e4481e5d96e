// The JPEG encoder behind the quality ladder: baseline JPEG, 4:2:0 chroma,
// libjpeg-turbo's standard tables, cut into horizontal strips that are
// encoded at the same time and joined with restart markers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "platform/mac.h"

namespace brindlecast::capture {

// The bytes of one JPEG as the pieces it is joined from, in order; they stay
// valid as long as the encoder that made them and until its next encoding.
struct JpegPieces {
    std::vector<std::span<const uint8_t>> pieces;
    std::size_t size = 0;

    std::vector<uint8_t> joined() const;  // one copy of all of it (for tests and tools)
};

// How a picture is cut: strips of `stripRows` rows of 16-pixel MCUs (the
// last strip may be shorter). With one strip the JPEG has no restart markers
// and is exactly what tjCompress2 makes; with more, every strip is one
// restart interval. Depends on the picture's size alone, never on the
// machine, so a picture always gives the same file.
struct StripLayout {
    int mcusPerRow = 0;
    int mcuRows = 0;
    int stripRows = 0;
    int strips = 0;
};
StripLayout stripLayout(int width, int height);

// TurboJPEG's quality (1 worst to 100 best) for a compression factor from 0
// (smallest) to 1 (best): the factor times 100, rounded to the nearest
// integer, kept within 1 to 100. The rungs 0.95 ... 0.25000000000000011 map
// to 95 ... 25.
int turboQuality(double quality);

// The threads the process's encoder can use at once (the hardware's, capped).
int encoderThreads();

class JpegEncoder {
public:
    // The picture must outlive the encoder. `threads` caps the threads this
    // encoder uses (0: all of `encoderThreads()`); the bytes do not depend on it.
    explicit JpegEncoder(const platform::Picture& picture, int threads = 0);
    ~JpegEncoder();
    JpegEncoder(const JpegEncoder&) = delete;
    JpegEncoder& operator=(const JpegEncoder&) = delete;

    // The JPEG at that quality (0 to 1, the TurboJPEG quality of
    // turboQuality) when it has at most `limit` bytes; none when it has more,
    // or when it cannot be made. The strips of a JPEG that is already over
    // the limit are not finished. A first call whose limit leaves at least a
    // byte a pixel encodes straight from the pixels; otherwise the colour
    // conversion and downsampling are made once, for every later quality.
    std::optional<JpegPieces> encode(double quality, int64_t limit);

    const StripLayout& layout() const { return layout_; }

    struct Frame;  // the planes and strip buffers, reused from picture to picture

private:
    const platform::Picture& picture_;
    StripLayout layout_;
    int threads_ = 1;
    bool valid_ = false;
    std::unique_ptr<Frame, void (*)(Frame*)> frame_;
};

}  // namespace brindlecast::capture
