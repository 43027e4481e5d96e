// The system and session buses through GIO's GDBus: synchronous calls with
// short timeouts, connections made on first use and again after they closed.
#pragma once

#include <optional>
#include <string>

#include <gio/gio.h>

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

// Calls a method on `bus` (none: not connected) and waits at most `timeoutMs`
// for its reply. Takes the floating `parameters` in every case.
CallResult callOn(GDBusConnection* bus, const char* service, const char* object, const char* interface,
                  const char* method, GVariant* parameters, const GVariantType* replyType, int timeoutMs,
                  GDBusCallFlags flags);

class Bus {
public:
    enum class Kind { system, session };
    explicit Bus(Kind kind) : kind_(kind) {}

    // Calls a method and waits at most `timeoutMs` for its reply.
    CallResult call(const char* service, const char* object, const char* interface, const char* method,
                    GVariant* parameters, const GVariantType* replyType, int timeoutMs,
                    GDBusCallFlags flags = G_DBUS_CALL_FLAGS_NONE);
    // Reads one property through org.freedesktop.DBus.Properties.Get.
    Variant property(const char* service, const char* object, const char* interface, const char* name,
                     int timeoutMs);

private:
    GDBusConnection* connection();
    Kind kind_;
    Connection connection_;
};

// Nothing GLib, GIO or libatspi say may reach standard error or output.
void silenceGLib();

inline constexpr const char* logindService = "org.freedesktop.login1";
inline constexpr const char* logindManager = "/org/freedesktop/login1";
inline constexpr const char* managerInterface = "org.freedesktop.login1.Manager";
inline constexpr const char* sessionInterface = "org.freedesktop.login1.Session";
inline constexpr int shortTimeoutMs = 1000;

}  // namespace brindlecast::platform::x11
