#include "platform/x11/translate.h"

#include <algorithm>
#include <cstring>
#include <cstdlib>
#include <functional>
#include <system_error>
#include <thread>

#include <X11/XF86keysym.h>
#include <X11/keysym.h>

#include "platform/posix.h"

namespace brindlecast::platform::x11 {

namespace {

constexpr int pixelsPerClick = 40;

}  // namespace

unsigned long keysymOf(VirtualKey key) {
    struct KeyName {
        VirtualKey key;
        unsigned long keysym;
    };
    using enum VirtualKey;
    static constexpr KeyName keyNames[] = {
        {a, XK_a}, {s, XK_s}, {d, XK_d}, {f, XK_f}, {h, XK_h}, {g, XK_g}, {z, XK_z}, {x, XK_x}, {c, XK_c},
        {v, XK_v}, {b, XK_b}, {q, XK_q}, {w, XK_w}, {e, XK_e}, {r, XK_r}, {y, XK_y}, {t, XK_t}, {o, XK_o},
        {u, XK_u}, {i, XK_i}, {p, XK_p}, {l, XK_l}, {j, XK_j}, {k, XK_k}, {n, XK_n}, {m, XK_m},
        {digit1, XK_1}, {digit2, XK_2}, {digit3, XK_3}, {digit4, XK_4}, {digit5, XK_5}, {digit6, XK_6},
        {digit7, XK_7}, {digit8, XK_8}, {digit9, XK_9}, {digit0, XK_0},
        {equal, XK_equal}, {minus, XK_minus}, {rightBracket, XK_bracketright}, {leftBracket, XK_bracketleft},
        {quote, XK_apostrophe}, {semicolon, XK_semicolon}, {backslash, XK_backslash}, {comma, XK_comma},
        {slash, XK_slash}, {period, XK_period}, {grave, XK_grave},
        {returnKey, XK_Return}, {tab, XK_Tab}, {space, XK_space}, {backspace, XK_BackSpace}, {escape, XK_Escape},
        {f1, XK_F1}, {f2, XK_F2}, {f3, XK_F3}, {f4, XK_F4}, {f5, XK_F5}, {f6, XK_F6},
        {f7, XK_F7}, {f8, XK_F8}, {f9, XK_F9}, {f10, XK_F10}, {f11, XK_F11}, {f12, XK_F12},
        {home, XK_Home}, {end, XK_End}, {pageUp, XK_Prior}, {pageDown, XK_Next}, {forwardDelete, XK_Delete},
        {leftArrow, XK_Left}, {rightArrow, XK_Right}, {downArrow, XK_Down}, {upArrow, XK_Up},
    };
    for (const auto& name : keyNames) {
        if (name.key == key) return name.keysym;
    }
    return 0;  // NoSymbol
}

unsigned long mediaKeysym(MediaKey key) {
    switch (key) {
        case MediaKey::play: return XF86XK_AudioPlay;
        case MediaKey::next: return XF86XK_AudioNext;
        case MediaKey::previous: return XF86XK_AudioPrev;
        case MediaKey::mute: return XF86XK_AudioMute;
        case MediaKey::soundUp: return XF86XK_AudioRaiseVolume;
        case MediaKey::soundDown: return XF86XK_AudioLowerVolume;
    }
    return 0;  // NoSymbol
}

std::vector<unsigned long> textKeysyms(std::u16string_view units) {
    std::vector<unsigned long> out;
    for (std::size_t i = 0; i < units.size();) {
        const char32_t c = nextCodePoint(units, i);
        if (c == '\r') {
            if (i < units.size() && units[i] == '\n') ++i;
            out.push_back(XK_Return);
        } else if (c == '\n') {
            out.push_back(XK_Return);
        } else if (c == '\t') {
            out.push_back(XK_Tab);
        } else if (c < 0x20 || c == 0x7F || (c >= 0x80 && c < 0xA0)) {
            continue;
        } else if (c < 0x100) {
            out.push_back(c);  // Latin-1 keysyms are the characters themselves
        } else {
            out.push_back(0x01000000 | c);
        }
    }
    return out;
}

int wheelClicks(int32_t pixels) {
    if (pixels == 0) return 0;
    const int64_t distance = std::abs(static_cast<int64_t>(pixels));
    const int clicks = static_cast<int>(std::max<int64_t>(1, (distance + pixelsPerClick / 2) / pixelsPerClick));
    return pixels > 0 ? clicks : -clicks;
}

namespace {

// Box-scaled pictures at least this large are made on two threads.
constexpr long smallestSplitScale = 256 * 1024;

// A pixel's three channels, one in each of three 16-bit lanes.
uint64_t spread(const uint8_t* pixel) {
    uint32_t v = 0;
    std::memcpy(&v, pixel, 4);
    return (v & 0xFFu) | (uint64_t{v & 0xFF00u} << 8) | (uint64_t{v & 0xFF0000u} << 16);
}

// Rows [first, last) of a picture at least half the source's size each way,
// where a box is one or two pixels wide and tall: the same sums and rounding
// as scaleRows, all three channels at once.
void scaleSmallBoxes(const uint8_t* source, std::size_t sourceStride, int sourceHeight, uint8_t* picture, int width,
                     int height, const std::vector<int>& columnStart, int first, int last) {
    constexpr uint64_t ones = 0x0000000100010001u;  // 1 in each lane
    for (int row = first; row < last; ++row) {
        const int y0 = static_cast<int>(static_cast<int64_t>(row) * sourceHeight / height);
        const int y1 = std::max(y0 + 1, static_cast<int>(static_cast<int64_t>(row + 1) * sourceHeight / height));
        const uint8_t* top = source + static_cast<std::size_t>(y0) * sourceStride;
        const uint8_t* bottom = y1 - y0 == 2 ? top + sourceStride : nullptr;
        uint8_t* target = picture + static_cast<std::size_t>(row) * static_cast<std::size_t>(width) * 4;
        for (int column = 0; column < width; ++column) {
            const int x0 = columnStart[column];
            const bool wide = columnStart[column + 1] - x0 == 2;
            const uint8_t* p = top + static_cast<std::size_t>(x0) * 4;
            uint64_t sum = spread(p);
            int shift = 0;  // the box holds 1 << shift pixels
            if (wide) {
                sum += spread(p + 4);
                shift = 1;
            }
            if (bottom != nullptr) {
                const uint8_t* q = bottom + static_cast<std::size_t>(x0) * 4;
                sum += spread(q);
                if (wide) sum += spread(q + 4);
                ++shift;
            }
            // (sum + count / 2) / count in each lane.
            const uint64_t v = ((sum + ((ones << shift) >> 1)) >> shift) & 0x000000FF00FF00FFu;
            const auto out = static_cast<uint32_t>((v & 0xFF) | ((v >> 8) & 0xFF00) | ((v >> 16) & 0xFF0000));
            std::memcpy(target + static_cast<std::size_t>(column) * 4, &out, 4);
        }
    }
}

// Rows [first, last) of the box-scaled picture.
void scaleRows(const uint8_t* source, std::size_t sourceStride, int sourceHeight, uint8_t* picture, int width,
               int height, const std::vector<int>& columnStart, int first, int last) {
    for (int row = first; row < last; ++row) {
        const int y0 = static_cast<int>(static_cast<int64_t>(row) * sourceHeight / height);
        const int y1 = std::max(y0 + 1, static_cast<int>(static_cast<int64_t>(row + 1) * sourceHeight / height));
        uint8_t* target = picture + static_cast<std::size_t>(row) * static_cast<std::size_t>(width) * 4;
        for (int column = 0; column < width; ++column) {
            const int x0 = columnStart[column];
            const int x1 = std::max(x0 + 1, columnStart[column + 1]);
            uint32_t sum[3] = {0, 0, 0};
            for (int y = y0; y < y1; ++y) {
                const uint8_t* from = source + static_cast<std::size_t>(y) * sourceStride + static_cast<std::size_t>(x0) * 4;
                for (int x = x0; x < x1; ++x, from += 4) {
                    sum[0] += from[0];
                    sum[1] += from[1];
                    sum[2] += from[2];
                }
            }
            const auto count = static_cast<uint32_t>((y1 - y0) * (x1 - x0));
            for (int c = 0; c < 3; ++c) target[column * 4 + c] = static_cast<uint8_t>((sum[c] + count / 2) / count);
            target[column * 4 + 3] = 0;
        }
    }
}

}  // namespace

void scaleInto(const uint8_t* source, std::size_t sourceStride, int sourceWidth, int sourceHeight, uint8_t* target,
               int width, int height) {
    const std::size_t rowBytes = static_cast<std::size_t>(width) * 4;
    if (width == sourceWidth && height == sourceHeight) {
        for (int row = 0; row < height; ++row) {
            std::memcpy(target + static_cast<std::size_t>(row) * rowBytes,
                        source + static_cast<std::size_t>(row) * sourceStride, rowBytes);
        }
        return;
    }
    std::vector<int> columnStart(static_cast<std::size_t>(width) + 1);
    for (int c = 0; c <= width; ++c) {
        columnStart[c] = static_cast<int>(static_cast<int64_t>(c) * sourceWidth / width);
    }
    const bool smallBoxes = sourceWidth <= 2 * width && sourceHeight <= 2 * height;
    const auto scale = smallBoxes ? scaleSmallBoxes : scaleRows;
    // The rows are independent: on two cores, the lower half on a thread of its own.
    int split = height;
    std::thread lower;
    // Counted once: the count is read from /sys at every call.
    static const bool twoCores = std::thread::hardware_concurrency() > 1;
    if (static_cast<long>(width) * height >= smallestSplitScale && twoCores) {
        try {
            lower = std::thread(scale, source, sourceStride, sourceHeight, target, width, height,
                                std::cref(columnStart), height / 2, height);
            split = height / 2;
        } catch (const std::system_error&) {
            // No thread to be had: all of it here.
        }
    }
    scale(source, sourceStride, sourceHeight, target, width, height, columnStart, 0, split);
    if (lower.joinable()) lower.join();
}

Picture scaledPicture(const uint8_t* source, std::size_t sourceStride, int sourceWidth, int sourceHeight, int width,
                      int height) {
    Picture picture = Picture::zeroed(width, height, PixelFormat::BGRX);
    scaleInto(source, sourceStride, sourceWidth, sourceHeight, picture.pixels.data(), width, height);
    return picture;
}

Picture scaledPicture(const std::vector<uint8_t>& source, int sourceWidth, int sourceHeight, int width, int height) {
    return scaledPicture(source.data(), static_cast<std::size_t>(sourceWidth) * 4, sourceWidth, sourceHeight, width,
                         height);
}

}  // namespace brindlecast::platform::x11
