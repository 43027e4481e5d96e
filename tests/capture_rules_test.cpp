// The pure rules of capture: the quality ladder, the picture size, the window
// choice, and the JPEG encoder behind the ladder.
#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include "capture/frame.h"
#include "capture/payload.h"
#include "host/failure.h"
#include "platform/virtual/pictures.h"
#include "support/pictures.h"

using namespace brindlecast;
using namespace brindlecast::capture;

namespace {

// An encoder that answers each rung with a made-up size (or no bytes) and
// records the qualities it was asked for.
struct ScriptedEncoder {
    explicit ScriptedEncoder(std::vector<std::optional<std::size_t>> scripted) : sizes(std::move(scripted)) {}
    std::vector<std::optional<std::size_t>> sizes;
    std::vector<double> asked;
    std::vector<uint8_t> buffer;

    RungEncoder function() {
        return [this](double quality, int64_t) -> std::optional<JpegPieces> {
            const std::size_t i = asked.size();
            asked.push_back(quality);
            const auto size = i < sizes.size() ? sizes[i] : sizes.back();
            if (!size) return std::nullopt;
            buffer.assign(*size, static_cast<uint8_t>(i));
            JpegPieces pieces;
            pieces.pieces.emplace_back(buffer);
            pieces.size = buffer.size();
            return pieces;
        };
    }
};

bool failsTooLarge(const std::function<void()>& run) {
    try {
        run();
    } catch (const Failure& failure) {
        return failure.code == failures::frameTooLarge.code && failure.message == failures::frameTooLarge.message;
    }
    return false;
}

}  // namespace

TEST(QualityLadder, RungsAreStepsOfMinusOneTenthInDoublePrecision) {
    struct Case {
        int percent;
        std::vector<int> turbo;  // the TurboJPEG qualities of the rungs
    };
    const Case cases[] = {
        {40, {40, 30}},
        {45, {45, 35}},  // the next value, 0.24999999999999997, is below 0.25
        {46, {46, 36, 26}},
        {55, {55, 45, 35, 25}},
        {75, {75, 65, 55, 45, 35, 25}},
        {95, {95, 85, 75, 65, 55, 45, 35, 25}},
    };
    for (const auto& c : cases) {
        const auto rungs = qualityRungs(c.percent / 100.0);
        ASSERT_EQ(rungs.size(), c.turbo.size()) << c.percent;
        double q = c.percent / 100.0;
        for (std::size_t i = 0; i < rungs.size(); ++i) {
            EXPECT_EQ(rungs[i], q) << c.percent << " rung " << i;
            EXPECT_EQ(turboQuality(rungs[i]), c.turbo[i]) << c.percent << " rung " << i;
            q = q + (-0.1);
        }
    }
    EXPECT_EQ(qualityRungs(0.55).back(), 0.25000000000000011);
    EXPECT_EQ(qualityRungs(0.25), std::vector<double>{0.25});
    EXPECT_TRUE(qualityRungs(0.2).empty());
    EXPECT_TRUE(qualityRungs(0.24999999999999997).empty());
    EXPECT_TRUE(qualityRungs(std::nan("")).empty());
    EXPECT_TRUE(qualityRungs(std::numeric_limits<double>::infinity()).empty());
    EXPECT_EQ(qualityRungs(7.0).front(), 1.0);  // above the encoder's best: starts at the best
    EXPECT_EQ(turboQuality(0.0), 1);
    EXPECT_EQ(turboQuality(1.0), 100);
}

TEST(QualityLadder, LimitIsInclusiveAndFailedRungsMoveOn) {
    {
        ScriptedEncoder e({100});
        EXPECT_EQ(fitUnderLimit(0.75, 100, e.function()).size, 100u);
        EXPECT_EQ(e.asked.size(), 1u);
    }
    {
        ScriptedEncoder e({101, 100});
        const auto bytes = fitUnderLimit(0.75, 100, e.function()).joined();
        EXPECT_EQ(bytes.size(), 100u);
        EXPECT_EQ(bytes[0], 1);  // the second rung's bytes
        EXPECT_EQ(e.asked, (std::vector<double>{0.75, 0.75 + (-0.1)}));
    }
    {
        // An encoder failure is passed over like a picture that is too large.
        ScriptedEncoder e({std::nullopt, 50});
        EXPECT_EQ(fitUnderLimit(0.95, 184320, e.function()).size, 50u);
        EXPECT_EQ(e.asked.size(), 2u);
    }
    {
        // 0.45 and 0.35 too large: no rung at 0.25 is tried.
        ScriptedEncoder e({184321});
        EXPECT_TRUE(failsTooLarge([&] { fitUnderLimit(0.45, 184320, e.function()); }));
        EXPECT_EQ(e.asked.size(), 2u);
    }
    {
        ScriptedEncoder e({std::nullopt});
        EXPECT_TRUE(failsTooLarge([&] { fitUnderLimit(0.95, 2097152, e.function()); }));
        EXPECT_EQ(e.asked.size(), 8u);
    }
    {
        ScriptedEncoder e({10});
        EXPECT_TRUE(failsTooLarge([&] { fitUnderLimit(0.2, 2097152, e.function()); }));
        EXPECT_TRUE(failsTooLarge([&] { fitUnderLimit(std::nan(""), 2097152, e.function()); }));
        EXPECT_TRUE(e.asked.empty());
        EXPECT_TRUE(failsTooLarge([&] { fitUnderLimit(0.5, -1, e.function()); }));
    }
}

TEST(PictureSize, ScaledIntoTheLimitsNeverEnlargedTruncated) {
    struct Case {
        double maxWidth, maxHeight, width, height;
        int expectedWidth, expectedHeight;
    };
    const Case cases[] = {
        {1280, 720, 1512, 982, 1108, 720},  {1920, 1080, 1512, 982, 1512, 982}, {1280, 720, 1920, 1080, 1280, 720},
        {1280, 720, 800, 600, 800, 600},    {1280, 720, 1600, 1142, 1008, 719}, {1280, 720, 3000, 10, 1280, 4},
        {1280, 720, 800.9, 600.9, 800, 600}, {320, 180, 10000, 10, 320, 1},     {1280, 720, 0.5, 0.5, 1, 1},
        {1280, 720, 0, 0, 1, 1},
    };
    for (const auto& c : cases) {
        const auto size = pictureSize(c.maxWidth, c.maxHeight, {0, 0, c.width, c.height});
        EXPECT_EQ(size.width, c.expectedWidth) << c.width << "x" << c.height;
        EXPECT_EQ(size.height, c.expectedHeight) << c.width << "x" << c.height;
    }
    // A rectangle with negative sides still gives a picture within the limits.
    const auto odd = pictureSize(1280, 720, {0, 0, -1, -1});
    EXPECT_GE(odd.width, 1);
    EXPECT_LE(odd.width, 1280);
    EXPECT_GE(odd.height, 1);
    EXPECT_LE(odd.height, 720);
}

TEST(WindowChoice, OwnerLayerSizeAndLargestEarliest) {
    using platform::ShareableWindow;
    const std::vector<ShareableWindow> windows{
        {5, 0, {0, 0, 64, 500}},     // 0: exactly 64 wide
        {5, 3, {0, 0, 900, 900}},    // 1: not on layer 0
        {9, 0, {0, 0, 800, 800}},    // 2: another process
        {5, 0, {0, 0, 100, 100}},    // 3
        {std::nullopt, 0, {0, 0, 300, 300}},  // 4: no owning application
        {5, 0, {0, 0, 500, 64}},     // 5: exactly 64 tall
        {5, 0, {0, 0, 200, 200}},    // 6: area 40000
        {5, 0, {0, 0, 400, 100}},    // 7: area 40000 too, listed later
    };
    EXPECT_EQ(largestWindow(windows, {5}), 6u);
    EXPECT_EQ(largestWindow(windows, {5, -1}), 4u);
    EXPECT_EQ(largestWindow(windows, {9}), 2u);
    EXPECT_EQ(largestWindow(windows, {}), std::nullopt);
    EXPECT_EQ(largestWindow({windows[0], windows[1], windows[5]}, {5}), std::nullopt);
}

TEST(ByteLimit, DecidedByTheRelayPrefixAlone) {
    EXPECT_EQ(byteLimit({{"profile", "relay-quality"}}), 184320);
    EXPECT_EQ(byteLimit({{"profile", "relay-anything"}}), 184320);
    EXPECT_EQ(byteLimit({{"profile", "quality"}}), 2097152);
    EXPECT_EQ(byteLimit({{"profile", 3}}), 2097152);
    EXPECT_EQ(byteLimit({{"maxWidth", 1280}}), 2097152);  // a preview has no profile
}

TEST(ImagePayload, EncodesUnderTheLimitAndRoundTrips) {
    const platform::Picture picture = platform::renderDesktop(640, 400, 1);
    const Result payload = imagePayload(picture, 0.75, 2097152);
    ASSERT_EQ(payload.size(), 2u);
    EXPECT_EQ(payload.at("mimeType"), "image/jpeg");
    const auto jpeg = testing_support::base64Decode(payload.at("data").as_string());
    const auto info = testing_support::jpegInfo(jpeg);
    EXPECT_TRUE(info.valid);
    EXPECT_EQ(info.width, 640);
    EXPECT_EQ(info.height, 400);

    // The first rung's encoding is exactly what the encoder makes at 0.75.
    JpegEncoder encoder(picture);
    const auto first = encoder.encode(0.75, 2097152);
    ASSERT_TRUE(first);
    const std::vector<uint8_t> firstBytes = first->joined();
    EXPECT_EQ(jpeg, firstBytes);

    // A limit of exactly that size takes it; one byte less goes to the next
    // rung, which comes from the converted planes and is still a whole JPEG.
    const auto exact = testing_support::base64Decode(
        imagePayload(picture, 0.75, static_cast<int64_t>(firstBytes.size())).at("data").as_string());
    EXPECT_EQ(exact, firstBytes);
    const auto lower = testing_support::base64Decode(
        imagePayload(picture, 0.75, static_cast<int64_t>(firstBytes.size()) - 1).at("data").as_string());
    EXPECT_LT(lower.size(), firstBytes.size());
    const auto pixels = testing_support::jpegPixels(lower);
    EXPECT_EQ(pixels.size(), 640u * 400 * 3);

    // A later rung, from the planes the first one made, is byte for byte a
    // fresh encoder's first rung at that quality.
    const auto fromPlanes = encoder.encode(0.55, 2097152);
    ASSERT_TRUE(fromPlanes);
    JpegEncoder fresh(picture);
    const auto direct = fresh.encode(0.55, 2097152);
    ASSERT_TRUE(direct);
    EXPECT_EQ(fromPlanes->joined(), direct->joined());

    // A picture whose pixels do not fill its rows cannot be encoded at any rung.
    platform::Picture broken = picture;
    broken.pixels.resize(broken.pixels.size() - 1);
    EXPECT_TRUE(failsTooLarge([&] { imagePayload(broken, 0.95, 2097152); }));
}

TEST(VirtualPictures, AnySizeIsDrawnAndSampledWithinItsPixels) {
    // Odd and tiny sizes exercise every edge of the layout (run under the
    // sanitizers, a write outside the picture is caught here).
    for (const auto& [w, h] : {std::pair{1, 1}, {2, 3}, {1, 180}, {320, 1}, {17, 9}, {333, 187}, {1920, 1080}}) {
        for (const auto& picture : {platform::renderDesktop(w, h, 3), platform::renderWindow(w, h, 3)}) {
            EXPECT_EQ(picture.width, w);
            EXPECT_EQ(picture.height, h);
            EXPECT_EQ(picture.pixels.size(), static_cast<std::size_t>(w) * h * 4);
        }
    }
    const platform::Picture source = platform::renderWindow(7, 5, 1);
    for (const auto& [w, h] : {std::pair{1, 1}, {7, 5}, {3, 11}, {640, 2}}) {
        const auto sampled = platform::sampledPicture(source, w, h);
        EXPECT_EQ(sampled.pixels.size(), static_cast<std::size_t>(w) * h * 4);
    }
    // Equal sizes copy the picture exactly.
    EXPECT_EQ(platform::sampledPicture(source, 7, 5).pixels, source.pixels);
}
