#include "input/actions.h"

#include <array>

#include "host/failure.h"
#include "input/guard.h"
#include "input/keyboard.h"
#include "platform/fourcc.h"

namespace brindlecast::input {

namespace {

struct MediaAction {
    std::string_view action;
    int32_t keyType;
};

// The platform's auxiliary media key types.
constexpr std::array<MediaAction, 6> mediaActions{{
    {"playPause", 16},   // play
    {"next", 17},
    {"previous", 18},
    {"mute", 7},
    {"volumeUp", 0},     // sound up
    {"volumeDown", 1},   // sound down
}};

struct PowerEvent {
    std::string_view action;
    uint32_t eventId;
};

constexpr std::array<PowerEvent, 3> powerEvents{{
    {"shutdown", fourcc("shut")},
    {"restart", fourcc("rest")},
    {"sleep", fourcc("slep")},
}};

constexpr std::string_view presentationPrefix = "presentation:";
constexpr std::string_view loginWindow = "com.apple.loginwindow";

// System-defined events of the auxiliary control buttons: event type 14,
// subtype 8; the key state sits in bits 8 to 15 of data1 and of the flags.
constexpr uint32_t systemDefined = 14;
constexpr int16_t auxControlButtons = 8;
constexpr int64_t keyDownState = 0xa00;
constexpr int64_t keyUpState = 0xb00;

// Wait for the reply and let the target interact with the user.
constexpr int32_t sendOptions = 0x23;
constexpr double replyTimeoutSeconds = 5.0;

platform::SystemDefinedEvent mediaEvent(int32_t keyType, int64_t state) {
    platform::SystemDefinedEvent event;
    event.type = systemDefined;
    event.location = {0, 0};
    event.modifierFlags = static_cast<uint64_t>(state);
    event.timestamp = 0;
    event.windowNumber = 0;
    event.subtype = auxControlButtons;
    event.data1 = static_cast<int64_t>(keyType) * 65536 + state;
    event.data2 = -1;
    return event;
}

}  // namespace

void mediaKey(const Host& host, int32_t keyType) {
    inputAllowed(host);
    platform::Mac& mac = host.mac();
    platform::EventHandle down = mac.systemEvent(mediaEvent(keyType, keyDownState));
    if (!down) fail(failures::mediaUnavailable);
    mac.post(*down);
    // The key-up event is made only now; if it cannot be, the key-down stays posted.
    platform::EventHandle up = mac.systemEvent(mediaEvent(keyType, keyUpState));
    if (!up) fail(failures::mediaUnavailable);
    mac.post(*up);
}

void power(const Host& host, std::string_view action) {
    interactive(host);
    const PowerEvent* found = nullptr;
    for (const auto& entry : powerEvents) {
        if (entry.action == action) found = &entry;
    }
    if (found == nullptr) fail(failures::unknownPowerAction);

    platform::AppleEvent event;
    event.eventClass = fourcc("aevt");
    event.eventId = found->eventId;
    event.targetBundleId = std::string(loginWindow);
    event.returnId = -1;
    event.transactionId = 0;
    event.sendOptions = sendOptions;
    event.timeoutSeconds = replyTimeoutSeconds;
    // A send without a reply throws the platform's error, passed on as it is.
    const platform::AppleEventReply reply = host.mac().sendAppleEvent(event);
    if (reply.errorNumber && *reply.errorNumber != 0) fail(failures::powerDeclined);
}

void actionRequest(Host& host, const Request& request, Result&) {
    exact(request, {"action"}, {"seconds"});
    const auto* name = stringField(request, "action");
    if (name == nullptr) fail(failures::unknownAction);
    const std::string_view action = *name;

    for (const auto& media : mediaActions) {
        if (media.action == action) return mediaKey(host, media.keyType);
    }
    for (const auto& entry : powerEvents) {
        if (entry.action == action) return power(host, action);
    }
    if (action == "lock") return press(host, lockKey, controlCommand);
    if (action == "toggleFullscreen") return press(host, toggleFullscreenKey, controlCommand);
    if (action.starts_with(presentationPrefix)) {
        const auto key = presentationKey(action);
        if (!key) fail(failures::unknownPresentationAction);
        return press(host, *key, noFlags);
    }
    fail(failures::mediaControlMissing);
}

}  // namespace brindlecast::input
