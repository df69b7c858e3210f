"""An independent device for interoperability tests, written from the hello rules alone with
the Python "cryptography" package.

Reads one JSON request on standard input and writes one JSON answer on standard output:
  {"verify": [hello, ...]}            -> {"verified": [bool, ...]}
  {"make": [{"deviceID", "displayName"}, ...]}
                                      -> {"made": [hello, ...]}
  {"codes": [[helloA, helloB], ...]}  -> {"codes": ["123456", ...]}
Version 2:
  {"v2Make": [{"bridge": offer, "deviceID", "displayName", "fp"}, ...]}
                                      -> {"v2Made": [{"offer": offer, "signature": sig}, ...]}
      (the device's offer with this peer's key and a fresh nonce, and its device proof)
  {"v2Verify": [{"bridge": offer, "device": offer, "fp", "signature"}, ...]}
                                      -> {"v2Verified": [bool, ...]}  (the bridge proofs)
  {"v2Commitments": [[key, nonce], ...]}           -> {"v2Commitments": [base64, ...]}
  {"v2Codes": [[pkB, pkD, nB, nD, rB, rD, fp], ...]} -> {"v2Codes": ["123456", ...]}
Every hello and offer of one request is signed with the same new key.
"""
import base64
import binascii
import hashlib
import json
import os
import sys

from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.asymmetric import ec


def strict_b64decode(text):
    if len(text) % 4 != 0:
        raise ValueError("length")
    return base64.b64decode(text.encode("ascii"), validate=True)


def signed_bytes(hello):
    return "|".join([hello["deviceID"], hello["displayName"], hello["publicKey"],
                     hello["nonce"]]).encode("utf-8")


def verify(hello):
    try:
        raw = strict_b64decode(hello["publicKey"])
        der = strict_b64decode(hello["signature"])
        if len(raw) != 64:
            return False
        key = ec.EllipticCurvePublicKey.from_encoded_point(ec.SECP256R1(), b"\x04" + raw)
        key.verify(der, signed_bytes(hello), ec.ECDSA(hashes.SHA256()))
        return True
    except (InvalidSignature, ValueError, binascii.Error, UnicodeEncodeError):
        return False


def raw_public_key(key):
    point = key.public_key().public_numbers()
    return base64.b64encode(point.x.to_bytes(32, "big") + point.y.to_bytes(32, "big")).decode()


def make(key, wanted):
    hello = {
        "deviceID": wanted["deviceID"],
        "displayName": wanted["displayName"],
        "publicKey": raw_public_key(key),
        "nonce": base64.b64encode(os.urandom(24)).decode(),
    }
    der = key.sign(signed_bytes(hello), ec.ECDSA(hashes.SHA256()))
    hello["signature"] = base64.b64encode(der).decode()
    return hello


def text_code(text):
    digest = hashlib.sha256(text.encode("utf-8")).digest()
    return "%06u" % (int.from_bytes(digest[:4], "big") % 1000000)


def pairing_code(a, b):
    first, second = sorted([a["publicKey"] + "|" + a["nonce"], b["publicKey"] + "|" + b["nonce"]])
    return text_code(first + "|" + second)


def v2_text(label, fields):
    out = label.encode("utf-8")
    for field in fields:
        data = field.encode("utf-8")
        out += b"|" + str(len(data)).encode("ascii") + b":" + data
    return out


OFFER_FIELDS = ["deviceID", "displayName", "publicKey", "nonce"]


def proof_bytes(label, first, second, fp):
    return v2_text(label, [first[f] for f in OFFER_FIELDS] + [second[f] for f in OFFER_FIELDS]
                   + [fp])


def v2_make(key, wanted):
    offer = {"protocol": 2, "deviceID": wanted["deviceID"], "displayName": wanted["displayName"],
             "publicKey": raw_public_key(key),
             "nonce": base64.b64encode(os.urandom(32)).decode(), "certificate": wanted["fp"]}
    text = proof_bytes("tarnwick-v2-device-proof", offer, wanted["bridge"], wanted["fp"])
    der = key.sign(text, ec.ECDSA(hashes.SHA256()))
    return {"offer": offer, "signature": base64.b64encode(der).decode()}


def v2_verify(item):
    try:
        bridge = item["bridge"]
        raw = strict_b64decode(bridge["publicKey"])
        der = strict_b64decode(item["signature"])
        if len(raw) != 64 or bridge.get("protocol") != 2 or len(strict_b64decode(bridge["nonce"])) != 32:
            return False
        key = ec.EllipticCurvePublicKey.from_encoded_point(ec.SECP256R1(), b"\x04" + raw)
        key.verify(der, proof_bytes("tarnwick-v2-bridge-proof", bridge, item["device"], item["fp"]),
                   ec.ECDSA(hashes.SHA256()))
        return True
    except (InvalidSignature, ValueError, binascii.Error, UnicodeEncodeError):
        return False


def v2_commitment(key, nonce):
    digest = hashlib.sha256(v2_text("tarnwick-v2-commit", [key, nonce])).digest()
    return base64.b64encode(digest).decode()


def v2_code(values):
    digest = hashlib.sha256(v2_text("tarnwick-v2-code", values)).digest()
    return "%06u" % (int.from_bytes(digest[:4], "big") % 1000000)


def main():
    request = json.loads(sys.stdin.buffer.read().decode("utf-8"))
    answer = {}
    if "verify" in request:
        answer["verified"] = [verify(hello) for hello in request["verify"]]
    key = ec.generate_private_key(ec.SECP256R1())
    if "make" in request:
        answer["made"] = [make(key, wanted) for wanted in request["make"]]
    if "codes" in request:
        answer["codes"] = [pairing_code(a, b) for a, b in request["codes"]]
    if "v2Make" in request:
        answer["v2Made"] = [v2_make(key, wanted) for wanted in request["v2Make"]]
    if "v2Verify" in request:
        answer["v2Verified"] = [v2_verify(item) for item in request["v2Verify"]]
    if "v2Commitments" in request:
        answer["v2Commitments"] = [v2_commitment(k, n) for k, n in request["v2Commitments"]]
    if "v2Codes" in request:
        answer["v2Codes"] = [v2_code(values) for values in request["v2Codes"]]
    json.dump(answer, sys.stdout)


if __name__ == "__main__":
    main()
