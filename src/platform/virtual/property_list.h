// A structural check of a property list before it is parsed: the parser
// recurses once per level of nesting and, for binary lists, takes time that
// grows with the square of the depth, so a hostile Info.plist could exhaust
// the stack or stall a scan. Real information property lists nest a handful
// of levels deep.
#pragma once

#include <cstddef>
#include <string_view>

namespace brindlecast::platform {

inline constexpr int maxPropertyListDepth = 64;
inline constexpr std::size_t maxPropertyListObjects = 1 << 16;

// Whether the binary ("bplist00") or XML property list in `bytes` nests
// containers at most `maxPropertyListDepth` deep and, for a binary list,
// reaches at most `maxPropertyListObjects` objects from its top. A binary
// list whose structure is broken (references out of range, cycles) fails.
bool shallowPropertyList(std::string_view bytes);

}  // namespace brindlecast::platform
