// The real Mac: shareable content and screenshots through ScreenCaptureKit.
// The platform calls back on its own queues; the main thread waits for the
// result and does everything else itself.
#include "platform/macos/backend.h"

#import <CoreGraphics/CoreGraphics.h>
#import <ScreenCaptureKit/ScreenCaptureKit.h>

namespace brindlecast::platform {

namespace {

// 32 bits a pixel, little-endian, no alpha: the bytes of a pixel are
// blue, green, red and one unused byte.
constexpr uint32_t bgrxLayout =
    static_cast<uint32_t>(kCGImageAlphaNoneSkipFirst) | static_cast<uint32_t>(kCGBitmapByteOrder32Little);

// The picture drawn into a bitmap of a known layout at width x height pixels,
// its colours converted to sRGB.
std::optional<Picture> pixelsOf(CGImageRef image, int width, int height) {
    Picture picture;
    picture.width = width;
    picture.height = height;
    picture.stride = static_cast<std::size_t>(width) * 4;
    picture.format = PixelFormat::BGRX;
    picture.pixels.assign(picture.stride * static_cast<std::size_t>(height), 0);

    const Owned<CGColorSpaceRef> sRGB(CGColorSpaceCreateWithName(kCGColorSpaceSRGB));
    if (!sRGB) return std::nullopt;
    const Owned<CGContextRef> bitmap(CGBitmapContextCreate(picture.pixels.data(), static_cast<std::size_t>(width),
                                                           static_cast<std::size_t>(height), 8, picture.stride,
                                                           sRGB.get(), bgrxLayout));
    if (!bitmap) return std::nullopt;
    // The platform renders at the configured size; should it not, the picture is scaled to it.
    CGContextSetInterpolationQuality(bitmap.get(), kCGInterpolationHigh);
    CGContextDrawImage(bitmap.get(),
                       CGRectMake(0, 0, static_cast<CGFloat>(width), static_cast<CGFloat>(height)), image);
    return picture;
}

// What a screenshot's call-back hands over. Shared by the waiting request and
// the call-back, so a call-back that comes after the deadline still writes
// into live memory.
struct ScreenshotResult {
    dispatch_semaphore_t done = dispatch_semaphore_create(0);
    CGImageRef image = nullptr;
    ~ScreenshotResult() {
        if (image != nullptr) CGImageRelease(image);
    }
};

// One screenshot of what `filter` selects, rendered at the settings' size;
// none when the platform reports an error or does not answer in time.
std::optional<Picture> screenshot(SCContentFilter* filter, const CaptureSettings& settings) {
    if (settings.width <= 0 || settings.height <= 0) return std::nullopt;
    SCStreamConfiguration* configuration = [[SCStreamConfiguration alloc] init];
    configuration.width = static_cast<std::size_t>(settings.width);
    configuration.height = static_cast<std::size_t>(settings.height);
    // The size already keeps the source's aspect within a pixel; preserving
    // it exactly would letterbox, drawing dark rows and columns at the edges.
    configuration.preservesAspectRatio = NO;
    // Rendered in sRGB by the platform, so nothing is converted per frame here.
    configuration.colorSpaceName = kCGColorSpaceSRGB;
    configuration.capturesAudio = settings.capturesAudio;
    configuration.showsCursor = settings.showsCursor;

    const auto result = std::make_shared<ScreenshotResult>();
    [SCScreenshotManager captureImageWithFilter:filter
                                  configuration:configuration
                              completionHandler:^(CGImageRef image, NSError* error) {
                                  // The image lives only as long as this call: keep it.
                                  if (error == nil && image != nullptr) result->image = CGImageRetain(image);
                                  dispatch_semaphore_signal(result->done);
                              }];
    if (!awaitCompletion(result->done, captureDeadlineSeconds) || result->image == nullptr) return std::nullopt;
    return pixelsOf(result->image, settings.width, settings.height);
}

// What the shareable-content call-back hands over; shared as above.
struct ContentResult {
    dispatch_semaphore_t done = dispatch_semaphore_create(0);
    SCShareableContent* snapshot = nil;
};

SCShareableContent* snapshotOf(const ShareableContent& content) {
    return (__bridge SCShareableContent*)content.native.get();
}

}  // namespace

ShareableContent MacOSMac::shareableContent(ContentScope) {
    ShareableContent out;
    bool read = false;
    @autoreleasepool {
        const auto result = std::make_shared<ContentResult>();
        [SCShareableContent getShareableContentExcludingDesktopWindows:NO
                                                   onScreenWindowsOnly:YES
                                                     completionHandler:^(SCShareableContent* found, NSError* error) {
                                                         if (error == nil) result->snapshot = found;
                                                         dispatch_semaphore_signal(result->done);
                                                     }];
        SCShareableContent* snapshot =
            awaitCompletion(result->done, captureDeadlineSeconds) ? result->snapshot : nil;
        if (snapshot != nil) {
            for (SCDisplay* display in snapshot.displays) out.displays.push_back(display.displayID);
            for (SCWindow* window in snapshot.windows) {
                ShareableWindow entry;
                if (SCRunningApplication* owner = window.owningApplication) entry.ownerPid = owner.processID;
                entry.layer = window.windowLayer;
                const CGRect frame = window.frame;
                entry.frame = {frame.origin.x, frame.origin.y, frame.size.width, frame.size.height};
                out.windows.push_back(entry);
            }
            // The windows above are listed in the snapshot's order, so an index
            // into them is an index into the snapshot.
            out.native = retainedObject(snapshot);
            read = true;
        }
    }
    if (!read) throw PlatformError{};
    return out;
}

Picture MacOSMac::captureDisplay(const ShareableContent& content, uint32_t display,
                                 const CaptureSettings& settings) {
    std::optional<Picture> picture;
    @autoreleasepool {
        SCDisplay* chosen = nil;
        for (SCDisplay* candidate in snapshotOf(content).displays) {
            if (candidate.displayID == display) {
                chosen = candidate;
                break;
            }
        }
        if (chosen != nil) {
            SCContentFilter* filter = [[SCContentFilter alloc] initWithDisplay:chosen excludingWindows:@[]];
            picture = screenshot(filter, settings);
        }
    }
    if (!picture) throw PlatformError{};
    return std::move(*picture);
}

Picture MacOSMac::captureWindow(const ShareableContent& content, std::size_t windowIndex,
                                const CaptureSettings& settings) {
    std::optional<Picture> picture;
    @autoreleasepool {
        NSArray<SCWindow*>* windows = snapshotOf(content).windows;
        if (windowIndex < windows.count) {
            SCContentFilter* filter = [[SCContentFilter alloc] initWithDesktopIndependentWindow:windows[windowIndex]];
            picture = screenshot(filter, settings);
        }
    }
    if (!picture) throw PlatformError{};
    return std::move(*picture);
}

}  // namespace brindlecast::platform
