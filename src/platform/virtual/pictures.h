// The pictures the virtual Mac shows: built-in scenes drawn at any size, and
// picture files decoded once and sampled to a size.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/mac.h"

namespace brindlecast::platform {

// A desktop: a textured wallpaper with shapes, a menu bar, three windows with
// text, a sidebar and a photo, and a dock. The scene is laid out in fractions
// of the picture, so every size shows the same desktop, drawn straight at
// width x height (RGBX). `seed` varies the text and texture.
Picture renderDesktop(int width, int height, uint32_t seed);

// The content of one application window, laid out the same way: a title bar,
// a sidebar, a photo and lines of text.
Picture renderWindow(int width, int height, uint32_t seed);

// A PNG or JPEG file decoded to four bytes a pixel; none when the file cannot
// be read, is neither, or is larger than 8192 pixels on a side.
std::optional<Picture> decodePictureFile(const std::string& path);

// `source` sampled at width x height, each pixel taken from the nearest source
// pixel (an exact copy when the sizes are equal).
Picture sampledPicture(const Picture& source, int width, int height);

}  // namespace brindlecast::platform
