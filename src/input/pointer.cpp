#include "input/pointer.h"

#include <algorithm>

#include "capture/displays.h"
#include "host/failure.h"
#include "input/guard.h"

namespace brindlecast::input {

namespace {

using platform::MouseButton;
using platform::MouseEventType;

constexpr double maxScroll = 1200;

// Creates a mouse event and posts it; an event the platform does not make is skipped.
void postMouse(platform::Mac& mac, MouseEventType type, platform::Point at, MouseButton button) {
    if (platform::EventHandle event = mac.mouseEvent(type, at, button)) mac.post(*event);
}

}  // namespace

platform::Point point(Host& host, const Request& request) {
    const capture::DisplayEntry display = capture::monitor(host, request);
    const double x = number(request, "x", 0, 1, false);
    const double y = number(request, "y", 0, 1, false);
    const platform::Rect& b = display.bounds;
    return {b.x + x * std::max(b.width - 1, 0.0), b.y + y * std::max(b.height - 1, 0.0)};
}

void clickOrPointer(Host& host, const Request& request, Result&) {
    const bool click = request.at("operation").get_string() == "desktop.click";
    if (click) {
        exact(request, {"operation", "x", "y"}, {"monitorId", "button"});
    } else {
        exact(request, {"operation", "x", "y"}, {"monitorId"});
    }
    inputAllowed(host);
    const platform::Point at = point(host, request);
    platform::Mac& mac = host.mac();
    if (!click) {
        postMouse(mac, MouseEventType::moved, at, MouseButton::left);
        return;
    }
    // A button that is absent or not a string is the left one.
    const auto* button = stringField(request, "button");
    if (button == nullptr || *button == "left") {
        postMouse(mac, MouseEventType::leftDown, at, MouseButton::left);
        postMouse(mac, MouseEventType::leftUp, at, MouseButton::left);
    } else if (*button == "right") {
        postMouse(mac, MouseEventType::rightDown, at, MouseButton::right);
        postMouse(mac, MouseEventType::rightUp, at, MouseButton::right);
    } else {
        fail(failures::unknownMouseButton);
    }
}

void desktopScroll(Host& host, const Request& request, Result&) {
    exact(request, {"operation", "deltaX", "deltaY"}, {"monitorId"});
    inputAllowed(host);
    const double deltaX = number(request, "deltaX", -maxScroll, maxScroll, true);
    const double deltaY = number(request, "deltaY", -maxScroll, maxScroll, true);
    if (deltaX == 0 && deltaY == 0) fail(failures::emptyScroll);
    const capture::DisplayEntry display = capture::monitor(host, request);

    platform::Mac& mac = host.mac();
    const platform::Rect& b = display.bounds;
    postMouse(mac, MouseEventType::moved, {b.x + b.width / 2, b.y + b.height / 2}, MouseButton::left);
    // Wheel 1 is vertical, wheel 2 horizontal; both run opposite to the request.
    platform::ScrollWheel wheel;
    wheel.unit = platform::ScrollUnit::pixel;
    wheel.wheelCount = 2;
    wheel.wheel1 = static_cast<int32_t>(-deltaY);
    wheel.wheel2 = static_cast<int32_t>(-deltaX);
    wheel.wheel3 = 0;
    if (platform::EventHandle event = mac.scrollEvent(wheel)) mac.post(*event);
}

}  // namespace brindlecast::input
