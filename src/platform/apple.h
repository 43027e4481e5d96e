// What the Mac itself speaks, shared by the two backends that stand for a Mac
// (the real one and the virtual Mac): Apple event codes and the login window
// that power requests go to, the fields of the media keys' system-defined
// events, and the Mac's identifier sets. The operations never see these.
#pragma once

#include <cstdint>
#include <string_view>

#include "platform/fourcc.h"
#include "platform/mac.h"

namespace brindlecast::platform::apple {

// Power is asked of the login window with a core Apple event.
constexpr std::string_view loginWindow = "com.apple.loginwindow";
constexpr uint32_t coreEventClass = fourcc("aevt");
// The Automation permission is probed with the shutdown event.
constexpr uint32_t automationProbeEvent = fourcc("shut");
// Wait for the reply (0x3) and let the target interact with the user (0x20).
constexpr int32_t powerSendOptions = 0x23;

constexpr uint32_t powerEventId(PowerIntent intent) {
    switch (intent) {
        case PowerIntent::shutdown: return fourcc("shut");
        case PowerIntent::restart: return fourcc("rest");
        case PowerIntent::sleep: return fourcc("slep");
    }
    return 0;
}

// The fields of a system-defined event.
struct SystemDefinedEvent {
    uint32_t type = 14;
    Point location;
    uint64_t modifierFlags = 0;
    double timestamp = 0;
    int64_t windowNumber = 0;
    int16_t subtype = 0;
    int64_t data1 = 0;
    int64_t data2 = 0;
};

// The auxiliary control button types of the media keys.
constexpr int32_t mediaKeyType(MediaKey key) {
    switch (key) {
        case MediaKey::play: return 16;
        case MediaKey::next: return 17;
        case MediaKey::previous: return 18;
        case MediaKey::mute: return 7;
        case MediaKey::soundUp: return 0;
        case MediaKey::soundDown: return 1;
    }
    return 0;
}

// A media key is a system-defined event of type 14, subtype 8 (auxiliary
// control buttons); the key state sits in bits 8 to 15 of data1 and of the
// flags: 0x0a going down, 0x0b going up.
inline SystemDefinedEvent mediaKeyFields(MediaKey key, bool down) {
    const int64_t state = down ? 0xa00 : 0xb00;
    SystemDefinedEvent event;
    event.type = 14;
    event.location = {0, 0};
    event.modifierFlags = static_cast<uint64_t>(state);
    event.timestamp = 0;
    event.windowNumber = 0;
    event.subtype = 8;
    event.data1 = static_cast<int64_t>(mediaKeyType(key)) * 65536 + state;
    event.data2 = -1;
    return event;
}

// A bundle candidate: a folder named *.app, read as itself and no link.
bool isBundleCandidate(const FolderEntry& entry);

// The Mac's protected screens, never-catalogued and protected bundles.
IdentifierSets identifierSets();

}  // namespace brindlecast::platform::apple
