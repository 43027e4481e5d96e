#include "platform/virtual/icon.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <vector>

#include <spng.h>

namespace brindlecast::platform {

namespace {

// Icons larger than this are not decoded: the generic icon stands in.
constexpr uint32_t maxIconSide = 2048;
constexpr std::size_t maxChunkBytes = 1 << 20;

struct SpngContext {
    void operator()(spng_ctx* ctx) const { spng_ctx_free(ctx); }
};

// One source pixel's share in one destination pixel along an axis.
struct Tap {
    uint32_t index;
    double weight;
};

// For each of `size` destination pixels, the source pixels it covers and
// their shares; the shares of one destination pixel add up to 1.
std::vector<std::vector<Tap>> axisTaps(uint32_t source, int size) {
    std::vector<std::vector<Tap>> taps(static_cast<std::size_t>(size));
    const double step = static_cast<double>(source) / size;
    for (int d = 0; d < size; ++d) {
        const double from = d * step;
        const double to = (d + 1) * step;
        const auto first = static_cast<uint32_t>(std::floor(from));
        const auto last = std::min(source - 1, static_cast<uint32_t>(std::ceil(to)) - 1);
        for (uint32_t i = first; i <= last; ++i) {
            const double share = std::min(to, i + 1.0) - std::max(from, static_cast<double>(i));
            if (share > 0) taps[static_cast<std::size_t>(d)].push_back({i, share / step});
        }
    }
    return taps;
}

uint8_t quantise(double value) {
    return static_cast<uint8_t>(std::lround(std::clamp(value, 0.0, 255.0)));
}

Picture canvas(int size) {
    Picture picture;
    picture.width = size;
    picture.height = size;
    picture.stride = static_cast<std::size_t>(size) * 4;
    picture.format = PixelFormat::RGBA;
    picture.pixels.assign(picture.stride * static_cast<std::size_t>(size), 0);
    return picture;
}

// Coverage of a pixel centred at (x, y) by a rounded rectangle, from its
// signed distance, so edges are smoothed over one pixel.
double roundedRectCoverage(double x, double y, double centreX, double centreY, double halfWidth,
                           double halfHeight, double radius) {
    const double dx = std::abs(x - centreX) - (halfWidth - radius);
    const double dy = std::abs(y - centreY) - (halfHeight - radius);
    const double outside = std::hypot(std::max(dx, 0.0), std::max(dy, 0.0));
    const double inside = std::min(std::max(dx, dy), 0.0);
    return std::clamp(0.5 - (outside + inside - radius), 0.0, 1.0);
}

struct Colour {
    double r, g, b;
};

// Paints a straight-alpha colour over a premultiplied floating-point pixel.
void over(double* pixel, Colour colour, double alpha) {
    pixel[0] = colour.r * alpha + pixel[0] * (1 - alpha);
    pixel[1] = colour.g * alpha + pixel[1] * (1 - alpha);
    pixel[2] = colour.b * alpha + pixel[2] * (1 - alpha);
    pixel[3] = alpha + pixel[3] * (1 - alpha);
}

}  // namespace

std::optional<Picture> scaledPngIcon(std::string_view bytes, int size) {
    if (size <= 0) return std::nullopt;
    std::unique_ptr<spng_ctx, SpngContext> ctx(spng_ctx_new(0));
    if (!ctx) return std::nullopt;
    if (spng_set_image_limits(ctx.get(), maxIconSide, maxIconSide) != 0) return std::nullopt;
    if (spng_set_chunk_limits(ctx.get(), maxChunkBytes, maxChunkBytes) != 0) return std::nullopt;
    if (spng_set_png_buffer(ctx.get(), bytes.data(), bytes.size()) != 0) return std::nullopt;
    spng_ihdr header{};
    if (spng_get_ihdr(ctx.get(), &header) != 0 || header.width == 0 || header.height == 0) return std::nullopt;
    std::size_t decodedSize = 0;
    if (spng_decoded_image_size(ctx.get(), SPNG_FMT_RGBA8, &decodedSize) != 0) return std::nullopt;
    std::vector<uint8_t> source(decodedSize);
    if (spng_decode_image(ctx.get(), source.data(), source.size(), SPNG_FMT_RGBA8, SPNG_DECODE_TRNS) != 0) {
        return std::nullopt;
    }

    // Area-averaged resampling with premultiplied alpha, so transparent
    // pixels lend no colour to the edges.
    const auto columns = axisTaps(header.width, size);
    const auto rows = axisTaps(header.height, size);
    Picture picture = canvas(size);
    const std::size_t sourceStride = static_cast<std::size_t>(header.width) * 4;
    for (int y = 0; y < size; ++y) {
        for (int x = 0; x < size; ++x) {
            double sum[4] = {0, 0, 0, 0};
            for (const Tap& row : rows[static_cast<std::size_t>(y)]) {
                const uint8_t* line = source.data() + row.index * sourceStride;
                for (const Tap& column : columns[static_cast<std::size_t>(x)]) {
                    const uint8_t* p = line + column.index * 4;
                    const double weight = row.weight * column.weight;
                    const double alpha = p[3] / 255.0;
                    sum[0] += weight * alpha * p[0];
                    sum[1] += weight * alpha * p[1];
                    sum[2] += weight * alpha * p[2];
                    sum[3] += weight * alpha;
                }
            }
            uint8_t* out = picture.pixels.data() + static_cast<std::size_t>(y) * picture.stride +
                           static_cast<std::size_t>(x) * 4;
            const uint8_t alpha = quantise(sum[3] * 255.0);
            if (alpha != 0) {
                out[0] = quantise(sum[0] / sum[3]);
                out[1] = quantise(sum[1] / sum[3]);
                out[2] = quantise(sum[2] / sum[3]);
            }
            out[3] = alpha;
        }
    }
    return picture;
}

Picture genericIcon(int size) {
    Picture picture = canvas(size);
    const double s = size;
    // A rounded blue tile holding a light application window with a title bar.
    const Colour top{112, 162, 240};
    const Colour bottom{44, 86, 200};
    const Colour window{246, 248, 251};
    const Colour titleBar{196, 206, 222};
    const double windowTop = 0.32 * s;
    std::vector<double> pixel(4);
    for (int y = 0; y < size; ++y) {
        for (int x = 0; x < size; ++x) {
            const double px = x + 0.5;
            const double py = y + 0.5;
            std::fill(pixel.begin(), pixel.end(), 0.0);
            const double t = py / s;
            const Colour tile{top.r + (bottom.r - top.r) * t, top.g + (bottom.g - top.g) * t,
                              top.b + (bottom.b - top.b) * t};
            over(pixel.data(), tile, roundedRectCoverage(px, py, s / 2, s / 2, 0.42 * s, 0.42 * s, 0.19 * s));
            const double windowCoverage =
                roundedRectCoverage(px, py, s / 2, 0.54 * s, 0.27 * s, 0.22 * s, 0.045 * s);
            over(pixel.data(), window, windowCoverage);
            const double barCoverage =
                roundedRectCoverage(px, py, s / 2, windowTop + 0.045 * s, 0.27 * s, 0.045 * s, 0.0);
            over(pixel.data(), titleBar, std::min(windowCoverage, barCoverage));
            uint8_t* out = picture.pixels.data() + static_cast<std::size_t>(y) * picture.stride +
                           static_cast<std::size_t>(x) * 4;
            const double alpha = pixel[3];
            if (alpha > 0) {
                out[0] = quantise(pixel[0] / alpha);
                out[1] = quantise(pixel[1] / alpha);
                out[2] = quantise(pixel[2] / alpha);
            }
            out[3] = quantise(alpha * 255.0);
        }
    }
    return picture;
}

}  // namespace brindlecast::platform
