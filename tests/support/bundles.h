// Application bundles built on disk for the tests, and PNG helpers.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace testing_support {

struct BundleSpec {
    std::optional<std::string> bundleId = "com.example.app";
    std::optional<std::string> displayName;
    std::optional<std::string> executable = "App";  // the "CFBundleExecutable" value
    bool writeExecutable = true;                    // make Contents/MacOS/<executable>
    bool binaryPlist = false;
    std::optional<std::string> iconFile;            // the "CFBundleIconFile" value
    std::string iconBytes;                          // written to Contents/Resources/<icon file> when not empty

    BundleSpec& named(std::string name) { displayName = std::move(name); return *this; }
    BundleSpec& binary() { binaryPlist = true; return *this; }
    BundleSpec& withoutExecutableFile() { writeExecutable = false; return *this; }
    BundleSpec& withoutExecutableKey() { executable.reset(); return *this; }
    BundleSpec& icon(std::string file, std::string bytes) {
        iconFile = std::move(file);
        iconBytes = std::move(bytes);
        return *this;
    }
};

// A bundle with that identifier (none: no "CFBundleIdentifier") and an executable.
inline BundleSpec app(std::optional<std::string> bundleId) {
    BundleSpec contents;
    contents.bundleId = std::move(bundleId);
    return contents;
}

// Makes the bundle folder at `path` (and its parents) as `contents` describes.
void makeBundle(const std::string& path, const BundleSpec& contents = {});

// Writes Contents/Info.plist of a bundle again, for a bundle that changes
// after it was catalogued.
void writeInfo(const std::string& bundlePath, const BundleSpec& contents);

// A binary property list of arrays nested `levels` deep: object i is an
// array holding object i + 1; references and offsets are 3 bytes wide.
std::string nestedBinaryPlist(uint32_t levels);

// A width x height RGBA PNG of one colour.
std::string solidPng(uint32_t width, uint32_t height, uint8_t r, uint8_t g, uint8_t b, uint8_t a = 255);

struct DecodedPng {
    uint32_t width = 0;
    uint32_t height = 0;
    uint8_t colourType = 0;
    uint8_t bitDepth = 0;
    std::vector<uint8_t> rgba;  // 8-bit RGBA samples
};

// Throws when the bytes are not a PNG.
DecodedPng decodePng(std::string_view bytes);

// The absolute path with every symbolic link resolved.
std::string realPath(const std::string& path);

}  // namespace testing_support
