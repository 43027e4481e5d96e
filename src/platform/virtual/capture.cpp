// Capture on the virtual Mac: the shareable displays and windows of the state,
// and pictures rendered at the requested size.
#include <sys/stat.h>

#include "host/json_out.h"
#include "platform/virtual/pictures.h"
#include "platform/virtual/virtual_mac.h"

namespace brindlecast::platform {

namespace {

// What a shareable-content snapshot remembers of each display and window, so
// that a capture draws what was listed even if the state changes meanwhile.
struct DisplaySource {
    uint32_t number = 0;
    std::string image;  // empty: the built-in desktop
};

struct WindowSource {
    int32_t pid = -1;   // -1: no owning application
    std::string image;  // empty: the built-in window
};

struct Snapshot {
    std::vector<DisplaySource> displays;
    std::vector<WindowSource> windows;
};

Rect rectangle(const boost::json::value* value) {
    const auto* array = value != nullptr ? value->if_array() : nullptr;
    if (array == nullptr || array->size() != 4) return {};
    auto at = [&](std::size_t i) { return (*array)[i].is_number() ? (*array)[i].to_number<double>() : 0.0; };
    return {at(0), at(1), at(2), at(3)};
}

std::string imagePath(const boost::json::object& object) {
    const auto* image = object.if_contains("image");
    return image != nullptr && image->is_string() ? std::string(image->get_string()) : std::string();
}

const Snapshot* snapshotOf(const ShareableContent& content) {
    return static_cast<const Snapshot*>(content.native.get());
}

}  // namespace

ShareableContent VirtualMac::shareableContent(ContentScope) {
    refresh();
    if (flag("shareableContentError", false)) throw PlatformError{};
    auto snapshot = std::make_shared<Snapshot>();
    ShareableContent content;
    for (const auto* display : displayList()) {
        const auto* shareable = display->if_contains("shareable");
        if (shareable != nullptr && shareable->is_bool() && !shareable->get_bool()) continue;
        const auto number = static_cast<uint32_t>(wholeNumber(display->if_contains("number")).value_or(0));
        content.displays.push_back(number);
        snapshot->displays.push_back({number, imagePath(*display)});
    }
    if (const auto* windows = key("windows"); windows != nullptr && windows->is_array()) {
        for (const auto& element : windows->get_array()) {
            const auto* object = element.if_object();
            if (object == nullptr) continue;
            ShareableWindow window;
            if (auto pid = wholeNumber(object->if_contains("pid"))) window.ownerPid = static_cast<int32_t>(*pid);
            window.layer = wholeNumber(object->if_contains("layer")).value_or(0);
            window.frame = rectangle(object->if_contains("frame"));
            content.windows.push_back(window);
            snapshot->windows.push_back({window.ownerPid.value_or(-1), imagePath(*object)});
        }
    }
    content.native = std::move(snapshot);
    return content;
}

std::shared_ptr<const Picture> VirtualMac::pictureFile(const std::string& path) {
    FileIdentity now;
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return nullptr;
    now.exists = true;
    now.device = static_cast<uint64_t>(info.st_dev);
    now.inode = static_cast<uint64_t>(info.st_ino);
    now.size = static_cast<int64_t>(info.st_size);
#ifdef __APPLE__
    const timespec& modified = info.st_mtimespec;
#else
    const timespec& modified = info.st_mtim;
#endif
    now.mtimeNanoseconds = static_cast<int64_t>(modified.tv_sec) * 1000000000 + modified.tv_nsec;
    if (auto found = pictures_.find(path); found != pictures_.end() && found->second.identity == now) {
        return found->second.picture;
    }
    auto decoded = decodePictureFile(path);
    if (!decoded) {
        pictures_.erase(path);
        return nullptr;
    }
    // A handful of files at most in any real state; never let the cache grow.
    if (pictures_.size() >= 16) pictures_.clear();
    auto picture = std::make_shared<const Picture>(std::move(*decoded));
    pictures_[path] = {now, picture};
    return picture;
}

Picture VirtualMac::builtInPicture(bool window, uint32_t seed, const CaptureSettings& settings) {
    for (const auto& entry : drawn_) {
        if (entry.window == window && entry.seed == seed && entry.picture.width == settings.width &&
            entry.picture.height == settings.height) {
            return entry.picture;  // lends the kept bytes, no copy
        }
    }
    Picture picture = window ? renderWindow(settings.width, settings.height, seed)
                             : renderDesktop(settings.width, settings.height, seed);
    picture.lendOwnBytes();
    // A few sizes at a time; the oldest goes first.
    if (drawn_.size() >= 4) drawn_.erase(drawn_.begin());
    drawn_.push_back({window, seed, picture});
    return picture;
}

Picture VirtualMac::captureDisplay(const ShareableContent& content, uint32_t display, const CaptureSettings& settings) {
    refresh();
    const Snapshot* snapshot = snapshotOf(content);
    const DisplaySource* source = nullptr;
    if (snapshot != nullptr) {
        for (const auto& candidate : snapshot->displays) {
            if (candidate.number == display) {
                source = &candidate;
                break;
            }
        }
    }
    if (source == nullptr) throw PlatformError{};
    Picture picture = screenshot(false, display, source->image, settings);
    finishCapture(JsonLine().add("capture", "display").add("display", display), settings);
    return picture;
}

Picture VirtualMac::captureWindow(const ShareableContent& content, std::size_t windowIndex,
                                  const CaptureSettings& settings) {
    refresh();
    const Snapshot* snapshot = snapshotOf(content);
    if (snapshot == nullptr || windowIndex >= snapshot->windows.size()) {
        throw PlatformError{};
    }
    const WindowSource& source = snapshot->windows[windowIndex];
    Picture picture = screenshot(true, static_cast<uint32_t>(windowIndex) + 1, source.image, settings);
    finishCapture(JsonLine().add("capture", "window").add("pid", source.pid), settings);
    return picture;
}

Picture VirtualMac::screenshot(bool window, uint32_t seed, const std::string& image, const CaptureSettings& settings) {
    if (flag("screenshotError", false)) throw PlatformError{};
    if (settings.width < 1 || settings.height < 1) throw PlatformError{};
    if (image.empty()) return builtInPicture(window, seed, settings);
    const auto file = pictureFile(image);
    if (!file) throw PlatformError{};
    return sampledPicture(*file, settings.width, settings.height);
}

void VirtualMac::finishCapture(JsonLine line, const CaptureSettings& settings) {
    line.add("width", settings.width)
        .add("height", settings.height)
        .add("cursor", settings.showsCursor)
        .add("audio", settings.capturesAudio);
    log(line);
    passed("screenshot");
}

}  // namespace brindlecast::platform
