// A data folder of desktop entries and icon files made to cost the agent
// memory and time, for the end-to-end test and the catalog benchmark.
#pragma once

#include <string>

namespace x11test {

// Writes into `dir`: applications/ with "HugePng" (a 20000 x 20000 PNG of
// 50 KB), "HugeXpm" (an XPM claiming as much), "Bomb" (an SVG of nested
// <use> that draws 6^7 circles), "Fine" (a green 16 x 16 PNG), "Plain" (no
// icon), an entry whose Name is 50 MB, and `fillers` entries "Filler N" of
// 127 KiB each in applications/filler/. Python 3 makes the PNG; false when
// that fails.
bool writeHostileDesktop(const std::string& dir, int fillers);

}  // namespace x11test
