// The device end of the bridge protocol as the page speaks it, free of the DOM: the envelope,
// the version-2 handshake (the bridge offers, this page offers, the bridge proves, this page
// proves), pairing by QR secret or by commit-and-reveal code, requests matched to their answers
// by id, events and approval questions.
//
// A browser cannot see the certificate of its connection, so it names none ("") in its offer
// and every signed text; the bridge's proof still binds this page's fresh nonce, and the page
// remembers the bridge's key after pairing and refuses a bridge that offers another one.

import * as crypto from "./crypto.js";

export const subprotocol = "tarnwick.v2";
export const maxNameBytes = 63;
const envelopeVersion = 1;
const maxSecretProofs = 5;
const maxErrorLength = 1000;
// How the bridge closes a session it ends on purpose.
export const closeCodes = { forgotten: 4001, replaced: 4002 };

const kinds = new Set([
  "hello",
  "pairingRequest",
  "pairingAccepted",
  "pairingRejected",
  "request",
  "response",
  "event",
  "serverRequest",
  "serverResponse",
  "serverRequestSettled",
  "error",
  "ping",
  "proof",
  "pairingNonce",
  "ceiling",
  "notTrusted",
  "forgotten",
]);

const sandboxModes = ["read-only", "workspace-write", "danger-full-access"];

// The most this device may ask Codex to do, as the bridge tells it; null when the body is not
// one. At most 64 roots of at most 4096 characters each are taken.
export function readCeiling(body) {
  if (!body || typeof body !== "object" || Array.isArray(body)) return null;
  const { sandbox, approvalNever, networkAccess, roots } = body;
  if (!sandboxModes.includes(sandbox) || typeof approvalNever !== "boolean" || typeof networkAccess !== "boolean") {
    return null;
  }
  if (!Array.isArray(roots) || roots.length > 64) return null;
  if (!roots.every((root) => typeof root === "string" && root.startsWith("/") && root.length <= 4096)) return null;
  return { sandbox, approvalNever, networkAccess, roots: [...roots] };
}

// The sandbox modes a ceiling allows, narrowest first.
export function allowedSandboxes(ceiling) {
  return sandboxModes.slice(0, sandboxModes.indexOf(ceiling.sandbox) + 1);
}

// An error's stable code and its text for people: {code, message} from a version-2 bridge, a
// text alone from an older one (code ""). Decisions go by the code, never by the text.
export function readError(body) {
  const cut = (text) => (typeof text === "string" ? text.slice(0, maxErrorLength) : "");
  if (body && typeof body === "object" && !Array.isArray(body)) {
    return { code: cut(body.code), message: cut(body.message) || "The bridge refused." };
  }
  return { code: "", message: cut(body) || "The bridge refused." };
}

// A refused request: its message for people, its code for the page.
export class BridgeError extends Error {
  constructor({ code, message }) {
    super(message);
    this.code = code;
  }
}

export function encodeMessage(kind, { id, method, body } = {}) {
  const message = { version: envelopeVersion, kind };
  if (id !== undefined) message.id = id;
  if (method !== undefined) message.method = method;
  if (body !== undefined) message.body = body;
  return JSON.stringify(message);
}

// The envelope's rules: an object with an integer "version", a known "kind", text "id" and
// "method" when present. Throws with a description otherwise.
export function decodeMessage(text) {
  const message = JSON.parse(text);
  if (message === null || typeof message !== "object" || Array.isArray(message)) {
    throw new Error("The message is not a JSON object.");
  }
  if (!Number.isInteger(message.version)) throw new Error("The message has no integer version.");
  if (!kinds.has(message.kind)) throw new Error("The message's kind is not a known kind.");
  for (const key of ["id", "method"]) {
    if (message[key] === null) delete message[key];
    if (message[key] !== undefined && typeof message[key] !== "string") {
      throw new Error(`The message's "${key}" is not a text.`);
    }
  }
  if (message.body === null) delete message.body;
  return message;
}

// A version-2 offer: five texts and "protocol": 2. Null when the body is not one.
export function readOffer(body) {
  if (!body || typeof body !== "object" || body.protocol !== 2) return null;
  const offer = {};
  for (const key of ["deviceID", "displayName", "publicKey", "nonce", "certificate"]) {
    if (typeof body[key] !== "string") return null;
    offer[key] = body[key];
  }
  const point = crypto.base64Decode(offer.publicKey);
  if (!point || point.length !== 64 || !crypto.isNonce(offer.nonce)) return null;
  return offer;
}

export function offerBody(offer) {
  return { protocol: 2, ...offer };
}

function utf8Length(text) {
  return crypto.utf8(text).length;
}

function hasControl(text) {
  return /[\u0000-\u001f\u007f-\u009f]/.test(text);
}

// A display name the bridge takes: 1 to 63 bytes of UTF-8 without control characters.
export function isValidName(name) {
  return typeof name === "string" && name.length > 0 && utf8Length(name) <= maxNameBytes &&
    !hasControl(name) && name.isWellFormed?.() !== false;
}

// The name as typed, without control characters and cut at a character boundary to fit.
export function fitName(name) {
  const text = String(name).replace(/[\u0000-\u001f\u007f-\u009f]/g, "").trim();
  // Whole characters as people see them (an emoji with its modifiers), where the browser knows.
  const characters = globalThis.Intl?.Segmenter
    ? Array.from(new Intl.Segmenter(undefined, { granularity: "grapheme" }).segment(text), (s) => s.segment)
    : Array.from(text);
  let out = "";
  for (const character of characters) {
    if (utf8Length(out + character) > maxNameBytes) break;
    out += character;
  }
  return out.trim();
}

export function defaultName(userAgent) {
  if (/iPhone|iPod/.test(userAgent)) return "iPhone";
  if (/iPad/.test(userAgent)) return "iPad";
  if (/Android/.test(userAgent)) return "Android phone";
  return "Web browser";
}

// Byte by byte, everything but A-Z a-z 0-9 - . _ ~ as %XX: the form the bridge decodes.
export function percentEncode(text) {
  let out = "";
  for (const byte of crypto.utf8(text)) {
    const c = String.fromCharCode(byte);
    out += /[A-Za-z0-9._~-]/.test(c)
      ? c
      : "%" + byte.toString(16).toUpperCase().padStart(2, "0");
  }
  return out;
}

export function sessionPath(name) {
  return "/session?peer=" + percentEncode(name);
}

// A fresh device ID in the form native devices use: an uppercase UUID.
export function newDeviceID() {
  return globalThis.crypto.randomUUID().toUpperCase();
}

// One connection's handshake and traffic. `identity` is {deviceID, displayName, privateKey,
// publicKey (base64 of the 64-byte point)}; `send(text)` writes one message; `listener` gets
// onProblem(text), onUntrusted(), onAccepted(offer), onRejected(), onCode(code),
// onEvent(method, params), onServerRequest(id, method, body), onSettled(id, body),
// onAnswerRefused(id, text) (an error about a question's answer), onForgotten(),
// onNotPaired() (a request refused with "notPaired"), onRefused(reason), onCeiling(ceiling).
// `pinnedKey`, when given, is the bridge key this page paired with.
export class BridgeSession {
  constructor(identity, send, listener = {}, { pinnedKey = null } = {}) {
    this.identity = identity;
    this.sendText = send;
    this.listener = listener;
    this.pinnedKey = pinnedKey;
    this.ownOffer = null;
    this.bridgeOffer = null;
    this.proven = false;
    this.authorised = false;
    this.refused = null;
    this.pairingNonce = null;
    this.awaitingBridgeNonce = false;
    this.secretProofs = 0;
    this.code = null;
    this.pending = new Map();
    this.nextRequest = 1;
    this.queue = Promise.resolve();
  }

  // Messages are handled one after the other although checking them takes promises.
  receive(text) {
    this.queue = this.queue.then(() => this.handle(text)).catch((error) => {
      this.problem(`The bridge sent something this page cannot use: ${error.message}`);
    });
    return this.queue;
  }

  problem(text) {
    this.listener.onProblem?.(text);
  }

  // Nothing more is sent on this connection.
  refuse(reason) {
    if (this.refused) return;
    this.refused = reason;
    this.failPending(reason);
    this.listener.onRefused?.(reason);
  }

  send(kind, fields) {
    if (this.refused) return false;
    if (!this.proven && kind !== "hello" && kind !== "proof") return false;
    this.sendText(encodeMessage(kind, fields));
    return true;
  }

  async handle(text) {
    if (this.refused) return;
    const message = decodeMessage(text);
    if (!this.proven && message.kind !== "hello" && message.kind !== "proof") {
      this.problem(`The bridge sent "${message.kind}" before it proved itself.`);
      return;
    }
    switch (message.kind) {
      case "hello":
        return this.bridgeOffered(message.body);
      case "proof":
        return this.bridgeProofArrived(message.body);
      case "pairingNonce":
        return this.bridgeNonceArrived(message.body);
      case "notTrusted":
        if (!this.authorised) this.listener.onUntrusted?.();
        return;
      case "forgotten":
        this.authorised = false;
        this.listener.onForgotten?.();
        return;
      case "pairingAccepted":
        this.authorised = true;
        this.awaitingBridgeNonce = false;
        this.listener.onAccepted?.(this.bridgeOffer);
        return;
      case "ceiling": {
        const ceiling = this.authorised ? readCeiling(message.body) : null;
        if (ceiling) this.listener.onCeiling?.(ceiling);
        return;
      }
      case "pairingRejected":
        this.awaitingBridgeNonce = false;
        this.code = null;
        this.listener.onRejected?.();
        return;
      case "response":
      case "error":
        return this.answered(message);
      case "event":
        if (message.method) this.listener.onEvent?.(message.method, message.body ?? {});
        return;
      case "serverRequest":
        if (message.id && message.method) {
          this.listener.onServerRequest?.(message.id, message.method, message.body ?? {});
        }
        return;
      case "serverRequestSettled":
        if (message.id && this.authorised) this.listener.onSettled?.(message.id, message.body ?? {});
        return;
      default:
        return;
    }
  }

  async bridgeOffered(body) {
    if (this.bridgeOffer) return this.refuse("The bridge offered itself twice on one connection.");
    const offer = readOffer(body);
    if (!offer) return this.refuse("The bridge's hello is not a version-2 offer.");
    if (this.pinnedKey && offer.publicKey !== this.pinnedKey) {
      return this.refuse("The computer answered with another key than the one this phone paired with.");
    }
    this.bridgeOffer = offer;
    this.ownOffer = {
      deviceID: this.identity.deviceID,
      displayName: this.identity.displayName,
      publicKey: this.identity.publicKey,
      nonce: crypto.randomNonce(),
      certificate: "",
    };
    this.send("hello", { body: offerBody(this.ownOffer) });
  }

  async bridgeProofArrived(body) {
    if (!this.ownOffer || this.proven) return this.refuse("The bridge sent a proof out of turn.");
    const signature = body && typeof body.signature === "string" ? body.signature : null;
    const text = crypto.bridgeProofText(this.bridgeOffer, this.ownOffer, "");
    if (!signature || !(await crypto.verifyText(this.bridgeOffer.publicKey, text, signature))) {
      return this.refuse("The bridge's proof did not verify.");
    }
    const proof = await crypto.signText(
      this.identity.privateKey,
      crypto.deviceProofText(this.ownOffer, this.bridgeOffer, ""),
    );
    this.send("proof", { body: { signature: proof } });
    this.proven = true;
  }

  // Asks to be paired with the QR code's secret; false when the page may not (yet).
  async pairWithSecret(secret) {
    if (!this.proven || this.authorised || this.secretProofs >= maxSecretProofs) return false;
    this.secretProofs++;
    const proof = await crypto.qrPairingProof(
      secret,
      crypto.qrPairingText(this.ownOffer, this.bridgeOffer, ""),
    );
    return this.send("pairingRequest", { body: { secretProof: proof } });
  }

  // Starts a pairing by code: commit to a nonce now, reveal it once the bridge's is known.
  async pairWithCode() {
    if (!this.proven || this.authorised) return false;
    const nonce = crypto.randomNonce();
    this.pairingNonce = nonce;
    this.code = null;
    const commitment = await crypto.pairingCommitment(this.ownOffer.publicKey, nonce);
    this.awaitingBridgeNonce = this.send("pairingRequest", { body: { commitment } });
    return this.awaitingBridgeNonce;
  }

  async bridgeNonceArrived(body) {
    if (!this.awaitingBridgeNonce) return this.problem("The bridge sent a pairing nonce nobody asked for.");
    const nonce = body && typeof body.nonce === "string" ? body.nonce : null;
    if (!nonce || !crypto.isNonce(nonce)) return this.problem("The bridge's pairing nonce is malformed.");
    this.awaitingBridgeNonce = false;
    const own = this.pairingNonce;
    this.send("pairingNonce", { body: { nonce: own } });
    this.code = await crypto.pairingCode(
      this.bridgeOffer.publicKey,
      this.ownOffer.publicKey,
      this.bridgeOffer.nonce,
      this.ownOffer.nonce,
      nonce,
      own,
      "",
    );
    this.listener.onCode?.(this.code);
  }

  // Resolves when the bridge answers, rejects when the connection ends first.
  ping() {
    return new Promise((resolve, reject) => {
      const id = "p" + this.nextRequest++;
      this.pending.set(id, { resolve, reject });
      if (!this.send("ping", { id })) {
        this.pending.delete(id);
        reject(new Error("Not connected to the bridge."));
      }
    });
  }

  answered(message) {
    const waiting = message.id !== undefined ? this.pending.get(message.id) : undefined;
    if (!waiting) {
      // Not one of this page's requests: the bridge refused an answer to one of its questions.
      if (message.kind === "error" && message.id && this.authorised) {
        this.listener.onAnswerRefused?.(message.id, readError(message.body).message);
      }
      return;
    }
    this.pending.delete(message.id);
    if (message.kind === "response") {
      waiting.resolve(message.body ?? null);
      return;
    }
    const error = readError(message.body);
    if (error.code === "notPaired") {
      this.authorised = false;
      this.listener.onNotPaired?.();
    }
    waiting.reject(new BridgeError(error));
  }

  // One allowlisted request; resolves with the result, rejects with the error text.
  request(method, params = {}) {
    return new Promise((resolve, reject) => {
      const id = "w" + this.nextRequest++;
      this.pending.set(id, { resolve, reject });
      if (!this.send("request", { id, method, body: params })) {
        this.pending.delete(id);
        reject(new Error(this.refused ?? "Not connected to the bridge."));
      }
    });
  }

  answer(serverRequestID, decision) {
    return this.send("serverResponse", { id: serverRequestID, body: { decision } });
  }

  failPending(reason) {
    const pending = [...this.pending.values()];
    this.pending.clear();
    for (const waiting of pending) waiting.reject(new Error(reason));
  }

  // The connection ended.
  closed() {
    this.failPending("The bridge went away before it answered.");
    this.refused = this.refused ?? "closed";
  }
}
