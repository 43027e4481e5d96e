// A companion client's use of the generated types (tests/schema/types/), compiled with
// tsc --strict by types.sh check: the documented examples must type-check, responses must
// narrow, and what the agent never sends or accepts must not (each @ts-expect-error line
// fails the compile if it stops being an error).
import type { Request, DesktopClick } from "./types/request";
import type { Response, Failure, DesktopLocked } from "./types/response";
import type { VirtualMacState } from "./types/state";
import type { EventLogLine } from "./types/event";
import type { Response as QuicktypeResponse, Code, Message } from "./types/quicktype/response";

// The states of the documentation and the README.
const states: VirtualMacState[] = [
  { displays: [{ number: 1, bounds: [0, 0, 1920, 1080], image: "/path/screen.png" }] },
  { displays: [{ bounds: [0, 0, 1512, 982] }, { number: 2, uuid: null, bounds: [1512, 0, 1920, 1080], shareable: false }] },
  { session: null, focus: { role: "AXTextField", subrole: "AXSecureTextField" } },
  { session: { kCGSSessionOnConsoleKey: true, kCGSessionLoginDoneKey: true, CGSSessionScreenIsLocked: true } },
  { focus: "notElement", appleEventReply: "noReply", eventsFail: ["keyDown"], then: [{ after: "focusRead", set: { focus: null } }] },
  { appleEventReply: { errn: -128 }, windows: [{ pid: 501, frame: [0, 0, 800, 600] }], runningApps: [{ pid: 501, bundlePath: null }] },
];
// @ts-expect-error a rectangle has four numbers
const shortBounds: VirtualMacState = { displays: [{ number: 1, bounds: [0, 0, 1512] }] };
// @ts-expect-error the session keys that are read are booleans
const textSession: VirtualMacState = { session: { kCGSessionLoginDoneKey: "yes" } };

const requests: Request[] = [
  { id: "1", operation: "desktop.monitors" },
  { id: "5", operation: "desktop.frame", profile: "relay-balanced", maxWidth: 1280, maxHeight: 720, jpegQuality: 75 },
  { id: "6", operation: "desktop.click", x: 0.5, y: 0.5, button: "right", monitorId: "monitor_d5427d3cc5e5beff" },
  { id: "8", operation: "desktop.scroll", deltaX: 0, deltaY: 120 },
  { id: "11", action: "playPause", seconds: 3 },
  { id: "18", operation: "apps.action", appId: "app_4ea28a29ad8bbea77e108ac00cee2410", appAction: "close" },
];
// @ts-expect-error a monitor identifier is a text
const numberMonitor: DesktopClick = { id: "c", operation: "desktop.click", x: 0, y: 0, monitorId: 2 };
// @ts-expect-error there is no middle button
const middle: DesktopClick = { id: "c", operation: "desktop.click", x: 0, y: 0, button: "middle" };
// @ts-expect-error a request may hold only its operation's keys
const extra: Request = { id: "m", operation: "desktop.monitors", verbose: true };
// @ts-expect-error every request carries an "id"
const noId: Request = { operation: "apps.list" };

// Responses narrow on their keys, "ok" and "code".
function describe(r: Response): string {
  if ("frame" in r) return r.frame.monitorId + " " + r.frame.data.length;
  if ("monitors" in r) return r.monitors.map((m) => `${m.name} ${m.bounds.width}x${m.bounds.height}`).join();
  if ("apps" in r) return r.apps.filter((a) => a.capabilities.close).map((a) => a.id).join();
  if ("icon" in r) return r.icon.mimeType;
  if ("permissions" in r) return r.permissions.automation;
  if (r.ok) return r.id;
  return refusal(r);
}
function refusal(f: Failure): string {
  if (f.code === "DESKTOP_LOCKED") {
    const locked: DesktopLocked["error"] = f.error;
    return locked;
  }
  // @ts-expect-error the message belongs to another code
  if (f.code === "APP_NOT_FOUND" && f.error === "Unknown app action.") return "";
  return f.code + f.error;
}
// @ts-expect-error no success carries a "code"
const mixed: Response = { id: "1", ok: true, code: "DESKTOP_LOCKED" };

const lines: EventLogLine[] = [
  { post: "mouse", type: 1, x: 755.5, y: 490.5, button: 0 },
  { prompt: "screen", requestId: "" },
];

// quicktype flattens a union of objects into one type of optional keys, but keeps the
// closed lists of codes and messages.
const code: Code = "APP_NOT_FOUND";
const message: Message = "Invalid app.";
const flat: QuicktypeResponse = { id: "1", ok: false, code, error: message };

export { states, shortBounds, textSession, requests, numberMonitor, middle, extra, noId, describe, mixed, lines, flat };
