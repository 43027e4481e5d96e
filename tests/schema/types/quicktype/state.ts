/**
 * The state file of the virtual Mac, named by BRINDLECAST_VIRTUAL_MAC. Every key is
 * optional; a key left out keeps the default Mac's value. A file that cannot be read or is
 * not a JSON object makes a dead Mac. build/brindlecast-state-check FILE checks a file
 * against the same rules.
 */
export interface State {
    /**
     * The agent is a trusted Accessibility client (needed for input). Default true.
     */
    accessibility?: boolean;
    /**
     * The process identifier the agent is told is its own (a running application with this
     * process identifier, the agent itself, is left out of the running state). Default: the
     * real one.
     */
    agentPid?: number;
    /**
     * The login window's reply to a power request: {"errn": n} carries that error number
     * (non-zero: declined), {} none; "noReply": no reply (as a timeout). Default {}.
     */
    appleEventReply?: PurpleAppleEventReply | AppleEventReplyEnum;
    /**
     * The three scan roots in place of "/Applications", "/System/Applications" and the home
     * folder's "Applications"; a root left out keeps its real folder, so name all three for a
     * hermetic run. Default: the three real folders.
     */
    applicationFolders?: StateApplicationFolders;
    /**
     * The status of the Automation permission check: 0 granted, -1743 denied, -1744 not
     * determined, anything else unavailable. Default 0.
     */
    automationStatus?: number;
    /**
     * "ok"; "countFails": the first display query (the count) fails; "fillFails": the second
     * (filling the list) fails; "vanish": the second reports no displays. Default "ok".
     */
    displayQuery?: DisplayQuery;
    /**
     * The active displays in platform order. Default: one display {"number": 1, "uuid":
     * "3F2504E0-4F89-41D3-9A0C-0305E82C3301", "bounds": [0, 0, 1512, 982]}.
     */
    displays?: DisplayElement[];
    /**
     * The file the event-log lines are appended to (created if missing). Default: no log.
     */
    eventLog?: string;
    /**
     * Kinds of event that cannot be created. Default [].
     */
    eventsFail?: EventsFail[];
    /**
     * The focused element: null none; "error" the query fails; "notElement" it returns
     * something that is not an element; an object: the element. Default {"role": "AXTextField"}.
     */
    focus?: FocusClass | FocusEnum | null;
    /**
     * The frontmost application; null: none. Protected screens: "com.apple.loginwindow",
     * "com.apple.SecurityAgent", "com.apple.CoreServicesUIAgent". Default {"bundleId":
     * "com.apple.finder"}.
     */
    frontmost?: StateFrontmost | null;
    /**
     * Every event-log line ends with "requestId": the "id" of the request that caused it.
     * Default false.
     */
    logRequestIds?: boolean;
    /**
     * The display number the main-display query returns (it may name no listed display).
     * Default: the first display's number.
     */
    mainDisplay?: number;
    /**
     * The wall clock the agent reads, seconds since 1970; the catalog is scanned again once it
     * is 15 seconds older than the last scan. Default: the real clock.
     */
    now?: number;
    /**
     * Opening an application fails. Default false.
     */
    openError?: boolean;
    /**
     * The running applications in platform order. Default [].
     */
    runningApps?: RunningAppElement[];
    /**
     * Screen capture is allowed (needed for frames and previews). Default true.
     */
    screenRecording?: boolean;
    /**
     * Taking a screenshot fails. Default false.
     */
    screenshotError?: boolean;
    /**
     * Secure keyboard entry is on (the Mac then counts as locked). Default false.
     */
    secureInput?: boolean;
    /**
     * The session attribute dictionary. The agent reads "kCGSSessionOnConsoleKey" and
     * "kCGSessionLoginDoneKey", which must be true, and "CGSSessionScreenIsLocked", which must
     * not be true; other keys may hold anything. An empty object or null (or any value that is
     * not an object): no usable dictionary, the Mac counts as locked. Default
     * {"kCGSSessionOnConsoleKey": true, "kCGSessionLoginDoneKey": true}.
     */
    session?: null | Session;
    /**
     * Reading the shareable content fails. Default false.
     */
    shareableContentError?: boolean;
    /**
     * Changes in the middle of a request: once the named moment has passed ("focusRead": the
     * focused element's role and subrole have been read; "screenshot": a screenshot has been
     * taken), the keys of "set" replace the current ones, until the file changes. Each entry
     * applies once. Default [].
     */
    then?: StateThen[];
    /**
     * The on-screen shareable windows in platform order. Default [].
     */
    windows?: WindowElement[];
}

export interface PurpleAppleEventReply {
    errn?: number;
}

export type AppleEventReplyEnum = "noReply";

/**
 * The three scan roots in place of "/Applications", "/System/Applications" and the home
 * folder's "Applications"; a root left out keeps its real folder, so name all three for a
 * hermetic run. Default: the three real folders.
 */
export interface StateApplicationFolders {
    applications?: string;
    home?:         string;
    system?:       string;
}

/**
 * "ok"; "countFails": the first display query (the count) fails; "fillFails": the second
 * (filling the list) fails; "vanish": the second reports no displays. Default "ok".
 */
export type DisplayQuery = "ok" | "countFails" | "fillFails" | "vanish";

export interface DisplayElement {
    /**
     * [x, y, width, height], global display points; the width and height should be positive.
     * Absent or malformed: all zero.
     */
    bounds?: [number, number, number, number, ...number[]];
    /**
     * Path of a PNG or JPEG picture (at most 8192 pixels a side) shown on the display; default:
     * a built-in desktop picture. A file that cannot be read makes the screenshot fail.
     */
    image?: string;
    /**
     * The display number (unsigned 32 bits). Default 0.
     */
    number?: number;
    /**
     * Listed among the shareable displays (can be captured). Default true.
     */
    shareable?: boolean;
    /**
     * The display's UUID text; null or absent: the platform has none, and the monitor
     * identifier is made from the display number's decimal text instead.
     */
    uuid?: null | string;
}

export type EventsFail = "mouse" | "scroll" | "keyDown" | "keyUp" | "mediaDown" | "mediaUp";

export interface FocusClass {
    /**
     * What the "AXRole" query returns; "AXTextField", "AXTextArea" and "AXComboBox" are
     * ordinary text fields. null, absent or any value that is not a text: no role.
     */
    role?: null | string;
    /**
     * The "AXRole" query fails. Default false.
     */
    roleError?: boolean;
    /**
     * What the "AXSubrole" query returns; "AXSecureTextField" is a password field. null, absent
     * or any value that is not a text: no subrole.
     */
    subrole?: null | string;
}

export type FocusEnum = "error" | "notElement";

export interface StateFrontmost {
    bundleId?: null | string;
}

export interface RunningAppElement {
    /**
     * Accepts being brought forward. Default true.
     */
    activates?: boolean;
    /**
     * The bundle location; it is resolved (symbolic links) and standardised before it is
     * compared with the catalog. null or absent: an application without a bundle location.
     */
    bundlePath?: null | string;
    /**
     * Accepts being forced to quit. Default true.
     */
    forceTerminates?: boolean;
    /**
     * The process identifier (an integer; an entry without one is ignored).
     */
    pid: number;
    /**
     * Accepts being asked to quit. Default true.
     */
    terminates?: boolean;
}

export interface Session {
    /**
     * The screen is locked (true: the Mac counts as locked).
     */
    CGSSessionScreenIsLocked?: boolean;
    /**
     * The login is complete; the Mac counts as locked unless it is true.
     */
    kCGSessionLoginDoneKey?: boolean;
    /**
     * The session is on the console; the Mac counts as locked unless it is true.
     */
    kCGSSessionOnConsoleKey?: boolean;
    [property: string]: unknown;
}

export interface StateThen {
    after: After;
    set:   VirtualMACState;
}

export type After = "focusRead" | "screenshot";

export interface SetThen {
    after: After;
    set:   VirtualMACState;
}

/**
 * The state file of the virtual Mac, named by BRINDLECAST_VIRTUAL_MAC. Every key is
 * optional; a key left out keeps the default Mac's value. A file that cannot be read or is
 * not a JSON object makes a dead Mac. build/brindlecast-state-check FILE checks a file
 * against the same rules.
 */
export interface VirtualMACState {
    /**
     * The agent is a trusted Accessibility client (needed for input). Default true.
     */
    accessibility?: boolean;
    /**
     * The process identifier the agent is told is its own (a running application with this
     * process identifier, the agent itself, is left out of the running state). Default: the
     * real one.
     */
    agentPid?: number;
    /**
     * The login window's reply to a power request: {"errn": n} carries that error number
     * (non-zero: declined), {} none; "noReply": no reply (as a timeout). Default {}.
     */
    appleEventReply?: FluffyAppleEventReply | AppleEventReplyEnum;
    /**
     * The three scan roots in place of "/Applications", "/System/Applications" and the home
     * folder's "Applications"; a root left out keeps its real folder, so name all three for a
     * hermetic run. Default: the three real folders.
     */
    applicationFolders?: SetApplicationFolders;
    /**
     * The status of the Automation permission check: 0 granted, -1743 denied, -1744 not
     * determined, anything else unavailable. Default 0.
     */
    automationStatus?: number;
    /**
     * "ok"; "countFails": the first display query (the count) fails; "fillFails": the second
     * (filling the list) fails; "vanish": the second reports no displays. Default "ok".
     */
    displayQuery?: DisplayQuery;
    /**
     * The active displays in platform order. Default: one display {"number": 1, "uuid":
     * "3F2504E0-4F89-41D3-9A0C-0305E82C3301", "bounds": [0, 0, 1512, 982]}.
     */
    displays?: DisplayElement[];
    /**
     * The file the event-log lines are appended to (created if missing). Default: no log.
     */
    eventLog?: string;
    /**
     * Kinds of event that cannot be created. Default [].
     */
    eventsFail?: EventsFail[];
    /**
     * The focused element: null none; "error" the query fails; "notElement" it returns
     * something that is not an element; an object: the element. Default {"role": "AXTextField"}.
     */
    focus?: FocusClass | FocusEnum | null;
    /**
     * The frontmost application; null: none. Protected screens: "com.apple.loginwindow",
     * "com.apple.SecurityAgent", "com.apple.CoreServicesUIAgent". Default {"bundleId":
     * "com.apple.finder"}.
     */
    frontmost?: SetFrontmost | null;
    /**
     * Every event-log line ends with "requestId": the "id" of the request that caused it.
     * Default false.
     */
    logRequestIds?: boolean;
    /**
     * The display number the main-display query returns (it may name no listed display).
     * Default: the first display's number.
     */
    mainDisplay?: number;
    /**
     * The wall clock the agent reads, seconds since 1970; the catalog is scanned again once it
     * is 15 seconds older than the last scan. Default: the real clock.
     */
    now?: number;
    /**
     * Opening an application fails. Default false.
     */
    openError?: boolean;
    /**
     * The running applications in platform order. Default [].
     */
    runningApps?: RunningAppElement[];
    /**
     * Screen capture is allowed (needed for frames and previews). Default true.
     */
    screenRecording?: boolean;
    /**
     * Taking a screenshot fails. Default false.
     */
    screenshotError?: boolean;
    /**
     * Secure keyboard entry is on (the Mac then counts as locked). Default false.
     */
    secureInput?: boolean;
    /**
     * The session attribute dictionary. The agent reads "kCGSSessionOnConsoleKey" and
     * "kCGSessionLoginDoneKey", which must be true, and "CGSSessionScreenIsLocked", which must
     * not be true; other keys may hold anything. An empty object or null (or any value that is
     * not an object): no usable dictionary, the Mac counts as locked. Default
     * {"kCGSSessionOnConsoleKey": true, "kCGSessionLoginDoneKey": true}.
     */
    session?: null | Session;
    /**
     * Reading the shareable content fails. Default false.
     */
    shareableContentError?: boolean;
    /**
     * Changes in the middle of a request: once the named moment has passed ("focusRead": the
     * focused element's role and subrole have been read; "screenshot": a screenshot has been
     * taken), the keys of "set" replace the current ones, until the file changes. Each entry
     * applies once. Default [].
     */
    then?: SetThen[];
    /**
     * The on-screen shareable windows in platform order. Default [].
     */
    windows?: WindowElement[];
}

export interface FluffyAppleEventReply {
    errn?: number;
}

/**
 * The three scan roots in place of "/Applications", "/System/Applications" and the home
 * folder's "Applications"; a root left out keeps its real folder, so name all three for a
 * hermetic run. Default: the three real folders.
 */
export interface SetApplicationFolders {
    applications?: string;
    home?:         string;
    system?:       string;
}

export interface SetFrontmost {
    bundleId?: null | string;
}

export interface WindowElement {
    /**
     * [x, y, width, height] in points; a preview takes the largest window of the application
     * that is larger than 64 points on both sides.
     */
    frame?: [number, number, number, number, ...number[]];
    /**
     * Path of a PNG or JPEG picture of the window's content; default: a built-in window picture.
     */
    image?: string;
    /**
     * The window layer; only layer 0 (ordinary windows) is previewed. Default 0.
     */
    layer?: number;
    /**
     * The owning application's process identifier; null or absent: no owning application.
     */
    pid?: number | null;
}
