#include "platform/x11/bus.h"

#include <cstdlib>
#include <string>

#include <sys/stat.h>

namespace brindlecast::platform::x11 {

namespace {

// The bus address from the environment, or the usual socket when it is unset.
// The session bus is never launched here.
std::optional<std::string> busAddress(Bus::Kind kind) {
    const char* variable = kind == Bus::Kind::system ? "DBUS_SYSTEM_BUS_ADDRESS" : "DBUS_SESSION_BUS_ADDRESS";
    if (const char* address = std::getenv(variable); address != nullptr && *address != '\0') return address;
    if (kind == Bus::Kind::system) return "unix:path=/var/run/dbus/system_bus_socket";
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime == nullptr || *runtime == '\0') return std::nullopt;
    const std::string socket = std::string(runtime) + "/bus";
    struct stat info {};
    if (::stat(socket.c_str(), &info) != 0) return std::nullopt;
    return "unix:path=" + socket;
}

void dropLog(const gchar*, GLogLevelFlags, const gchar*, gpointer) {}

GLogWriterOutput dropStructuredLog(GLogLevelFlags, const GLogField*, gsize, gpointer) {
    return G_LOG_WRITER_HANDLED;
}

void dropPrint(const gchar*) {}

void freeText(gchar* text) { g_free(text); }

}  // namespace

bool CallResult::declined() const {
    if (!error) return false;
    if (!g_dbus_error_is_remote_error(error.get())) return false;
    // These come from the bus, not from the callee: nobody answered.
    GOwned<gchar, freeText> name(g_dbus_error_get_remote_error(error.get()));
    const std::string remote = name ? name.get() : "";
    return remote != "org.freedesktop.DBus.Error.ServiceUnknown" &&
           remote != "org.freedesktop.DBus.Error.NameHasNoOwner" && remote != "org.freedesktop.DBus.Error.NoReply" &&
           remote != "org.freedesktop.DBus.Error.Timeout" && remote != "org.freedesktop.DBus.Error.TimedOut" &&
           remote != "org.freedesktop.DBus.Error.Disconnected";
}

GDBusConnection* Bus::connection() {
    if (connection_ && g_dbus_connection_is_closed(connection_.get())) connection_ = Connection();
    if (!connection_) {
        const auto address = busAddress(kind_);
        if (!address) return nullptr;
        Error error;
        connection_ = Connection(g_dbus_connection_new_for_address_sync(
            address->c_str(),
            static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                              G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
            nullptr, nullptr, error.out()));
        // A closed bus must never end the agent.
        if (connection_) g_dbus_connection_set_exit_on_close(connection_.get(), FALSE);
    }
    return connection_.get();
}

CallResult callOn(GDBusConnection* bus, const char* service, const char* object, const char* interface,
                  const char* method, GVariant* parameters, const GVariantType* replyType, int timeoutMs,
                  GDBusCallFlags flags) {
    CallResult result;
    if (bus == nullptr) {
        if (parameters != nullptr) g_variant_unref(g_variant_ref_sink(parameters));
        result.error = Error(g_error_new_literal(G_IO_ERROR, G_IO_ERROR_NOT_CONNECTED, "no bus"));
        return result;
    }
    result.reply = Variant(g_dbus_connection_call_sync(bus, service, object, interface, method, parameters,
                                                       replyType, flags, timeoutMs, nullptr,
                                                       result.error.out()));
    return result;
}

CallResult Bus::call(const char* service, const char* object, const char* interface, const char* method,
                     GVariant* parameters, const GVariantType* replyType, int timeoutMs,
                     GDBusCallFlags flags) {
    return callOn(connection(), service, object, interface, method, parameters, replyType, timeoutMs, flags);
}

Variant Bus::property(const char* service, const char* object, const char* interface, const char* name,
                      int timeoutMs) {
    CallResult result = call(service, object, "org.freedesktop.DBus.Properties", "Get",
                             g_variant_new("(ss)", interface, name), G_VARIANT_TYPE("(v)"), timeoutMs);
    if (!result.reply) return Variant();
    GVariant* value = nullptr;
    g_variant_get(result.reply.get(), "(v)", &value);
    return Variant(value);
}

void silenceGLib() {
    static bool done = false;
    if (done) return;
    done = true;
    g_log_set_writer_func(dropStructuredLog, nullptr, nullptr);
    g_log_set_default_handler(dropLog, nullptr);
    for (const char* domain : {"GLib", "GLib-GIO", "GLib-GObject", "dbind", "atspi", "Atspi"}) {
        g_log_set_handler(domain,
                          static_cast<GLogLevelFlags>(G_LOG_LEVEL_MASK | G_LOG_FLAG_FATAL | G_LOG_FLAG_RECURSION),
                          dropLog, nullptr);
    }
    g_set_print_handler(dropPrint);
    g_set_printerr_handler(dropPrint);
}

}  // namespace brindlecast::platform::x11
