// The Linux desktop: the focused element through AT-SPI, its role in the
// common vocabulary of accessibility roles.
#include <cstdlib>

#include <atspi/atspi.h>

#include "platform/x11/backend.h"

namespace brindlecast::platform {

using namespace x11;

namespace {

inline void releaseAccessible(AtspiAccessible* object) { g_object_unref(object); }
inline void releaseStates(AtspiStateSet* object) { g_object_unref(object); }
inline void releaseRule(AtspiMatchRule* object) { g_object_unref(object); }
inline void releaseCollection(AtspiCollection* object) { g_object_unref(object); }
using Accessible = GOwned<AtspiAccessible, releaseAccessible>;
using States = GOwned<AtspiStateSet, releaseStates>;

// A method call of the accessibility bus waits at most this long (ms).
constexpr int callTimeoutMs = 1000;
// An element search without the collection interface looks at most at this many elements.
constexpr int searchLimit = 4000;

bool has(AtspiAccessible* object, AtspiStateType state) {
    States states(atspi_accessible_get_state_set(object));
    return states && atspi_state_set_contains(states.get(), state);
}

Accessible child(AtspiAccessible* parent, int index) {
    Error error;
    return Accessible(atspi_accessible_get_child_at_index(parent, index, error.out()));
}

int childCount(AtspiAccessible* parent) {
    Error error;
    const int count = atspi_accessible_get_child_count(parent, error.out());
    return error ? 0 : count;
}

// The focused element below `window`: one query of the collection interface,
// else a walk through the showing elements.
Accessible focusedBelow(AtspiAccessible* window) {
    if (GOwned<AtspiCollection, releaseCollection> collection{atspi_accessible_get_collection_iface(window)}) {
        States wanted(atspi_state_set_new(nullptr));
        atspi_state_set_add(wanted.get(), ATSPI_STATE_FOCUSED);
        GOwned<AtspiMatchRule, releaseRule> rule(
            atspi_match_rule_new(wanted.get(), ATSPI_Collection_MATCH_ALL, nullptr, ATSPI_Collection_MATCH_NONE,
                                 nullptr, ATSPI_Collection_MATCH_NONE, nullptr, ATSPI_Collection_MATCH_NONE, FALSE));
        Error error;
        GArray* matches = atspi_collection_get_matches(collection.get(), rule.get(),
                                                       ATSPI_Collection_SORT_ORDER_CANONICAL, 1, TRUE, error.out());
        if (matches != nullptr) {
            Accessible found;
            if (matches->len > 0) found = Accessible(g_array_index(matches, AtspiAccessible*, 0));
            for (guint i = 1; i < matches->len; ++i) g_object_unref(g_array_index(matches, AtspiAccessible*, i));
            g_array_free(matches, TRUE);
            if (found) return found;
            if (!error) return Accessible();
        }
    }
    std::vector<Accessible> pending;
    pending.push_back(Accessible(static_cast<AtspiAccessible*>(g_object_ref(window))));
    for (int seen = 0; !pending.empty() && seen < searchLimit; ++seen) {
        Accessible current = std::move(pending.back());
        pending.pop_back();
        if (has(current.get(), ATSPI_STATE_FOCUSED)) return current;
        const int count = childCount(current.get());
        for (int i = count - 1; i >= 0; --i) {
            Accessible next = child(current.get(), i);
            if (next && has(next.get(), ATSPI_STATE_SHOWING)) pending.push_back(std::move(next));
        }
    }
    return Accessible();
}

// The role words of the common vocabulary for an element that takes text;
// everything else gets a word that is none of them.
void describe(AtspiAccessible* element, AtspiRole role, FocusedField& field) {
    const bool editable = has(element, ATSPI_STATE_EDITABLE);
    const bool multiLine = has(element, ATSPI_STATE_MULTI_LINE);
    switch (role) {
        case ATSPI_ROLE_PASSWORD_TEXT:
            field.role = "AXTextField";
            field.subrole = "AXSecureTextField";
            return;
        case ATSPI_ROLE_ENTRY: {
            Error error;
            Accessible parent(atspi_accessible_get_parent(element, error.out()));
            if (parent && atspi_accessible_get_role(parent.get(), nullptr) == ATSPI_ROLE_COMBO_BOX) {
                field.role = "AXComboBox";
            } else {
                field.role = multiLine ? "AXTextArea" : "AXTextField";
            }
            return;
        }
        case ATSPI_ROLE_TEXT:
        case ATSPI_ROLE_TERMINAL:
            if (editable || role == ATSPI_ROLE_TERMINAL) {
                field.role = multiLine || !has(element, ATSPI_STATE_SINGLE_LINE) ? "AXTextArea" : "AXTextField";
            } else {
                field.role = "AXStaticText";
            }
            return;
        case ATSPI_ROLE_COMBO_BOX:
            field.role = editable ? "AXComboBox" : "AXPopUpButton";
            return;
        case ATSPI_ROLE_PUSH_BUTTON:
        case ATSPI_ROLE_TOGGLE_BUTTON:
            field.role = "AXButton";
            return;
        case ATSPI_ROLE_DOCUMENT_WEB:
            field.role = "AXWebArea";
            return;
        case ATSPI_ROLE_LIST:
        case ATSPI_ROLE_LIST_BOX:
            field.role = "AXList";
            return;
        default:
            field.role = "AXUnknown";
            return;
    }
}

}  // namespace

bool X11Mac::atspiReady() {
    if (atspiStarted_) return atspiUsable_;
    // Only once the accessibility bus answers: the library cannot start twice,
    // and without a bus each of its calls would end the process.
    const char* address = std::getenv("AT_SPI_BUS_ADDRESS");
    if (address == nullptr || *address == '\0') {
        const CallResult bus = session_.call("org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus", "GetAddress", nullptr,
                                             G_VARIANT_TYPE("(s)"), shortTimeoutMs);
        if (!bus.reply) return false;
    }
    atspiStarted_ = true;
    atspiUsable_ = atspi_init() == 0;
    if (atspiUsable_) atspi_set_timeout(callTimeoutMs, callTimeoutMs);
    return atspiUsable_;
}

FocusedField X11Mac::focusedField() {
    FocusedField field;
    if (!atspiReady()) return field;
    // Let the library take in what the applications announced since the last request.
    for (int i = 0; i < 1000 && g_main_context_iteration(nullptr, FALSE); ++i) {
    }
    Accessible desktop(atspi_get_desktop(0));
    if (!desktop) return field;
    // Nothing is taken from the library's cache: every answer is asked afresh.
    atspi_accessible_set_cache_mask(desktop.get(), ATSPI_CACHE_NONE);
    atspi_accessible_clear_cache(desktop.get());

    Accessible focused;
    const int apps = childCount(desktop.get());
    for (int a = 0; a < apps && !focused; ++a) {
        Accessible app = child(desktop.get(), a);
        if (!app) continue;
        atspi_accessible_set_cache_mask(app.get(), ATSPI_CACHE_NONE);
        atspi_accessible_clear_cache(app.get());
        const int windows = childCount(app.get());
        for (int w = 0; w < windows && !focused; ++w) {
            Accessible window = child(app.get(), w);
            if (window && has(window.get(), ATSPI_STATE_ACTIVE)) focused = focusedBelow(window.get());
        }
    }
    if (!focused) return field;
    field.found = true;
    Error error;
    const AtspiRole role = atspi_accessible_get_role(focused.get(), error.out());
    field.roleReadable = !error;
    if (field.roleReadable) describe(focused.get(), role, field);
    return field;
}

}  // namespace brindlecast::platform
