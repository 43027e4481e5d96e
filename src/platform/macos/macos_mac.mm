// The real Mac: session and permissions, displays, the clock, and the helpers
// the other parts of the backend share.
#include "platform/macos/backend.h"

#include "platform/apple.h"

#include <algorithm>
#include <chrono>

#include <fcntl.h>
#include <unistd.h>

#import <AppKit/AppKit.h>
#import <ApplicationServices/ApplicationServices.h>
#import <ColorSync/ColorSync.h>
#import <CoreGraphics/CoreGraphics.h>
#import <CoreServices/CoreServices.h>

#include "platform/macos/macos_mac.h"

// Carbon's event manager (HIToolbox's CarbonEventsCore.h) declares it with
// this signature; it is declared here so that this file need not import all
// of Carbon for one function.
extern "C" Boolean IsSecureEventInputEnabled(void);

namespace brindlecast::platform {

std::unique_ptr<Mac> makeMacOSMac() {
    // Frameworks write to standard error on their own (graphics errors,
    // NSLog, mirrored log messages); the agent's standard error must stay
    // quiet, so it points at /dev/null before the first framework call.
    const int quiet = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (quiet >= 0) {
        if (quiet != STDERR_FILENO) {
            (void)dup2(quiet, STDERR_FILENO);
            close(quiet);
        }
    }
    @autoreleasepool {
        // Obtained once and not kept: it connects the process to the window
        // server, which screen capture and the workspace rely on.
        (void)[NSApplication sharedApplication];
    }
    return std::make_unique<MacOSMac>();
}

// ---- Shared helpers ---------------------------------------------------------

std::string textOf(CFStringRef text) {
    if (text == nullptr) return {};
    const CFIndex length = CFStringGetLength(text);
    const CFRange all = CFRangeMake(0, length);
    CFIndex size = 0;
    CFStringGetBytes(text, all, kCFStringEncodingUTF8, '?', false, nullptr, 0, &size);
    std::string out(static_cast<std::size_t>(size), '\0');
    CFStringGetBytes(text, all, kCFStringEncodingUTF8, '?', false, reinterpret_cast<UInt8*>(out.data()), size,
                     &size);
    out.resize(static_cast<std::size_t>(size));
    return out;
}

std::string textOf(NSString* text) {
    return textOf((__bridge CFStringRef)text);
}

NSString* stringOf(const std::string& text) {
    return [[NSString alloc] initWithBytes:text.data() length:text.size() encoding:NSUTF8StringEncoding];
}

NSURL* fileURLOf(const std::string& path) {
    if (path.empty()) return nil;
    NSString* string = stringOf(path);
    return string != nil ? [NSURL fileURLWithPath:string] : nil;
}

std::shared_ptr<const void> retainedObject(id object) {
    if (object == nil) return nullptr;
    return std::shared_ptr<const void>(CFBridgingRetain(object), [](const void* ref) { CFRelease(ref); });
}

void serviceMainRunLoop() {
    // One source at a time, until none is ready; bounded so that a source that
    // keeps firing cannot hold the request.
    for (int pass = 0; pass < 64; ++pass) {
        if (CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0, true) != kCFRunLoopRunHandledSource) return;
    }
}

bool awaitCompletion(dispatch_semaphore_t done, double seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    const int64_t slice = static_cast<int64_t>(10 * NSEC_PER_MSEC);
    while (dispatch_semaphore_wait(done, dispatch_time(DISPATCH_TIME_NOW, slice)) != 0) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0, true);
    }
    return true;
}

// ---- Session and permissions ------------------------------------------------

namespace {

// The entry of the session dictionary under `key`, when it is a boolean.
std::optional<bool> booleanEntry(CFDictionaryRef dictionary, CFStringRef key) {
    const CFTypeRef value = CFDictionaryGetValue(dictionary, key);
    if (value == nullptr || CFGetTypeID(value) != CFBooleanGetTypeID()) return std::nullopt;
    return CFBooleanGetValue(static_cast<CFBooleanRef>(value)) != 0;
}

bool hasOnlyTextKeys(CFDictionaryRef dictionary) {
    const CFIndex count = CFDictionaryGetCount(dictionary);
    std::vector<const void*> keys(static_cast<std::size_t>(count));
    CFDictionaryGetKeysAndValues(dictionary, keys.data(), nullptr);
    return std::all_of(keys.begin(), keys.end(), [](const void* key) {
        return key != nullptr && CFGetTypeID(key) == CFStringGetTypeID();
    });
}

}  // namespace

// Every call of the backend drains its own autorelease pool, so nothing the
// frameworks autorelease while serving a request outlives the request.

std::optional<SessionFacts> MacOSMac::session() {
    @autoreleasepool {
        const Owned<CFDictionaryRef> dictionary(CGSessionCopyCurrentDictionary());
        if (!dictionary || CFGetTypeID(dictionary.get()) != CFDictionaryGetTypeID()) return std::nullopt;
        if (CFDictionaryGetCount(dictionary.get()) == 0 || !hasOnlyTextKeys(dictionary.get())) return std::nullopt;
        return SessionFacts{booleanEntry(dictionary.get(), CFSTR("kCGSSessionOnConsoleKey")),
                            booleanEntry(dictionary.get(), CFSTR("kCGSessionLoginDoneKey")),
                            booleanEntry(dictionary.get(), CFSTR("CGSSessionScreenIsLocked"))};
    }
}

bool MacOSMac::secureInputEnabled() {
    @autoreleasepool {
        return IsSecureEventInputEnabled() != 0;
    }
}

std::optional<FrontmostApp> MacOSMac::frontmostApplication() {
    @autoreleasepool {
        serviceMainRunLoop();
        NSRunningApplication* front = NSWorkspace.sharedWorkspace.frontmostApplication;
        if (front == nil) return std::nullopt;
        FrontmostApp app;
        if (NSString* bundleId = front.bundleIdentifier) app.bundleId = textOf(bundleId);
        return app;
    }
}

bool MacOSMac::accessibilityTrusted() {
    @autoreleasepool {
        return AXIsProcessTrusted() != 0;
    }
}

void MacOSMac::promptAccessibility() {
    @autoreleasepool {
        const void* keys[] = {kAXTrustedCheckOptionPrompt};
        const void* values[] = {kCFBooleanTrue};
        const Owned<CFDictionaryRef> options(CFDictionaryCreate(kCFAllocatorDefault, keys, values, 1,
                                                                &kCFTypeDictionaryKeyCallBacks,
                                                                &kCFTypeDictionaryValueCallBacks));
        // Shows the system's prompt when the agent is not trusted; the answer is read later.
        (void)AXIsProcessTrustedWithOptions(options.get());
    }
}

bool MacOSMac::screenCaptureAllowed() {
    @autoreleasepool {
        return CGPreflightScreenCaptureAccess();
    }
}

void MacOSMac::promptScreenCapture() {
    @autoreleasepool {
        (void)CGRequestScreenCaptureAccess();
    }
}

namespace {

// What the Automation check hands back; shared by the waiting request and the
// worker, so a check that ends after the deadline still writes into live memory.
struct AutomationResult {
    dispatch_semaphore_t done = dispatch_semaphore_create(0);
    OSStatus status = errAETimeout;
};

}  // namespace

int32_t MacOSMac::automationStatus(bool prompt) {
    @autoreleasepool {
        NSString* bundleId = stringOf(std::string(apple::loginWindow));
        if (bundleId == nil) return procNotFound;
        NSAppleEventDescriptor* target = [NSAppleEventDescriptor descriptorWithBundleIdentifier:bundleId];
        if (target.aeDesc == nullptr) return procNotFound;
        // The check may block until the user has answered the system's question,
        // and must not run on the main thread: it runs on a worker queue while
        // the main thread waits. The block keeps the target alive.
        const auto result = std::make_shared<AutomationResult>();
        dispatch_async(dispatch_get_global_queue(DISPATCH_QUEUE_PRIORITY_DEFAULT, 0), ^{
            result->status = AEDeterminePermissionToAutomateTarget(target.aeDesc, apple::coreEventClass,
                                                                   apple::automationProbeEvent, prompt);
            dispatch_semaphore_signal(result->done);
        });
        const double deadline = prompt ? automationPromptDeadlineSeconds : automationCheckDeadlineSeconds;
        // No answer in time: a status that means "unavailable".
        if (!awaitCompletion(result->done, deadline)) return errAETimeout;
        return result->status;
    }
}

// ---- Displays ---------------------------------------------------------------

std::optional<uint32_t> MacOSMac::activeDisplayCount() {
    @autoreleasepool {
        uint32_t count = 0;
        if (CGGetActiveDisplayList(0, nullptr, &count) != kCGErrorSuccess) return std::nullopt;
        return count;
    }
}

std::optional<std::vector<uint32_t>> MacOSMac::activeDisplays(uint32_t capacity) {
    @autoreleasepool {
        std::vector<CGDirectDisplayID> displays(capacity, 0);
        uint32_t count = 0;
        if (CGGetActiveDisplayList(capacity, displays.data(), &count) != kCGErrorSuccess) return std::nullopt;
        displays.resize(std::min(count, capacity));
        return displays;
    }
}

uint32_t MacOSMac::mainDisplay() {
    @autoreleasepool {
        return CGMainDisplayID();
    }
}

std::optional<std::string> MacOSMac::displayUuid(uint32_t display) {
    @autoreleasepool {
        const Owned<CFUUIDRef> uuid(CGDisplayCreateUUIDFromDisplayID(display));
        if (!uuid) return std::nullopt;
        const Owned<CFStringRef> text(CFUUIDCreateString(kCFAllocatorDefault, uuid.get()));
        if (!text) return std::nullopt;
        return textOf(text.get());
    }
}

Rect MacOSMac::displayBounds(uint32_t display) {
    @autoreleasepool {
        const CGRect bounds = CGDisplayBounds(display);
        return {bounds.origin.x, bounds.origin.y, bounds.size.width, bounds.size.height};
    }
}

// ---- Clock and process ------------------------------------------------------

IdentifierSets MacOSMac::identifierSets() {
    @autoreleasepool {
        return apple::identifierSets();
    }
}

double MacOSMac::now() {
    @autoreleasepool {
        return CFAbsoluteTimeGetCurrent() + kCFAbsoluteTimeIntervalSince1970;
    }
}

int32_t MacOSMac::ownProcessId() {
    @autoreleasepool {
        return NSProcessInfo.processInfo.processIdentifier;
    }
}

}  // namespace brindlecast::platform
