#include "platform/virtual/virtual_mac.h"

#include <chrono>
#include <cstdlib>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>


#include "host/json_out.h"
#include "platform/apple.h"
#include "platform/fourcc.h"
#include "platform/virtual/events.h"
#include "platform/virtual/state_file.h"

namespace brindlecast::platform {

namespace {

boost::json::object defaultDisplay() {
    return {{"number", 1},
            {"uuid", "3F2504E0-4F89-41D3-9A0C-0305E82C3301"},
            {"bounds", boost::json::array{0, 0, 1512, 982}}};
}


double doubleOf(const boost::json::value* value, double fallback) {
    return value != nullptr && value->is_number() ? value->to_number<double>() : fallback;
}

}  // namespace

std::optional<int64_t> wholeNumber(const boost::json::value* value) {
    if (value == nullptr) return std::nullopt;
    if (value->is_int64()) return value->get_int64();
    if (value->is_uint64()) return static_cast<int64_t>(value->get_uint64());
    if (value->is_double()) {
        // Only values an integer holds; anything else counts as no integer.
        const double d = value->get_double();
        if (!(d >= -9.2e18 && d <= 9.2e18)) return std::nullopt;
        return static_cast<int64_t>(d);
    }
    return std::nullopt;
}

boost::json::object deadMacState() {
    return {{"session", nullptr},          {"frontmost", nullptr},       {"displayQuery", "countFails"},
            {"accessibility", false},      {"screenRecording", false},   {"automationStatus", -600},
            {"runningApps", boost::json::array()}, {"focus", nullptr}};
}

std::unique_ptr<Mac> makeVirtualMac() {
    const char* path = std::getenv("BRINDLECAST_VIRTUAL_MAC");
    return std::make_unique<VirtualMac>(path != nullptr ? path : "");
}

VirtualMac::VirtualMac(std::string statePath) : path_(std::move(statePath)) {}

VirtualMac::~VirtualMac() = default;

// ---- State file -------------------------------------------------------------

void VirtualMac::refresh() {
    if (path_.empty()) {
        loaded_ = true;
        return;
    }
    FileIdentity now;
    struct stat info {};
    if (::stat(path_.c_str(), &info) == 0) {
        now.exists = true;
        now.device = static_cast<uint64_t>(info.st_dev);
        now.inode = static_cast<uint64_t>(info.st_ino);
        now.size = static_cast<int64_t>(info.st_size);
#ifdef __APPLE__
        const struct timespec& modified = info.st_mtimespec;
#else
        const struct timespec& modified = info.st_mtim;
#endif
        now.mtimeNanoseconds = static_cast<int64_t>(modified.tv_sec) * 1000000000 + modified.tv_nsec;
    }
    if (loaded_ && now == identity_) return;
    identity_ = now;
    loaded_ = true;
    load();
}

void VirtualMac::load() {
    thenApplied_.clear();
    StateFile file = readStateFile(path_);
    if (file.outcome != StateFile::Outcome::ok) {
        state_ = deadMacState();
        return;
    }
    state_ = std::move(file.state);
    if (const auto* then = state_.if_contains("then"); then != nullptr && then->is_array()) {
        thenApplied_.assign(then->get_array().size(), false);
    }
}

const boost::json::value* VirtualMac::key(std::string_view name) {
    return state_.if_contains(name);
}

bool VirtualMac::flag(std::string_view name, bool fallback) {
    const auto* value = key(name);
    return value != nullptr && value->is_bool() ? value->get_bool() : fallback;
}

void VirtualMac::passed(std::string_view moment) {
    const auto* then = key("then");
    if (then == nullptr || !then->is_array()) return;
    // Copy first: a "set" may replace "then" itself.
    const boost::json::array entries = then->get_array();
    thenApplied_.resize(entries.size(), false);
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const auto* entry = entries[i].if_object();
        if (entry == nullptr || thenApplied_[i]) continue;
        const auto* after = entry->if_contains("after");
        const auto* set = entry->if_contains("set");
        if (after == nullptr || !after->is_string() || after->get_string() != moment) continue;
        thenApplied_[i] = true;
        if (set == nullptr || !set->is_object()) continue;
        for (const auto& member : set->get_object()) state_[member.key()] = member.value();
    }
}

void VirtualMac::log(const JsonLine& line) {
    const auto* path = key("eventLog");
    if (path == nullptr || !path->is_string() || path->get_string().empty()) return;
    const std::string file(path->get_string());
    int fd = ::open(file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return;
    std::string text = line.text();
    if (flag("logRequestIds", false)) {
        // The causing request's identifier goes last, so that the rest of the
        // line stays as it is without the key.
        text.pop_back();
        text += text.size() > 1 ? ",\"requestId\":" : "\"requestId\":";
        appendJsonString(text, requestId_);
        text.push_back('}');
    }
    text.push_back('\n');
    // One write per line, so a reader never sees half a line.
    const char* data = text.data();
    std::size_t size = text.size();
    while (size > 0) {
        ssize_t written = ::write(fd, data, size);
        if (written <= 0) break;
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    ::close(fd);
}

// ---- Session and permissions ------------------------------------------------

std::optional<SessionFacts> VirtualMac::session() {
    refresh();
    const auto* value = key("session");
    // The default session: on the console, logged in, not locked.
    if (value == nullptr) return SessionFacts{true, true, std::nullopt};
    const boost::json::object* dictionary = value->if_object();
    if (dictionary == nullptr || dictionary->empty()) return std::nullopt;
    auto entry = [&](std::string_view name) -> std::optional<bool> {
        const auto* v = dictionary->if_contains(name);
        if (v == nullptr || !v->is_bool()) return std::nullopt;
        return v->get_bool();
    };
    return SessionFacts{entry("kCGSSessionOnConsoleKey"), entry("kCGSessionLoginDoneKey"),
                        entry("CGSSessionScreenIsLocked")};
}

bool VirtualMac::secureInputEnabled() {
    refresh();
    return flag("secureInput", false);
}

std::optional<FrontmostApp> VirtualMac::frontmostApplication() {
    refresh();
    const auto* value = key("frontmost");
    if (value == nullptr) return FrontmostApp{"com.apple.finder"};
    const auto* app = value->if_object();
    if (app == nullptr) return std::nullopt;
    FrontmostApp front;
    if (const auto* id = app->if_contains("bundleId"); id != nullptr && id->is_string()) {
        front.bundleId = std::string(id->get_string());
    }
    return front;
}

bool VirtualMac::accessibilityTrusted() {
    refresh();
    return flag("accessibility", true);
}

void VirtualMac::promptAccessibility() {
    refresh();
    log(JsonLine().add("prompt", "accessibility"));
}

bool VirtualMac::screenCaptureAllowed() {
    refresh();
    return flag("screenRecording", true);
}

void VirtualMac::promptScreenCapture() {
    refresh();
    log(JsonLine().add("prompt", "screen"));
}

AutomationStatus VirtualMac::automationStatus(bool prompt) {
    refresh();
    if (prompt) log(JsonLine().add("prompt", "automation"));
    return static_cast<AutomationStatus>(wholeNumber(key("automationStatus")).value_or(0));
}

// ---- Displays ---------------------------------------------------------------

namespace {

// The display objects of the state, in platform order.
std::vector<const boost::json::object*> displayObjects(const boost::json::value* displays,
                                                       const boost::json::object& fallback) {
    std::vector<const boost::json::object*> out;
    if (displays == nullptr) {
        out.push_back(&fallback);
    } else if (const auto* array = displays->if_array()) {
        for (const auto& element : *array) {
            if (const auto* object = element.if_object()) out.push_back(object);
        }
    }
    return out;
}

uint32_t displayNumber(const boost::json::object& display) {
    return static_cast<uint32_t>(wholeNumber(display.if_contains("number")).value_or(0));
}

const boost::json::object& builtInDisplay() {
    static const boost::json::object display = defaultDisplay();
    return display;
}

std::string_view displayQuery(const boost::json::value* value) {
    return value != nullptr && value->is_string() ? std::string_view(value->get_string()) : "ok";
}

}  // namespace

const boost::json::object* VirtualMac::display(uint32_t number) {
    for (const auto* object : displayObjects(key("displays"), builtInDisplay())) {
        if (displayNumber(*object) == number) return object;
    }
    return nullptr;
}

std::vector<const boost::json::object*> VirtualMac::displayList() {
    return displayObjects(key("displays"), builtInDisplay());
}

std::optional<uint32_t> VirtualMac::activeDisplayCount() {
    refresh();
    if (displayQuery(key("displayQuery")) == "countFails") return std::nullopt;
    return static_cast<uint32_t>(displayObjects(key("displays"), builtInDisplay()).size());
}

std::optional<std::vector<uint32_t>> VirtualMac::activeDisplays(uint32_t capacity) {
    refresh();
    const std::string_view query = displayQuery(key("displayQuery"));
    if (query == "countFails" || query == "fillFails") return std::nullopt;
    std::vector<uint32_t> numbers;
    if (query == "vanish") return numbers;
    for (const auto* object : displayObjects(key("displays"), builtInDisplay())) {
        if (numbers.size() >= capacity) break;
        numbers.push_back(displayNumber(*object));
    }
    return numbers;
}

uint32_t VirtualMac::mainDisplay() {
    refresh();
    if (auto main = wholeNumber(key("mainDisplay"))) return static_cast<uint32_t>(*main);
    const auto objects = displayObjects(key("displays"), builtInDisplay());
    return objects.empty() ? 0 : displayNumber(*objects.front());
}

std::optional<std::string> VirtualMac::displayUuid(uint32_t number) {
    refresh();
    const auto* object = display(number);
    if (object == nullptr) return std::nullopt;
    const auto* uuid = object->if_contains("uuid");
    if (uuid == nullptr || !uuid->is_string()) return std::nullopt;
    return std::string(uuid->get_string());
}

Rect VirtualMac::displayBounds(uint32_t number) {
    refresh();
    const auto* object = display(number);
    if (object == nullptr) return {};
    const auto* bounds = object->if_contains("bounds");
    if (bounds == nullptr || !bounds->is_array() || bounds->get_array().size() != 4) return {};
    const auto& b = bounds->get_array();
    return {doubleOf(&b[0], 0), doubleOf(&b[1], 0), doubleOf(&b[2], 0), doubleOf(&b[3], 0)};
}

// ---- Synthetic events -------------------------------------------------------

bool VirtualMac::eventFails(std::string_view kind) {
    const auto* fails = key("eventsFail");
    if (fails == nullptr || !fails->is_array()) return false;
    for (const auto& element : fails->get_array()) {
        if (element.is_string() && element.get_string() == kind) return true;
    }
    return false;
}

EventHandle VirtualMac::mouseEvent(MouseEventType type, Point at, MouseButton button) {
    refresh();
    if (eventFails("mouse")) return nullptr;
    auto event = std::make_unique<VirtualEvent>(VirtualEvent::Kind::Mouse);
    event->line.add("post", "mouse").add("type", static_cast<uint32_t>(type))
        .add("x", at.x)
        .add("y", at.y)
        .add("button", static_cast<uint32_t>(button));
    return event;
}

EventHandle VirtualMac::scrollEvent(const ScrollWheel& wheel) {
    refresh();
    if (eventFails("scroll")) return nullptr;
    auto event = std::make_unique<VirtualEvent>(VirtualEvent::Kind::Scroll);
    event->line.add("post", "scroll")
        .add("unit", static_cast<int32_t>(wheel.unit))
        .add("wheelCount", wheel.wheelCount)
        .add("wheel1", wheel.wheel1)
        .add("wheel2", wheel.wheel2)
        .add("wheel3", wheel.wheel3);
    return event;
}

EventHandle VirtualMac::keyEvent(VirtualKey key, bool down) {
    refresh();
    if (eventFails(down ? "keyDown" : "keyUp")) return nullptr;
    auto event = std::make_unique<VirtualEvent>(VirtualEvent::Kind::Key);
    event->key = key;
    event->down = down;
    return event;
}

EventHandle VirtualMac::mediaKeyEvent(MediaKey key, bool down) {
    refresh();
    if (eventFails(down ? "mediaDown" : "mediaUp")) return nullptr;
    const apple::SystemDefinedEvent fields = apple::mediaKeyFields(key, down);
    auto event = std::make_unique<VirtualEvent>(VirtualEvent::Kind::System);
    event->line.add("post", "system")
        .add("type", fields.type)
        .add("subtype", static_cast<int64_t>(fields.subtype))
        .add("flags", fields.modifierFlags)
        .add("data1", fields.data1)
        .add("data2", fields.data2);
    return event;
}

void VirtualMac::setFlags(Event& event, EventFlags flags) {
    auto& e = static_cast<VirtualEvent&>(event);
    e.flags = flags;
}

void VirtualMac::setText(Event& event, std::u16string_view units) {
    auto& e = static_cast<VirtualEvent&>(event);
    e.text = utf8FromUtf16(units);
}

void VirtualMac::post(Event& event) {
    refresh();
    auto& e = static_cast<VirtualEvent&>(event);
    if (e.kind != VirtualEvent::Kind::Key) {
        log(e.line);
        return;
    }
    JsonLine line;
    line.add("post", "key").add("keyCode", static_cast<uint32_t>(e.key)).add("down", e.down);
    if (e.flags) line.add("flags", static_cast<uint64_t>(*e.flags));
    if (e.text) line.add("text", std::string_view(*e.text));
    log(line);
}

FocusedField VirtualMac::focusedField() {
    refresh();
    FocusedField field;
    const auto* value = key("focus");
    boost::json::object defaults;
    const boost::json::object* focus = nullptr;
    if (value == nullptr) {
        defaults = {{"role", roles::textField}};
        focus = &defaults;
    } else {
        focus = value->if_object();  // null, "error" and "notElement" give no element
    }
    if (focus != nullptr) {
        field.found = true;
        const auto* roleError = focus->if_contains("roleError");
        field.roleReadable = !(roleError != nullptr && roleError->is_bool() && roleError->get_bool());
        if (const auto* role = focus->if_contains("role"); role != nullptr && role->is_string()) {
            field.role = std::string(role->get_string());
        }
        if (const auto* subrole = focus->if_contains("subrole"); subrole != nullptr && subrole->is_string()) {
            field.subrole = std::string(subrole->get_string());
        }
    }
    passed("focusRead");
    return field;
}

// ---- Power ------------------------------------------------------------------

// Power is asked of the login window with an Apple event, as on the Mac.
PowerReply VirtualMac::requestPower(PowerIntent intent, double timeoutSeconds) {
    refresh();
    log(JsonLine()
            .add("send", "appleEvent")
            .add("class", std::string_view(fourccText(apple::coreEventClass)))
            .add("id", std::string_view(fourccText(apple::powerEventId(intent))))
            .add("target", apple::loginWindow)
            .add("options", apple::powerSendOptions)
            .add("timeout", timeoutSeconds));
    const auto* reply = key("appleEventReply");
    if (reply == nullptr) return {};
    if (const auto* object = reply->if_object()) {
        PowerReply out;
        if (auto errn = wholeNumber(object->if_contains("errn"))) out.errorNumber = static_cast<int32_t>(*errn);
        return out;
    }
    throw PlatformError{};
}

// ---- Clock and process ------------------------------------------------------

IdentifierSets VirtualMac::identifierSets() {
    return apple::identifierSets();
}

void VirtualMac::beginRequest(std::string_view id) {
    requestId_.assign(id);
}

double VirtualMac::now() {
    refresh();
    if (const auto* value = key("now"); value != nullptr && value->is_number()) return value->to_number<double>();
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
}

int32_t VirtualMac::ownProcessId() {
    refresh();
    if (auto pid = wholeNumber(key("agentPid"))) return static_cast<int32_t>(*pid);
    return static_cast<int32_t>(::getpid());
}

}  // namespace brindlecast::platform
