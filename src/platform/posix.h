// Small pieces of POSIX and text handling that more than one backend uses.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/mac.h"

namespace brindlecast::platform {

// The entries of a folder in name order, hidden ones (and "." and "..") left
// out, each described as itself, never as what a link points at. None when
// the folder cannot be read.
std::optional<std::vector<FolderEntry>> readFolder(const std::string& path);

// The bytes of a regular file of at most `limit` bytes; none otherwise (a
// FIFO or a device is never read, and opening never blocks).
std::optional<std::string> readSmallFile(const std::string& path, std::size_t limit);

// The code point that starts at units[i], with i moved past it: a surrogate
// pair is one code point, a lone surrogate is U+FFFD.
char32_t nextCodePoint(std::u16string_view units, std::size_t& i);

}  // namespace brindlecast::platform
