// The Linux desktop: the logind session, the screen saver, the keyboard grab,
// the active window's program, the permissions, power, and the identifiers.
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>

#include <fcntl.h>
#include <unistd.h>

#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>

#include "platform/x11/backend.h"
#include "platform/x11/x11_mac.h"

namespace brindlecast::platform {

using namespace x11;

std::unique_ptr<Mac> makeX11Mac() {
    // Standard error is nobody's to read: before any library can print there
    // (Xlib its refused connections, GLib its warnings), it leads nowhere.
    const int nowhere = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (nowhere >= 0 && nowhere != STDERR_FILENO) {
        ::dup2(nowhere, STDERR_FILENO);
        ::close(nowhere);
    }
    silenceGLib();
    return std::make_unique<X11Mac>();
}

void X11Mac::endRequest() {
    const bool cut = deadline_.wasCutShort();
    deadline_.end();
    if (cut) throw PlatformError{};  // the desktop did not answer in time
}


// ---- Session ----------------------------------------------------------------

namespace {

std::optional<bool> boolean(const Variant& value) {
    if (!value || !g_variant_is_of_type(value.get(), G_VARIANT_TYPE_BOOLEAN)) return std::nullopt;
    return g_variant_get_boolean(value.get()) != FALSE;
}

std::optional<std::string> text(const Variant& value) {
    if (!value || !g_variant_is_of_type(value.get(), G_VARIANT_TYPE_STRING)) return std::nullopt;
    return std::string(g_variant_get_string(value.get(), nullptr));
}

std::optional<std::string> objectPath(const CallResult& result) {
    if (!result.reply) return std::nullopt;
    const gchar* path = nullptr;
    g_variant_get(result.reply.get(), "(&o)", &path);
    return std::string(path);
}

// The executable's file name of a process; none when it cannot be read.
std::optional<std::string> programName(unsigned long pid) {
    char target[4096];
    const std::string link = "/proc/" + std::to_string(pid) + "/exe";
    const ssize_t length = ::readlink(link.c_str(), target, sizeof target - 1);
    std::string path;
    if (length > 0) {
        path.assign(target, static_cast<std::size_t>(length));
        constexpr std::string_view deleted = " (deleted)";
        if (path.ends_with(deleted)) path.resize(path.size() - deleted.size());
    } else {
        // Another user's process: its first argument is still readable.
        std::ifstream cmdline("/proc/" + std::to_string(pid) + "/cmdline", std::ios::binary);
        std::getline(cmdline, path, '\0');
    }
    if (path.empty()) return std::nullopt;
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The process of a window: the server's own record of its client, else _NET_WM_PID.
std::optional<unsigned long> windowProcess(XConnection& x, ::Window window) {
    // The server's own record first: a window's property is only its claim.
    if (const auto pid = clientProcess(x, window)) return static_cast<unsigned long>(*pid);
    ::Display* display = x.get();
    if (const auto pid = cardinals(display, window, x.atom("_NET_WM_PID"), XA_CARDINAL); pid && !pid->empty()) {
        return pid->front();
    }
    return std::nullopt;
}

// Windows looked at from the top of the stack, at most, for an open menu.
constexpr int menuSearchDepth = 64;

// Whether an open menu is what holds the keyboard: the topmost window shown,
// tooltips and notifications aside, is an unmanaged popup that says it is a
// menu (GTK and Qt menus, menu-bar menus and combo box lists keep a keyboard
// grab while open). A screen locker or prompt raised over it is no menu.
bool menuOnTop(XConnection& x) {
    ::Display* display = x.get();
    if (display == nullptr) return false;
    const auto tree = queryTree(display, x.root());
    if (!tree) return false;
    const Atom typeProperty = x.atom("_NET_WM_WINDOW_TYPE");
    const Atom menus[] = {x.atom("_NET_WM_WINDOW_TYPE_POPUP_MENU"), x.atom("_NET_WM_WINDOW_TYPE_DROPDOWN_MENU"),
                          x.atom("_NET_WM_WINDOW_TYPE_COMBO")};
    const Atom passing[] = {x.atom("_NET_WM_WINDOW_TYPE_TOOLTIP"), x.atom("_NET_WM_WINDOW_TYPE_NOTIFICATION")};
    int looked = 0;
    for (auto it = tree->children.rbegin(); it != tree->children.rend() && looked < menuSearchDepth; ++it, ++looked) {
        XWindowAttributes attributes{};
        ErrorTrap trap(display);
        if (XGetWindowAttributes(display, *it, &attributes) == 0 || trap.failedAfterReply() ||
            attributes.map_state != IsViewable) {
            continue;
        }
        if (!attributes.override_redirect) return false;
        const auto types = cardinals(display, *it, typeProperty, XA_ATOM);
        const Atom type = types && !types->empty() ? types->front() : 0;
        if (std::find(std::begin(menus), std::end(menus), type) != std::end(menus)) return true;
        if (std::find(std::begin(passing), std::end(passing), type) == std::end(passing)) return false;
    }
    return false;
}

}  // namespace

std::optional<std::string> X11Mac::sessionObject() {
    const auto own = objectPath(system_.call(logindService, logindManager, managerInterface, "GetSessionByPID",
                                             g_variant_new("(u)", static_cast<guint32>(::getpid())),
                                             G_VARIANT_TYPE("(o)"), shortTimeoutMs));
    if (own) return own;
    const char* id = std::getenv("XDG_SESSION_ID");
    if (id == nullptr || *id == '\0') return std::nullopt;
    return objectPath(system_.call(logindService, logindManager, managerInterface, "GetSession",
                                   g_variant_new("(s)", id), G_VARIANT_TYPE("(o)"), shortTimeoutMs));
}

std::vector<WatchedSignal> x11::loginSignals() {
    // A change of the session's `Active` or `LockedHint` (logind signals no
    // other), and logind starting anew.
    return {{"type='signal',sender='org.freedesktop.login1',interface='org.freedesktop.DBus.Properties',"
             "member='PropertiesChanged',arg0='org.freedesktop.login1.Session'",
             "org.freedesktop.DBus.Properties", "PropertiesChanged"},
            {"type='signal',sender='org.freedesktop.DBus',interface='org.freedesktop.DBus',"
             "member='NameOwnerChanged',arg0='org.freedesktop.login1'",
             "org.freedesktop.DBus", "NameOwnerChanged"}};
}

std::vector<WatchedSignal> x11::screenSaverSignals() {
    // The screen saver turning on or off, and one starting or ending.
    return {{"type='signal',interface='org.freedesktop.ScreenSaver',member='ActiveChanged'",
             "org.freedesktop.ScreenSaver", "ActiveChanged"},
            {"type='signal',sender='org.freedesktop.DBus',interface='org.freedesktop.DBus',"
             "member='NameOwnerChanged',arg0='org.freedesktop.ScreenSaver'",
             "org.freedesktop.DBus", "NameOwnerChanged"}};
}

namespace {

// Facts a bus gave are kept while its change number stays the same, and at
// most this long: logind does not signal a change of `State` (a session
// that starts closing), nor need every screen saver signal its own.
constexpr auto factsKeptAtMost = std::chrono::seconds(1);

// The facts in `slot` when they are still current, else those `read` gives
// now (kept when `read` says they are an answer worth keeping).
template <typename Facts, typename Read>
const Facts& current(std::optional<Remembered<Facts>>& slot, Bus& bus, Read read) {
    const auto changes = bus.changes();
    const auto now = Clock::now();
    if (slot && changes && slot->changes == *changes && now - slot->readAt < factsKeptAtMost) return slot->facts;
    Facts facts;
    const bool keep = read(facts);
    slot = Remembered<Facts>{std::move(facts), changes.value_or(0), now};
    // Facts read where no change number could be had are used once.
    if (!keep || !changes) slot->readAt = now - factsKeptAtMost;
    return slot->facts;
}

}  // namespace

std::optional<SessionFacts> X11Mac::session() {
    system_.catchUp();
    session_.catchUp();
    const LoginFacts& login = current(login_, system_, [&](LoginFacts& facts) {
        const auto object = sessionObject();
        if (!object) return false;
        const CallResult all = system_.call(logindService, object->c_str(), "org.freedesktop.DBus.Properties",
                                            "GetAll", g_variant_new("(s)", sessionInterface),
                                            G_VARIANT_TYPE("(a{sv})"), shortTimeoutMs);
        if (!all.reply) return false;
        Variant values(g_variant_get_child_value(all.reply.get(), 0));
        auto read = [&](const char* name) { return Variant(g_variant_lookup_value(values.get(), name, nullptr)); };
        facts.found = true;
        facts.active = boolean(read("Active"));
        facts.remote = boolean(read("Remote"));
        facts.state = text(read("State"));
        facts.lockedHint = boolean(read("LockedHint"));
        return true;
    });
    if (!login.found) return std::nullopt;

    SessionFacts facts;
    // On the console: the session is in front on its seat and not a remote one.
    if (login.active && login.remote) facts.onConsole = *login.active && !*login.remote;
    // Logged in: logind reports the session as "active" or "online" (not opening or closing).
    if (login.state) facts.loginDone = *login.state == "active" || *login.state == "online";
    // Locked: logind's hint, or a screen saver that says it is active.
    bool locked = login.lockedHint.value_or(false);
    if (!locked) {
        locked = current(screenSaver_, session_, [&](std::optional<bool>& active) {
                     CallResult saver = session_.call("org.freedesktop.ScreenSaver", "/org/freedesktop/ScreenSaver",
                                                      "org.freedesktop.ScreenSaver", "GetActive", nullptr,
                                                      G_VARIANT_TYPE("(b)"), shortTimeoutMs,
                                                      G_DBUS_CALL_FLAGS_NO_AUTO_START);
                     if (saver.reply) {
                         gboolean on = FALSE;
                         g_variant_get(saver.reply.get(), "(b)", &on);
                         active = on != FALSE;
                     }
                     // No screen saver, or one that would not say, is an answer too.
                     return saver.reply || g_dbus_error_is_remote_error(saver.error.get());
                 }).value_or(false);
    }
    if (login.lockedHint || locked) facts.screenLocked = locked;
    return facts;
}

bool X11Mac::secureInputEnabled() {
    if (keyboardHeld_) return *keyboardHeld_;
    ::Display* display = x_.get();
    if (display == nullptr) return false;
    // A client that holds the keyboard (a password prompt, a screen locker)
    // refuses our grab. Asked on a window that is never mapped, the server
    // answers "already grabbed" then, and "not viewable" otherwise (it looks
    // for another client's grab first): no grab starts, and no window sees
    // its focus go and come back.
    const int status =
        XGrabKeyboard(display, x_.unmappedWindow(), False, GrabModeAsync, GrabModeAsync, CurrentTime);
    if (status == GrabSuccess) {
        XUngrabKeyboard(display, CurrentTime);
        XFlush(display);
    }
    // An open menu holds the keyboard too, and is no password field.
    keyboardHeld_ = (status == AlreadyGrabbed || status == GrabFrozen) && !menuOnTop(x_);
    return *keyboardHeld_;
}

std::optional<FrontmostApp> X11Mac::frontmostApplication() {
    // Without an active window the desktop itself is in front: no identifier.
    FrontmostApp app;
    const ::Window window = activeWindow(x_);
    if (window == 0) return app;
    if (front_ && front_->first == window) return front_->second;
    if (const auto pid = windowProcess(x_, window)) app.bundleId = programName(*pid);
    if (!app.bundleId) {
        if (const auto names = windowClass(x_.get(), window); !names.empty()) app.bundleId = names.front();
    }
    front_.emplace(window, app);
    return app;
}

// ---- Permissions ------------------------------------------------------------

bool X11Mac::accessibilityTrusted() {
    if (waylandSession() || !x_.alive()) return false;
    ::Display* display = x_.get();
    int event = 0;
    int error = 0;
    int major = 0;
    int minor = 0;
    return XTestQueryExtension(display, &event, &error, &major, &minor) != 0;
}

// There is no permission to ask for: the X server lets every client in.
void X11Mac::promptAccessibility() {}

bool X11Mac::screenCaptureAllowed() {
    return !waylandSession() && x_.alive();
}

void X11Mac::promptScreenCapture() {}

AutomationStatus X11Mac::automationStatus(bool) {
    const CallResult result = system_.call(logindService, logindManager, managerInterface, "CanPowerOff", nullptr,
                                           G_VARIANT_TYPE("(s)"), shortTimeoutMs);
    if (!result.reply) return AutomationStatus::unavailable;
    const gchar* answer = nullptr;
    g_variant_get(result.reply.get(), "(&s)", &answer);
    const std::string_view word = answer;
    if (word == "yes") return AutomationStatus::granted;
    if (word == "challenge") return AutomationStatus::notDetermined;
    if (word == "no") return AutomationStatus::denied;
    return AutomationStatus::unavailable;
}

// ---- Power and lock ---------------------------------------------------------

PowerReply X11Mac::requestPower(PowerIntent intent, double timeoutSeconds) {
    const char* method = intent == PowerIntent::shutdown  ? "PowerOff"
                         : intent == PowerIntent::restart ? "Reboot"
                                                          : "Suspend";
    // Interactive: logind may ask the user (through polkit) before it agrees.
    deadline_.allow(std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(timeoutSeconds)));
    const CallResult result =
        system_.call(logindService, logindManager, managerInterface, method, g_variant_new("(b)", TRUE), nullptr,
                     static_cast<int>(timeoutSeconds * 1000));
    if (result.reply) return {};
    if (result.declined()) return PowerReply{-128};
    throw PlatformError{};
}

bool X11Mac::lockSession() {
    if (const auto object = sessionObject()) {
        if (system_.call(logindService, object->c_str(), sessionInterface, "Lock", nullptr, nullptr, shortTimeoutMs)
                .reply) {
            return true;
        }
    }
    return static_cast<bool>(session_
                                 .call("org.freedesktop.ScreenSaver", "/org/freedesktop/ScreenSaver",
                                       "org.freedesktop.ScreenSaver", "Lock", nullptr, nullptr, shortTimeoutMs,
                                       G_DBUS_CALL_FLAGS_NO_AUTO_START)
                                 .reply);
}

// ---- Identifiers ------------------------------------------------------------

IdentifierSets X11Mac::identifierSets() {
    // Programs are named by their executable's file name.
    return {
        .secureScreenBundles =
            {// passphrase and password prompts
             "pinentry", "pinentry-gtk-2", "pinentry-gnome3", "pinentry-qt", "pinentry-qt5", "pinentry-fltk",
             "gcr-prompter", "ssh-askpass", "x11-ssh-askpass", "gnome-ssh-askpass", "ksshaskpass",
             "lxqt-openssh-askpass",
             // polkit authentication agents
             "polkit-gnome-authentication-agent-1", "polkit-kde-authentication-agent-1",
             "polkit-mate-authentication-agent-1", "lxpolkit", "lxqt-policykit-agent", "xfce-polkit",
             // screen lockers
             "xscreensaver", "xscreensaver-auth", "i3lock", "slock", "xsecurelock", "light-locker", "xlock",
             "gnome-screensaver", "mate-screensaver", "cinnamon-screensaver", "xfce4-screensaver",
             "xfce4-screensaver-dialog", "kscreenlocker_greet",
             // login greeters
             "lightdm-gtk-greeter", "slick-greeter", "unity-greeter", "sddm-greeter", "gdm-greeter"},
        .blockedBundles = {"app.brindlecast.desktop", "BrindlecastNative-x11", "xterm", "uxterm",
                           "debian-xterm", "debian-uxterm", "x-terminal-emulator", "org.gnome.Terminal",
                           "gnome-terminal", "gnome-terminal-server",
                           "org.kde.konsole", "konsole", "xfce4-terminal", "lxterminal", "mate-terminal", "tilix",
                           "terminator", "alacritty", "kitty", "foot", "urxvt", "qterminal", "gnome-control-center",
                           "org.gnome.Settings", "systemsettings", "xfce4-settings-manager", "gcr-prompter",
                           "pinentry", "lightdm-gtk-greeter"},
        .protectedBundles = {"app.brindlecast.desktop", "BrindlecastNative-x11", "gnome-shell", "plasmashell",
                             "kwin_x11", "mutter", "metacity", "marco", "xfwm4", "openbox", "cinnamon",
                             "xfce4-panel", "xfdesktop", "mate-panel", "lxpanel", "lxqt-panel", "nemo-desktop",
                             "gcr-prompter", "lightdm-gtk-greeter"},
    };
}

// ---- Clock and process ------------------------------------------------------

int32_t X11Mac::ownProcessId() {
    return static_cast<int32_t>(::getpid());
}

double X11Mac::now() {
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
}

}  // namespace brindlecast::platform
