// The system, session and accessibility buses through GIO's GDBus:
// synchronous calls with short timeouts, bounded by the request's deadline.
#pragma once

#include <functional>
#include <optional>
#include <string>

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

// One bus, connected on first use and again after its connection closed. A
// connection is made and every call waits only within the request's deadline
// (deadline.h): one that does not come in time cuts the request short and
// throws PlatformError, as does any call once the deadline has passed.
class Bus {
public:
    enum class Kind { system, session };
    Bus(Kind kind, RequestDeadline& deadline);
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
    // Reads one property through org.freedesktop.DBus.Properties.Get.
    Variant property(const char* service, const char* object, const char* interface, const char* name,
                     int timeoutMs);

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
};

// Nothing GLib, GIO or libatspi say may reach standard error or output.
void silenceGLib();

inline constexpr const char* logindService = "org.freedesktop.login1";
inline constexpr const char* logindManager = "/org/freedesktop/login1";
inline constexpr const char* managerInterface = "org.freedesktop.login1.Manager";
inline constexpr const char* sessionInterface = "org.freedesktop.login1.Session";
inline constexpr int shortTimeoutMs = 1000;

}  // namespace brindlecast::platform::x11
