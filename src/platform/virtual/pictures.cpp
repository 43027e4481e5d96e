#include "platform/virtual/pictures.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <vector>

#include <spng.h>
#include <turbojpeg.h>

namespace brindlecast::platform {

namespace {

// ---- Colours and noise ------------------------------------------------------

// One RGBX pixel packed for a little-endian store: red in the lowest byte.
constexpr uint32_t rgb(uint32_t r, uint32_t g, uint32_t b) { return r | g << 8 | b << 16 | 0xffu << 24; }

// Adds a grey level to every channel of a packed pixel. Callers keep each
// channel low enough that no carry crosses into the next one.
constexpr uint32_t grey(uint32_t level) { return level | level << 8 | level << 16; }

uint32_t mix(uint32_t x) {
    x ^= x >> 16;
    x *= 0x7feb352du;
    x ^= x >> 15;
    x *= 0x846ca68bu;
    x ^= x >> 16;
    return x;
}

constexpr std::size_t noiseLength = 4096;  // a power of two

// Packed per-pixel noise, laid out twice so that a row can read `width` values
// from any offset below noiseLength without wrapping. Grain is a fine grey
// texture (0 to 18 on every channel); texture is a coloured one (0 to 63 per
// channel), the detail of a photo.
struct Noise {
    std::vector<uint32_t> grain;
    std::vector<uint32_t> texture;
};

const Noise& noise() {
    static const Noise tables = [] {
        Noise n;
        n.grain.resize(noiseLength * 2);
        n.texture.resize(noiseLength * 2);
        for (std::size_t i = 0; i < noiseLength; ++i) {
            const uint32_t h = mix(static_cast<uint32_t>(i) * 0x9e3779b9u + 1);
            const uint32_t t = mix(h);
            n.grain[i] = n.grain[i + noiseLength] = grey(h % 19);
            n.texture[i] = n.texture[i + noiseLength] = (t & 0x3f) | (t >> 8 & 0x3f) << 8 | (t >> 16 & 0x3f) << 16;
        }
        return n;
    }();
    return tables;
}

// The noise for one row: `count` values starting at a row-dependent offset.
// Rows wider than the table repeat it.
const uint32_t* noiseRow(const std::vector<uint32_t>& table, uint32_t row, uint32_t seed) {
    return table.data() + (mix(row * 0x85ebca6bu + seed) & (noiseLength - 1));
}

uint32_t noiseAt(const uint32_t* row, int x) {
    return row[static_cast<std::size_t>(x) & (noiseLength - 1)];
}

// ---- Geometry ---------------------------------------------------------------

struct Box {
    int x0 = 0;
    int y0 = 0;
    int x1 = 0;
    int y1 = 0;
};

int scaled(double fraction, int size) { return static_cast<int>(std::lround(fraction * size)); }

Box box(double fx0, double fy0, double fx1, double fy1, int width, int height) {
    return {scaled(fx0, width), scaled(fy0, height), scaled(fx1, width), scaled(fy1, height)};
}

void fill(uint32_t* row, int width, int x0, int x1, uint32_t colour) {
    x0 = std::max(x0, 0);
    x1 = std::min(x1, width);
    if (x0 < x1) std::fill(row + x0, row + x1, colour);
}

// The span a disc covers on row y (pixel centres), or an empty one.
std::pair<int, int> discSpan(double cx, double cy, double radius, int y) {
    const double dy = y + 0.5 - cy;
    if (std::abs(dy) >= radius) return {0, 0};
    const double half = std::sqrt(radius * radius - dy * dy);
    return {static_cast<int>(std::lround(cx - half)), static_cast<int>(std::lround(cx + half))};
}

// Linear blend of two packed colours, t from 0 to 256.
uint32_t blend(uint32_t a, uint32_t b, uint32_t t) {
    uint32_t out = 0xffu << 24;
    for (int shift = 0; shift < 24; shift += 8) {
        const uint32_t ca = a >> shift & 0xff;
        const uint32_t cb = b >> shift & 0xff;
        out |= ((ca * (256 - t) + cb * t) >> 8) << shift;
    }
    return out;
}

// ---- Text -------------------------------------------------------------------

struct TextMetrics {
    int pitch = 0;        // rows from one line to the next
    int glyphHeight = 0;  // rows of a line that carry ink
    int cell = 0;         // columns of one glyph, the last one empty
};

TextMetrics textMetrics(int height, double pitchFraction) {
    TextMetrics m;
    m.pitch = std::max(4, scaled(pitchFraction, height));
    m.glyphHeight = std::max(2, m.pitch * 11 / 20);
    m.cell = std::clamp(m.glyphHeight * 3 / 5, 2, 16);
    return m;
}

// Row `r` of text line `line` between x0 and x1: words of glyphs whose strokes
// are picked by a hash, so every size shows the same kind of text.
void textRow(uint32_t* row, int width, int x0, int x1, int line, int r, const TextMetrics& m, uint32_t ink,
             uint32_t seed) {
    x0 = std::max(x0, 0);
    x1 = std::min(x1, width);
    if (x1 - x0 < m.cell) return;
    const uint32_t lineHash = mix(seed ^ static_cast<uint32_t>(line) * 0x9e3779b9u);
    // Lines end between 45% and 100% of the room they have.
    const int end = x0 + (x1 - x0) * static_cast<int>(45 + lineHash % 56) / 100;
    int c = 0;
    for (int x = x0; x + m.cell <= end; x += m.cell, ++c) {
        const uint32_t glyph = mix(lineHash + static_cast<uint32_t>(c) * 0x85ebca6bu);
        if (glyph % 6 == 0) continue;  // a space between words
        const uint32_t strokes = glyph >> 8;                           // columns that carry ink
        const uint32_t shape = mix(glyph + static_cast<uint32_t>(r));  // where they break in this row
        for (int k = 0; k < m.cell - 1; ++k) {
            if ((strokes >> k & 1) != 0 && (shape >> (2 * k) & 3) != 0) row[x + k] = ink;
        }
    }
}

// ---- Windows ----------------------------------------------------------------

struct WindowLook {
    Box frame;
    uint32_t body = 0;
    uint32_t bar = 0;
    uint32_t ink = 0;
    uint32_t side = 0;
    bool sidebar = false;
    bool photo = false;
    uint32_t seed = 0;
};

// Row y of a photo inside `area`: sky above a horizon, ground below it, a
// sun, and a coloured texture over all of it.
void photoRow(uint32_t* row, int width, const Box& area, int y, uint32_t seed) {
    const int h = std::max(1, area.y1 - area.y0);
    const auto t = static_cast<uint32_t>(std::clamp((y - area.y0) * 256 / h, 0, 256));
    const bool sky = y - area.y0 < h * 11 / 20;
    const uint32_t base = sky ? blend(rgb(60, 110, 170), rgb(150, 170, 180), t) : blend(rgb(110, 140, 80), rgb(60, 55, 35), t);
    const uint32_t* grain = noiseRow(noise().texture, static_cast<uint32_t>(y), seed);
    const int x0 = std::max(area.x0, 0);
    const int x1 = std::min(area.x1, width);
    for (int x = x0; x < x1; ++x) row[x] = base + noiseAt(grain, x);
    const auto [s0, s1] = discSpan(area.x0 + (area.x1 - area.x0) * 0.7, area.y0 + h * 0.3, h * 0.16, y);
    fill(row, width, std::max(s0, x0), std::min(s1, x1), rgb(250, 220, 120));
}

void windowRow(uint32_t* row, int width, int height, const WindowLook& look, int y) {
    const Box& b = look.frame;
    if (y < b.y0 || y >= b.y1) return;
    const int titleHeight = std::clamp(scaled(0.03, height), 2, std::max(2, (b.y1 - b.y0) / 3));
    const int margin = std::max(1, titleHeight / 2);
    const int ry = y - b.y0;
    if (ry < titleHeight) {
        fill(row, width, b.x0, b.x1, look.bar);
        // The three buttons at the left of the title bar.
        static constexpr std::array<uint32_t, 3> buttons{rgb(237, 106, 94), rgb(245, 191, 79), rgb(98, 197, 84)};
        for (int k = 0; k < 3; ++k) {
            const double cx = b.x0 + titleHeight * (0.8 + 0.7 * k);
            const auto [s0, s1] = discSpan(cx, b.y0 + titleHeight * 0.5, titleHeight * 0.25, y);
            fill(row, width, s0, s1, buttons[static_cast<std::size_t>(k)]);
        }
        return;
    }
    fill(row, width, b.x0, b.x1, look.body);
    const TextMetrics text = textMetrics(height, 0.02);
    int textX0 = b.x0 + margin;
    int cy = ry - titleHeight - margin;
    if (look.sidebar) {
        const int sideWidth = (b.x1 - b.x0) * 6 / 25;
        fill(row, width, b.x0, b.x0 + sideWidth, look.side);
        if (cy >= 0 && cy % text.pitch < text.glyphHeight) {
            textRow(row, width, b.x0 + margin, b.x0 + sideWidth / 2, cy / text.pitch + 1000, cy % text.pitch, text,
                    look.ink, look.seed);
        }
        textX0 = b.x0 + sideWidth + margin;
    }
    if (look.photo) {
        const int photoHeight = (b.y1 - b.y0) * 2 / 5;
        const Box area{textX0, b.y0 + titleHeight + margin, b.x1 - margin, b.y0 + titleHeight + margin + photoHeight};
        if (y >= area.y0 && y < area.y1) {
            photoRow(row, width, area, y, look.seed);
            return;
        }
        cy -= photoHeight + margin;
    }
    if (cy >= 0 && cy % text.pitch < text.glyphHeight) {
        textRow(row, width, textX0, b.x1 - margin, cy / text.pitch, cy % text.pitch, text, look.ink, look.seed);
    }
}

// ---- The desktop ------------------------------------------------------------

struct Shape {
    double cx;  // fraction of the width
    double cy;  // fraction of the height
    double r;   // fraction of the smaller side
    uint32_t colour;
};

constexpr std::array<Shape, 4> wallpaperShapes{{
    {0.16, 0.78, 0.30, rgb(40, 95, 150)},
    {0.88, 0.18, 0.26, rgb(150, 70, 100)},
    {0.60, 0.92, 0.20, rgb(200, 140, 60)},
    {0.34, 0.14, 0.10, rgb(90, 160, 150)},
}};

Picture blankPicture(int width, int height) { return Picture::zeroed(width, height, PixelFormat::RGBX); }

void storeRow(Picture& picture, int y, const std::vector<uint32_t>& row) {
    std::memcpy(picture.pixels.data() + picture.stride * static_cast<std::size_t>(y), row.data(),
                row.size() * sizeof(uint32_t));
}

}  // namespace

Picture renderDesktop(int width, int height, uint32_t seed) {
    Picture picture = blankPicture(width, height);
    std::vector<uint32_t> row(static_cast<std::size_t>(width));

    // The wallpaper is a horizontal gradient plus a vertical one plus grain;
    // the horizontal part is the same on every row.
    std::vector<uint32_t> across(static_cast<std::size_t>(width));
    for (int x = 0; x < width; ++x) {
        const auto t = static_cast<uint32_t>(static_cast<int64_t>(x) * 256 / std::max(1, width - 1));
        across[static_cast<std::size_t>(x)] = blend(rgb(20, 30, 70), rgb(90, 40, 110), t) & 0xffffffu;
    }
    const int side = std::min(width, height);
    const std::array<WindowLook, 3> windows{{
        {box(0.05, 0.09, 0.50, 0.70, width, height), rgb(252, 252, 252), rgb(232, 232, 234), rgb(40, 40, 44),
         rgb(238, 236, 242), true, false, seed * 3 + 1},
        {box(0.38, 0.22, 0.92, 0.86, width, height), rgb(255, 255, 255), rgb(236, 236, 238), rgb(30, 30, 30),
         rgb(0, 0, 0), false, true, seed * 3 + 2},
        {box(0.70, 0.06, 0.97, 0.33, width, height), rgb(36, 38, 44), rgb(52, 54, 60), rgb(220, 220, 225),
         rgb(44, 46, 52), true, false, seed * 3 + 3},
    }};
    const int menuHeight = std::max(2, scaled(0.024, height));
    const TextMetrics menuText{menuHeight, std::max(1, menuHeight / 2), std::clamp(menuHeight * 3 / 10, 2, 16)};
    const int menuTextTop = (menuHeight - menuText.glyphHeight) / 2;
    const Box dock = box(0.24, 0.915, 0.76, 0.985, width, height);
    const int iconSize = std::max(1, (dock.y1 - dock.y0) * 3 / 4);
    const int iconGap = std::max(1, iconSize / 4);
    static constexpr std::array<uint32_t, 6> iconColours{rgb(60, 130, 230), rgb(230, 80, 70),  rgb(80, 190, 90),
                                                         rgb(240, 180, 40), rgb(150, 90, 210), rgb(90, 90, 100)};

    for (int y = 0; y < height; ++y) {
        const auto down = static_cast<uint32_t>(static_cast<int64_t>(y) * 256 / std::max(1, height - 1));
        const uint32_t lift = blend(rgb(0, 0, 0), rgb(60, 50, 20), down) & 0xffffffu;
        const uint32_t* grain = noiseRow(noise().grain, static_cast<uint32_t>(y), seed);
        if (width <= static_cast<int>(noiseLength)) {
            for (int x = 0; x < width; ++x) {
                row[static_cast<std::size_t>(x)] = (0xffu << 24) + across[static_cast<std::size_t>(x)] + lift + grain[x];
            }
        } else {
            for (int x = 0; x < width; ++x) {
                row[static_cast<std::size_t>(x)] =
                    (0xffu << 24) + across[static_cast<std::size_t>(x)] + lift + noiseAt(grain, x);
            }
        }
        for (const Shape& shape : wallpaperShapes) {
            const auto [s0, s1] = discSpan(shape.cx * width, shape.cy * height, shape.r * side, y);
            for (int x = std::max(s0, 0); x < std::min(s1, width); ++x) {
                row[static_cast<std::size_t>(x)] = shape.colour + noiseAt(grain, x);
            }
        }
        for (const WindowLook& window : windows) windowRow(row.data(), width, height, window, y);
        if (y >= dock.y0 && y < dock.y1) {
            fill(row.data(), width, dock.x0, dock.x1, rgb(205, 205, 215));
            const int iconTop = dock.y0 + (dock.y1 - dock.y0 - iconSize) / 2;
            if (y >= iconTop && y < iconTop + iconSize) {
                const auto shade = grey(static_cast<uint32_t>((y - iconTop) * 40 / iconSize));
                int i = 0;
                for (int x = dock.x0 + iconGap; x + iconSize <= dock.x1 - iconGap; x += iconSize + iconGap, ++i) {
                    const uint32_t colour = iconColours[static_cast<std::size_t>(i) % iconColours.size()];
                    // Darker towards the bottom; every channel of an icon colour is at least 40.
                    fill(row.data(), width, x, x + iconSize, colour - shade);
                }
            }
        }
        if (y < menuHeight) {
            fill(row.data(), width, 0, width, rgb(240, 240, 242));
            const int r = y - menuTextTop;
            if (r >= 0 && r < menuText.glyphHeight) {
                textRow(row.data(), width, scaled(0.01, width), scaled(0.32, width), 0, r, menuText, rgb(20, 20, 20),
                        seed);
                textRow(row.data(), width, scaled(0.80, width), scaled(0.99, width), 1, r, menuText, rgb(20, 20, 20),
                        seed);
            }
        }
        storeRow(picture, y, row);
    }
    return picture;
}

Picture renderWindow(int width, int height, uint32_t seed) {
    Picture picture = blankPicture(width, height);
    std::vector<uint32_t> row(static_cast<std::size_t>(width));
    const WindowLook look{{0, 0, width, height}, rgb(252, 252, 252), rgb(232, 232, 234), rgb(35, 35, 40),
                          rgb(236, 234, 240),    true,               true,               seed};
    for (int y = 0; y < height; ++y) {
        windowRow(row.data(), width, height, look, y);
        storeRow(picture, y, row);
    }
    return picture;
}

// ---- Picture files ----------------------------------------------------------

namespace {

constexpr uint32_t largestSide = 8192;

std::optional<Picture> decodePng(const std::vector<uint8_t>& data) {
    std::unique_ptr<spng_ctx, decltype(&spng_ctx_free)> ctx(spng_ctx_new(0), spng_ctx_free);
    if (!ctx) return std::nullopt;
    spng_set_image_limits(ctx.get(), largestSide, largestSide);
    spng_set_chunk_limits(ctx.get(), 64u << 20, 64u << 20);
    if (spng_set_png_buffer(ctx.get(), data.data(), data.size()) != 0) return std::nullopt;
    spng_ihdr header{};
    if (spng_get_ihdr(ctx.get(), &header) != 0) return std::nullopt;
    std::size_t size = 0;
    if (spng_decoded_image_size(ctx.get(), SPNG_FMT_RGBA8, &size) != 0) return std::nullopt;
    Picture picture = blankPicture(static_cast<int>(header.width), static_cast<int>(header.height));
    picture.format = PixelFormat::RGBA;
    if (size != picture.pixels.size()) return std::nullopt;
    if (spng_decode_image(ctx.get(), picture.pixels.data(), size, SPNG_FMT_RGBA8, SPNG_DECODE_TRNS) != 0) {
        return std::nullopt;
    }
    return picture;
}

std::optional<Picture> decodeJpeg(const std::vector<uint8_t>& data) {
    std::unique_ptr<void, decltype(&tjDestroy)> handle(tjInitDecompress(), tjDestroy);
    if (!handle) return std::nullopt;
    int width = 0, height = 0, subsampling = 0, colourspace = 0;
    if (tjDecompressHeader3(handle.get(), data.data(), data.size(), &width, &height, &subsampling, &colourspace) != 0 ||
        width < 1 || height < 1 || width > static_cast<int>(largestSide) || height > static_cast<int>(largestSide)) {
        return std::nullopt;
    }
    Picture picture = blankPicture(width, height);
    if (tjDecompress2(handle.get(), data.data(), data.size(), picture.pixels.data(), width,
                      static_cast<int>(picture.stride), height, TJPF_RGBX, 0) != 0) {
        return std::nullopt;
    }
    return picture;
}

}  // namespace

std::optional<Picture> decodePictureFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) return std::nullopt;
    std::vector<uint8_t> data((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (file.bad()) return std::nullopt;
    static constexpr std::array<uint8_t, 8> pngSignature{0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    if (data.size() >= pngSignature.size() && std::equal(pngSignature.begin(), pngSignature.end(), data.begin())) {
        return decodePng(data);
    }
    if (data.size() >= 3 && data[0] == 0xff && data[1] == 0xd8 && data[2] == 0xff) return decodeJpeg(data);
    return std::nullopt;
}

Picture sampledPicture(const Picture& source, int width, int height) {
    Picture picture = blankPicture(width, height);
    picture.format = source.format;
    // The source column of every picture column, computed once.
    std::vector<std::size_t> columns(static_cast<std::size_t>(width));
    for (int x = 0; x < width; ++x) {
        const int64_t sx = (2 * static_cast<int64_t>(x) + 1) * source.width / (2 * static_cast<int64_t>(width));
        columns[static_cast<std::size_t>(x)] = static_cast<std::size_t>(sx) * 4;
    }
    for (int y = 0; y < height; ++y) {
        const int64_t sy = (2 * static_cast<int64_t>(y) + 1) * source.height / (2 * static_cast<int64_t>(height));
        const uint8_t* from = source.bytes() + source.stride * static_cast<std::size_t>(sy);
        uint8_t* to = picture.pixels.data() + picture.stride * static_cast<std::size_t>(y);
        if (width == source.width) {
            std::memcpy(to, from, picture.stride);
            continue;
        }
        for (int x = 0; x < width; ++x) std::memcpy(to + 4 * x, from + columns[static_cast<std::size_t>(x)], 4);
    }
    return picture;
}

}  // namespace brindlecast::platform
