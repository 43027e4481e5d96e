// Application icons of the virtual Mac: a bundle's PNG icon scaled into a
// square canvas, or a generic icon drawn when the bundle has none.
#pragma once

#include <optional>
#include <string_view>

#include "platform/mac.h"

namespace brindlecast::platform {

// The PNG in `bytes` decoded and scaled to fill a size x size RGBA canvas;
// none when it is not a PNG that can be decoded within the limits.
std::optional<Picture> scaledPngIcon(std::string_view bytes, int size);

// The generic application icon on a size x size RGBA canvas.
Picture genericIcon(int size);

}  // namespace brindlecast::platform
