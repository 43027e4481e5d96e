// Frame capture: "desktop.frame" and the shared `frame`.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "host/host.h"

namespace brindlecast::capture {

// The processes whose windows an application's picture may show, asked for
// when the capture needs them.
using WindowOwners = std::function<std::set<int32_t>()>;

// One picture of a display (no `owners`) or of the largest visible window of
// the processes `owners` names, as an image payload; a display picture also
// carries its "monitorId".
Result frame(Host& host, const Request& request, const WindowOwners* owners);

void desktopFrame(Host& host, const Request& request, Result& result);

// ---- The rules `frame` is made of -------------------------------------------

struct PictureSize {
    int width = 0;
    int height = 0;
};

// The target's rectangle (points) scaled to fit maxWidth x maxHeight, never
// enlarged; each side truncated toward zero and at least 1.
PictureSize pictureSize(double maxWidth, double maxHeight, const platform::Rect& rect);

// The index of the window to capture among the shareable windows: owned by
// one of `pids` (a window without an owner counts as process -1), on layer 0,
// wider and taller than 64 points, the largest area, the earliest of equals.
std::optional<std::size_t> largestWindow(const std::vector<platform::ShareableWindow>& windows,
                                         const std::set<int32_t>& pids);

// 184320 bytes for a "profile" text that begins with "relay-", else 2097152.
int64_t byteLimit(const Request& request);

}  // namespace brindlecast::capture
