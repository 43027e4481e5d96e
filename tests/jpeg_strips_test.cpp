// The strip-parallel JPEG encoder: its joined file against one libjpeg pass
// over the whole picture, rungs that stop early against whole encodings, and
// failures inside the workers.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include <jpeglib.h>
#include <turbojpeg.h>

#include <gtest/gtest.h>

#include "capture/jpeg_encoder.h"
#include "capture/payload.h"
#include "host/failure.h"
#include "platform/virtual/pictures.h"
#include "support/pictures.h"

using namespace brindlecast;
using namespace brindlecast::capture;
using platform::Picture;
using platform::PixelFormat;

namespace {

constexpr int64_t noLimit = std::numeric_limits<int64_t>::max();

// A desktop with a band of noise across it: flat areas, edges, and bytes of
// every value in the entropy-coded data (so 0xFF stuffing at strip ends).
Picture testPicture(int width, int height, PixelFormat format) {
    Picture picture = platform::renderDesktop(width, height, 5);
    const auto noise = testing_support::noiseRgb(width, height, 11);
    for (int y = height / 3; y < height / 2; ++y) {
        for (int x = 0; x < width; ++x) {
            uint8_t* p = &picture.pixels[static_cast<std::size_t>(y) * picture.stride + static_cast<std::size_t>(x) * 4];
            std::memcpy(p, &noise[(static_cast<std::size_t>(y) * width + x) * 3], 3);
        }
    }
    picture.format = format;
    return picture;
}

// libjpeg in one pass from the pixels, with TurboJPEG's settings (4:2:0, the
// standard tables, its DCT choice) and a restart marker every `restartRows`
// MCU rows (0: none).
std::vector<uint8_t> referenceJpeg(const Picture& picture, int quality, int restartRows) {
    jpeg_compress_struct c{};
    jpeg_error_mgr errors{};
    c.err = jpeg_std_error(&errors);
    jpeg_create_compress(&c);
    unsigned char* out = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&c, &out, &size);
    c.image_width = static_cast<JDIMENSION>(picture.width);
    c.image_height = static_cast<JDIMENSION>(picture.height);
    c.input_components = 4;
    switch (picture.format) {
        case PixelFormat::RGBX: c.in_color_space = JCS_EXT_RGBX; break;
        case PixelFormat::BGRX: c.in_color_space = JCS_EXT_BGRX; break;
        case PixelFormat::RGBA: c.in_color_space = JCS_EXT_RGBA; break;
        case PixelFormat::BGRA: c.in_color_space = JCS_EXT_BGRA; break;
    }
    jpeg_set_defaults(&c);
    jpeg_set_quality(&c, quality, TRUE);
    c.dct_method = quality >= 96 ? JDCT_ISLOW : JDCT_IFAST;
    jpeg_set_colorspace(&c, JCS_YCbCr);
    c.comp_info[0].h_samp_factor = 2;
    c.comp_info[0].v_samp_factor = 2;
    c.restart_in_rows = restartRows;
    jpeg_start_compress(&c, TRUE);
    while (c.next_scanline < c.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(picture.bytes() + c.next_scanline * picture.stride);
        jpeg_write_scanlines(&c, &row, 1);
    }
    jpeg_finish_compress(&c);
    std::vector<uint8_t> bytes(out, out + size);
    std::free(out);
    jpeg_destroy_compress(&c);
    return bytes;
}

std::vector<uint8_t> turboJpeg(const Picture& picture, int quality) {
    tjhandle handle = tjInitCompress();
    unsigned char* out = nullptr;
    unsigned long size = 0;
    const int format = picture.format == PixelFormat::BGRX ? TJPF_BGRX : TJPF_RGBA;
    EXPECT_EQ(tjCompress2(handle, picture.bytes(), picture.width, static_cast<int>(picture.stride), picture.height,
                          format, &out, &size, TJSAMP_420, quality, 0),
              0);
    std::vector<uint8_t> bytes(out, out + size);
    tjFree(out);
    tjDestroy(handle);
    return bytes;
}

// Where two byte strings first differ, for a readable failure.
std::string firstDifference(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
    std::size_t i = 0;
    while (i < a.size() && i < b.size() && a[i] == b[i]) ++i;
    return "sizes " + std::to_string(a.size()) + " and " + std::to_string(b.size()) + ", first difference at " +
           std::to_string(i);
}

bool failsTooLarge(const std::function<void()>& run) {
    try {
        run();
    } catch (const Failure& failure) {
        return failure.code == failures::frameTooLarge.code && failure.message == failures::frameTooLarge.message;
    }
    return false;
}

}  // namespace

TEST(StripJpeg, JoinedFileIsOneLibjpegPassWithARestartIntervalPerStrip) {
    struct Size {
        int width, height;
        bool split;  // large enough to be cut into strips
    };
    // Widths and heights on and off the 16-pixel MCU grid, odd and even.
    const Size sizes[] = {{1920, 1080, true}, {1512, 982, true}, {1108, 720, true},  {1001, 333, true},
                          {643, 401, true},   {320, 180, false}, {17, 9, false},     {1, 1, false}};
    for (const auto& size : sizes) {
        for (const auto format : {PixelFormat::RGBA, PixelFormat::BGRX}) {
            const Picture picture = testPicture(size.width, size.height, format);
            // A first rung with no room makes the planes the later rungs are
            // encoded from; a first rung with room encodes straight from the pixels.
            JpegEncoder all(picture);
            JpegEncoder one(picture, 1);
            EXPECT_FALSE(all.encode(0.95, 0));
            EXPECT_FALSE(one.encode(0.95, 0));
            const StripLayout& layout = all.layout();
            EXPECT_EQ(layout.strips > 1, size.split) << size.width << "x" << size.height;
            for (const double quality : {0.95, 0.75, 0.25000000000000011, 1.0}) {
                const int turbo = turboQuality(quality);
                const std::string what =
                    std::to_string(size.width) + "x" + std::to_string(size.height) + " q" + std::to_string(turbo);
                const auto ours = all.encode(quality, noLimit);
                const auto single = one.encode(quality, noLimit);
                JpegEncoder first(picture);
                const auto straight = first.encode(quality, noLimit);
                ASSERT_TRUE(ours && single && straight) << what;
                const auto bytes = ours->joined();
                const auto reference = referenceJpeg(picture, turbo, layout.strips > 1 ? layout.stripRows : 0);
                EXPECT_TRUE(bytes == reference) << what << ": " << firstDifference(bytes, reference);
                EXPECT_TRUE(single->joined() == bytes) << what << ": the bytes depend on the threads";
                EXPECT_TRUE(straight->joined() == bytes) << what << ": the bytes depend on the path";
                // One strip is exactly what TurboJPEG makes today.
                if (layout.strips == 1) {
                    EXPECT_TRUE(bytes == turboJpeg(picture, turbo)) << what;
                }
            }
        }
    }
    // 1080 rows are 68 MCU rows: strips of 4, 17 restart intervals, RST0..RST7
    // and around again.
    EXPECT_EQ(stripLayout(1920, 1080).stripRows, 4);
    EXPECT_EQ(stripLayout(1920, 1080).strips, 17);
}

TEST(StripJpeg, RungsThatStopEarlyGiveWhatWholeEncodingsGive) {
    const Picture picture = testPicture(1512, 982, PixelFormat::RGBA);
    for (const int threads : {1, 0}) {
        JpegEncoder encoder(picture, threads);
        std::vector<std::vector<uint8_t>> whole;
        for (const double q : qualityRungs(0.95)) whole.push_back(encoder.encode(q, noLimit)->joined());
        // Every limit around the size of every rung: the bytes when they fit,
        // none when they do not, however early the rung was stopped.
        std::size_t rung = 0;
        for (const double q : qualityRungs(0.95)) {
            const auto size = static_cast<int64_t>(whole[rung].size());
            for (const int64_t limit : {size, size - 1, size + 1, size / 2, size / 20, int64_t{700}, int64_t{0}}) {
                const auto bytes = encoder.encode(q, limit);
                EXPECT_EQ(bytes.has_value(), size <= limit) << q << " " << limit;
                if (bytes) {
                    EXPECT_TRUE(bytes->joined() == whole[rung]) << q << " " << limit;
                }
            }
            ++rung;
        }
        // The ladder: a limit of exactly the size of rung 3 takes rung 3;
        // one byte less takes the next rung that fits whole.
        auto answer = [&](int64_t limit) {
            return testing_support::base64Decode(
                imagePayload(picture, 0.95, limit, threads).at("data").as_string());
        };
        const auto third = static_cast<int64_t>(whole[3].size());
        EXPECT_TRUE(answer(third) == whole[3]);
        std::size_t next = 4;
        while (next < whole.size() && static_cast<int64_t>(whole[next].size()) > third - 1) ++next;
        ASSERT_LT(next, whole.size());
        EXPECT_TRUE(answer(third - 1) == whole[next]);
        const auto smallest = static_cast<int64_t>(whole.back().size());
        EXPECT_TRUE(answer(smallest) == whole.back());
        EXPECT_TRUE(failsTooLarge([&] { answer(smallest - 1); }));
    }
}

TEST(StripJpeg, FailuresInsideTheWorkersCountAsRungsTooLarge) {
    // Wider than a JPEG can be: libjpeg refuses it inside each strip's worker,
    // and every rung fails as a rung that is too large.
    Picture wide;
    wide.width = 65501;
    wide.height = 130;
    wide.stride = static_cast<std::size_t>(wide.width) * 4;
    wide.pixels.assign(wide.stride * static_cast<std::size_t>(wide.height), 0x80);
    ASSERT_GT(stripLayout(wide.width, wide.height).strips, 1);
    JpegEncoder encoder(wide);
    EXPECT_FALSE(encoder.encode(0.75, noLimit));
    EXPECT_TRUE(failsTooLarge([&] { imagePayload(wide, 0.95, 2097152); }));

    // The pool and the workers' compressors are unharmed: the next picture
    // encodes as usual.
    const Picture picture = testPicture(643, 401, PixelFormat::RGBA);
    JpegEncoder next(picture);
    const auto bytes = next.encode(0.75, noLimit);
    ASSERT_TRUE(bytes);
    EXPECT_TRUE(bytes->joined() == referenceJpeg(picture, 75, next.layout().stripRows));
}

TEST(StripJpeg, Base64IsWrittenStraightFromThePiecesOnAnyThreads) {
    // Sizes on both sides of a whole group of three, and one large enough to
    // be written in parts on several threads; pieces of every small length,
    // so groups span pieces.
    for (const std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{2}, std::size_t{3}, std::size_t{4},
                                   std::size_t{1000}, std::size_t{1200001}, std::size_t{1200002}}) {
        std::vector<uint8_t> bytes(size);
        for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>((i * 2654435761u) >> 13);
        JpegPieces pieces;
        for (std::size_t at = 0, length = 1; at < size; at += length, length = length % 7 + 1) {
            length = std::min(length, size - at);
            pieces.pieces.emplace_back(bytes.data() + at, length);
            if (at % 5 == 0) pieces.pieces.emplace_back(bytes.data() + at, 0);  // empty pieces too
        }
        pieces.size = size;
        const Result whole = payloadFromBytes(bytes, "image/jpeg");
        for (const int threads : {1, 2, 3}) {
            const Result payload = payloadFromPieces(pieces, "image/jpeg", threads);
            EXPECT_EQ(payload.at("data"), whole.at("data")) << size << " on " << threads;
        }
        EXPECT_TRUE(testing_support::base64Decode(whole.at("data").as_string()) == bytes) << size;
        EXPECT_EQ(whole.at("data").as_string().size(), (size + 2) / 3 * 4);
    }
}
