// The X11 backend's translations of the common vocabulary, without an X server.
#include <gtest/gtest.h>

#include <X11/XF86keysym.h>
#include <X11/keysym.h>

#include "platform/x11/translate.h"

namespace x11 = brindlecast::platform::x11;
using brindlecast::platform::VirtualKey;

TEST(X11Translate, EveryKeyTheOperationsPressHasAKeysym) {
    // Text (A), full screen (F), lock (Q), and the presentation keys.
    EXPECT_EQ(x11::keysymOf(VirtualKey::a), static_cast<unsigned long>(XK_a));
    EXPECT_EQ(x11::keysymOf(VirtualKey::f), static_cast<unsigned long>(XK_f));
    EXPECT_EQ(x11::keysymOf(VirtualKey::q), static_cast<unsigned long>(XK_q));
    EXPECT_EQ(x11::keysymOf(VirtualKey::leftArrow), static_cast<unsigned long>(XK_Left));
    EXPECT_EQ(x11::keysymOf(VirtualKey::rightArrow), static_cast<unsigned long>(XK_Right));
    EXPECT_EQ(x11::keysymOf(VirtualKey::f5), static_cast<unsigned long>(XK_F5));
    EXPECT_EQ(x11::keysymOf(VirtualKey::escape), static_cast<unsigned long>(XK_Escape));
    EXPECT_EQ(x11::keysymOf(VirtualKey::b), static_cast<unsigned long>(XK_b));
    EXPECT_EQ(x11::keysymOf(VirtualKey{10}), 0ul);  // no key on the US layout
    EXPECT_EQ(x11::mediaKeysym(brindlecast::platform::MediaKey::soundDown),
              static_cast<unsigned long>(XF86XK_AudioLowerVolume));
}

TEST(X11Translate, TextBecomesOneKeysymPerCharacter) {
    // Latin-1 as itself, the rest as Unicode keysyms, a surrogate pair as one character.
    EXPECT_EQ(x11::textKeysyms(u"aé日😀"),
              (std::vector<unsigned long>{'a', 0xE9, 0x010065E5, 0x0101F600}));
    // CR LF is one Return, LF and CR alone each one; tab is Tab; other controls are dropped.
    EXPECT_EQ(x11::textKeysyms(u"a\r\nb\nc\rd\te\x01\x7f"),
              (std::vector<unsigned long>{'a', XK_Return, 'b', XK_Return, 'c', XK_Return, 'd', XK_Tab, 'e'}));
    // A lone surrogate types the replacement character.
    EXPECT_EQ(x11::textKeysyms(std::u16string(1, char16_t(0xD800)) + u"x"),
              (std::vector<unsigned long>{0x0100FFFD, 'x'}));
}

TEST(X11Translate, ScrollDistanceBecomesWheelClicks) {
    EXPECT_EQ(x11::wheelClicks(0), 0);
    EXPECT_EQ(x11::wheelClicks(1), 1);  // any distance scrolls
    EXPECT_EQ(x11::wheelClicks(-1), -1);
    EXPECT_EQ(x11::wheelClicks(59), 1);
    EXPECT_EQ(x11::wheelClicks(60), 2);
    EXPECT_EQ(x11::wheelClicks(-120), -3);
    EXPECT_EQ(x11::wheelClicks(1200), 30);
}

TEST(X11Translate, ScalingAveragesTheCoveredPixels) {
    // 4 x 2 source: left half black, right half white; scaled to 2 x 1.
    std::vector<uint8_t> source(4 * 2 * 4, 0);
    for (int y = 0; y < 2; ++y) {
        for (int x = 2; x < 4; ++x) {
            for (int c = 0; c < 3; ++c) source[(y * 4 + x) * 4 + c] = 255;
        }
    }
    const auto half = x11::scaledPicture(source, 4, 2, 2, 1);
    ASSERT_EQ(half.pixels.size(), 8u);
    EXPECT_EQ(half.pixels[0], 0);
    EXPECT_EQ(half.pixels[4], 255);
    EXPECT_EQ(half.format, brindlecast::platform::PixelFormat::BGRX);
    // Never read past the source, whatever the target size.
    const auto odd = x11::scaledPicture(source, 4, 2, 3, 2);
    EXPECT_EQ(odd.width, 3);
    EXPECT_EQ(odd.stride, 12u);
    const auto same = x11::scaledPicture(source, 4, 2, 4, 2);
    EXPECT_EQ(same.pixels, source);
}

// Every target pixel is the rounded average of the source box it covers, on
// the fast path for boxes of one or two pixels as on the general one, on one
// thread or two, with padded source rows.
TEST(X11Translate, ScaledPixelsAreTheRoundedAveragesOfTheirBoxes) {
    struct Size {
        int sourceWidth, sourceHeight, width, height;
    };
    const Size sizes[] = {{1920, 1024, 1280, 682}, {2560, 1440, 1280, 720}, {1366, 768, 1280, 720},
                          {7, 5, 4, 3},           {5, 3, 7, 9},            {1920, 1080, 400, 225}};
    uint32_t seed = 1;
    for (const auto& size : sizes) {
        SCOPED_TRACE(std::to_string(size.sourceWidth) + "x" + std::to_string(size.sourceHeight) + " to " +
                     std::to_string(size.width) + "x" + std::to_string(size.height));
        const std::size_t stride = static_cast<std::size_t>(size.sourceWidth) * 4 + 12;
        std::vector<uint8_t> source(stride * static_cast<std::size_t>(size.sourceHeight));
        for (auto& byte : source) byte = static_cast<uint8_t>((seed = seed * 1103515245u + 12345u) >> 16);
        const auto picture =
            x11::scaledPicture(source.data(), stride, size.sourceWidth, size.sourceHeight, size.width, size.height);
        int wrong = 0;
        for (int row = 0; row < size.height; ++row) {
            const int y0 = row * size.sourceHeight / size.height;
            const int y1 = std::max(y0 + 1, (row + 1) * size.sourceHeight / size.height);
            for (int column = 0; column < size.width; ++column) {
                const int x0 = column * size.sourceWidth / size.width;
                const int x1 = std::max(x0 + 1, (column + 1) * size.sourceWidth / size.width);
                const int count = (y1 - y0) * (x1 - x0);
                for (int c = 0; c < 4; ++c) {
                    int sum = 0;
                    for (int y = y0; y < y1; ++y) {
                        for (int x = x0; x < x1; ++x) sum += source[static_cast<std::size_t>(y) * stride + x * 4 + c];
                    }
                    const int expected = c == 3 ? 0 : (sum + count / 2) / count;
                    wrong += picture.pixels[(static_cast<std::size_t>(row) * size.width + column) * 4 + c] != expected;
                }
            }
        }
        EXPECT_EQ(wrong, 0);
    }
}
