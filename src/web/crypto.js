// The handshake's cryptography, free of the page: every text that is signed, hashed or MACed,
// the base64 forms, and the conversion between WebCrypto's r‖s signatures and DER. Runs in a
// browser and in node (both have globalThis.crypto.subtle).

const subtle = globalThis.crypto.subtle;
const encoder = new TextEncoder();

export const labels = Object.freeze({
  bridgeProof: "tarnwick-v2-bridge-proof",
  deviceProof: "tarnwick-v2-device-proof",
  commit: "tarnwick-v2-commit",
  code: "tarnwick-v2-code",
  qrPairing: "tarnwick-v2-qr-pairing",
});

export function utf8(text) {
  return encoder.encode(text);
}

export function concatBytes(...parts) {
  const out = new Uint8Array(parts.reduce((sum, part) => sum + part.length, 0));
  let at = 0;
  for (const part of parts) {
    out.set(part, at);
    at += part.length;
  }
  return out;
}

// The label, then for each field "|" <its UTF-8 byte length> ":" <its bytes>.
export function v2Text(label, fields) {
  const parts = [utf8(label)];
  for (const field of fields) {
    const bytes = typeof field === "string" ? utf8(field) : field;
    parts.push(utf8(`|${bytes.length}:`), bytes);
  }
  return concatBytes(...parts);
}

const alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
const alphabetIndex = new Map([...alphabet].map((c, i) => [c, i]));

export function base64Encode(bytes) {
  let out = "";
  for (let i = 0; i < bytes.length; i += 3) {
    const n = (bytes[i] << 16) | ((bytes[i + 1] ?? 0) << 8) | (bytes[i + 2] ?? 0);
    out += alphabet[(n >> 18) & 63] + alphabet[(n >> 12) & 63];
    out += i + 1 < bytes.length ? alphabet[(n >> 6) & 63] : "=";
    out += i + 2 < bytes.length ? alphabet[n & 63] : "=";
  }
  return out;
}

// Strict standard base64: padded, canonical, nothing else. Returns null for anything else.
export function base64Decode(text) {
  if (typeof text !== "string" || text.length % 4 !== 0) return null;
  const padding = text.endsWith("==") ? 2 : text.endsWith("=") ? 1 : 0;
  const bytes = new Uint8Array((text.length / 4) * 3 - padding);
  let at = 0;
  for (let i = 0; i < text.length; i += 4) {
    let n = 0;
    for (let j = 0; j < 4; j++) {
      const c = text[i + j];
      const last = i + 4 === text.length;
      if (c === "=" && last && j >= 4 - padding) {
        n <<= 6;
        continue;
      }
      const value = alphabetIndex.get(c);
      if (value === undefined) return null;
      n = (n << 6) | value;
    }
    const three = [(n >> 16) & 255, (n >> 8) & 255, n & 255];
    for (let k = 0; k < 3 && at < bytes.length; k++) bytes[at++] = three[k];
    // Bits below the padding must be zero, or two texts would mean the same bytes.
    if (i + 4 === text.length && padding && three[3 - padding] !== 0) return null;
  }
  return bytes;
}

export function base64UrlEncode(bytes) {
  return base64Encode(bytes).replace(/\+/g, "-").replace(/\//g, "_").replace(/=+$/, "");
}

export function base64UrlDecode(text) {
  if (typeof text !== "string" || !/^[A-Za-z0-9_-]*$/.test(text) || text.length % 4 === 1) {
    return null;
  }
  const standard = text.replace(/-/g, "+").replace(/_/g, "/");
  return base64Decode(standard + "=".repeat((4 - (standard.length % 4)) % 4));
}

export function randomBytes(count) {
  return globalThis.crypto.getRandomValues(new Uint8Array(count));
}

// 32 fresh random bytes in standard base64: every nonce of the handshake.
export function randomNonce() {
  return base64Encode(randomBytes(32));
}

export function isNonce(text) {
  const bytes = base64Decode(text);
  return bytes !== null && bytes.length === 32;
}

export async function sha256(bytes) {
  return new Uint8Array(await subtle.digest("SHA-256", bytes));
}

export async function hmacSha256(keyBytes, message) {
  const key = await subtle.importKey("raw", keyBytes, { name: "HMAC", hash: "SHA-256" }, false, [
    "sign",
  ]);
  return new Uint8Array(await subtle.sign("HMAC", key, message));
}

// One DER INTEGER from a 32-byte unsigned big-endian number: leading zeros go, and a 0x00 comes
// first when the high bit is set, so the number stays positive.
function derInteger(bytes) {
  let start = 0;
  while (start < bytes.length - 1 && bytes[start] === 0) start++;
  let body = bytes.subarray(start);
  if (body[0] & 0x80) body = concatBytes(new Uint8Array([0]), body);
  return concatBytes(new Uint8Array([0x02, body.length]), body);
}

// WebCrypto's P-256 signature (r‖s, 32 bytes each) as the DER SEQUENCE the bridge checks.
export function rawSignatureToDer(raw) {
  if (raw.length !== 64) throw new Error("A P-256 signature has 64 bytes.");
  const r = derInteger(raw.subarray(0, 32));
  const s = derInteger(raw.subarray(32));
  return concatBytes(new Uint8Array([0x30, r.length + s.length]), r, s);
}

// The reverse, strictly: minimal INTEGERs, positive, no trailing bytes. Null when not so.
export function derSignatureToRaw(der) {
  if (der.length < 8 || der.length > 72 || der[0] !== 0x30 || der[1] !== der.length - 2) {
    return null;
  }
  const out = new Uint8Array(64);
  let at = 2;
  for (let part = 0; part < 2; part++) {
    if (at + 2 > der.length || der[at] !== 0x02) return null;
    const length = der[at + 1];
    const body = der.subarray(at + 2, at + 2 + length);
    if (length === 0 || body.length !== length || length > 33) return null;
    if (body[0] & 0x80) return null; // negative
    if (length > 1 && body[0] === 0 && !(body[1] & 0x80)) return null; // not minimal
    const value = body[0] === 0 && length > 1 ? body.subarray(1) : body;
    if (value.length > 32) return null;
    out.set(value, part * 32 + 32 - value.length);
    at += 2 + length;
  }
  return at === der.length ? out : null;
}

const ecdsa = { name: "ECDSA", namedCurve: "P-256" };
const ecdsaSha256 = { name: "ECDSA", hash: "SHA-256" };

// A new key pair whose private half never leaves WebCrypto.
export async function generateDeviceKey() {
  return subtle.generateKey(ecdsa, false, ["sign", "verify"]);
}

// The raw point without its 0x04 prefix: 64 bytes, standard base64, as native devices send it.
export async function publicKeyText(publicKey) {
  const raw = new Uint8Array(await subtle.exportKey("raw", publicKey));
  return base64Encode(raw.subarray(1));
}

export async function signText(privateKey, bytes) {
  const raw = new Uint8Array(await subtle.sign(ecdsaSha256, privateKey, bytes));
  return base64Encode(rawSignatureToDer(raw));
}

// Whether `signature` (base64 DER) signs `bytes` under the 64-byte point in `publicKey`.
export async function verifyText(publicKey, bytes, signature) {
  const point = base64Decode(publicKey);
  const der = base64Decode(signature);
  const raw = der && derSignatureToRaw(der);
  if (!point || point.length !== 64 || !raw) return false;
  try {
    const key = await subtle.importKey(
      "raw",
      concatBytes(new Uint8Array([4]), point),
      ecdsa,
      false,
      ["verify"],
    );
    return await subtle.verify(ecdsaSha256, key, raw, bytes);
  } catch {
    return false; // not a point on the curve
  }
}

function proofFields(first, second, fp) {
  return [
    first.deviceID,
    first.displayName,
    first.publicKey,
    first.nonce,
    second.deviceID,
    second.displayName,
    second.publicKey,
    second.nonce,
    fp,
  ];
}

export function bridgeProofText(bridge, device, fp) {
  return v2Text(labels.bridgeProof, proofFields(bridge, device, fp));
}

export function deviceProofText(device, bridge, fp) {
  return v2Text(labels.deviceProof, proofFields(device, bridge, fp));
}

export function qrPairingText(device, bridge, fp) {
  return v2Text(labels.qrPairing, proofFields(device, bridge, fp));
}

// base64 of HMAC-SHA256 keyed with the QR code's 32 secret bytes.
export async function qrPairingProof(secret, text) {
  return base64Encode(await hmacSha256(secret, text));
}

export async function pairingCommitment(devicePublicKey, deviceNonce) {
  return base64Encode(await sha256(v2Text(labels.commit, [devicePublicKey, deviceNonce])));
}

export async function pairingCode(
  bridgeKey,
  deviceKey,
  bridgeNonce,
  deviceNonce,
  bridgePairingNonce,
  devicePairingNonce,
  fp,
) {
  const digest = await sha256(
    v2Text(labels.code, [
      bridgeKey,
      deviceKey,
      bridgeNonce,
      deviceNonce,
      bridgePairingNonce,
      devicePairingNonce,
      fp,
    ]),
  );
  const leading = ((digest[0] << 24) | (digest[1] << 16) | (digest[2] << 8) | digest[3]) >>> 0;
  return String(leading % 1000000).padStart(6, "0");
}
