// The real Mac: synthetic events posted at the HID event tap, the focused
// accessibility element, and Apple events to other processes.
#include "platform/macos/backend.h"

#include <cmath>

#include "platform/apple.h"

#import <AppKit/AppKit.h>
#import <ApplicationServices/ApplicationServices.h>
#import <CoreGraphics/CoreGraphics.h>
#import <CoreServices/CoreServices.h>

namespace brindlecast::platform {

namespace {

// A created Quartz event, owned under the Create rule.
class MacEvent final : public Event {
public:
    explicit MacEvent(CGEventRef ref) : ref_(ref) {}
    ~MacEvent() override { CFRelease(ref_); }
    MacEvent(const MacEvent&) = delete;
    MacEvent& operator=(const MacEvent&) = delete;

    CGEventRef get() const { return ref_; }

private:
    CGEventRef ref_;
};

EventHandle own(CGEventRef ref) {
    if (ref == nullptr) return nullptr;
    return std::make_unique<MacEvent>(ref);
}

CGEventRef quartzEvent(Event& event) {
    return static_cast<MacEvent&>(event).get();
}

// How long an accessibility query waits for the application that answers it.
constexpr float focusTimeoutSeconds = 1.0f;

// Apple event time-outs are counted in ticks, sixtieths of a second.
long ticksOf(double seconds) {
    return std::lround(seconds * 60);
}

}  // namespace

// ---- Synthetic events -------------------------------------------------------

EventHandle MacOSMac::mouseEvent(MouseEventType type, Point at, MouseButton button) {
    @autoreleasepool {
        return own(CGEventCreateMouseEvent(nullptr, static_cast<CGEventType>(type), CGPointMake(at.x, at.y),
                                           static_cast<CGMouseButton>(button)));
    }
}

EventHandle MacOSMac::scrollEvent(const ScrollWheel& wheel) {
    @autoreleasepool {
        return own(CGEventCreateScrollWheelEvent2(nullptr, static_cast<CGScrollEventUnit>(wheel.unit),
                                                  static_cast<uint32_t>(wheel.wheelCount), wheel.wheel1, wheel.wheel2,
                                                  wheel.wheel3));
    }
}

EventHandle MacOSMac::keyEvent(VirtualKey key, bool down) {
    @autoreleasepool {
        return own(CGEventCreateKeyboardEvent(nullptr, static_cast<CGKeyCode>(key), down));
    }
}

EventHandle MacOSMac::mediaKeyEvent(MediaKey key, bool down) {
    const apple::SystemDefinedEvent fields = apple::mediaKeyFields(key, down);
    @autoreleasepool {
        NSEvent* event = [NSEvent otherEventWithType:static_cast<NSEventType>(fields.type)
                                            location:NSMakePoint(fields.location.x, fields.location.y)
                                       modifierFlags:static_cast<NSEventModifierFlags>(fields.modifierFlags)
                                           timestamp:fields.timestamp
                                        windowNumber:static_cast<NSInteger>(fields.windowNumber)
                                             context:nil
                                             subtype:fields.subtype
                                               data1:static_cast<NSInteger>(fields.data1)
                                               data2:static_cast<NSInteger>(fields.data2)];
        if (event == nil) return nullptr;
        // The postable form is autoreleased with the pool: keep it beyond.
        CGEventRef quartz = event.CGEvent;
        if (quartz == nullptr) return nullptr;
        CFRetain(quartz);
        return own(quartz);
    }
}

void MacOSMac::setFlags(Event& event, EventFlags flags) {
    @autoreleasepool {
        CGEventSetFlags(quartzEvent(event), static_cast<CGEventFlags>(flags));
    }
}

void MacOSMac::setText(Event& event, std::u16string_view units) {
    @autoreleasepool {
        CGEventKeyboardSetUnicodeString(quartzEvent(event), static_cast<UniCharCount>(units.size()),
                                        reinterpret_cast<const UniChar*>(units.data()));
    }
}

void MacOSMac::post(Event& event) {
    @autoreleasepool {
        CGEventPost(kCGHIDEventTap, quartzEvent(event));
    }
}

// ---- Focused element --------------------------------------------------------

FocusedField MacOSMac::focusedField() {
    @autoreleasepool {
        FocusedField field;
        const Owned<AXUIElementRef> systemWide(AXUIElementCreateSystemWide());
        if (!systemWide) return field;
        // Set on the system-wide element, the timeout holds for every element
        // of this process: an application that does not answer holds a
        // request about a second, not the platform's default of six.
        (void)AXUIElementSetMessagingTimeout(systemWide.get(), focusTimeoutSeconds);

        Owned<CFTypeRef> focused;
        if (AXUIElementCopyAttributeValue(systemWide.get(), CFSTR("AXFocusedUIElement"), focused.out()) !=
                kAXErrorSuccess ||
            !focused || CFGetTypeID(focused.get()) != AXUIElementGetTypeID()) {
            return field;
        }
        field.found = true;
        const auto element = static_cast<AXUIElementRef>(focused.get());

        Owned<CFTypeRef> role;
        field.roleReadable = AXUIElementCopyAttributeValue(element, CFSTR("AXRole"), role.out()) == kAXErrorSuccess;
        if (!field.roleReadable) return field;
        if (role && CFGetTypeID(role.get()) == CFStringGetTypeID()) {
            field.role = textOf(static_cast<CFStringRef>(role.get()));
        }

        // Only whether a string came back counts, whatever the result code.
        Owned<CFTypeRef> subrole;
        (void)AXUIElementCopyAttributeValue(element, CFSTR("AXSubrole"), subrole.out());
        if (subrole && CFGetTypeID(subrole.get()) == CFStringGetTypeID()) {
            field.subrole = textOf(static_cast<CFStringRef>(subrole.get()));
        }
        return field;
    }
}

// ---- Power ------------------------------------------------------------------

// Power is asked of the login window with a core Apple event, sent with the
// raw Apple event call so that the reply is read as it came: the reply's error
// number (for example -128 when the user declines) is an answer, not a failure
// to send.
PowerReply MacOSMac::requestPower(PowerIntent intent, double timeoutSeconds) {
    std::optional<PowerReply> answer;
    @autoreleasepool {
        NSString* bundleId = stringOf(std::string(apple::loginWindow));
        NSAppleEventDescriptor* target =
            bundleId != nil ? [NSAppleEventDescriptor descriptorWithBundleIdentifier:bundleId] : nil;
        NSAppleEventDescriptor* appleEvent =
            target != nil ? [[NSAppleEventDescriptor alloc] initWithEventClass:apple::coreEventClass
                                                                       eventID:apple::powerEventId(intent)
                                                              targetDescriptor:target
                                                                      returnID:kAutoGenerateReturnID
                                                                 transactionID:kAnyTransactionID]
                          : nil;
        const AppleEvent* event = appleEvent.aeDesc;
        if (event != nullptr) {
            AppleEvent reply;
            AEInitializeDesc(&reply);
            // Waits for the reply, up to the timeout; the options let the
            // target interact with the user.
            const OSStatus sent = AESendMessage(event, &reply, static_cast<AESendMode>(apple::powerSendOptions),
                                                ticksOf(timeoutSeconds));
            // A send that failed (not delivered, no reply in time) is no answer.
            // Otherwise the answer is the reply, and 'errn' the error number
            // the target put into it, if any.
            if (sent == noErr) {
                PowerReply out;
                SInt32 errorNumber = 0;
                DescType actualType = typeNull;
                Size actualSize = 0;
                if (AEGetParamPtr(&reply, keyErrorNumber, typeSInt32, &actualType, &errorNumber, sizeof errorNumber,
                                  &actualSize) == noErr) {
                    out.errorNumber = errorNumber;
                }
                answer = out;
            }
            AEDisposeDesc(&reply);
        }
    }
    if (!answer) throw PlatformError{};
    return *answer;
}

}  // namespace brindlecast::platform
