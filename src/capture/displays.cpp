#include "capture/displays.h"

#include <algorithm>
#include <cmath>

#include "host/digest.h"
#include "host/failure.h"
#include "input/guard.h"

namespace brindlecast::capture {

namespace {

constexpr uint32_t maxDisplays = 16;

// A bound truncated toward zero; a value no integer holds is clamped, never
// converted out of range.
int64_t truncated(double value) {
    if (std::isnan(value)) return 0;
    constexpr double limit = 9007199254740992.0;  // 2^53: every integer up to it is exact
    return static_cast<int64_t>(std::clamp(value, -limit, limit));
}

}  // namespace

std::string monitorIdentifier(platform::Mac& mac, uint32_t display) {
    const auto uuid = mac.displayUuid(display);
    return "monitor_" + digest(uuid ? *uuid : std::to_string(display), 16);
}

std::vector<DisplayEntry> screens(Host& host) {
    platform::Mac& mac = host.mac();
    const auto count = mac.activeDisplayCount();
    if (!count || *count == 0 || *count > maxDisplays) fail(failures::noDisplay);
    const auto numbers = mac.activeDisplays(*count);
    if (!numbers) fail(failures::displaysUnreadable);
    std::vector<DisplayEntry> entries;
    const std::size_t taken = std::min<std::size_t>(*count, numbers->size());
    entries.reserve(taken);
    for (std::size_t i = 0; i < taken; ++i) {
        const uint32_t number = (*numbers)[i];
        entries.push_back({monitorIdentifier(mac, number), number, mac.displayBounds(number)});
    }
    return entries;
}

DisplayEntry monitor(Host& host, const Request& request) {
    auto entries = screens(host);
    if (const auto* wanted = stringField(request, "monitorId")) {
        for (auto& entry : entries) {
            if (entry.identifier == *wanted) return std::move(entry);
        }
        fail(failures::monitorGone);
    }
    const uint32_t main = host.mac().mainDisplay();
    for (auto& entry : entries) {
        if (entry.number == main) return std::move(entry);
    }
    // Every display vanished between the two queries: nothing to choose.
    if (entries.empty()) fail(failures::noDisplay);
    return std::move(entries.front());
}

void desktopMonitors(Host& host, const Request& request, Result& result) {
    exact(request, {"operation"});
    input::interactive(host);
    const auto entries = screens(host);
    const uint32_t main = host.mac().mainDisplay();
    boost::json::array monitors;
    monitors.reserve(entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const auto& entry = entries[i];
        // Bounds are sent as integers, truncated toward zero.
        boost::json::object bounds{{"height", truncated(entry.bounds.height)},
                                   {"width", truncated(entry.bounds.width)},
                                   {"x", truncated(entry.bounds.x)},
                                   {"y", truncated(entry.bounds.y)}};
        monitors.push_back(boost::json::object{{"bounds", std::move(bounds)},
                                               {"id", entry.identifier},
                                               {"name", "Display " + std::to_string(i + 1)},
                                               {"primary", entry.number == main}});
    }
    result.emplace("monitors", std::move(monitors));
}

}  // namespace brindlecast::capture
