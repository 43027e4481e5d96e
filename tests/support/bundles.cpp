#include "support/bundles.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>

#include <plist/plist.h>
#include <spng.h>

namespace testing_support {

namespace {

void writeFile(const std::string& path, std::string_view bytes) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!file) throw std::runtime_error("cannot write " + path);
}

struct SpngContext {
    void operator()(spng_ctx* ctx) const { spng_ctx_free(ctx); }
};

}  // namespace

void writeInfo(const std::string& bundlePath, const BundleSpec& contents) {
    std::filesystem::create_directories(bundlePath + "/Contents");
    plist_t dict = plist_new_dict();
    auto set = [&](const char* key, const std::optional<std::string>& value) {
        if (value) plist_dict_set_item(dict, key, plist_new_string(value->c_str()));
    };
    set("CFBundleIdentifier", contents.bundleId);
    set("CFBundleDisplayName", contents.displayName);
    set("CFBundleExecutable", contents.executable);
    set("CFBundleIconFile", contents.iconFile);
    plist_dict_set_item(dict, "CFBundleVersion", plist_new_string("1.0"));
    char* data = nullptr;
    uint32_t length = 0;
    if (contents.binaryPlist) {
        plist_to_bin(dict, &data, &length);
    } else {
        plist_to_xml(dict, &data, &length);
    }
    plist_free(dict);
    // Replaced by a rename, as an installer would.
    const std::string temp = bundlePath + "/Contents/Info.plist.new";
    writeFile(temp, std::string_view(data, length));
    std::free(data);
    std::filesystem::rename(temp, bundlePath + "/Contents/Info.plist");
}

void makeBundle(const std::string& path, const BundleSpec& contents) {
    std::filesystem::create_directories(path + "/Contents/MacOS");
    writeInfo(path, contents);
    if (contents.executable && contents.writeExecutable) writeFile(path + "/Contents/MacOS/" + *contents.executable, "#!/bin/sh\n");
    if (contents.iconFile && !contents.iconBytes.empty()) {
        std::filesystem::create_directories(path + "/Contents/Resources");
        std::string name = *contents.iconFile;
        if (name.find('.') == std::string::npos) name += ".png";
        writeFile(path + "/Contents/Resources/" + name, contents.iconBytes);
    }
}

std::string nestedBinaryPlist(uint32_t levels) {
    std::string bytes = "bplist00";
    auto put3 = [&](uint64_t v) {
        bytes += static_cast<char>(v >> 16);
        bytes += static_cast<char>(v >> 8);
        bytes += static_cast<char>(v);
    };
    for (uint32_t i = 0; i + 1 < levels; ++i) {
        bytes += '\xA1';
        put3(i + 1);
    }
    bytes += '\xA0';
    const uint64_t tableOffset = bytes.size();
    for (uint32_t i = 0; i < levels; ++i) put3(8 + 4 * uint64_t{i});
    bytes.append(6, '\0');
    bytes += '\0';  // sort version
    bytes += '\3';  // offset width
    bytes += '\3';  // reference width
    for (uint64_t v : {uint64_t{levels}, uint64_t{0}, tableOffset}) {
        for (int shift = 56; shift >= 0; shift -= 8) bytes += static_cast<char>(v >> shift);
    }
    return bytes;
}

std::string solidPng(uint32_t width, uint32_t height, uint8_t r, uint8_t g, uint8_t b, uint8_t a) {
    std::vector<uint8_t> pixels(static_cast<std::size_t>(width) * height * 4);
    for (std::size_t i = 0; i < pixels.size(); i += 4) {
        pixels[i] = r;
        pixels[i + 1] = g;
        pixels[i + 2] = b;
        pixels[i + 3] = a;
    }
    std::unique_ptr<spng_ctx, SpngContext> ctx(spng_ctx_new(SPNG_CTX_ENCODER));
    spng_set_option(ctx.get(), SPNG_ENCODE_TO_BUFFER, 1);
    spng_ihdr header{};
    header.width = width;
    header.height = height;
    header.bit_depth = 8;
    header.color_type = SPNG_COLOR_TYPE_TRUECOLOR_ALPHA;
    spng_set_ihdr(ctx.get(), &header);
    if (spng_encode_image(ctx.get(), pixels.data(), pixels.size(), SPNG_FMT_PNG, SPNG_ENCODE_FINALIZE) != 0) {
        throw std::runtime_error("png encoding");
    }
    std::size_t length = 0;
    int error = 0;
    void* buffer = spng_get_png_buffer(ctx.get(), &length, &error);
    std::string png(static_cast<const char*>(buffer), length);
    std::free(buffer);
    return png;
}

DecodedPng decodePng(std::string_view bytes) {
    std::unique_ptr<spng_ctx, SpngContext> ctx(spng_ctx_new(0));
    spng_set_png_buffer(ctx.get(), bytes.data(), bytes.size());
    spng_ihdr header{};
    if (spng_get_ihdr(ctx.get(), &header) != 0) throw std::runtime_error("not a PNG");
    DecodedPng decoded;
    decoded.width = header.width;
    decoded.height = header.height;
    decoded.colourType = header.color_type;
    decoded.bitDepth = header.bit_depth;
    std::size_t size = 0;
    spng_decoded_image_size(ctx.get(), SPNG_FMT_RGBA8, &size);
    decoded.rgba.resize(size);
    if (spng_decode_image(ctx.get(), decoded.rgba.data(), size, SPNG_FMT_RGBA8, 0) != 0) {
        throw std::runtime_error("PNG decoding");
    }
    return decoded;
}

std::string realPath(const std::string& path) {
    return std::filesystem::canonical(path).string();
}

}  // namespace testing_support
