// The system, session and accessibility buses through GIO's GDBus:
// synchronous calls with short timeouts, bounded by the request's deadline.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gio/gio.h>

#include "platform/x11/deadline.h"

namespace brindlecast::platform::x11 {

// Owns a GLib reference-counted object (GVariant, GDBusConnection, GError...).
template <typename T, void (*Release)(T*)>
class GOwned {
public:
    explicit GOwned(T* data = nullptr) : data_(data) {}
    ~GOwned() {
        if (data_ != nullptr) Release(data_);
    }
    GOwned(const GOwned&) = delete;
    GOwned& operator=(const GOwned&) = delete;
    GOwned(GOwned&& other) noexcept : data_(other.data_) { other.data_ = nullptr; }
    GOwned& operator=(GOwned&& other) noexcept {
        std::swap(data_, other.data_);
        return *this;
    }
    T* get() const { return data_; }
    T** out() { return &data_; }
    explicit operator bool() const { return data_ != nullptr; }

private:
    T* data_;
};

inline void releaseObject(GDBusConnection* object) { g_object_unref(object); }
using Connection = GOwned<GDBusConnection, releaseObject>;
using Variant = GOwned<GVariant, g_variant_unref>;
using Error = GOwned<GError, g_error_free>;

// The outcome of one method call: its reply, or the error (a remote error
// from the callee, a timeout, no bus).
struct CallResult {
    Variant reply;
    Error error;
    // The callee (or the bus for it) answered with an error.
    bool declined() const;
};

// A signal that says facts read from a bus may have changed: the match rule
// the bus is asked for, and the interface and member by which the
// connection counts it as it arrives, whoever sent it (a signal sent to the
// agent alone by anybody costs no more than one more reading of the facts).
struct WatchedSignal {
    std::string rule;
    std::string interface;
    std::string member;
};
struct SignalCount;
struct PendingPing;

// One bus, connected on first use and again after its connection closed. A
// connection is made and every call waits only within the request's deadline
// (deadline.h): one that does not come in time cuts the request short and
// throws PlatformError, as does any call once the deadline has passed.
class Bus {
public:
    enum class Kind { system, session };
    // `watched`: the signals `changes()` counts, asked for on every connection.
    Bus(Kind kind, RequestDeadline& deadline, std::vector<WatchedSignal> watched = {});
    // A bus at an address of its own (the accessibility bus), found anew for
    // every connection; none when it cannot be found.
    Bus(std::function<std::optional<std::string>()> address, RequestDeadline& deadline);
    ~Bus();
    Bus(const Bus&) = delete;
    Bus& operator=(const Bus&) = delete;

    // Calls a method and waits at most `timeoutMs` for its reply. Takes the
    // floating `parameters` in every case.
    CallResult call(const char* service, const char* object, const char* interface, const char* method,
                    GVariant* parameters, const GVariantType* replyType, int timeoutMs,
                    GDBusCallFlags flags = G_DBUS_CALL_FLAGS_NONE);
    // A number that moves on with every watched signal that arrives and with
    // every new connection (what came meanwhile was not counted): facts read
    // while it stays the same are still current. The first time in a request
    // it makes a round trip to the bus, which brings in every signal sent
    // before its answer. None without a bus, or on a connection the bus
    // would not give the signals to (then facts are to be asked for anew).
    std::optional<uint64_t> changes();
    // Sends that round trip without waiting for it, so that the round trips
    // to several buses overlap; `changes()` waits for it.
    void catchUp();

private:
    GDBusConnection* connection();
    // Lets go of a closed connection, and of everything GDBus still holds of it.
    void drop();

    std::function<std::optional<std::string>()> address_;
    RequestDeadline& deadline_;
    // Whether a call that gets no reply in its own time cuts the request
    // short: on the system and session buses the one service asked did not
    // answer; on the accessibility bus one application among many did not.
    bool noReplyCutsShort_;
    Connection connection_;
    // Where GDBus announces that the connection closed; the announcement
    // holds the connection (and its socket) until it is delivered here.
    GMainContext* context_ = nullptr;

    // How long a call may wait: `timeoutMs`, or less as the deadline nears;
    // once it has passed, the request is cut short.
    int waitWithin(int timeoutMs);
    // A call got no answer in its time (`shortened`: a time the deadline
    // cut): that cuts the request short where it counts (noReplyCutsShort_).
    void unanswered(bool shortened);
    // Asks the bus for the watched signals it has not yet taken on this connection.
    void matchSignals();

    // The count of watched signals, shared with the filter that keeps it on
    // GDBus's own thread.
    std::shared_ptr<SignalCount> count_;
    guint filter_ = 0;
    std::size_t matched_ = 0;       // the match rules the bus took on this connection
    unsigned long caughtUp_ = ~0UL;  // the request that made the round trip last
    std::shared_ptr<PendingPing> ping_;
};

// Nothing GLib, GIO or libatspi say may reach standard error or output.
void silenceGLib();

inline constexpr const char* logindService = "org.freedesktop.login1";
inline constexpr const char* logindManager = "/org/freedesktop/login1";
inline constexpr const char* managerInterface = "org.freedesktop.login1.Manager";
inline constexpr const char* sessionInterface = "org.freedesktop.login1.Session";
inline constexpr int shortTimeoutMs = 1000;

}  // namespace brindlecast::platform::x11
