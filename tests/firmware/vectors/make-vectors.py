#!/usr/bin/python3
"""Writes the known-answer firmware containers of the firmware tests, and expected.json.

The containers are built here with PyNaCl (Debian: python3-nacl), independently of the
C++ reader and packer, from the development signing set in keys/. The C++ tests only
read what this script wrote; run it again (from any directory) only to change the
vectors, and commit its output. The output is deterministic: Ed25519 signatures are.
"""

import hashlib
import json
import os
import struct
import uuid

import nacl.signing

HERE = os.path.dirname(os.path.abspath(__file__))
SEED_FILE = os.path.join(HERE, "..", "..", "..", "keys", "development-seed.hex")
MASK = bytes.fromhex("9c5c8fab9c12148fb337d6180e45631f6e124a0b1b328e9373901ba88332a1e3")
OTHER_SEED = bytes.fromhex("5a" * 32)

FORMAT1 = uuid.UUID("835e640a-cba1-4f94-9fbb-907dfe1680de").bytes
FORMAT2 = uuid.UUID("f084318d-f2f5-4163-bc5c-366f686277fb").bytes
R1 = uuid.UUID("3cc3a93f-4261-45ff-95bf-653df2686cb0").bytes
R2 = uuid.UUID("21de3ef2-09bf-4a78-83a0-9eb750df2e57").bytes
OTHER_REVISION = uuid.UUID("00112233-4455-6677-8899-aabbccddeeff").bytes
OTHER_DESCRIPTOR = uuid.UUID("f084318d-f2f5-4163-bc5c-366f686277fc").bytes

HEADER = 28


def payload(label, size):
    """Deterministic bytes that differ per label."""
    out = b""
    block = label.encode()
    while len(out) < size:
        block = hashlib.sha256(block).digest()
        out += block
    return out[:size]


def text(value):
    raw = value if isinstance(value, bytes) else value.encode("utf-8")
    assert len(raw) <= 32
    return raw.ljust(32, b"\0")


def head(version="1.5.0.0", vendor="MORVA", model="ZURKD550", descriptor=FORMAT2):
    return descriptor + bytes(16) + text(version) + text(vendor) + text(model)


def record(revision, data, data_offset=HEADER, span=None, length=None, filler=b"\xa5"):
    span = len(data) if span is None else span
    length = len(data) if length is None else length
    header = revision + struct.pack("<III", data_offset, length, span)
    gap = filler * max(0, data_offset - HEADER)
    tail = filler * max(0, span - len(data))
    return header + gap + data + tail


def mask(message):
    return bytes(b ^ MASK[i % 32] ^ (i & 0xFF) for i, b in enumerate(message))


def sign(message, seed):
    return bytes(nacl.signing.SigningKey(seed).sign(mask(message)))


def sha256(data):
    return hashlib.sha256(data).hexdigest()


def main():
    with open(SEED_FILE) as f:
        seed = bytes.fromhex(f.read().strip())

    image_r1 = payload("image r1", 300)
    image_r2 = payload("image r2", 212)
    first = payload("first duplicate", 64)
    second = payload("second duplicate", 80)
    padded_r1 = payload("padded r1", 50)
    padded_r2 = payload("padded r2", 33)
    unknown = payload("unknown revision", 17)

    standard = head() + record(R1, image_r1) + record(R2, image_r2)
    messages = {
        "two-revisions.crp": (standard, seed),
        "other-key.crp": (standard, OTHER_SEED),
        "duplicate-revision.crp": (head() + record(R1, first) + record(R1, second), seed),
        "texts.crp": (
            head(version=b"1.5", vendor="M\0OR\0VA \u00d8\0", model="ZURKD550-" + "X" * 23)
            + record(R1, image_r1),
            seed,
        ),
        "padded-records.crp": (
            head() + record(R2, padded_r2, data_offset=40, span=41) + record(R1, padded_r1),
            seed,
        ),
        "unknown-revision.crp": (head() + record(OTHER_REVISION, unknown), seed),
        "empty-image.crp": (head() + record(R2, b"") + record(R1, image_r1), seed),
        "format1.crp": (head(descriptor=FORMAT1) + record(R1, image_r1), seed),
        "unknown-descriptor.crp": (head(descriptor=OTHER_DESCRIPTOR) + record(R1, image_r1), seed),
        "header-only.crp": (head(), seed),
        "descriptor-only.crp": (FORMAT2, seed),
        "empty-message.crp": (b"", seed),
        "zero-advance.crp": (head() + record(R2, image_r2) + R1 + bytes(12) + image_r1, seed),
        "data-past-end.crp": (head() + record(R1, image_r1, length=len(image_r1) + 1), seed),
        "header-past-end.crp": (head() + record(R2, image_r2) + R1 + bytes(4), seed),
        "offset-overflow.crp": (
            head() + R1 + struct.pack("<III", 0xFFFFFFF0, 0xFFFFFFFF, 0xFFFFFFFF) + image_r1,
            seed,
        ),
    }
    for name, (message, key) in messages.items():
        with open(os.path.join(HERE, name), "wb") as f:
            f.write(sign(message, key))
    for name, data in (("image-r1.bin", image_r1), ("image-r2.bin", image_r2)):
        with open(os.path.join(HERE, name), "wb") as f:
            f.write(data)

    second_record = 128 + HEADER + len(image_r2)

    def found(name, compat, data, log, version="1.5.0.0", vendor="MORVA", model="ZURKD550"):
        return {"file": name, "compat": compat.hex(), "valid": True, "version": version,
                "vendor": vendor, "model": model, "blobSize": len(data),
                "blobSha256": sha256(data), "log": log}

    def refused(name, compat, log, bad_record=None):
        case = {"file": name, "compat": compat.hex(), "valid": False, "log": log}
        if bad_record is not None:
            case["badRecordOffset"] = bad_record
        return case

    cases = [
        found("two-revisions.crp", R1, image_r1, "revision1"),
        found("two-revisions.crp", R2, image_r2, "revision2"),
        found("two-revisions.crp", R1 + b"\x01\x02", image_r1, "revision1"),
        refused("two-revisions.crp", R1[:15], "no-image"),
        refused("two-revisions.crp", b"", "no-image"),
        refused("two-revisions.crp", OTHER_REVISION, "no-image"),
        refused("other-key.crp", R1, "none"),
        found("duplicate-revision.crp", R1, first, "revision1"),
        found("texts.crp", R1, image_r1, "revision1", version="1.5", vendor="MORVA \u00d8",
              model="ZURKD550-" + "X" * 23),
        found("padded-records.crp", R1, padded_r1, "revision1"),
        found("padded-records.crp", R2, padded_r2, "revision2"),
        found("unknown-revision.crp", OTHER_REVISION, unknown, "unknown-revision"),
        refused("unknown-revision.crp", R1, "no-image"),
        found("empty-image.crp", R2, b"", "revision2"),
        found("empty-image.crp", R1, image_r1, "revision1"),
        refused("format1.crp", R1, "format1"),
        refused("unknown-descriptor.crp", R1, "none"),
        refused("header-only.crp", R1, "no-image"),
        refused("descriptor-only.crp", R1, "no-image"),
        refused("empty-message.crp", R1, "none"),
        # The search stops at the first record for the revision: a damaged tail behind
        # it does not matter, a damaged record reached before any match does.
        refused("zero-advance.crp", R1, "malformed", second_record),
        found("zero-advance.crp", R2, image_r2, "revision2"),
        refused("data-past-end.crp", R1, "malformed", 128),
        refused("header-past-end.crp", R1, "malformed", second_record),
        found("header-past-end.crp", R2, image_r2, "revision2"),
        refused("offset-overflow.crp", R1, "malformed", 128),
    ]
    expected = {
        "cases": cases,
        "pack": {
            "output": "two-revisions.crp",
            "version": "1.5.0.0",
            "vendor": "MORVA",
            "model": "ZURKD550",
            "images": [["r1", "image-r1.bin"], ["r2", "image-r2.bin"]],
        },
    }
    with open(os.path.join(HERE, "expected.json"), "w") as f:
        json.dump(expected, f, indent=1, ensure_ascii=False)
        f.write("\n")


if __name__ == "__main__":
    main()
