#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets (fuzz/corpus/<target>/).

Every seed starts with the read plan of fuzz/entry/chunkplan.h: a count byte,
then size bytes (255 = one 268-byte read of the receive loop, b < 240 = b + 1
bytes). The rest is the byte stream of the MCU socket. Run from anywhere; the
files are committed, so the fuzzers and the replay test need no Python.
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def le(*words):
    return b"".join(struct.pack("<I", w & 0xFFFFFFFF) for w in words)


def short(msg, p1=0, p2=0, kind=1):
    return le(kind, msg, p1, p2)


def long_rec(ident, payload=b"", kind=2, length=None):
    if length is None:
        length = 12 + len(payload)
    return le(kind, ident, length) + payload


def be32(v):
    return struct.pack(">I", v & 0xFFFFFFFF)


ONE_READ = bytes([0, 255])          # reads of 268 bytes, as the receive loop
BYTE_BY_BYTE = bytes([0, 0])        # reads of 1 byte


def plan(*sizes):
    """A read plan of the given read sizes (1 to 240 bytes each)."""
    assert 1 <= len(sizes) <= 8
    return bytes([len(sizes) - 1] + [s - 1 for s in sizes])


seeds = {}

# Short records the dispatcher handles, and some it passes on.
for name, rec in {
    "short-key-pressed": short(13078, 5, 1),
    "short-529-param": short(529, 13, 7),
    "short-529-eject": short(529, 47),
    "short-529-other": short(529, 14),
    "short-28929": short(28929, 1, 2),
    "short-version-query": short(13080),
    "short-mcu-type": short(13144, 65535) + short(13144, 70000),
    "short-to-framework": short(1, 2, 3),
    "short-word8-is-a-length": short(7, 5000, 9),
}.items():
    seeds[name] = ONE_READ + rec

# Long records of each handled id.
study = bytes([0x11, 0x22, 0x33, 0x44, 0x55, 0x66] + list(range(1, 13)))
for name, rec in {
    "long-12-clock-set": long_rec(12, b"\x04" + be32(15552000)),
    "long-12-clock-unset": long_rec(12, b"\x04" + be32(15551999)),
    "long-12-clock-zero": long_rec(12, b"\x04" + be32(0)),
    "long-12-clock-negative": long_rec(12, b"\x04\x80\x00\x00\x00"),
    "long-25-mcu-version": long_rec(25, b"\x0bMCU-1.2.3-r\x00"),
    "long-25-empty-version": long_rec(25, b"\x00\x00"),
    "long-25-unterminated": long_rec(25, b"\x00" + b"V" * 255),
    "long-47-key-study": long_rec(47, study),
    "long-57": long_rec(57, b"\x01\x02"),
    "long-64": long_rec(64, b"\x01"),
    "long-76": long_rec(76, b"\x01"),
    "long-ignored-58-63-77": long_rec(58) + long_rec(63) + long_rec(77),
    "long-82-rds-time": long_rec(82, b"\x02\x0d\x05"),
    "long-82-rds-out-of-range": long_rec(82, b"\x02\xff\xff"),
    "long-83-sim": long_rec(83, b"\x01\x02\x03"),
    "long-84-mcm": long_rec(84, b"\x01\x02\x03"),
    "long-212-uuid": long_rec(212, b"\x08AB\x00\x00" + be32(12345)),
    "long-212-no-prefix": long_rec(212, b"\x08\x00B\x00\x00" + be32(0xFFFFFFFF)),
    "long-full-268": long_rec(64, bytes(range(256))),
    "can-kind-3": long_rec(9, b"\x05\x01\x02\x03\x04\x05", kind=3),
    "kind-0-and-4": long_rec(12, b"\x04" + be32(0), kind=0) + long_rec(12, b"", kind=4),
}.items():
    seeds[name] = ONE_READ + rec

# Every bad or boundary length, each followed by a short record to see whether
# the stream comes back in step.
for length in (0, 1, 8, 11, 12, 15, 16, 17, 267, 268, 269, 300, 2048, 2049, 0xFFFFFFFF):
    body = min(length, 2100)
    rec = le(2, 64, length) + bytes((i * 7) & 0xFF for i in range(max(0, body - 12)))
    seeds["length-%u" % length] = ONE_READ + rec + short(13078, 1, 2)

# Stream shapes of the receive loop.
seeds["two-shorts-one-read"] = ONE_READ + short(13078, 1, 1) + short(13078, 2, 2)
seeds["long-in-100-then-168"] = plan(100, 168) + long_rec(64, bytes(256))
seeds["byte-by-byte"] = BYTE_BY_BYTE + short(529, 13, 7) + long_rec(212, b"\x08AB\x00\x00" + be32(1))
seeds["header-8-bytes-then-rest"] = plan(8, 8, 240) + long_rec(25, b"\x05abcd\x00")
seeds["overflow-2000-then-100"] = plan(240, 240, 240, 240, 240, 240, 240, 240) + \
    le(2, 64, 2048) + bytes(2000 - 12) + short(13078, 3, 3) * 7
seeds["big-reads"] = bytes([0, 247]) + (short(13078, 1, 1) + long_rec(57, bytes(20))) * 60

for target in ("framer", "dispatch"):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    for name, data in seeds.items():
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)
print("wrote %d seeds for each target" % len(seeds))
