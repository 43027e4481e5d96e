#include "platform/x11/bus.h"

#include <atomic>
#include <cstdlib>
#include <string>
#include <utility>

#include <sys/stat.h>

#include "platform/mac.h"

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

// A round trip to the bus on its way, for the request `serial`.
struct PendingPing {
    unsigned long serial = 0;
    bool cut = false;  // its wait was shortened by the deadline
    bool done = false;
    bool answered = false;
    bool timedOut = false;
};

struct SignalCount {
    explicit SignalCount(std::vector<WatchedSignal> watched) : signals(std::move(watched)) {}
    const std::vector<WatchedSignal> signals;
    std::atomic<uint64_t> count{0};
};

namespace {

constexpr const char* busService = "org.freedesktop.DBus";
constexpr const char* busObject = "/org/freedesktop/DBus";

// Runs on GDBus's thread for every message, in the order they came: a
// watched signal is counted before any answer that came after it is handed on.
GDBusMessage* countWatched(GDBusConnection*, GDBusMessage* message, gboolean incoming, gpointer data) {
    if (!incoming || g_dbus_message_get_message_type(message) != G_DBUS_MESSAGE_TYPE_SIGNAL) return message;
    const char* interface = g_dbus_message_get_interface(message);
    const char* member = g_dbus_message_get_member(message);
    if (interface == nullptr || member == nullptr) return message;
    SignalCount& watch = **static_cast<std::shared_ptr<SignalCount>*>(data);
    for (const auto& signal : watch.signals) {
        if (signal.interface == interface && signal.member == member) {
            watch.count.fetch_add(1);
            break;
        }
    }
    return message;
}

void forgetCount(gpointer data) { delete static_cast<std::shared_ptr<SignalCount>*>(data); }

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

namespace {

// A connection as it was made: the connection (null when the bus could not be
// reached) and the main context it announces its closing in.
struct Made {
    GDBusConnection* connection = nullptr;
    GMainContext* context = nullptr;
};

// Delivers what GDBus left for the context, then lets go of it.
void releaseContext(GMainContext* context) {
    if (context == nullptr) return;
    while (g_main_context_iteration(context, FALSE)) {
    }
    g_main_context_unref(context);
}

void release(Made made) {
    if (made.connection != nullptr) g_object_unref(made.connection);
    releaseContext(made.context);
}

void releaseCancellable(GCancellable* cancellable) { g_object_unref(cancellable); }

Made connect(const std::string& address, GCancellable* cancellable) {
    Made made;
    made.context = g_main_context_new();
    g_main_context_push_thread_default(made.context);
    Error error;
    made.connection = g_dbus_connection_new_for_address_sync(
        address.c_str(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, cancellable, error.out());
    // A closed bus must never end the agent.
    if (made.connection != nullptr) g_dbus_connection_set_exit_on_close(made.connection, FALSE);
    g_main_context_pop_thread_default(made.context);
    return made;
}

}  // namespace

Bus::Bus(Kind kind, RequestDeadline& deadline, std::vector<WatchedSignal> watched)
    : address_([kind] { return busAddress(kind); }),
      deadline_(deadline),
      noReplyCutsShort_(true),
      count_(std::make_shared<SignalCount>(std::move(watched))) {}

Bus::Bus(std::function<std::optional<std::string>()> address, RequestDeadline& deadline)
    : address_(std::move(address)),
      deadline_(deadline),
      noReplyCutsShort_(false),
      count_(std::make_shared<SignalCount>(std::vector<WatchedSignal>{})) {}

Bus::~Bus() { drop(); }

void Bus::drop() {
    if (connection_ && filter_ != 0) {
        // The filter's data goes once GDBus's thread is done with it, told in the connection's context.
        g_main_context_push_thread_default(context_);
        g_dbus_connection_remove_filter(connection_.get(), filter_);
        g_main_context_pop_thread_default(context_);
    }
    filter_ = 0;
    matched_ = 0;
    ping_.reset();
    connection_ = Connection();
    releaseContext(context_);
    context_ = nullptr;
}

GDBusConnection* Bus::connection() {
    if (connection_ && g_dbus_connection_is_closed(connection_.get())) drop();
    if (connection_) return connection_.get();
    const auto address = address_();
    if (!address) return nullptr;
    // A bus that takes the connection and then says nothing would hold the
    // request for ever: the attempt runs on its own thread, and is cancelled
    // when the deadline comes first.
    GOwned<GCancellable, releaseCancellable> cancellable(g_cancellable_new());
    Attempt<Made> attempt(
        [address = *address, cancellable = static_cast<GCancellable*>(g_object_ref(cancellable.get()))] {
            Made made = connect(address, cancellable);
            g_object_unref(cancellable);
            return made;
        },
        release);
    auto made = attempt.wait(deadline_.when());
    if (!made) {
        g_cancellable_cancel(cancellable.get());
        deadline_.cutShort();
        throw PlatformError{};  // the bus did not answer in time
    }
    if (made->connection == nullptr) {
        release(*made);
        return nullptr;
    }
    connection_ = Connection(made->connection);
    context_ = made->context;
    if (!count_->signals.empty()) {
        // Nothing was counted while there was no connection.
        count_->count.fetch_add(1);
        g_main_context_push_thread_default(context_);
        filter_ = g_dbus_connection_add_filter(connection_.get(), countWatched,
                                               new std::shared_ptr<SignalCount>(count_), forgetCount);
        g_main_context_pop_thread_default(context_);
        matchSignals();
    }
    return connection_.get();
}

void Bus::matchSignals() {
    while (matched_ < count_->signals.size()) {
        const CallResult added = call(busService, busObject, busService, "AddMatch",
                                      g_variant_new("(s)", count_->signals[matched_].rule.c_str()), nullptr,
                                      shortTimeoutMs);
        if (!added.reply) return;
        ++matched_;
    }
}

namespace {

void pingAnswered(GObject* source, GAsyncResult* result, gpointer data) {
    auto* ping = static_cast<std::shared_ptr<PendingPing>*>(data);
    Error error;
    Variant reply(g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, error.out()));
    (*ping)->answered = static_cast<bool>(reply);
    (*ping)->timedOut = g_error_matches(error.get(), G_IO_ERROR, G_IO_ERROR_TIMED_OUT);
    (*ping)->done = true;
    delete ping;
}

}  // namespace

void Bus::catchUp() {
    if (caughtUp_ == deadline_.serial() || (ping_ && ping_->serial == deadline_.serial())) return;
    // An earlier request's round trip that nobody waited for: its answer is
    // delivered now if it came, so that answers never pile up.
    if (ping_) {
        ping_.reset();
        while (g_main_context_iteration(context_, FALSE)) {
        }
    }
    if (connection() == nullptr) return;
    matchSignals();
    if (matched_ < count_->signals.size()) return;
    const int waitMs = waitWithin(shortTimeoutMs);
    // Its answer is delivered in the connection's own context, waited in by changes().
    ping_ = std::make_shared<PendingPing>();
    ping_->serial = deadline_.serial();
    ping_->cut = waitMs < shortTimeoutMs;
    g_main_context_push_thread_default(context_);
    g_dbus_connection_call(connection_.get(), busService, busObject, "org.freedesktop.DBus.Peer", "Ping", nullptr,
                           nullptr, G_DBUS_CALL_FLAGS_NONE, waitMs, nullptr, pingAnswered,
                           new std::shared_ptr<PendingPing>(ping_));
    g_main_context_pop_thread_default(context_);
}

std::optional<uint64_t> Bus::changes() {
    catchUp();
    if (caughtUp_ != deadline_.serial()) {
        if (!ping_) return std::nullopt;
        // GDBus ends the call at its timeout, within the deadline.
        const std::shared_ptr<PendingPing> ping = ping_;
        while (!ping->done) g_main_context_iteration(context_, TRUE);
        ping_.reset();
        if (!ping->answered) {
            if (ping->timedOut) unanswered(ping->cut);
            return std::nullopt;
        }
        caughtUp_ = deadline_.serial();
    }
    return count_->count.load();
}

int Bus::waitWithin(int timeoutMs) {
    const int waitMs = deadline_.remainingMs(timeoutMs);
    if (waitMs <= 0) {
        deadline_.cutShort();
        throw PlatformError{};  // the request ran out of time
    }
    return waitMs;
}

void Bus::unanswered(bool shortened) {
    if (!noReplyCutsShort_ && !shortened) return;
    deadline_.cutShort();
    throw PlatformError{};  // the bus did not answer in time
}

CallResult Bus::call(const char* service, const char* object, const char* interface, const char* method,
                     GVariant* parameters, const GVariantType* replyType, int timeoutMs, GDBusCallFlags flags) {
    CallResult result;
    // The floating parameters are taken whatever happens.
    Variant taken(parameters != nullptr ? g_variant_ref_sink(parameters) : nullptr);
    GDBusConnection* bus = connection();
    if (bus == nullptr) {
        result.error = Error(g_error_new_literal(G_IO_ERROR, G_IO_ERROR_NOT_CONNECTED, "no bus"));
        return result;
    }
    const int waitMs = waitWithin(timeoutMs);
    result.reply = Variant(g_dbus_connection_call_sync(bus, service, object, interface, method, taken.get(),
                                                       replyType, flags, waitMs, nullptr, result.error.out()));
    if (!result.reply && g_error_matches(result.error.get(), G_IO_ERROR, G_IO_ERROR_TIMED_OUT)) {
        unanswered(waitMs < timeoutMs);
    }
    return result;
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
