/**
 * One request line of the agent's standard input: a JSON object of at most 12,288 UTF-8
 * bytes. A request with a text "operation" names an operation; any other request is an
 * action request, routed on "action". A request may hold only the keys of its operation
 * plus "id". This schema describes the requests the agent accepts; it answers anything else
 * with a failure (see response.schema.json).
 *
 * Shows the system's prompt for one permission on every call, granted or not (the system
 * decides whether anything appears), then reports all three.
 *
 * Succeeds when the Mac may be controlled: unlocked, logged in, on the console, no secure
 * keyboard entry, no protected screen in front.
 *
 * A JPEG picture of a display that fits within maxWidth x maxHeight (never enlarged beyond
 * the display's size in points) and within the profile's byte limit: 184,320 bytes for the
 * "relay-" profiles, 2 MiB for the others.
 *
 * Moves the pointer without clicking.
 *
 * Moves the pointer to the display's centre and scrolls; deltaX and deltaY may not both be
 * 0.
 *
 * Types the text into the focused ordinary text field (not a password field).
 *
 * An action request: no "operation". "seconds" is allowed with any value and has no effect.
 */
export interface Request {
    id:         string;
    operation?: Operation;
    kind?:      Kind;
    /**
     * The JPEG quality (percent) the encoder starts at; it steps down until the picture fits
     * the profile's limit.
     */
    jpegQuality?: number;
    maxHeight?:   number;
    maxWidth?:    number;
    monitorId?:   string;
    profile?:     Profile;
    /**
     * "left" (also when absent) or "right"; any other text is refused with "Unknown mouse
     * button.". The agent also takes a value that is not a text as absent ("left").
     */
    button?: Button;
    x?:      number;
    y?:      number;
    deltaX?: number;
    deltaY?: number;
    /**
     * 1 to 256 UTF-16 code units, without a NUL character.
     */
    text?: string;
    /**
     * "run": open the application; "view": bring a running one forward; "close": ask it to
     * quit; "terminate": force it to quit. "close" and "terminate" ask every running instance
     * and are refused for an application that is not running or is protected.
     */
    appAction?: AppAction;
    appId?:     string;
    action?:    Action;
    seconds?:   unknown;
}

export type Action = "playPause" | "next" | "previous" | "mute" | "volumeUp" | "volumeDown" | "shutdown" | "restart" | "sleep" | "lock" | "toggleFullscreen" | "presentation:previous" | "presentation:next" | "presentation:start" | "presentation:end" | "presentation:blank";

/**
 * "run": open the application; "view": bring a running one forward; "close": ask it to
 * quit; "terminate": force it to quit. "close" and "terminate" ask every running instance
 * and are refused for an application that is not running or is protected.
 */
export type AppAction = "run" | "view" | "close" | "terminate";

/**
 * "left" (also when absent) or "right"; any other text is refused with "Unknown mouse
 * button.". The agent also takes a value that is not a text as absent ("left").
 */
export type Button = "left" | "right";

export type Kind = "accessibility" | "screen" | "automation";

export type Operation = "permissions.status" | "permissions.request" | "desktop.guard" | "desktop.monitors" | "desktop.frame" | "desktop.click" | "presentation.pointer" | "desktop.scroll" | "desktop.text" | "apps.list" | "apps.action" | "apps.icon" | "apps.preview";

export type Profile = "balanced" | "quality" | "smooth" | "latency" | "relay-balanced" | "relay-quality" | "relay-smooth" | "relay-latency";
