#include "capture/jpeg_encoder.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <mutex>

#include <jpeglib.h>
#include <turbojpeg.h>

#include "capture/worker_pool.h"

namespace brindlecast::capture {

namespace {

constexpr int mcuSize = 16;                   // 4:2:0: an MCU is 16 x 16 pixels
constexpr std::size_t outputWindow = 8192;    // bytes between two looks at the limit
constexpr long smallestSplitPicture = 128 * 1024;  // pixels; below this one strip is as fast
constexpr int smallestSplitRows = 8;          // MCU rows
constexpr int fewestStripRows = 4;            // MCU rows in a strip
constexpr int mostStrips = 24;

constexpr uint8_t restartMarkers[8][2] = {{0xFF, 0xD0}, {0xFF, 0xD1}, {0xFF, 0xD2}, {0xFF, 0xD3},
                                          {0xFF, 0xD4}, {0xFF, 0xD5}, {0xFF, 0xD6}, {0xFF, 0xD7}};
constexpr uint8_t endOfImage[2] = {0xFF, 0xD9};

J_COLOR_SPACE libjpegSpace(platform::PixelFormat format) {
    switch (format) {
        case platform::PixelFormat::RGBX: return JCS_EXT_RGBX;
        case platform::PixelFormat::BGRX: return JCS_EXT_BGRX;
        case platform::PixelFormat::RGBA: return JCS_EXT_RGBA;
        case platform::PixelFormat::BGRA: return JCS_EXT_BGRA;
    }
    return JCS_EXT_RGBX;
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

// A buffer whose bytes are not touched until they are written.
struct Bytes {
    std::unique_ptr<uint8_t[]> data;
    std::size_t capacity = 0;

    uint8_t* reserve(std::size_t size) {
        if (capacity < size) {
            data.reset(new uint8_t[size]);
            capacity = size;
        }
        return data.get();
    }
};

// The marker segments of a JPEG up to and including its scan header: the
// length of that header, or 0 while it is not complete in the bytes given.
// Walks the segment lengths, so entropy-coded bytes are never mistaken for
// markers.
std::size_t headerLength(const uint8_t* bytes, std::size_t size) {
    std::size_t i = 2;  // after SOI
    while (i + 4 <= size) {
        if (bytes[i] != 0xFF) return 0;
        const std::size_t length = (std::size_t{bytes[i + 2]} << 8) | bytes[i + 3];
        if (bytes[i + 1] == 0xDA) return i + 2 + length <= size ? i + 2 + length : 0;
        i += 2 + length;
    }
    return 0;
}

// Writes `height` into the frame header (SOF0) of a complete header.
void patchHeight(uint8_t* bytes, std::size_t header, int height) {
    std::size_t i = 2;
    while (i + 7 <= header) {
        const std::size_t length = (std::size_t{bytes[i + 2]} << 8) | bytes[i + 3];
        if (bytes[i + 1] == 0xC0) {
            bytes[i + 5] = static_cast<uint8_t>(height >> 8);
            bytes[i + 6] = static_cast<uint8_t>(height & 0xFF);
            return;
        }
        i += 2 + length;
    }
}

// One rung being encoded, shared by the strips' threads.
struct Rung {
    int quality = 0;
    int64_t limit = 0;
    // A lower bound of the joined JPEG's size while strips are being written;
    // its exact size once all are done.
    std::atomic<int64_t> total{0};
    std::atomic<bool> stop{false};  // over the limit, or a strip failed
};

// libjpeg's error handler: every error ends the strip by a jump back to the
// strip's start; nothing is printed.
struct ErrorManager {
    jpeg_error_mgr pub;
    std::jmp_buf jump;
};

extern "C" void errorExit(j_common_ptr cinfo) {
    std::longjmp(reinterpret_cast<ErrorManager*>(cinfo->err)->jump, 1);
}

extern "C" void outputNothing(j_common_ptr) {}

// Where a strip's bytes go: its buffer, handed to libjpeg a window at a time
// so that every window's end can check the rung against its limit.
struct Destination {
    jpeg_destination_mgr pub;
    uint8_t* base = nullptr;
    std::size_t capacity = 0;
    std::size_t windowEnd = 0;
    Rung* rung = nullptr;
    bool first = false;          // strip 0 keeps its header
    std::size_t header = 0;      // its header's length, once known
    int64_t counted = 0;         // bytes of this strip in rung->total
};

// Adds what the strip has written so far to the rung: strip 0 all its bytes,
// every other strip its bytes after the header, its end-of-image marker
// standing for the restart marker before it in the joined file. False when
// the rung is over its limit.
bool account(Destination& d, std::size_t written) {
    if (!d.first && d.header == 0) d.header = headerLength(d.base, written);
    const int64_t counted = d.first ? static_cast<int64_t>(written)
                                    : (d.header == 0 ? 0 : static_cast<int64_t>(written - d.header));
    const int64_t delta = counted - d.counted;
    d.counted = counted;
    if (d.rung->total.fetch_add(delta) + delta > d.rung->limit) d.rung->stop = true;
    return !d.rung->stop;
}

extern "C" void initDestination(j_compress_ptr cinfo) {
    auto* d = reinterpret_cast<Destination*>(cinfo->dest);
    d->windowEnd = std::min(outputWindow, d->capacity);
    d->pub.next_output_byte = d->base;
    d->pub.free_in_buffer = d->windowEnd;
}

extern "C" boolean emptyOutputBuffer(j_compress_ptr cinfo) {
    auto* d = reinterpret_cast<Destination*>(cinfo->dest);
    // The rung is over (or another strip failed), or the strip has run out
    // of room: this strip is not finished.
    if (!account(*d, d->windowEnd) || d->windowEnd >= d->capacity) (*cinfo->err->error_exit)(reinterpret_cast<j_common_ptr>(cinfo));
    const std::size_t size = std::min(outputWindow, d->capacity - d->windowEnd);
    d->pub.next_output_byte = d->base + d->windowEnd;
    d->pub.free_in_buffer = size;
    d->windowEnd += size;
    return TRUE;
}

extern "C" void termDestination(j_compress_ptr) {}

// One thread's compressor, converter and scratch, kept for its life.
struct StripWorker {
    jpeg_compress_struct cinfo{};
    ErrorManager errors{};
    Destination destination{};
    bool made = false;
    tjhandle converter = nullptr;
    std::vector<uint8_t> edge;       // the last pixel of each row, four times
    std::vector<uint8_t> edgePlanes;
    JSAMPROW rows[3][mcuSize]{};

    StripWorker() = default;
    StripWorker(const StripWorker&) = delete;
    StripWorker& operator=(const StripWorker&) = delete;
    ~StripWorker() {
        if (made) jpeg_destroy_compress(&cinfo);
        if (converter != nullptr) tjDestroy(converter);
    }

    bool ready() {
        if (!made) {
            cinfo.err = jpeg_std_error(&errors.pub);
            errors.pub.error_exit = errorExit;
            errors.pub.output_message = outputNothing;
            if (setjmp(errors.jump) != 0) return false;
            jpeg_create_compress(&cinfo);
            made = true;
            destination.pub.init_destination = initDestination;
            destination.pub.empty_output_buffer = emptyOutputBuffer;
            destination.pub.term_destination = termDestination;
        }
        if (converter == nullptr) converter = tjInitCompress();
        return converter != nullptr;
    }
};

StripWorker& stripWorker() {
    thread_local StripWorker worker;
    return worker;
}

std::size_t stripBound(int width, int rows) {
    // As tjBufSize: no encoding of 4:2:0 pixels at any quality is larger.
    return static_cast<std::size_t>((width + 15) / 16 * 16) * static_cast<std::size_t>((rows + 15) / 16 * 16) * 3 + 2048;
}

}  // namespace

std::vector<uint8_t> JpegPieces::joined() const {
    std::vector<uint8_t> bytes;
    bytes.reserve(size);
    for (const auto piece : pieces) bytes.insert(bytes.end(), piece.begin(), piece.end());
    return bytes;
}

StripLayout stripLayout(int width, int height) {
    StripLayout layout;
    layout.mcusPerRow = (width + mcuSize - 1) / mcuSize;
    layout.mcuRows = (height + mcuSize - 1) / mcuSize;
    if (static_cast<long>(width) * height < smallestSplitPicture || layout.mcuRows < smallestSplitRows) {
        layout.stripRows = layout.mcuRows;
        layout.strips = 1;
        return layout;
    }
    int rows = std::max(fewestStripRows, (layout.mcuRows + mostStrips - 1) / mostStrips);
    // A restart interval counts at most 65535 MCUs.
    rows = std::max(1, std::min(rows, 65535 / std::max(1, layout.mcusPerRow)));
    layout.stripRows = rows;
    layout.strips = (layout.mcuRows + rows - 1) / rows;
    if (layout.strips == 1) layout.stripRows = layout.mcuRows;
    return layout;
}

int encoderThreads() { return WorkerPool::shared().size(); }

// ---- The frame's planes and strips ------------------------------------------

struct JpegEncoder::Frame {
    // Y, Cb and Cr, each row padded on the right as libjpeg pads it (to whole
    // MCUs); rows below the picture are the last row again (by pointer).
    Bytes y, cb, cr;
    std::size_t yStride = 0, cStride = 0;
    int yRows = 0, cRows = 0;
    // Per strip: 0 not yet converted, 1 converted, 2 the conversion failed.
    std::vector<uint8_t> converted;
    std::vector<Bytes> out;
    std::vector<std::size_t> sizes;    // of each strip's last finished encoding
    std::vector<std::size_t> headers;
    std::vector<int> order;            // the order the strips are handed out in
};

namespace {

std::mutex framesMutex;
std::vector<std::unique_ptr<JpegEncoder::Frame>>& spareFrames() {
    static std::vector<std::unique_ptr<JpegEncoder::Frame>> frames;
    return frames;
}

JpegEncoder::Frame* takeFrame() {
    std::lock_guard lock(framesMutex);
    auto& spare = spareFrames();
    if (spare.empty()) return new JpegEncoder::Frame;
    JpegEncoder::Frame* frame = spare.back().release();
    spare.pop_back();
    return frame;
}

void giveBackFrame(JpegEncoder::Frame* frame) {
    if (frame == nullptr) return;
    std::lock_guard lock(framesMutex);
    spareFrames().emplace_back(frame);
}

// Colour conversion and downsampling of one strip into the frame's planes,
// with libjpeg's own converter; then the right-hand padding libjpeg would add.
bool convertStrip(StripWorker& w, JpegEncoder::Frame& f, const platform::Picture& p, const StripLayout& layout,
                  int strip) {
    const int width = p.width;
    const int row0 = strip * layout.stripRows * mcuSize;
    const int rows = std::min(p.height - row0, layout.stripRows * mcuSize);
    const int format = turboFormat(p.format);
    unsigned char* planes[3] = {f.y.data.get() + static_cast<std::size_t>(row0) * f.yStride,
                                f.cb.data.get() + static_cast<std::size_t>(row0 / 2) * f.cStride,
                                f.cr.data.get() + static_cast<std::size_t>(row0 / 2) * f.cStride};
    int strides[3] = {static_cast<int>(f.yStride), static_cast<int>(f.cStride), static_cast<int>(f.cStride)};
    if (tjEncodeYUVPlanes(w.converter, p.bytes() + static_cast<std::size_t>(row0) * p.stride, width,
                          static_cast<int>(p.stride), rows, format, planes, strides, TJSAMP_420, 0) != 0) {
        return false;
    }
    // Luma: the last column again (the converter wrote an even width).
    const std::size_t lumaWidth = static_cast<std::size_t>((width + 1) / 2 * 2);
    const int lumaRows = (rows + 1) / 2 * 2;
    for (int r = 0; r < lumaRows; ++r) {
        unsigned char* row = planes[0] + static_cast<std::size_t>(r) * f.yStride;
        std::memset(row + lumaWidth, row[lumaWidth - 1], f.yStride - lumaWidth);
    }
    // Chroma: libjpeg averages copies of the last pixel column with its
    // alternating rounding bias, so the padding alternates between two values
    // per row. They come from converting a picture of four copies of each
    // row's last pixel: its two chroma columns are the even and odd values.
    const std::size_t chromaWidth = static_cast<std::size_t>((width + 1) / 2);
    if (chromaWidth < f.cStride) {
        const int chromaRows = (rows + 1) / 2;
        w.edge.resize(static_cast<std::size_t>(rows) * 16);
        for (int r = 0; r < rows; ++r) {
            const uint8_t* last = p.bytes() + static_cast<std::size_t>(row0 + r) * p.stride + (width - 1) * 4;
            for (int k = 0; k < 4; ++k) std::memcpy(&w.edge[static_cast<std::size_t>(r) * 16 + k * 4], last, 4);
        }
        const std::size_t edgeLuma = static_cast<std::size_t>(lumaRows) * 4;
        const std::size_t edgeChroma = static_cast<std::size_t>(chromaRows) * 2;
        w.edgePlanes.resize(edgeLuma + 2 * edgeChroma);
        unsigned char* edgePlanes[3] = {w.edgePlanes.data(), w.edgePlanes.data() + edgeLuma,
                                        w.edgePlanes.data() + edgeLuma + edgeChroma};
        int edgeStrides[3] = {4, 2, 2};
        if (tjEncodeYUVPlanes(w.converter, w.edge.data(), 4, 16, rows, format, edgePlanes, edgeStrides, TJSAMP_420,
                              0) != 0) {
            return false;
        }
        for (int c = 1; c < 3; ++c) {
            for (int r = 0; r < chromaRows; ++r) {
                unsigned char* row = planes[c] + static_cast<std::size_t>(r) * f.cStride;
                const unsigned char* pair = edgePlanes[c] + static_cast<std::size_t>(r) * 2;
                for (std::size_t j = chromaWidth; j < f.cStride; ++j) row[j] = pair[j & 1];
            }
        }
    }
    return true;
}

// Encodes one strip as a JPEG of its own, with the frame's restart interval:
// from the planes, or straight from the pixels (libjpeg converting and
// downsampling them as it goes, into the same samples). False when libjpeg
// fails or the rung is stopped.
bool encodeStrip(StripWorker& w, JpegEncoder::Frame& f, const platform::Picture& p, const StripLayout& layout,
                 int strip, Rung& rung, bool fromPixels) {
    jpeg_compress_struct* c = &w.cinfo;
    const int firstRow = strip * layout.stripRows;
    const int mcuRows = std::min(layout.mcuRows - firstRow, layout.stripRows);
    const int rows = std::min(p.height - firstRow * mcuSize, layout.stripRows * mcuSize);

    Destination& d = w.destination;
    d.capacity = stripBound(p.width, rows);
    d.base = f.out[strip].reserve(d.capacity);
    d.rung = &rung;
    d.first = strip == 0;
    d.header = 0;
    d.counted = 0;
    JSAMPARRAY planes[3] = {w.rows[0], w.rows[1], w.rows[2]};

    if (setjmp(w.errors.jump) != 0) {
        jpeg_abort_compress(c);
        return false;
    }
    c->image_width = static_cast<JDIMENSION>(p.width);
    c->image_height = static_cast<JDIMENSION>(rows);
    c->input_components = fromPixels ? 4 : 3;
    c->in_color_space = fromPixels ? libjpegSpace(p.format) : JCS_YCbCr;
    jpeg_set_defaults(c);
    jpeg_set_quality(c, rung.quality, TRUE);
    // As TurboJPEG chooses: the fast integer DCT below quality 96.
    c->dct_method = rung.quality >= 96 ? JDCT_ISLOW : JDCT_IFAST;
    jpeg_set_colorspace(c, JCS_YCbCr);
    c->comp_info[0].h_samp_factor = 2;
    c->comp_info[0].v_samp_factor = 2;
    for (int i = 1; i < 3; ++i) {
        c->comp_info[i].h_samp_factor = 1;
        c->comp_info[i].v_samp_factor = 1;
    }
    c->raw_data_in = fromPixels ? FALSE : TRUE;
    c->restart_interval = layout.strips > 1 ? static_cast<unsigned>(layout.stripRows * layout.mcusPerRow) : 0;
    c->dest = &d.pub;
    jpeg_start_compress(c, TRUE);
    if (fromPixels) {
        const uint8_t* first = p.bytes() + static_cast<std::size_t>(firstRow * mcuSize) * p.stride;
        JSAMPROW pixelRows[mcuSize];
        while (c->next_scanline < c->image_height) {
            const int done = static_cast<int>(c->next_scanline);
            const int count = std::min(mcuSize, rows - done);
            for (int i = 0; i < count; ++i) {
                pixelRows[i] = const_cast<JSAMPROW>(first + static_cast<std::size_t>(done + i) * p.stride);
            }
            jpeg_write_scanlines(c, pixelRows, static_cast<JDIMENSION>(count));
        }
    }
    for (int m = 0; !fromPixels && m < mcuRows; ++m) {
        const int y0 = (firstRow + m) * mcuSize;
        for (int i = 0; i < mcuSize; ++i) {
            w.rows[0][i] = f.y.data.get() + static_cast<std::size_t>(std::min(y0 + i, f.yRows - 1)) * f.yStride;
        }
        for (int i = 0; i < mcuSize / 2; ++i) {
            const std::size_t r = static_cast<std::size_t>(std::min(y0 / 2 + i, f.cRows - 1));
            w.rows[1][i] = f.cb.data.get() + r * f.cStride;
            w.rows[2][i] = f.cr.data.get() + r * f.cStride;
        }
        if (jpeg_write_raw_data(c, planes, mcuSize) != mcuSize) {
            jpeg_abort_compress(c);
            return false;
        }
    }
    jpeg_finish_compress(c);
    const std::size_t size = d.windowEnd - d.pub.free_in_buffer;
    account(d, size);
    if (d.header == 0) d.header = headerLength(d.base, size);
    f.sizes[strip] = size;
    f.headers[strip] = d.header;
    return d.header != 0 && size >= d.header + 2;
}

}  // namespace

// ---- The encoder ------------------------------------------------------------

JpegEncoder::JpegEncoder(const platform::Picture& picture, int threads)
    : picture_(picture), frame_(nullptr, giveBackFrame) {
    const auto& p = picture_;
    if (p.width < 1 || p.height < 1 || p.stride > static_cast<std::size_t>(INT_MAX) || p.width > INT_MAX / 4 - 64) {
        return;
    }
    const std::size_t rowBytes = static_cast<std::size_t>(p.width) * 4;
    if (p.stride < rowBytes) return;
    const std::size_t needed = p.stride * static_cast<std::size_t>(p.height - 1) + rowBytes;
    if (p.byteCount() < needed) return;
    valid_ = true;
    layout_ = stripLayout(p.width, p.height);
    const int available = encoderThreads();
    threads_ = threads <= 0 ? available : std::min(threads, available);
}

JpegEncoder::~JpegEncoder() = default;

std::optional<JpegPieces> JpegEncoder::encode(double quality, int64_t limit) {
    if (!valid_) return std::nullopt;
    const int strips = layout_.strips;
    // A first rung with room for a byte a pixel is all but always the only
    // one (a frame at quality 95 takes about half that): its strips are
    // encoded straight from the pixels. Otherwise, and at every later rung,
    // from planes converted once for all the rungs. The bytes are the same.
    const bool fromPixels = !frame_ && limit / std::max<int64_t>(1, static_cast<int64_t>(picture_.width) *
                                                                        picture_.height) >= 1;
    if (!frame_) {
        // The first encoding: the planes are made by the strips as they go.
        frame_.reset(takeFrame());
        Frame& f = *frame_;
        f.yStride = static_cast<std::size_t>(layout_.mcusPerRow) * mcuSize;
        f.cStride = f.yStride / 2;
        f.yRows = (picture_.height + 1) / 2 * 2;
        f.cRows = f.yRows / 2;
        f.y.reserve(f.yStride * static_cast<std::size_t>(f.yRows));
        f.cb.reserve(f.cStride * static_cast<std::size_t>(f.cRows));
        f.cr.reserve(f.cStride * static_cast<std::size_t>(f.cRows));
        f.converted.assign(static_cast<std::size_t>(strips), 0);
        if (f.out.size() < static_cast<std::size_t>(strips)) f.out.resize(static_cast<std::size_t>(strips));
        f.sizes.assign(static_cast<std::size_t>(strips), 0);
        f.headers.assign(static_cast<std::size_t>(strips), 0);
        f.order.resize(static_cast<std::size_t>(strips));
    }
    Frame& f = *frame_;
    if (std::find(f.converted.begin(), f.converted.end(), 2) != f.converted.end()) return std::nullopt;

    Rung rung;
    rung.quality = turboQuality(quality);
    rung.limit = limit;
    const platform::Picture& p = picture_;
    const StripLayout& layout = layout_;
    // The strips that came out largest at the last rung go first: a rung over
    // its limit is then found over it sooner. The order changes nothing in
    // the bytes.
    for (int s = 0; s < strips; ++s) f.order[static_cast<std::size_t>(s)] = s;
    std::stable_sort(f.order.begin(), f.order.end(), [&](int a, int b) {
        return f.sizes[static_cast<std::size_t>(a)] > f.sizes[static_cast<std::size_t>(b)];
    });
    const std::function<void(int)> task = [&](int index) {
        const int strip = f.order[static_cast<std::size_t>(index)];
        try {
            StripWorker& w = stripWorker();
            if (!w.ready()) {
                rung.stop = true;
                return;
            }
            if (!fromPixels) {
                auto& state = f.converted[static_cast<std::size_t>(strip)];
                if (state == 0) state = convertStrip(w, f, p, layout, strip) ? 1 : 2;
                if (state != 1) {
                    rung.stop = true;
                    return;
                }
            }
            // A rung already over its limit skips the strips not yet begun.
            if (rung.stop) return;
            if (!encodeStrip(w, f, p, layout, strip, rung, fromPixels)) rung.stop = true;
        } catch (...) {
            rung.stop = true;
        }
    };
    WorkerPool::shared().run(strips, strips > 1 ? threads_ : 1, task);
    if (rung.stop) return std::nullopt;

    // Strip 0's headers with the whole height, then each strip's entropy-coded
    // data, a restart marker between two strips, and the end of the image.
    JpegPieces jpeg;
    jpeg.pieces.reserve(static_cast<std::size_t>(strips) * 2 + 1);
    uint8_t* first = f.out[0].data.get();
    if (strips > 1) patchHeight(first, f.headers[0], p.height);
    for (int s = 0; s < strips; ++s) {
        const auto i = static_cast<std::size_t>(s);
        if (s > 0) jpeg.pieces.emplace_back(restartMarkers[(s - 1) & 7], 2);
        const std::size_t begin = s == 0 ? 0 : f.headers[i];
        jpeg.pieces.emplace_back(f.out[i].data.get() + begin, f.sizes[i] - 2 - begin);
    }
    jpeg.pieces.emplace_back(endOfImage, 2);
    for (const auto piece : jpeg.pieces) jpeg.size += piece.size();
    if (limit < 0 || jpeg.size > static_cast<uint64_t>(limit)) return std::nullopt;
    return jpeg;
}

int turboQuality(double quality) {
    if (!(quality > 0)) return 1;
    if (quality >= 1) return 100;
    return std::clamp(static_cast<int>(std::lround(quality * 100)), 1, 100);
}

}  // namespace brindlecast::capture
