// The Linux desktop: the focused element through AT-SPI, its role in the
// common vocabulary of accessibility roles.
//
// The accessibility bus is asked directly, one method call at a time, so
// that every answer is fresh: libatspi keeps a cache that only its event
// handling updates, and handles events inside its own nested calls, which
// stalls the agent when an application announces a change meanwhile.
#include <cstdlib>

#include <atspi/atspi-constants.h>

#include "platform/x11/backend.h"

namespace brindlecast::platform {

using namespace x11;

namespace {

constexpr const char* accessibleInterface = "org.a11y.atspi.Accessible";
// A method call of the accessibility bus waits at most this long.
constexpr int callTimeoutMs = 1000;
// Without the collection interface, a search looks at most at this many elements.
constexpr int searchLimit = 4000;

struct Element {
    std::string bus;
    std::string path;
};

std::vector<Element> elements(GVariant* array) {
    std::vector<Element> out;
    GVariantIter iter;
    g_variant_iter_init(&iter, array);
    const gchar* bus = nullptr;
    const gchar* path = nullptr;
    while (g_variant_iter_next(&iter, "(&s&o)", &bus, &path)) {
        // The null reference stands for no element.
        if (std::string_view(path) != "/org/a11y/atspi/null") out.push_back({bus, path});
    }
    return out;
}

}  // namespace

// The accessibility bus: its address from the session bus, the connection kept.
class AccessibilityBus {
public:
    AccessibilityBus(Bus& session, RequestDeadline& deadline)
        : bus_([&session] { return address(session); }, deadline) {}

    CallResult call(const Element& element, const char* interface, const char* method, GVariant* parameters,
                    const GVariantType* replyType) {
        return bus_.call(element.bus.c_str(), element.path.c_str(), interface, method, parameters, replyType,
                         callTimeoutMs, G_DBUS_CALL_FLAGS_NO_AUTO_START);
    }

    std::optional<std::vector<Element>> children(const Element& element) {
        CallResult result = call(element, accessibleInterface, "GetChildren", nullptr, G_VARIANT_TYPE("(a(so))"));
        if (!result.reply) return std::nullopt;
        Variant array(g_variant_get_child_value(result.reply.get(), 0));
        return elements(array.get());
    }

    // The element's state bits; none when they cannot be read.
    std::optional<uint64_t> states(const Element& element) {
        CallResult result = call(element, accessibleInterface, "GetState", nullptr, G_VARIANT_TYPE("(au)"));
        if (!result.reply) return std::nullopt;
        Variant array(g_variant_get_child_value(result.reply.get(), 0));
        uint64_t bits = 0;
        const gsize count = g_variant_n_children(array.get());
        for (gsize i = 0; i < count && i < 2; ++i) {
            Variant word(g_variant_get_child_value(array.get(), i));
            bits |= static_cast<uint64_t>(g_variant_get_uint32(word.get())) << (32 * i);
        }
        return bits;
    }

    std::optional<uint32_t> role(const Element& element) {
        CallResult result = call(element, accessibleInterface, "GetRole", nullptr, G_VARIANT_TYPE("(u)"));
        if (!result.reply) return std::nullopt;
        guint32 role = 0;
        g_variant_get(result.reply.get(), "(u)", &role);
        return role;
    }

    std::optional<Element> parent(const Element& element) {
        CallResult result = call(element, "org.freedesktop.DBus.Properties", "Get",
                                 g_variant_new("(ss)", accessibleInterface, "Parent"), G_VARIANT_TYPE("(v)"));
        if (!result.reply) return std::nullopt;
        Variant value(g_variant_get_child_value(result.reply.get(), 0));
        Variant inner(g_variant_get_variant(value.get()));
        if (!g_variant_is_of_type(inner.get(), G_VARIANT_TYPE("(so)"))) return std::nullopt;
        const gchar* bus = nullptr;
        const gchar* path = nullptr;
        g_variant_get(inner.get(), "(&s&o)", &bus, &path);
        return Element{bus, path};
    }

    // The first element below `window` in the given state, found by the
    // application itself; none when the application cannot search.
    std::optional<std::optional<Element>> match(const Element& window, AtspiStateType state) {
        GVariantBuilder states;
        g_variant_builder_init(&states, G_VARIANT_TYPE("ai"));
        const uint64_t bit = uint64_t{1} << state;
        g_variant_builder_add(&states, "i", static_cast<gint32>(static_cast<uint32_t>(bit)));
        g_variant_builder_add(&states, "i", static_cast<gint32>(static_cast<uint32_t>(bit >> 32)));
        GVariant* rule = g_variant_new("(aiia{ss}iaiiasib)", &states, ATSPI_Collection_MATCH_ALL, nullptr,
                                       ATSPI_Collection_MATCH_NONE, nullptr, ATSPI_Collection_MATCH_NONE, nullptr,
                                       ATSPI_Collection_MATCH_NONE, FALSE);
        CallResult result = call(window, "org.a11y.atspi.Collection", "GetMatches",
                                 g_variant_new("(@(aiia{ss}iaiiasib)uib)", rule,
                                               static_cast<guint32>(ATSPI_Collection_SORT_ORDER_CANONICAL), 1, TRUE),
                                 G_VARIANT_TYPE("(a(so))"));
        if (!result.reply) return std::nullopt;
        Variant array(g_variant_get_child_value(result.reply.get(), 0));
        const auto found = elements(array.get());
        if (found.empty()) return std::optional<Element>();
        return std::optional<Element>(found.front());
    }

private:
    // The accessibility bus's address: fixed by the environment, else the
    // one its launcher on the session bus gives.
    static std::optional<std::string> address(Bus& session) {
        if (const char* fixed = std::getenv("AT_SPI_BUS_ADDRESS"); fixed != nullptr && *fixed != '\0') return fixed;
        CallResult result = session.call("org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus", "GetAddress", nullptr,
                                         G_VARIANT_TYPE("(s)"), shortTimeoutMs);
        if (!result.reply) return std::nullopt;
        const gchar* text = nullptr;
        g_variant_get(result.reply.get(), "(&s)", &text);
        return std::string(text);
    }

    Bus bus_;
};

namespace {

bool has(uint64_t states, AtspiStateType state) {
    return (states >> state) & 1;
}

// The focused element below an active window.
std::optional<Element> focusedBelow(AccessibilityBus& bus, const Element& window) {
    // The application's own search, where it has one; an empty answer is not
    // final (GTK 3 gives one now and then while an entry keeps the focus).
    if (auto matched = bus.match(window, ATSPI_STATE_FOCUSED); matched && *matched) return *matched;
    // A walk through the visible elements instead. Showing alone would miss
    // fields: GTK 4 calls the panels that hold them visible but not showing.
    std::vector<Element> pending{window};
    for (int seen = 0; !pending.empty() && seen < searchLimit; ++seen) {
        Element current = std::move(pending.back());
        pending.pop_back();
        const auto states = bus.states(current);
        if (!states) continue;
        if (has(*states, ATSPI_STATE_FOCUSED)) return current;
        const bool shown = has(*states, ATSPI_STATE_SHOWING) || has(*states, ATSPI_STATE_VISIBLE);
        if (!shown || has(*states, ATSPI_STATE_MANAGES_DESCENDANTS)) continue;
        if (auto below = bus.children(current)) pending.insert(pending.end(), below->rbegin(), below->rend());
    }
    return std::nullopt;
}

// The role words of the common vocabulary for an element that takes text;
// everything else gets a word that is none of them.
void describe(AccessibilityBus& bus, const Element& element, uint32_t role, FocusedField& field) {
    const uint64_t states = bus.states(element).value_or(0);
    const bool editable = has(states, ATSPI_STATE_EDITABLE);
    const bool multiLine = has(states, ATSPI_STATE_MULTI_LINE);
    switch (role) {
        case ATSPI_ROLE_PASSWORD_TEXT:
            field.role = roles::textField;
            field.subrole = roles::secureTextField;
            return;
        case ATSPI_ROLE_ENTRY: {
            const auto parent = bus.parent(element);
            if (parent && bus.role(*parent) == static_cast<uint32_t>(ATSPI_ROLE_COMBO_BOX)) {
                field.role = roles::comboBox;
            } else {
                field.role = multiLine ? roles::textArea : roles::textField;
            }
            return;
        }
        case ATSPI_ROLE_TEXT:
        case ATSPI_ROLE_TERMINAL:
            if (editable || role == ATSPI_ROLE_TERMINAL) {
                field.role = has(states, ATSPI_STATE_SINGLE_LINE) && !multiLine ? roles::textField : roles::textArea;
            } else {
                field.role = roles::staticText;
            }
            return;
        case ATSPI_ROLE_COMBO_BOX:
            field.role = editable ? roles::comboBox : roles::popUpButton;
            return;
        case ATSPI_ROLE_PUSH_BUTTON:
        case ATSPI_ROLE_TOGGLE_BUTTON:
            field.role = roles::button;
            return;
        case ATSPI_ROLE_DOCUMENT_WEB:
            field.role = roles::webArea;
            return;
        case ATSPI_ROLE_LIST:
        case ATSPI_ROLE_LIST_BOX:
            field.role = roles::list;
            return;
        default:
            field.role = roles::unknown;
            return;
    }
}

}  // namespace

X11Mac::X11Mac() = default;
X11Mac::~X11Mac() {
    // Cleaning up waits for the desktop no longer than a request would,
    // closing the X connection included.
    deadline_.begin();
    try {
        returnBorrowedKeys(true);
    } catch (const PlatformError&) {
        // The X server does not answer: there is no map to give the keys back to.
    }
}

FocusedField X11Mac::focusedField() {
    FocusedField field;
    if (!accessibility_) accessibility_ = std::make_unique<AccessibilityBus>(session_, deadline_);
    AccessibilityBus& bus = *accessibility_;
    // The applications, as the registry lists them now.
    const auto apps = bus.children({"org.a11y.atspi.Registry", "/org/a11y/atspi/accessible/root"});
    if (!apps) return field;
    std::optional<Element> focused;
    for (const auto& app : *apps) {
        const auto windows = bus.children(app);
        if (!windows) continue;
        for (const auto& window : *windows) {
            const auto states = bus.states(window);
            if (states && has(*states, ATSPI_STATE_ACTIVE)) focused = focusedBelow(bus, window);
            if (focused) break;
        }
        if (focused) break;
    }
    if (!focused) return field;
    field.found = true;
    const auto role = bus.role(*focused);
    field.roleReadable = role.has_value();
    if (role) describe(bus, *focused, *role, field);
    return field;
}

}  // namespace brindlecast::platform
