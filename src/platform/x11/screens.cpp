// The Linux desktop: monitors from RandR, screenshots of the root window
// through shared memory with the cursor drawn in, scaled to the asked size.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include <sys/ipc.h>
#include <sys/shm.h>

#include <X11/Xutil.h>
#include <X11/extensions/Xfixes.h>
#include <X11/extensions/XShm.h>
#include <X11/extensions/Xrandr.h>

#include "platform/x11/apps/windows.h"
#include "platform/x11/backend.h"
#include "platform/x11/translate.h"

namespace brindlecast::platform {

using namespace x11;

namespace {

std::optional<std::vector<Monitor>> readMonitors(XConnection& x) {
    ::Display* display = x.get();
    if (display == nullptr) return std::nullopt;
    int event = 0;
    int error = 0;
    int major = 0;
    int minor = 0;
    if (!XRRQueryExtension(display, &event, &error) || !XRRQueryVersion(display, &major, &minor)) {
        return std::nullopt;
    }
    if (major < 1 || (major == 1 && minor < 5)) return std::nullopt;
    int count = 0;
    ErrorTrap trap(display);
    const Owned<XRRMonitorInfo, XRRFreeMonitors> owned(XRRGetMonitors(display, x.root(), True, &count));
    if (trap.failed() || owned == nullptr) return std::nullopt;
    const XRRMonitorInfo* info = owned.get();
    std::vector<Monitor> out;
    for (int i = 0; i < count; ++i) {
        Monitor monitor;
        monitor.number = static_cast<uint32_t>(info[i].name);
        monitor.bounds = {static_cast<double>(info[i].x), static_cast<double>(info[i].y),
                          static_cast<double>(info[i].width), static_cast<double>(info[i].height)};
        monitor.primary = info[i].primary != 0;
        XFreeing<char> name(XGetAtomName(display, info[i].name));
        if (name.get() != nullptr) monitor.name = name.get();
        monitor.outputs.assign(info[i].outputs, info[i].outputs + std::max(info[i].noutput, 0));
        out.push_back(std::move(monitor));
    }
    return out;
}

const Monitor* find(const std::vector<Monitor>& list, uint32_t number) {
    for (const auto& monitor : list) {
        if (monitor.number == number) return &monitor;
    }
    return nullptr;
}

// The screen's identity from the EDID of one of the monitor's outputs: the
// manufacturer, product code and serial number (bytes 8 to 15), in hex.
std::optional<std::string> edidIdentity(XConnection& x, const Monitor& monitor) {
    ::Display* display = x.get();
    const Atom edid = x.atom("EDID");
    for (const RROutput output : monitor.outputs) {
        Atom type = 0;
        int format = 0;
        unsigned long count = 0;
        unsigned long remaining = 0;
        unsigned char* bytes = nullptr;
        ErrorTrap trap(display);
        const int status = XRRGetOutputProperty(display, output, edid, 0, 256, False, False, AnyPropertyType, &type,
                                                &format, &count, &remaining, &bytes);
        const XFreeing<unsigned char> data(bytes);
        if (trap.failed() || status != Success || format != 8 || count < 16 || data.get() == nullptr) continue;
        std::string text = "EDID-";
        char hex[3];
        for (std::size_t i = 8; i < 16; ++i) {
            std::snprintf(hex, sizeof hex, "%02X", data.get()[i]);
            text += hex;
        }
        return text;
    }
    return std::nullopt;
}

std::string identity(XConnection& x, const std::vector<Monitor>& list, const Monitor& monitor) {
    const auto own = edidIdentity(x, monitor);
    if (!own) return monitor.name;
    // Two screens of one model without serial numbers: the connector tells them apart.
    for (const auto& other : list) {
        if (other.number != monitor.number && edidIdentity(x, other) == own) return *own + "@" + monitor.name;
    }
    return *own;
}

// ---- Screenshots ------------------------------------------------------------

// The root window's pixels in `area` through XGetImage, clipped to the
// screen; what lies beyond stays black.
std::optional<Pixels> grab(XConnection& x, const Rect& area) {
    ::Display* display = x.get();
    Pixels out;
    out.width = std::max(1, static_cast<int>(area.width));
    out.height = std::max(1, static_cast<int>(area.height));
    out.bytes.assign(static_cast<std::size_t>(out.width) * out.height * 4, 0);
    const int screen = DefaultScreen(display);
    const int left = std::max(0, static_cast<int>(area.x));
    const int top = std::max(0, static_cast<int>(area.y));
    const int right = std::min(DisplayWidth(display, screen), static_cast<int>(area.x) + out.width);
    const int bottom = std::min(DisplayHeight(display, screen), static_cast<int>(area.y) + out.height);
    if (right <= left || bottom <= top) return out;
    const int width = right - left;
    const int height = bottom - top;

    Pixels part;
    part.width = width;
    part.height = height;
    part.bytes.assign(static_cast<std::size_t>(width) * height * 4, 0);
    ErrorTrap trap(display);
    const OwnedImage image(XGetImage(display, x.root(), left, top, static_cast<unsigned>(width),
                                     static_cast<unsigned>(height), AllPlanes, ZPixmap));
    if (trap.failed() || image == nullptr) return std::nullopt;
    copyImage(image.get(), part);
    const int offsetX = left - static_cast<int>(area.x);
    const int offsetY = top - static_cast<int>(area.y);
    for (int row = 0; row < height; ++row) {
        std::memcpy(out.bytes.data() + (static_cast<std::size_t>(row + offsetY) * out.width + offsetX) * 4,
                    part.bytes.data() + static_cast<std::size_t>(row) * width * 4, static_cast<std::size_t>(width) * 4);
    }
    return out;
}

// Whether the image's pixels are already blue, green, red and one unused byte.
bool isBgrx(const XImage* image) {
    return image->bits_per_pixel == 32 && image->red_mask == 0xff0000 && image->green_mask == 0xff00 &&
           image->blue_mask == 0xff && image->byte_order == LSBFirst;
}

// Draws the pointer's picture where it is into BGRX rows `stride` bytes
// apart, `origin` being their top-left in root coordinates.
void drawCursor(::Display* display, uint8_t* bytes, std::size_t stride, int width, int height, int originX,
                int originY) {
    int event = 0;
    int error = 0;
    if (!XFixesQueryExtension(display, &event, &error)) return;
    const XFreeing<XFixesCursorImage> cursor(XFixesGetCursorImage(display));
    if (cursor == nullptr) return;
    const int left = cursor->x - cursor->xhot - originX;
    const int top = cursor->y - cursor->yhot - originY;
    for (int row = 0; row < cursor->height; ++row) {
        const int y = top + row;
        if (y < 0 || y >= height) continue;
        for (int column = 0; column < cursor->width; ++column) {
            const int px = left + column;
            if (px < 0 || px >= width) continue;
            // Premultiplied ARGB, one pixel in each long.
            const auto argb = static_cast<uint32_t>(cursor->pixels[row * cursor->width + column]);
            const uint32_t alpha = argb >> 24;
            if (alpha == 0) continue;
            uint8_t* target = bytes + static_cast<std::size_t>(y) * stride + static_cast<std::size_t>(px) * 4;
            for (int c = 0; c < 3; ++c) {
                const uint32_t source = (argb >> (8 * c)) & 0xff;
                target[c] = static_cast<uint8_t>(std::min<uint32_t>(255, source + target[c] * (255 - alpha) / 255));
            }
        }
    }
}

}  // namespace

// ---- Shared memory ----------------------------------------------------------

// An image in shared memory, attached on one connection and released in the
// right order when it goes; on a connection dropped meanwhile the server has
// already let it go, and only this process's side is released.
class x11::SharedImage {
public:
    SharedImage(XConnection& x, int width, int height)
        : connection_(x), generation_(x.generation()), width_(width), height_(height) {
        ::Display* display = x.get();
        const int screen = DefaultScreen(display);
        image_.reset(XShmCreateImage(display, DefaultVisual(display, screen),
                                     static_cast<unsigned>(DefaultDepth(display, screen)), ZPixmap, nullptr, &info_,
                                     static_cast<unsigned>(width), static_cast<unsigned>(height)));
        if (image_ == nullptr) return;
        info_.shmid = shmget(IPC_PRIVATE, static_cast<std::size_t>(image_->bytes_per_line) * height, IPC_CREAT | 0600);
        if (info_.shmid < 0) return;
        void* memory = shmat(info_.shmid, nullptr, 0);
        // Removed now: the segment goes with its last attachment.
        shmctl(info_.shmid, IPC_RMID, nullptr);
        if (memory == reinterpret_cast<void*>(-1)) return;
        info_.shmaddr = image_->data = static_cast<char*>(memory);
        info_.readOnly = False;
        ErrorTrap trap(display);
        attached_ = XShmAttach(display, &info_) != 0 && !trap.failed();
    }
    ~SharedImage() {
        // Never throws: a destructor.
        if (::Display* display = connection_.opened(); attached_ && display != nullptr && current()) {
            XShmDetach(display, &info_);
            XSync(display, False);
        }
        if (info_.shmaddr != nullptr) shmdt(info_.shmaddr);
        // The segment is not Xlib's to free.
        if (image_ != nullptr) image_->data = nullptr;
    }
    SharedImage(const SharedImage&) = delete;
    SharedImage& operator=(const SharedImage&) = delete;

    // Whether it serves a picture of this size on the current connection (a
    // segment the server could not attach serves too: XGetImage is used).
    bool fits(int width, int height) const { return current() && width == width_ && height == height_; }

    // The root window's pixels at (x, y); null when they could not be read
    // or the server has no attachment.
    XImage* read(int x, int y) {
        if (!attached_ || !current()) return nullptr;
        ::Display* display = connection_.get();
        ErrorTrap trap(display);
        if (!XShmGetImage(display, DefaultRootWindow(display), image_.get(), x, y, AllPlanes) || trap.failed()) {
            return nullptr;
        }
        return image_.get();
    }

private:
    bool current() const { return connection_.generation() == generation_; }

    XConnection& connection_;
    uint64_t generation_;
    int width_;
    int height_;
    XShmSegmentInfo info_{};
    OwnedImage image_;
    bool attached_ = false;
};

std::optional<Picture> X11Mac::screenshot(const Rect& area, const CaptureSettings& settings) {
    ::Display* display = x_.get();
    if (display == nullptr) return std::nullopt;
    const int left = static_cast<int>(area.x);
    const int top = static_cast<int>(area.y);
    const int width = std::max(1, static_cast<int>(area.width));
    const int height = std::max(1, static_cast<int>(area.height));
    const int screen = DefaultScreen(display);
    const bool onScreen = left >= 0 && top >= 0 && left + width <= DisplayWidth(display, screen) &&
                          top + height <= DisplayHeight(display, screen);
    // The usual case: read into the kept segment and draw the pointer there;
    // at its own size the picture is the segment, else scaled out of it.
    if (onScreen && XShmQueryExtension(display)) {
        // A segment still lent to an earlier picture is left to it.
        if (!shared_ || !shared_->fits(width, height) || shared_.use_count() > 1) {
            shared_.reset();
            shared_ = std::make_shared<x11::SharedImage>(x_, width, height);
        }
        if (XImage* image = shared_->read(left, top); image != nullptr && isBgrx(image)) {
            auto* bytes = reinterpret_cast<uint8_t*>(image->data);
            const auto stride = static_cast<std::size_t>(image->bytes_per_line);
            if (settings.showsCursor) drawCursor(display, bytes, stride, width, height, left, top);
            Picture picture;
            picture.width = settings.width;
            picture.height = settings.height;
            picture.format = PixelFormat::BGRX;
            if (settings.width == width && settings.height == height) {
                picture.stride = stride;
                picture.lent = std::shared_ptr<const uint8_t>(shared_, bytes);
                picture.lentSize = stride * static_cast<std::size_t>(height);
                return picture;
            }
            // Scaled into memory kept from frame to frame too: fresh memory
            // of that size costs a page fault every 4 KiB.
            picture.stride = static_cast<std::size_t>(settings.width) * 4;
            const std::size_t size = picture.stride * static_cast<std::size_t>(settings.height);
            if (!scaled_ || scaled_.use_count() > 1 || scaled_->size() != size) {
                scaled_.reset();
                scaled_ = std::make_shared<std::vector<uint8_t>>(size);
            }
            scaleInto(bytes, stride, width, height, scaled_->data(), settings.width, settings.height);
            picture.lent = std::shared_ptr<const uint8_t>(scaled_, scaled_->data());
            picture.lentSize = size;
            return picture;
        }
    }
    // Without shared memory (a server that cannot attach it, as in many
    // containers), another pixel layout, or a monitor reaching off the screen.
    auto pixels = grab(x_, area);
    if (!pixels) return std::nullopt;
    if (settings.showsCursor) {
        drawCursor(display, pixels->bytes.data(), static_cast<std::size_t>(pixels->width) * 4, pixels->width,
                   pixels->height, left, top);
    }
    return scaledPicture(pixels->bytes, pixels->width, pixels->height, settings.width, settings.height);
}

const std::optional<std::vector<Monitor>>& X11Mac::monitors() {
    if (!monitorsRead_) {
        monitors_ = readMonitors(x_);
        monitorsRead_ = true;
    }
    return monitors_;
}

// ---- Displays ---------------------------------------------------------------

std::optional<uint32_t> X11Mac::activeDisplayCount() {
    const auto& list = monitors();
    if (!list) return std::nullopt;
    return static_cast<uint32_t>(list->size());
}

std::optional<std::vector<uint32_t>> X11Mac::activeDisplays(uint32_t capacity) {
    const auto& list = monitors();
    if (!list) return std::nullopt;
    std::vector<uint32_t> numbers;
    for (const auto& monitor : *list) {
        if (numbers.size() >= capacity) break;
        numbers.push_back(monitor.number);
    }
    return numbers;
}

uint32_t X11Mac::mainDisplay() {
    const auto& list = monitors();
    if (!list || list->empty()) return 0;
    for (const auto& monitor : *list) {
        if (monitor.primary) return monitor.number;
    }
    return list->front().number;
}

std::optional<std::string> X11Mac::displayUuid(uint32_t display) {
    const auto& list = monitors();
    if (!list) return std::nullopt;
    const Monitor* monitor = find(*list, display);
    if (monitor == nullptr) return std::nullopt;
    return identity(x_, *list, *monitor);
}

Rect X11Mac::displayBounds(uint32_t display) {
    const auto& list = monitors();
    const Monitor* monitor = list ? find(*list, display) : nullptr;
    return monitor != nullptr ? monitor->bounds : Rect{};
}

// ---- Capture ----------------------------------------------------------------

ShareableContent X11Mac::shareableContent(ContentScope scope) {
    const auto& list = monitors();
    if (!list) throw PlatformError{};
    ShareableContent content;
    for (const auto& monitor : *list) content.displays.push_back(monitor.number);
    // Walking every client window costs a round trip or more each: done
    // only for a preview.
    if (scope == ContentScope::windows) x11::addShareableWindows(x_, content);
    return content;
}

Picture X11Mac::captureDisplay(const ShareableContent&, uint32_t display, const CaptureSettings& settings) {
    const auto& list = monitors();
    const Monitor* monitor = list ? find(*list, display) : nullptr;
    if (monitor == nullptr || settings.width <= 0 || settings.height <= 0) {
        throw PlatformError{};
    }
    auto picture = screenshot(monitor->bounds, settings);
    if (!picture) throw PlatformError{};
    return std::move(*picture);
}

Picture X11Mac::captureWindow(const ShareableContent& content, std::size_t windowIndex,
                              const CaptureSettings& settings) {
    if (settings.width <= 0 || settings.height <= 0) throw PlatformError{};
    const Pixels pixels = x11::captureShareableWindow(x_, content, windowIndex);
    return scaledPicture(pixels.bytes, pixels.width, pixels.height, settings.width, settings.height);
}

}  // namespace brindlecast::platform
