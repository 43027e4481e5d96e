/**
 * One response line of the agent's standard output: one compact JSON object followed by a
 * line feed, one for every request line, in request order. A success carries "id", "ok":
 * true and the operation's own keys, with every object's keys sorted; a failure has exactly
 * "id", "ok": false, "code" and "error", with one of the fixed pairs of code and message.
 *
 * "desktop.guard", "desktop.click", "presentation.pointer", "desktop.scroll",
 * "desktop.text", "apps.action", "apps.icon" when no icon could be made, and every action
 * request.
 *
 * "permissions.status" and "permissions.request".
 *
 * "desktop.monitors": the displays in platform order; empty when the display list vanished
 * between the platform's two display queries.
 *
 * "desktop.frame".
 *
 * "apps.list": at most 512 applications, ordered by identifier.
 *
 * "apps.icon": a 96x96 RGBA PNG.
 *
 * "apps.preview": the application's largest visible window, at most 1280x720.
 */
export interface Response {
    id:           string;
    ok:           boolean;
    permissions?: Permissions;
    monitors?:    MonitorElement[];
    frame?:       Frame;
    apps?:        AppElement[];
    /**
     * The application's icon.
     */
    icon?: Icon;
    /**
     * The window picture.
     */
    preview?: Preview;
    code?:    Code;
    error?:   Message;
}

export interface AppElement {
    capabilities: Capabilities;
    /**
     * "app_" and the first 32 hexadecimal digits of the SHA-256 of the bundle's resolved,
     * standardised path.
     */
    id: string;
    /**
     * The application's name (the bundle's display name, else its folder name), at most 80
     * characters.
     */
    name:    string;
    running: boolean;
}

export interface Capabilities {
    close:     boolean;
    preview:   boolean;
    run:       boolean;
    terminate: boolean;
    view:      boolean;
}

export type Code = "COMMAND_NOT_ALLOWED" | "MAC_OPERATION_UNAVAILABLE" | "DESKTOP_LOCKED" | "DESKTOP_INPUT_UNAVAILABLE" | "DESKTOP_INPUT_INVALID" | "MEDIA_INPUT_UNAVAILABLE" | "POWER_UNAVAILABLE" | "DESKTOP_CAPTURE_UNAVAILABLE" | "DESKTOP_CAPTURE_PROFILE_INVALID" | "DESKTOP_MONITOR_INVALID" | "APP_PREVIEW_UNAVAILABLE" | "APP_NOT_FOUND" | "APP_ACTION_INVALID" | "APP_ACTION_UNAVAILABLE";

export type Message = "Malformed request." | "Unknown or incomplete request." | "Invalid request identifier." | "Unknown operation." | "Unknown action." | "Unknown permission." | "Unknown presentation action." | "Unknown power action." | "macOS could not complete the request. Check local permissions." | "Unlock your Mac and leave any password field before using remote controls." | "macOS is showing a protected screen." | "Password fields stay private." | "Allow Brindlecast in macOS Accessibility settings." | "macOS could not create the key event." | "Select an ordinary text field on the Mac first." | "This field does not support remote text." | "Text input unavailable." | "Invalid numeric input." | "Input exceeds its permitted bounds." | "Unknown mouse button." | "Empty scroll." | "Invalid text." | "Invalid text input." | "This Mac player does not provide that control yet." | "Media control is unavailable." | "macOS declined the request. Check Automation permission and unsaved work." | "No active Mac display is available." | "Cannot read Mac displays." | "Allow Brindlecast in Screen Recording settings." | "Screen permission was removed." | "This frame exceeds the connection limit." | "Unknown picture profile." | "That monitor is no longer connected." | "That display cannot be shared." | "No visible app window is available." | "That app is not in the Mac application catalog." | "Invalid app." | "Unknown app action." | "Open the app before bringing it forward." | "That app cannot be closed remotely." | "macOS declined the close request.";

export interface Frame {
    data:      string;
    mimeType:  FrameMIMEType;
    monitorId: string;
}

export type FrameMIMEType = "image/jpeg";

/**
 * The application's icon.
 */
export interface Icon {
    /**
     * Base64 (RFC 4648, with padding) of the picture's bytes.
     */
    data:     string;
    mimeType: IconMIMEType;
}

export type IconMIMEType = "image/png";

export interface MonitorElement {
    /**
     * Global display points, truncated toward zero.
     */
    bounds: Bounds;
    id:     string;
    /**
     * "Display " and the position in the list, from 1.
     */
    name: string;
    /**
     * This is the main display.
     */
    primary: boolean;
}

/**
 * Global display points, truncated toward zero.
 */
export interface Bounds {
    height: number;
    width:  number;
    x:      number;
    y:      number;
}

export interface Permissions {
    /**
     * The agent is a trusted Accessibility client (needed for every input).
     */
    accessibility: boolean;
    /**
     * Automation of the login window (needed for power).
     */
    automation: Automation;
    /**
     * Screen Recording is allowed (needed for frames and previews).
     */
    screen: boolean;
}

/**
 * Automation of the login window (needed for power).
 */
export type Automation = "granted" | "denied" | "not-determined" | "unavailable";

/**
 * The window picture.
 */
export interface Preview {
    /**
     * Base64 (RFC 4648, with padding) of the picture's bytes.
     */
    data:     string;
    mimeType: FrameMIMEType;
}
