#include "input/keyboard.h"

#include <algorithm>
#include <array>
#include <utility>

#include "host/failure.h"
#include "host/text.h"
#include "input/guard.h"

namespace brindlecast::input {

namespace {

constexpr std::size_t maxTextUnits = 256;

using platform::VirtualKey;

// The roles of a focused element that accepts typed text; a password field
// (its subrole) is refused whatever its role.
constexpr std::array<std::string_view, 3> textFieldRoles{platform::roles::textField, platform::roles::textArea,
                                                         platform::roles::comboBox};

// Typed text goes out on this key, its string in place of the key's own character.
constexpr VirtualKey textKey = VirtualKey::a;

struct PresentationKey {
    std::string_view action;
    VirtualKey key;
};

constexpr std::array<PresentationKey, 5> presentationKeys{{
    {"presentation:previous", VirtualKey::leftArrow},
    {"presentation:next", VirtualKey::rightArrow},
    {"presentation:start", VirtualKey::f5},
    {"presentation:end", VirtualKey::escape},
    {"presentation:blank", VirtualKey::b},
}};

void appendUtf16(std::u16string& out, char32_t c) {
    if (c < 0x10000) {
        out.push_back(static_cast<char16_t>(c));
    } else {
        c -= 0x10000;
        out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
        out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
    }
}

std::size_t utf16Length(std::string_view text) {
    std::size_t units = 0;
    forEachCodePoint(text, [&](char32_t c, std::size_t, bool) {
        units += c < 0x10000 ? 1 : 2;
        return true;
    });
    return units;
}

}  // namespace

std::optional<VirtualKey> presentationKey(std::string_view action) {
    for (const auto& entry : presentationKeys) {
        if (entry.action == action) return entry.key;
    }
    return std::nullopt;
}

std::vector<std::u16string> textRuns(std::string_view text, std::size_t maxUnits) {
    std::vector<std::u16string> runs;
    std::u16string cluster;
    // A cluster joins the current run while the run stays within the limit;
    // otherwise it starts the next one.
    auto place = [&] {
        if (cluster.empty()) return;
        if (runs.empty() || runs.back().size() + cluster.size() > maxUnits) runs.emplace_back();
        runs.back() += cluster;
        cluster.clear();
    };
    forEachCodePoint(text, [&](char32_t c, std::size_t, bool startsCluster) {
        if (startsCluster) place();
        appendUtf16(cluster, c);
        return true;
    });
    place();
    return runs;
}

void press(const Host& host, platform::KeyChord chord) {
    inputAllowed(host);
    platform::Mac& mac = host.mac();
    platform::EventHandle down = mac.keyEvent(chord.key, true);
    if (!down) fail(failures::keyEventUnavailable);
    platform::EventHandle up = mac.keyEvent(chord.key, false);
    if (!up) fail(failures::keyEventUnavailable);
    // Set also when there are no flags: that clears any the event came with.
    mac.setFlags(*down, chord.flags);
    mac.setFlags(*up, chord.flags);
    mac.post(*down);
    mac.post(*up);
}

void text(const Host& host, std::string_view typed) {
    inputAllowed(host);
    if (typed.empty() || typed.find('\0') != std::string_view::npos || utf16Length(typed) > maxTextUnits) {
        fail(failures::invalidTextInput);
    }

    platform::Mac& mac = host.mac();
    const platform::FocusedField field = mac.focusedField();
    if (!field.found) fail(failures::noTextField);
    if (!field.roleReadable) fail(failures::fieldRefusesText);
    const std::string_view role = field.role ? std::string_view(*field.role) : std::string_view();
    if (std::find(textFieldRoles.begin(), textFieldRoles.end(), role) == textFieldRoles.end()) {
        fail(failures::fieldRefusesText);
    }
    if (field.subrole && *field.subrole == platform::roles::secureTextField) fail(failures::passwordField);

    // macOS types at most 20 UTF-16 code units of the string attached to one
    // keyboard event and silently drops the rest, so the text goes out as one
    // key pair per run of whole grapheme clusters. Every pair is made before
    // anything is posted; events already made are released on failure.
    const std::vector<std::u16string> runs = textRuns(typed);
    std::vector<std::pair<platform::EventHandle, platform::EventHandle>> pairs;
    pairs.reserve(runs.size());
    for (const auto& run : runs) {
        platform::EventHandle down = mac.keyEvent(textKey, true);
        if (!down) fail(failures::textInputUnavailable);
        platform::EventHandle up = mac.keyEvent(textKey, false);
        if (!up) fail(failures::textInputUnavailable);
        mac.setText(*down, run);
        mac.setText(*up, run);
        pairs.emplace_back(std::move(down), std::move(up));
    }

    // The Mac may have locked while the field was read.
    interactive(host);
    for (auto& [down, up] : pairs) {
        mac.post(*down);
        mac.post(*up);
    }
}

void desktopText(Host& host, const Request& request, Result&) {
    exact(request, {"operation", "text"});
    const auto* typed = stringField(request, "text");
    if (typed == nullptr) fail(failures::invalidText);
    text(host, *typed);
}

}  // namespace brindlecast::input
