// Picture helpers for capture tests: reading frame payloads, writing picture files.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <boost/json.hpp>

namespace testing_support {

// The bytes that a Base64 text stands for.
std::vector<uint8_t> base64Decode(std::string_view text);

struct JpegInfo {
    bool valid = false;
    int width = 0;
    int height = 0;
};

// The dimensions in a JPEG's header.
JpegInfo jpegInfo(const std::vector<uint8_t>& jpeg);

// The RGB pixels of a JPEG (3 bytes a pixel), empty when it does not decode.
std::vector<uint8_t> jpegPixels(const std::vector<uint8_t>& jpeg);

// Writes an RGB picture (3 bytes a pixel) as a PNG file.
void writePng(const std::string& path, int width, int height, const std::vector<uint8_t>& rgb);

// Deterministic noise, the least compressible picture there is.
std::vector<uint8_t> noiseRgb(int width, int height, uint32_t seed);

}  // namespace testing_support
