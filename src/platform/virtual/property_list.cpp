#include "platform/virtual/property_list.h"

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

namespace brindlecast::platform {

namespace {

constexpr std::string_view binaryMagic = "bplist00";
constexpr std::size_t trailerSize = 32;

// A big-endian unsigned integer of 1 to 8 bytes at `at`, when it lies inside `bytes`.
std::optional<uint64_t> bigEndian(std::string_view bytes, uint64_t at, uint64_t width) {
    if (width == 0 || width > 8 || at > bytes.size() || width > bytes.size() - at) return std::nullopt;
    uint64_t value = 0;
    for (uint64_t i = 0; i < width; ++i) value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
    return value;
}

// Walks the object graph from the top object, depth first, without recursion.
bool shallowBinary(std::string_view bytes) {
    if (bytes.size() < binaryMagic.size() + trailerSize) return false;
    const uint64_t trailer = bytes.size() - trailerSize;
    const auto offsetWidth = static_cast<unsigned char>(bytes[trailer + 6]);
    const auto referenceWidth = static_cast<unsigned char>(bytes[trailer + 7]);
    const auto objectCount = bigEndian(bytes, trailer + 8, 8);
    const auto topObject = bigEndian(bytes, trailer + 16, 8);
    const auto tableOffset = bigEndian(bytes, trailer + 24, 8);
    if (!objectCount || !topObject || !tableOffset) return false;
    if (offsetWidth == 0 || offsetWidth > 8 || referenceWidth == 0 || referenceWidth > 8) return false;
    if (*topObject >= *objectCount || *tableOffset > trailer) return false;
    if (*objectCount > (trailer - *tableOffset) / offsetWidth) return false;
    // Objects lie between the magic and the offset table.
    const std::string_view objects = bytes.substr(0, static_cast<std::size_t>(*tableOffset));

    std::vector<std::pair<uint64_t, int>> pending{{*topObject, 1}};
    std::size_t visited = 0;
    while (!pending.empty()) {
        const auto [object, depth] = pending.back();
        pending.pop_back();
        if (depth > maxPropertyListDepth || ++visited > maxPropertyListObjects) return false;
        const auto offset = bigEndian(bytes, *tableOffset + object * offsetWidth, offsetWidth);
        if (!offset || *offset < binaryMagic.size() || *offset >= objects.size()) return false;
        const auto marker = static_cast<unsigned char>(objects[*offset]);
        const unsigned type = marker >> 4;
        // Arrays, sets and dictionaries hold references; everything else is a leaf.
        if (type != 0xA && type != 0xC && type != 0xD) continue;
        uint64_t count = marker & 0xF;
        uint64_t at = *offset + 1;
        if (count == 0xF) {
            if (at >= objects.size()) return false;
            const auto countMarker = static_cast<unsigned char>(objects[at]);
            if ((countMarker >> 4) != 0x1 || (countMarker & 0xF) > 3) return false;
            const uint64_t width = uint64_t{1} << (countMarker & 0xF);
            const auto value = bigEndian(objects, at + 1, width);
            if (!value) return false;
            count = *value;
            at += 1 + width;
        }
        const uint64_t references = type == 0xD ? 2 * count : count;
        if (count > objects.size() || at > objects.size() ||
            references > (objects.size() - at) / referenceWidth) {
            return false;
        }
        for (uint64_t i = 0; i < references; ++i) {
            const auto child = bigEndian(objects, at + i * referenceWidth, referenceWidth);
            if (!child || *child >= *objectCount) return false;
            pending.emplace_back(*child, depth + 1);
        }
        if (pending.size() > maxPropertyListObjects) return false;
    }
    return true;
}

bool startsWithAt(std::string_view text, std::size_t at, std::string_view prefix) {
    return text.substr(at, prefix.size()) == prefix;
}

// Counts the open <array> and <dict> elements; comments are skipped.
bool shallowXml(std::string_view text) {
    int depth = 0;
    std::size_t at = 0;
    while ((at = text.find('<', at)) != std::string_view::npos) {
        if (startsWithAt(text, at, "<!--")) {
            const std::size_t end = text.find("-->", at + 4);
            if (end == std::string_view::npos) return true;
            at = end + 3;
            continue;
        }
        const bool closing = startsWithAt(text, at, "</");
        const std::size_t nameAt = at + (closing ? 2 : 1);
        const bool container = startsWithAt(text, nameAt, "array") || startsWithAt(text, nameAt, "dict");
        const std::size_t end = text.find('>', at);
        if (end == std::string_view::npos) return true;
        if (container) {
            if (closing) {
                --depth;
            } else if (text[end - 1] != '/') {
                if (++depth > maxPropertyListDepth) return false;
            }
        }
        at = end + 1;
    }
    return true;
}

}  // namespace

bool shallowPropertyList(std::string_view bytes) {
    if (bytes.substr(0, binaryMagic.size()) == binaryMagic) return shallowBinary(bytes);
    return shallowXml(bytes);
}

}  // namespace brindlecast::platform
