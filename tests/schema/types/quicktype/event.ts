/**
 * One line of the virtual Mac's event log: one compact JSON object per effect the agent had
 * on the Mac, appended in the order the effects happened and flushed before the response of
 * the request that caused it.
 *
 * A mouse event was posted at a point in global display points (exactly as posted). "type":
 * 1 left button down, 2 left button up, 3 right button down, 4 right button up, 5 mouse
 * moved. "button": 0 left, 1 right (a move names the left button).
 *
 * A scroll-wheel event was posted, in pixels ("unit" 0) with two wheels: "wheel1" is
 * vertical (minus the request's deltaY), "wheel2" horizontal (minus deltaX).
 *
 * A keyboard event was posted. "keyCode": the macOS virtual key code (0 A, used for typed
 * text; 3 F; 11 B; 12 Q; 53 Escape; 96 F5; 123 left arrow; 124 right arrow). "flags": the
 * modifier flag mask set on the event (0, or 1310720 = 0x140000, control and command); a
 * key press always sets it, typed text never. "text": the Unicode string attached to a
 * typed-text event, at most 20 UTF-16 code units of whole characters.
 *
 * A media key event was posted: a system-defined event of type 14, subtype 8. "flags" is
 * 2560 (0xa00) going down, 2816 (0xb00) going up; "data1" is the key type times 65536 plus
 * the same state (key types: 16 play/pause, 17 next, 18 previous, 7 mute, 0 volume up, 1
 * volume down).
 *
 * A power request was sent to the login window as a core Apple event: "shut" shut down,
 * "rest" restart, "slep" sleep; "options" 35 (0x23) waits for the reply and lets it
 * interact with the user; "timeout" in seconds.
 *
 * A permission prompt was requested (every time, whatever the permission's state).
 *
 * A screenshot of a display was taken at this size in pixels.
 *
 * A screenshot of a window (of the application with this process identifier) was taken at
 * this size in pixels.
 *
 * The application bundle at this path was asked to open (the path repaired to UTF-8).
 *
 * A running application was asked to come forward with all its windows ("options" 1);
 * "accepted": what the platform answered.
 *
 * A running application was asked to quit ("terminate") or forced to ("forceTerminate").
 */
export interface Event {
    button?:     number;
    post?:       Post;
    requestId?:  string;
    type?:       number;
    x?:          number;
    y?:          number;
    unit?:       number;
    wheel1?:     number;
    wheel2?:     number;
    wheel3?:     number;
    wheelCount?: number;
    down?:       boolean;
    flags?:      number;
    keyCode?:    number;
    text?:       string;
    data1?:      number;
    data2?:      number;
    subtype?:    number;
    class?:      Class;
    id?:         ID;
    options?:    number;
    send?:       Send;
    target?:     Target;
    timeout?:    number;
    prompt?:     Prompt;
    audio?:      boolean;
    capture?:    Capture;
    cursor?:     boolean;
    display?:    number;
    height?:     number;
    width?:      number;
    pid?:        number;
    app?:        App;
    path?:       string;
    accepted?:   boolean;
}

export type App = "open" | "activate" | "terminate" | "forceTerminate";

export type Capture = "display" | "window";

export type Class = "aevt";

export type ID = "shut" | "rest" | "slep";

export type Post = "mouse" | "scroll" | "key" | "system";

export type Prompt = "accessibility" | "screen" | "automation";

export type Send = "appleEvent";

export type Target = "com.apple.loginwindow";
