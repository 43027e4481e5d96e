#include "support/pictures.h"

#include <cstdio>
#include <memory>
#include <stdexcept>

#include <openssl/evp.h>
#include <spng.h>
#include <turbojpeg.h>

namespace testing_support {

std::vector<uint8_t> base64Decode(std::string_view text) {
    std::vector<uint8_t> out(text.size() / 4 * 3 + 3);
    const int n = EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(text.data()),
                                  static_cast<int>(text.size()));
    if (n < 0) return {};
    std::size_t size = static_cast<std::size_t>(n);
    // EVP_DecodeBlock counts the padding as zero bytes.
    for (std::size_t i = text.size(); i > 0 && text[i - 1] == '='; --i) --size;
    out.resize(size);
    return out;
}

JpegInfo jpegInfo(const std::vector<uint8_t>& jpeg) {
    JpegInfo info;
    tjhandle handle = tjInitDecompress();
    int subsampling = 0, colourspace = 0;
    info.valid = !jpeg.empty() && tjDecompressHeader3(handle, jpeg.data(), jpeg.size(), &info.width, &info.height,
                                                      &subsampling, &colourspace) == 0;
    tjDestroy(handle);
    return info;
}

std::vector<uint8_t> jpegPixels(const std::vector<uint8_t>& jpeg) {
    const JpegInfo info = jpegInfo(jpeg);
    if (!info.valid) return {};
    std::vector<uint8_t> rgb(static_cast<std::size_t>(info.width) * info.height * 3);
    tjhandle handle = tjInitDecompress();
    const int status = tjDecompress2(handle, jpeg.data(), jpeg.size(), rgb.data(), info.width, 0, info.height,
                                     TJPF_RGB, 0);
    tjDestroy(handle);
    if (status != 0) return {};
    return rgb;
}

void writePng(const std::string& path, int width, int height, const std::vector<uint8_t>& rgb) {
    spng_ctx* ctx = spng_ctx_new(SPNG_CTX_ENCODER);
    spng_set_option(ctx, SPNG_ENCODE_TO_BUFFER, 1);
    spng_ihdr header{};
    header.width = static_cast<uint32_t>(width);
    header.height = static_cast<uint32_t>(height);
    header.bit_depth = 8;
    header.color_type = SPNG_COLOR_TYPE_TRUECOLOR;
    spng_set_ihdr(ctx, &header);
    if (spng_encode_image(ctx, rgb.data(), rgb.size(), SPNG_FMT_PNG, SPNG_ENCODE_FINALIZE) != 0) {
        spng_ctx_free(ctx);
        throw std::runtime_error("PNG encoding failed");
    }
    std::size_t size = 0;
    int error = 0;
    void* png = spng_get_png_buffer(ctx, &size, &error);
    spng_ctx_free(ctx);
    if (png == nullptr) throw std::runtime_error("PNG encoding failed");
    // Written beside and renamed over, so a reader never sees half a file.
    const std::string temp = path + ".new";
    FILE* file = std::fopen(temp.c_str(), "wb");
    if (file == nullptr) throw std::runtime_error("cannot write " + temp);
    std::fwrite(png, 1, size, file);
    std::fclose(file);
    std::free(png);
    std::rename(temp.c_str(), path.c_str());
}

std::vector<uint8_t> noiseRgb(int width, int height, uint32_t seed) {
    std::vector<uint8_t> rgb(static_cast<std::size_t>(width) * height * 3);
    uint32_t state = seed | 1;
    for (auto& byte : rgb) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        byte = static_cast<uint8_t>(state >> 24);
    }
    return rgb;
}

}  // namespace testing_support
