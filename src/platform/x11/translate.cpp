#include "platform/x11/translate.h"

#include <algorithm>
#include <cstring>
#include <cstdlib>

#include <X11/XF86keysym.h>
#include <X11/keysym.h>

#include "platform/posix.h"

namespace brindlecast::platform::x11 {

namespace {

struct KeyName {
    uint16_t code;
    unsigned long keysym;
};
constexpr KeyName keyNames[] = {
    {0, XK_a},           {1, XK_s},          {2, XK_d},           {3, XK_f},          {4, XK_h},
    {5, XK_g},           {6, XK_z},          {7, XK_x},           {8, XK_c},          {9, XK_v},
    {11, XK_b},          {12, XK_q},         {13, XK_w},          {14, XK_e},         {15, XK_r},
    {16, XK_y},          {17, XK_t},         {18, XK_1},          {19, XK_2},         {20, XK_3},
    {21, XK_4},          {22, XK_6},         {23, XK_5},          {24, XK_equal},     {25, XK_9},
    {26, XK_7},          {27, XK_minus},     {28, XK_8},          {29, XK_0},         {30, XK_bracketright},
    {31, XK_o},          {32, XK_u},         {33, XK_bracketleft}, {34, XK_i},        {35, XK_p},
    {36, XK_Return},     {37, XK_l},         {38, XK_j},          {39, XK_apostrophe}, {40, XK_k},
    {41, XK_semicolon},  {42, XK_backslash}, {43, XK_comma},      {44, XK_slash},     {45, XK_n},
    {46, XK_m},          {47, XK_period},    {48, XK_Tab},        {49, XK_space},     {50, XK_grave},
    {51, XK_BackSpace},  {53, XK_Escape},    {96, XK_F5},         {97, XK_F6},        {98, XK_F7},
    {99, XK_F3},         {100, XK_F8},       {101, XK_F9},        {103, XK_F11},      {109, XK_F10},
    {111, XK_F12},       {115, XK_Home},     {116, XK_Prior},     {117, XK_Delete},   {118, XK_F4},
    {119, XK_End},       {120, XK_F2},       {121, XK_Next},      {122, XK_F1},       {123, XK_Left},
    {124, XK_Right},     {125, XK_Down},     {126, XK_Up},
};

constexpr int pixelsPerClick = 40;

}  // namespace

unsigned long keysymOf(uint16_t keyCode) {
    for (const auto& key : keyNames) {
        if (key.code == keyCode) return key.keysym;
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

Picture scaledPicture(const uint8_t* source, std::size_t sourceStride, int sourceWidth, int sourceHeight, int width,
                      int height) {
    Picture picture;
    picture.width = width;
    picture.height = height;
    picture.stride = static_cast<std::size_t>(width) * 4;
    picture.format = PixelFormat::BGRX;
    picture.pixels.resize(picture.stride * static_cast<std::size_t>(height));
    if (width == sourceWidth && height == sourceHeight) {
        for (int row = 0; row < height; ++row) {
            std::memcpy(picture.pixels.data() + static_cast<std::size_t>(row) * picture.stride,
                        source + static_cast<std::size_t>(row) * sourceStride, picture.stride);
        }
        return picture;
    }
    std::vector<int> columnStart(static_cast<std::size_t>(width) + 1);
    for (int c = 0; c <= width; ++c) {
        columnStart[c] = static_cast<int>(static_cast<int64_t>(c) * sourceWidth / width);
    }
    for (int row = 0; row < height; ++row) {
        const int y0 = static_cast<int>(static_cast<int64_t>(row) * sourceHeight / height);
        const int y1 = std::max(y0 + 1, static_cast<int>(static_cast<int64_t>(row + 1) * sourceHeight / height));
        uint8_t* target = picture.pixels.data() + static_cast<std::size_t>(row) * picture.stride;
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
    return picture;
}

Picture scaledPicture(const std::vector<uint8_t>& source, int sourceWidth, int sourceHeight, int width, int height) {
    return scaledPicture(source.data(), static_cast<std::size_t>(sourceWidth) * 4, sourceWidth, sourceHeight, width,
                         height);
}

}  // namespace brindlecast::platform::x11
