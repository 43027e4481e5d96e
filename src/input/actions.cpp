#include "input/actions.h"

#include <array>

#include "host/failure.h"
#include "input/guard.h"
#include "input/keyboard.h"

namespace brindlecast::input {

namespace {

struct MediaAction {
    std::string_view action;
    platform::MediaKey key;
};

constexpr std::array<MediaAction, 6> mediaActions{{
    {"playPause", platform::MediaKey::play},
    {"next", platform::MediaKey::next},
    {"previous", platform::MediaKey::previous},
    {"mute", platform::MediaKey::mute},
    {"volumeUp", platform::MediaKey::soundUp},
    {"volumeDown", platform::MediaKey::soundDown},
}};

struct PowerAction {
    std::string_view action;
    platform::PowerIntent intent;
};

constexpr std::array<PowerAction, 3> powerActions{{
    {"shutdown", platform::PowerIntent::shutdown},
    {"restart", platform::PowerIntent::restart},
    {"sleep", platform::PowerIntent::sleep},
}};

constexpr std::string_view presentationPrefix = "presentation:";

// A power request waits this long for the system's reply.
constexpr double replyTimeoutSeconds = 5.0;

}  // namespace

void mediaKey(const Host& host, platform::MediaKey key) {
    inputAllowed(host);
    platform::Mac& mac = host.mac();
    platform::EventHandle down = mac.mediaKeyEvent(key, true);
    if (!down) fail(failures::mediaUnavailable);
    mac.post(*down);
    // The key-up event is made only now; if it cannot be, the key-down stays posted.
    platform::EventHandle up = mac.mediaKeyEvent(key, false);
    if (!up) fail(failures::mediaUnavailable);
    mac.post(*up);
}

void power(const Host& host, std::string_view action) {
    interactive(host);
    const PowerAction* found = nullptr;
    for (const auto& entry : powerActions) {
        if (entry.action == action) found = &entry;
    }
    if (found == nullptr) fail(failures::unknownPowerAction);

    // A request without a reply throws the platform's error, passed on as it is.
    const platform::PowerReply reply = host.mac().requestPower(found->intent, replyTimeoutSeconds);
    if (reply.errorNumber && *reply.errorNumber != 0) fail(failures::powerDeclined);
}

void actionRequest(Host& host, const Request& request, Result&) {
    exact(request, {"action"}, {"seconds"});
    const auto* name = stringField(request, "action");
    if (name == nullptr) fail(failures::unknownAction);
    const std::string_view action = *name;

    for (const auto& media : mediaActions) {
        if (media.action == action) return mediaKey(host, media.key);
    }
    for (const auto& entry : powerActions) {
        if (entry.action == action) return power(host, action);
    }
    if (action == "lock") return press(host, platform::lockChord);
    if (action == "toggleFullscreen") return press(host, platform::fullscreenChord);
    if (action.starts_with(presentationPrefix)) {
        const auto key = presentationKey(action);
        if (!key) fail(failures::unknownPresentationAction);
        return press(host, {*key, platform::EventFlags::none});
    }
    fail(failures::mediaControlMissing);
}

}  // namespace brindlecast::input
