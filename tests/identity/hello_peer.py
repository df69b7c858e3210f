"""An independent device for interoperability tests, written from the hello rules alone with
the Python "cryptography" package.

Reads one JSON request on standard input and writes one JSON answer on standard output:
  {"verify": [hello, ...]}            -> {"verified": [bool, ...], "wellFormed": [bool, ...]}
  {"make": [{"deviceID", "displayName", "nonce"?}, ...]}
                                      -> {"made": [hello, ...]}
  {"codes": [[helloA, helloB], ...]}  -> {"codes": ["123456", ...]}
  {"textCodes": ["abc", ...]}         -> {"textCodes": ["432319", ...]}
Every hello of one request is signed with the same new key.
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
from cryptography.hazmat.primitives.asymmetric.utils import decode_dss_signature


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


def well_formed(hello):
    """The form of a hello made by the bridge: a 64-byte key in 88 characters, a 24-byte nonce
    in 32 characters, and a minimal DER signature."""
    try:
        raw = strict_b64decode(hello["publicKey"])
        nonce = strict_b64decode(hello["nonce"])
        der = strict_b64decode(hello["signature"])
        r, s = decode_dss_signature(der)
        minimal = len(der) <= 72 and der[0] == 0x30
        return (len(hello["publicKey"]) == 88 and len(raw) == 64 and len(hello["nonce"]) == 32
                and len(nonce) == 24 and minimal and r > 0 and s > 0)
    except (ValueError, binascii.Error):
        return False


def make(key, wanted):
    point = key.public_key().public_numbers()
    raw = point.x.to_bytes(32, "big") + point.y.to_bytes(32, "big")
    hello = {
        "deviceID": wanted["deviceID"],
        "displayName": wanted["displayName"],
        "publicKey": base64.b64encode(raw).decode(),
        "nonce": wanted.get("nonce", base64.b64encode(os.urandom(24)).decode()),
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


def main():
    request = json.loads(sys.stdin.buffer.read().decode("utf-8"))
    answer = {}
    if "verify" in request:
        answer["verified"] = [verify(hello) for hello in request["verify"]]
        answer["wellFormed"] = [well_formed(hello) for hello in request["verify"]]
    if "make" in request:
        key = ec.generate_private_key(ec.SECP256R1())
        answer["made"] = [make(key, wanted) for wanted in request["make"]]
    if "codes" in request:
        answer["codes"] = [pairing_code(a, b) for a, b in request["codes"]]
    if "textCodes" in request:
        answer["textCodes"] = [text_code(text) for text in request["textCodes"]]
    json.dump(answer, sys.stdout)


if __name__ == "__main__":
    main()
