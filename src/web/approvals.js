// Codex's open questions as this page knows them, free of the DOM: the bridge offers each one
// under its own id (again after every reconnect, under the same id), says when it is settled,
// and refuses an answer it cannot pass on. The approval cards are drawn from this alone.

const maxOpen = 64; // questions kept at once; the bridge holds few, more is a misbehaving peer
const maxNotes = 4;
const noteSeconds = 8;
const maxErrorLength = 300;

export const methods = new Set(["item/commandExecution/requestApproval", "item/fileChange/requestApproval"]);
const fallbackDecisions = ["accept", "acceptForSession", "decline"];
const approving = new Set(["accept", "acceptForSession"]);
const declining = new Set(["decline", "cancel"]);

function str(value) {
  return typeof value === "string" ? value : "";
}

// Codex's params and how long it has waited, from a version-2 body ({params, waitedSeconds}),
// or from a bridge that sends Codex's params alone.
export function readQuestion(body) {
  if (body && typeof body === "object" && Number.isInteger(body.waitedSeconds) &&
      body.params && typeof body.params === "object" && !Array.isArray(body.params)) {
    return { params: body.params, waitedSeconds: Math.max(0, body.waitedSeconds) };
  }
  return { params: body && typeof body === "object" && !Array.isArray(body) ? body : {}, waitedSeconds: 0 };
}

// The decisions Codex offered, in its order, each once; the usual three when it named none.
export function offeredDecisions(params) {
  const offered = Array.isArray(params?.availableDecisions) ? params.availableDecisions : fallbackDecisions;
  const seen = new Set();
  return offered.filter((decision) => {
    const usable = typeof decision === "string" || (decision && typeof decision === "object" && !Array.isArray(decision));
    const key = JSON.stringify(decision);
    if (!usable || seen.has(key)) return false;
    seen.add(key);
    return true;
  });
}

// What a settled card leaves behind, from the bridge's account of how it ended.
export function settledNote(body) {
  const name = str(body?.deviceName) || "another device";
  switch (body?.outcome) {
    case "answered":
      if (approving.has(body.decision)) return "Approved on " + name;
      if (declining.has(body.decision)) return "Declined on " + name;
      return "Answered on " + name;
    case "withdrawn":
      return "Codex no longer needs this";
    case "timedOut":
      return "Declined: nobody answered in time";
    case "restarted":
      return "Codex was restarted";
    default:
      return "Codex no longer needs this";
  }
}

export function waitedText(seconds) {
  if (seconds < 60) return `Waiting for ${seconds} s`;
  if (seconds < 3600) return `Waiting for ${Math.floor(seconds / 60)} min`;
  return `Waiting for ${Math.floor(seconds / 3600)} h ${Math.floor((seconds % 3600) / 60)} min`;
}

// One question: {id, method, params, askedAt (ms by `now`), error, sending, stale}.
export class ApprovalStore {
  constructor(now = () => Date.now()) {
    this.now = now;
    this.questions = new Map(); // bridge id -> question, oldest first
    this.notes = []; // {id, text, until}
    this.connected = false;
  }

  get open() {
    return this.questions.size;
  }

  // An offer from the bridge; true when it is a question this page did not show yet.
  offered(id, method, body) {
    const { params, waitedSeconds } = readQuestion(body);
    const askedAt = this.now() - waitedSeconds * 1000;
    const known = this.questions.get(id);
    if (known) {
      // Offered again (a new session): whatever was sent before may not have arrived.
      Object.assign(known, { method, params, askedAt, sending: false, stale: false });
      return false;
    }
    if (this.questions.size >= maxOpen) return false;
    this.questions.set(id, { id, method, params, askedAt, error: "", sending: false, stale: false });
    if (this.notes.some((note) => note.id === id)) this.notes = this.notes.filter((note) => note.id !== id);
    return true;
  }

  // Whether the answer may go out now; the card waits for the bridge to settle it.
  answering(id) {
    const question = this.questions.get(id);
    if (!question || question.sending || !this.connected) return false;
    question.sending = true;
    question.error = "";
    return true;
  }

  // The answer did not go out, or the bridge refused it: the question stays open.
  refused(id, text) {
    const question = this.questions.get(id);
    if (!question) return false;
    question.sending = false;
    question.error = str(text).slice(0, maxErrorLength) || "The computer refused this answer.";
    return true;
  }

  settled(id, body) {
    if (!this.questions.delete(id)) return false;
    this.notes = [...this.notes, { id, text: settledNote(body), until: this.now() + noteSeconds * 1000 }].slice(-maxNotes);
    return true;
  }

  // A new session was authorised: the bridge offers every open question again right away, so
  // the ones it does not offer before `sweep` were settled while this page was away.
  reconnected() {
    for (const question of this.questions.values()) question.stale = true;
  }

  sweep() {
    for (const [id, question] of this.questions) if (question.stale) this.questions.delete(id);
  }

  // The connection ended with this device no longer trusted: nothing here can be answered.
  clear() {
    this.questions.clear();
    this.notes = [];
  }

  // Notes whose time is up go; true when one did.
  expireNotes() {
    const now = this.now();
    if (this.notes.every((note) => note.until > now)) return false;
    this.notes = this.notes.filter((note) => note.until > now);
    return true;
  }

  waitedSeconds(question) {
    return Math.max(0, Math.floor((this.now() - question.askedAt) / 1000));
  }
}
