// The pure translations of the X11 backend: the common vocabulary (key
// codes, wheel deltas, UTF-16 text) into X keysyms and buttons, and the
// picture scaler. No X connection is needed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "platform/mac.h"

namespace brindlecast::platform::x11 {

// The keysym of a virtual key (US layout); 0 (NoSymbol) for a code without one.
unsigned long keysymOf(VirtualKey key);

// The XF86 keysym of a media key.
unsigned long mediaKeysym(MediaKey key);

// The keysyms that type UTF-16 text: a carriage return with or without a line
// feed is one Return, a line feed Return, a tab Tab; other control characters
// are left out, a lone surrogate types U+FFFD.
std::vector<unsigned long> textKeysyms(std::u16string_view units);

// The wheel clicks for a scroll of `pixels`: one a 40 pixels, rounded, at
// least one for any non-zero distance; the sign is the distance's.
int wheelClicks(int32_t pixels);

// A BGRX picture of width x height from `source` (BGRX rows, 4 bytes a pixel,
// `sourceStride` bytes apart), each target pixel the average of the source
// pixels it covers; of the same size, the rows are copied as they are.
void scaleInto(const uint8_t* source, std::size_t sourceStride, int sourceWidth, int sourceHeight, uint8_t* target,
               int width, int height);
// The same into a picture of its own.
Picture scaledPicture(const uint8_t* source, std::size_t sourceStride, int sourceWidth, int sourceHeight, int width,
                      int height);
// The same of rows without padding.
Picture scaledPicture(const std::vector<uint8_t>& source, int sourceWidth, int sourceHeight, int width, int height);

}  // namespace brindlecast::platform::x11
