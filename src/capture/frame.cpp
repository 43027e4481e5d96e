#include "capture/frame.h"

#include <algorithm>
#include <array>
#include <string_view>

#include "capture/displays.h"
#include "capture/payload.h"
#include "host/failure.h"
#include "input/guard.h"

namespace brindlecast::capture {

namespace {

constexpr std::array<std::string_view, 8> profiles{
    "balanced",       "quality",       "smooth",       "latency",
    "relay-balanced", "relay-quality", "relay-smooth", "relay-latency",
};

constexpr std::string_view relayPrefix = "relay-";
constexpr int64_t relayLimit = 184320;     // 180 KiB through the relay
constexpr int64_t directLimit = 2097152;   // 2 MiB otherwise
constexpr double minimumWindowSide = 64;   // points; a window must be larger on both sides

// What one capture aims at: a display or one window, and the rectangle whose
// size governs the picture size.
struct Target {
    uint32_t display = 0;
    std::size_t window = 0;
    platform::Rect rect;
    std::string monitorId;  // display targets only
};

Target displayTarget(Host& host, const Request& request, const platform::ShareableContent& content) {
    DisplayEntry entry = monitor(host, request);
    if (std::find(content.displays.begin(), content.displays.end(), entry.number) == content.displays.end()) {
        fail(failures::displayNotShareable);
    }
    Target target;
    target.display = entry.number;
    target.rect = entry.bounds;
    target.monitorId = std::move(entry.identifier);
    return target;
}

Target windowTarget(const platform::ShareableContent& content, const WindowOwners& owners) {
    const auto chosen = largestWindow(content.windows, owners());
    if (!chosen) fail(failures::noAppWindow);
    Target target;
    target.window = *chosen;
    target.rect = content.windows[*chosen].frame;
    return target;
}

int side(double value, double bound) {
    // A rectangle with a side of zero or less gives no usable scale: the
    // picture still stays within 1 and the request's bound.
    if (!(value >= 1)) return 1;
    return static_cast<int>(std::min(value, bound));  // truncation toward zero
}

}  // namespace

PictureSize pictureSize(double maxWidth, double maxHeight, const platform::Rect& rect) {
    const double scale = std::min({maxWidth / rect.width, maxHeight / rect.height, 1.0});
    return {side(rect.width * scale, maxWidth), side(scale * rect.height, maxHeight)};
}

std::optional<std::size_t> largestWindow(const std::vector<platform::ShareableWindow>& windows,
                                         const std::set<int32_t>& pids) {
    std::optional<std::size_t> chosen;
    double largest = 0;
    for (std::size_t i = 0; i < windows.size(); ++i) {
        const auto& window = windows[i];
        if (!pids.contains(window.ownerPid.value_or(-1))) continue;
        if (window.layer != 0) continue;
        if (!(window.frame.width > minimumWindowSide && window.frame.height > minimumWindowSide)) continue;
        const double area = window.frame.width * window.frame.height;
        // Strictly larger only: of equal areas the earliest window stays.
        if (!chosen || area > largest) {
            chosen = i;
            largest = area;
        }
    }
    return chosen;
}

int64_t byteLimit(const Request& request) {
    const auto* profile = stringField(request, "profile");
    return profile != nullptr && std::string_view(*profile).starts_with(relayPrefix) ? relayLimit : directLimit;
}

Result frame(Host& host, const Request& request, const WindowOwners* owners) {
    platform::Mac& mac = host.mac();
    input::interactive(host);
    if (!mac.screenCaptureAllowed()) fail(failures::screenRecordingMissing);
    const double maxWidth = number(request, "maxWidth", 320, 1920, true);
    const double maxHeight = number(request, "maxHeight", 180, 1080, true);
    const double jpegQuality = number(request, "jpegQuality", 40, 95, true);

    const platform::ShareableContent content = mac.shareableContent(
        owners != nullptr ? platform::ContentScope::windows : platform::ContentScope::displays);
    const Target target = owners != nullptr ? windowTarget(content, *owners) : displayTarget(host, request, content);

    // The platform renders the target straight at the final size.
    const PictureSize size = pictureSize(maxWidth, maxHeight, target.rect);
    platform::CaptureSettings settings;
    settings.width = size.width;
    settings.height = size.height;
    settings.showsCursor = true;
    settings.capturesAudio = false;
    const platform::Picture picture = owners != nullptr ? mac.captureWindow(content, target.window, settings)
                                                        : mac.captureDisplay(content, target.display, settings);

    // The Mac may have been locked, or the permission withdrawn, while the
    // screenshot was taken: then the picture is dropped.
    input::interactive(host);
    if (!mac.screenCaptureAllowed()) fail(failures::screenPermissionRemoved);

    Result payload = imagePayload(picture, jpegQuality / 100.0, byteLimit(request));
    if (owners == nullptr) payload.emplace("monitorId", target.monitorId);
    return payload;
}

void desktopFrame(Host& host, const Request& request, Result& result) {
    exact(request, {"operation", "profile", "maxWidth", "maxHeight", "jpegQuality"}, {"monitorId"});
    // The profile name is checked before the guard.
    const auto* profile = stringField(request, "profile");
    if (profile == nullptr || std::find(profiles.begin(), profiles.end(), std::string_view(*profile)) == profiles.end()) {
        fail(failures::unknownProfile);
    }
    result.emplace("frame", frame(host, request, nullptr));
}

}  // namespace brindlecast::capture
