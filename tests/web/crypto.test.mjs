// The page's handshake cryptography against the bridge's own C++ functions (the vector program
// prints their output and checks signatures), and the page's handshake state machine against
// a bridge played here with the same functions.
import { execFileSync, spawnSync } from "node:child_process";
import assert from "node:assert/strict";
import { describe, test } from "node:test";

import * as c from "../../src/web/crypto.js";
import {
  BridgeSession, allowedSandboxes, decodeMessage, fitName, isValidName, percentEncode, readCeiling, readError,
} from "../../src/web/protocol.js";

const program = process.env.TARNWICK_PAGE_VECTORS;
assert.ok(program, "TARNWICK_PAGE_VECTORS names the vector program");
const vectors = JSON.parse(execFileSync(program, ["vectors"], { encoding: "utf8" }));

const hex = (bytes) => Buffer.from(bytes).toString("hex");
const fromHex = (text) => new Uint8Array(Buffer.from(text, "hex"));
const b64 = (bytes) => Buffer.from(bytes).toString("base64");
const cppVerifies = (key, bytes, signature) =>
  spawnSync(program, ["verify", key, b64(bytes), signature]).status === 0;

describe("the page computes what the bridge computes", () => {
  test("v2Text, byte for byte, with UTF-8 lengths", () => {
    for (const { label, fields, bytes } of vectors.v2Text) {
      assert.equal(b64(c.v2Text(label, fields)), bytes, `${label} ${JSON.stringify(fields)}`);
    }
  });

  test("commitment, proof texts, code and QR secret proof, with and without a certificate", async () => {
    const { bridge, device, bridgePairingNonce: rB, devicePairingNonce: rD } = vectors;
    assert.equal(await c.pairingCommitment(device.publicKey, rD), vectors.commitment);
    for (const which of ["browser", "native"]) {
      const v = vectors[which];
      assert.equal(b64(c.bridgeProofText(bridge, device, v.fp)), v.bridgeProofText, which);
      assert.equal(b64(c.deviceProofText(device, bridge, v.fp)), v.deviceProofText, which);
      assert.equal(b64(c.qrPairingText(device, bridge, v.fp)), v.qrPairingText, which);
      const code = await c.pairingCode(bridge.publicKey, device.publicKey, bridge.nonce, device.nonce, rB, rD, v.fp);
      assert.equal(code, v.code, which);
      const proof = await c.qrPairingProof(c.base64Decode(vectors.secret), c.qrPairingText(device, bridge, v.fp));
      assert.equal(proof, v.qrSecretProof, which);
    }
  });

  test("the bridge's DER signature verifies in the page, and not over another text", async () => {
    const { bridge, device } = vectors;
    const v = vectors.browser;
    const text = c.bridgeProofText(bridge, device, v.fp);
    assert.equal(await c.verifyText(bridge.publicKey, text, v.bridgeSignature), true);
    const other = c.bridgeProofText(bridge, { ...device, nonce: c.randomNonce() }, v.fp);
    assert.equal(await c.verifyText(bridge.publicKey, other, v.bridgeSignature), false);
    assert.equal(await c.verifyText(device.publicKey, text, v.bridgeSignature), false);
    // A point off the curve and a key of another size are refused, not thrown.
    assert.equal(await c.verifyText(c.base64Encode(new Uint8Array(64).fill(1)), text, v.bridgeSignature), false);
    assert.equal(await c.verifyText(c.base64Encode(new Uint8Array(65)), text, v.bridgeSignature), false);
  });

  test("signatures the page makes verify with the bridge's verifySignature", async () => {
    const keys = await c.generateDeviceKey();
    assert.equal(keys.privateKey.extractable, false);
    const key = await c.publicKeyText(keys.publicKey);
    assert.equal(c.base64Decode(key).length, 64);
    let highBit = 0;
    // Enough signatures that r or s with the high bit set (a 0x00 in DER) occurs many times.
    for (let i = 0; i < 24; i++) {
      const text = c.v2Text("tarnwick-v2-device-proof", [String(i), "Ana's iPhone 😀"]);
      const signature = await c.signText(keys.privateKey, text);
      const der = c.base64Decode(signature);
      if (der.includes(0x21)) highBit++;
      assert.ok(cppVerifies(key, text, signature), `signature ${i}`);
      if (i < 3) assert.equal(cppVerifies(key, c.v2Text("other", [String(i)]), signature), false);
    }
    assert.ok(highBit > 0);
  });
});

describe("r‖s to DER", () => {
  const raw = (r, s) => {
    const out = new Uint8Array(64);
    out.set(r, 32 - r.length);
    out.set(s, 64 - s.length);
    return out;
  };

  test("high bit set gets a 0x00, leading zeros go, and both convert back", () => {
    const high = new Uint8Array(32).fill(0xff);
    const small = new Uint8Array([0x00, 0x00, 0x7f, 0x01]);
    const der = c.rawSignatureToDer(raw(high, small));
    assert.equal(hex(der.subarray(0, 5)), "3027022100");
    assert.equal(hex(der.subarray(der.length - 4)), "02027f01");
    assert.deepEqual(c.derSignatureToRaw(der), raw(high, small));

    const zeroHigh = raw(new Uint8Array([0x00, 0x80, 1]), new Uint8Array([0]));
    const der2 = c.rawSignatureToDer(zeroHigh);
    assert.equal(hex(der2), "3008" + "0203008001" + "020100");
    assert.deepEqual(c.derSignatureToRaw(der2), zeroHigh);
  });

  test("DER that is not minimal, negative, or has more bytes is refused", () => {
    for (const bad of [
      "3008020200010201" + "01", // length says 8, one byte short
      "300702020001020101", // r with a needless 0x00
      "3006020180020101", // r negative
      "300602010102010100", // trailing byte
      "310602010102010100".slice(0, 16), // not a SEQUENCE
      "3000",
    ]) {
      assert.equal(c.derSignatureToRaw(fromHex(bad)), null, bad);
    }
    assert.throws(() => c.rawSignatureToDer(new Uint8Array(63)));
  });

  test("base64 is strict and base64url has no padding", () => {
    assert.equal(c.base64Decode("QR=="), null); // bits below the padding
    assert.equal(c.base64Decode("QQ="), null);
    assert.equal(c.base64Decode("Q=Q="), null);
    assert.deepEqual(c.base64Decode("QQ=="), new Uint8Array([0x41]));
    const bytes = new Uint8Array([0xfb, 0xff, 0xfe, 0x00]);
    assert.equal(c.base64UrlEncode(bytes), "-__-AA");
    assert.deepEqual(c.base64UrlDecode("-__-AA"), bytes);
    assert.equal(c.base64UrlDecode("-__-AA=="), null);
  });
});

// A bridge played with the same functions, to drive the page's session.
async function makeBridge() {
  const keys = await c.generateDeviceKey();
  const offer = {
    deviceID: "B0000000-0000-4000-8000-000000000000",
    displayName: "Workstation",
    publicKey: await c.publicKeyText(keys.publicKey),
    nonce: c.randomNonce(),
    certificate: "ab".repeat(32),
  };
  return { keys, offer };
}

async function makePage(options) {
  const keys = await c.generateDeviceKey();
  const identity = {
    deviceID: "D0000000-0000-4000-8000-000000000000",
    displayName: "Ana's iPhone",
    privateKey: keys.privateKey,
    publicKey: await c.publicKeyText(keys.publicKey),
  };
  const sent = [];
  const heard = [];
  const listener = new Proxy({}, { get: (_, name) => (...args) => heard.push([name, ...args]) });
  const session = new BridgeSession(identity, (text) => sent.push(JSON.parse(text)), listener, options);
  return { identity, session, sent, heard };
}

const message = (kind, body, extra = {}) => JSON.stringify({ version: 1, kind, body, ...extra });

describe("the page's handshake", () => {
  test("offer, proof, pairing by code and by QR secret", async () => {
    const bridge = await makeBridge();
    const page = await makePage();
    await page.session.receive(message("hello", { protocol: 2, ...bridge.offer }));
    const [hello] = page.sent;
    assert.equal(hello.kind, "hello");
    assert.equal(hello.body.protocol, 2);
    assert.equal(hello.body.certificate, "");
    const device = hello.body;

    const proofText = c.bridgeProofText(bridge.offer, device, "");
    await page.session.receive(message("proof", { signature: await c.signText(bridge.keys.privateKey, proofText) }));
    const [, proof] = page.sent;
    assert.equal(proof.kind, "proof");
    assert.ok(cppVerifies(device.publicKey, c.deviceProofText(device, bridge.offer, ""), proof.body.signature));
    assert.equal(page.sent.length, 2, "nothing but the proof until the bridge says more");
    await page.session.receive(message("notTrusted", { deviceID: device.deviceID }));
    assert.deepEqual(page.heard.at(-1), ["onUntrusted"]);

    await page.session.pairWithCode();
    const commitment = page.sent.at(-1).body.commitment;
    const rB = c.randomNonce();
    await page.session.receive(message("pairingNonce", { nonce: rB }));
    const rD = page.sent.at(-1).body.nonce;
    assert.equal(await c.pairingCommitment(device.publicKey, rD), commitment);
    const code = await c.pairingCode(bridge.offer.publicKey, device.publicKey, bridge.offer.nonce, device.nonce, rB, rD, "");
    assert.deepEqual(page.heard.at(-1), ["onCode", code]);

    const secret = c.randomBytes(32);
    await page.session.pairWithSecret(secret);
    const expected = await c.qrPairingProof(secret, c.qrPairingText(device, bridge.offer, ""));
    assert.equal(page.sent.at(-1).body.secretProof, expected);
    for (let i = 0; i < 6; i++) await page.session.pairWithSecret(secret);
    assert.equal(page.sent.filter((m) => m.body?.secretProof).length, 5);

    await page.session.receive(message("pairingAccepted", { protocol: 2 }));
    assert.equal(page.session.authorised, true);
    const answer = page.session.request("thread/list", { limit: 1 });
    const request = page.sent.at(-1);
    assert.deepEqual([request.kind, request.method, request.body], ["request", "thread/list", { limit: 1 }]);
    // Not an answer to the page's own request: about one of Codex's questions.
    const refusal = "Codex did not offer that decision for this question.";
    await page.session.receive(message("serverRequestSettled", { outcome: "withdrawn" }, { id: "Q1" }));
    await page.session.receive(message("error", { code: "notOffered", message: refusal }, { id: "Q1" }));
    assert.deepEqual(page.heard.slice(-2), [["onSettled", "Q1", { outcome: "withdrawn" }], ["onAnswerRefused", "Q1", refusal]]);
    // Decided by the code: another text, or none, changes nothing; an unknown code is a refusal.
    const second = page.session.request("thread/read", {});
    await page.session.receive(message("error", { code: "tooLarge", message: "Too big." }, { id: page.sent.at(-1).id }));
    await assert.rejects(second, (error) => error.code === "tooLarge" && error.message === "Too big.");
    await page.session.receive(message("error", { code: "notPaired", message: "Some other words." }, { id: request.id }));
    await assert.rejects(answer, { code: "notPaired" });
    assert.deepEqual(page.heard.at(-1), ["onNotPaired"]);
    assert.equal(page.session.authorised, false);
    // Forgotten: said once, whatever its text.
    Object.assign(page.session, { authorised: true });
    await page.session.receive(message("forgotten", { code: "forgotten", message: "Any words." }));
    assert.deepEqual(page.heard.slice(-2), [["onNotPaired"], ["onForgotten"]]);
    assert.equal(page.session.authorised, false);
  });

  test("a replayed or foreign proof, another key than the pinned one, and traffic before the proof are refused", async () => {
    const bridge = await makeBridge();
    // A proof captured on another connection covers another device nonce.
    const page = await makePage();
    await page.session.receive(message("hello", { protocol: 2, ...bridge.offer }));
    const stale = { ...page.sent[0].body, nonce: c.randomNonce() };
    await page.session.receive(message("event", {}, { method: "turn/started" }));
    assert.ok(!page.heard.some(([name]) => name === "onEvent"));
    await page.session.receive(
      message("proof", { signature: await c.signText(bridge.keys.privateKey, c.bridgeProofText(bridge.offer, stale, "")) }),
    );
    assert.equal(page.sent.length, 1, "nothing is signed or sent after a bad proof");
    assert.ok(page.heard.some(([name, why]) => name === "onRefused" && /did not verify/.test(why)));
    assert.equal(await page.session.pairWithCode(), false);

    const pinned = await makePage({ pinnedKey: (await makeBridge()).offer.publicKey });
    await pinned.session.receive(message("hello", { protocol: 2, ...bridge.offer }));
    assert.equal(pinned.sent.length, 0);
    assert.ok(pinned.heard.some(([name]) => name === "onRefused"));
  });

  test("what the bridge sends is checked before it is used", () => {
    for (const bad of ["[]", "null", '{"kind":"hello"}', '{"version":1,"kind":"shout"}', '{"version":1,"kind":"event","id":7}']) {
      assert.throws(() => decodeMessage(bad), Error, bad);
    }
    assert.deepEqual(decodeMessage('{"version":1,"kind":"notTrusted","id":null,"body":null}'), { version: 1, kind: "notTrusted" });
    for (const [body, expected] of [
      [{ code: "notReady", message: "Codex is starting." }, { code: "notReady", message: "Codex is starting." }],
      ["Pair this device first.", { code: "", message: "Pair this device first." }], // an older bridge
      [{ code: 7 }, { code: "", message: "The bridge refused." }],
      [{ code: "x", message: "m".repeat(5000) }, { code: "x", message: "m".repeat(1000) }],
    ]) {
      assert.deepEqual(readError(body), expected, JSON.stringify(body).slice(0, 60));
    }
    const ceiling = { sandbox: "workspace-write", approvalNever: false, networkAccess: false, roots: ["/home/ada"] };
    assert.deepEqual(allowedSandboxes(readCeiling(ceiling)), ["read-only", "workspace-write"]);
    for (const bad of [{ ...ceiling, sandbox: "none" }, { ...ceiling, roots: ["relative"] }, { ...ceiling, roots: Array(65).fill("/") },
      { ...ceiling, approvalNever: "no" }, [ceiling]]) {
      assert.equal(readCeiling(bad), null, JSON.stringify(bad).slice(0, 60));
    }
  });

  test("display names fit the bridge's limit at a character boundary", () => {
    const name = fitName("😀".repeat(20) + "\u0007x");
    assert.equal(name, "😀".repeat(15));
    assert.ok(isValidName(name));
    assert.equal(isValidName("a\u0000"), false);
    assert.equal(percentEncode("Ana's 😀~"), "Ana%27s%20%F0%9F%98%80~");
  });
});
