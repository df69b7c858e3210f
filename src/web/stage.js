// Where this page's connection to the bridge stands, as one value, and how it moves: free of
// the DOM, so that every stage and event can be tried without a browser.
//
//   connecting   a connection is being made, or will be soon
//   proving      the connection is open; the bridge and this page prove who they are
//   untrusted    proven, but the bridge does not trust this page's key (yet)
//   pairing      a pairing request (by code or QR secret) waits for the computer
//   paired       authorised: requests, events and Codex's questions flow
//   held         not reconnecting until the person asks (pairing refused or ended, the bridge
//                refused, another session took over)
//   forgotten    the computer forgot this device; it can pair again
//   unreachable  several attempts in a row failed; still trying, less often

export const stages = Object.freeze([
  "connecting",
  "proving",
  "untrusted",
  "pairing",
  "paired",
  "held",
  "forgotten",
  "unreachable",
]);

// What can happen:
//   connect      a new connection is asked for (the timer, the page waking, the person)
//   opened       the socket opened
//   notTrusted   the bridge proved itself and says this key is not trusted
//   pair         a pairing request went out on this connection
//   accepted     the bridge authorised this session
//   rejected     the computer refused the pairing (or the QR secret)
//   notPaired    a request was refused because the session is not authorised
//   refused      this page refused the bridge (a bad proof, another key, no version 2)
//   replaced     another session of this device took over
//   forgotten    the computer forgot this device (its message, or close code 4001)
//   lost         the connection ended
//   unreachable  the connection ended, after too many failures in a row
export const events = Object.freeze([
  "connect",
  "opened",
  "notTrusted",
  "pair",
  "accepted",
  "rejected",
  "notPaired",
  "refused",
  "replaced",
  "forgotten",
  "lost",
  "unreachable",
]);

// Stages with a connection, or one on its way.
const live = new Set(["connecting", "proving", "untrusted", "pairing", "paired", "unreachable"]);
// Stages whose connection the bridge has proven.
const proven = new Set(["untrusted", "pairing", "paired"]);

// The stage after `event`; the same stage when the event means nothing there.
export function transition(stage, event) {
  switch (event) {
    case "connect":
      return stage === "held" || stage === "forgotten" ? "connecting" : stage;
    case "opened":
      return stage === "connecting" || stage === "unreachable" ? "proving" : stage;
    case "notTrusted":
      return stage === "proving" ? "untrusted" : stage;
    case "pair":
      return stage === "untrusted" || stage === "pairing" ? "pairing" : stage;
    case "accepted":
      return stage === "proving" || proven.has(stage) ? "paired" : stage;
    case "rejected":
      return stage === "untrusted" || stage === "pairing" ? "held" : stage;
    case "notPaired":
      return stage === "paired" ? "untrusted" : stage;
    case "refused":
    case "replaced":
      return live.has(stage) ? "held" : stage;
    case "forgotten":
      return "forgotten";
    case "lost":
    case "unreachable":
      // A pairing request lives and dies with its connection: the person starts another.
      if (stage === "pairing") return "held";
      if (!live.has(stage)) return stage;
      return event === "lost" && stage !== "unreachable" ? "connecting" : "unreachable";
    default:
      return stage;
  }
}

// Whether the page may send requests and answers.
export function isPaired(stage) {
  return stage === "paired";
}

// Whether a connection should be open or on its way.
export function wantsConnection(stage) {
  return live.has(stage);
}
