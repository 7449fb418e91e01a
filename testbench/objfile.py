#!/usr/bin/env python3
"""OBJ recording files for the test bench: generate valid ones of a given size, spoil them in
chosen ways, and check a file the way the receiving side must.

  objfile.py generate --size 2048 --out rec.obj [--seed 1] [--faulty KIND]
  objfile.py check rec.obj

Layout (little-endian): an 8-byte header (format 1, directory end, XOR checksum of the
directory), a directory of 12-byte slots (object id, copy of the object's header bytes 2-7,
object offset) and the objects (id, kind, length, XOR checksum of the object body).
"""

import argparse
import random
import struct
import sys

FAULTS = ("object-checksum", "header-checksum", "format", "empty-directory", "slot-copy",
          "truncated")


def xor(data):
    value = 0
    for b in data:
        value ^= b
    return value


def _object(obj_id, kind, body):
    length = 8 + len(body)
    head = struct.pack("<HBBHBB", obj_id, kind, 0x11, length, xor(body), 0x22)
    return head + body


def _samples(rng, count):
    """Something that looks like an ECG trace: a slow wave with a spike now and then."""
    out = bytearray()
    for i in range(count):
        value = 128 + int(40 * ((i % 200) / 200.0 - 0.5))
        if i % 200 == 60:
            value = 250
        out.append((value + rng.randint(-3, 3)) & 0xFF)
    return bytes(out)


MIN_SIZE = 28


def generate(size, seed=1, faulty=None):
    """A valid OBJ file of exactly `size` bytes (at least 28), or one spoilt as `faulty` says."""
    if size < MIN_SIZE:
        raise ValueError("an OBJ file needs at least %d bytes" % MIN_SIZE)
    rng = random.Random(seed)
    count = max(1, min(4, (size - 8) // 400))
    while 8 + 12 * count + 8 * count > size:
        count -= 1
    room = size - 8 - 12 * count - 8 * count
    # Object bodies must fit the 16-bit length field.
    while room // count > 65000:
        count += 1
        room = size - 8 - 12 * count - 8 * count
    bodies = []
    for i in range(count):
        n = room // count + (1 if i < room % count else 0)
        bodies.append(_samples(rng, n))
    objects = [_object(0x100 + i, 1 + i % 3, body) for i, body in enumerate(bodies)]
    dir_end = 8 + 12 * count
    directory = bytearray()
    offset = dir_end
    for i, obj in enumerate(objects):
        directory += struct.pack("<H", 0x100 + i) + obj[2:8] + struct.pack("<I", offset)
        offset += len(obj)
    if faulty == "empty-directory":
        for i in range(count):
            directory[12 * i:12 * i + 2] = b"\xff\xff" if i % 2 else b"\0\0"
    if faulty == "slot-copy":
        directory[4] ^= 0x01  # the length copy of the first slot
    header = struct.pack("<HHHBB", 2 if faulty == "format" else 1, 0, dir_end, xor(directory), 0)
    if faulty == "header-checksum":
        header = header[:6] + bytes([header[6] ^ 0xFF]) + header[7:]
    data = bytearray(header + directory + b"".join(objects))
    if faulty == "object-checksum":
        # First body byte of the first object (its checksum byte when the body is empty).
        data[dir_end + 8 if len(data) > dir_end + 8 else dir_end + 6] ^= 0x55
    if faulty == "truncated":
        data = data[:dir_end + 4]
    assert faulty == "truncated" or len(data) == size
    return bytes(data)


def check(data):
    """None when the file is valid, else the reason it is not."""
    if len(data) < 8:
        return "shorter than the header"
    fmt, _, dir_end, hsum = struct.unpack("<HHHB", data[:7])
    if fmt != 1:
        return "format %d, not 1" % fmt
    if dir_end < 8 or dir_end > len(data):
        return "directory end %d outside the file" % dir_end
    if xor(data[8:dir_end]) != hsum:
        return "header checksum"
    used = 0
    for slot in range((dir_end - 8) // 12):
        s = data[8 + 12 * slot:20 + 12 * slot]
        obj_id = struct.unpack("<H", s[:2])[0]
        if obj_id in (0, 0xFFFF):
            continue
        used += 1
        offset = struct.unpack("<I", s[8:12])[0]
        if offset + 8 > len(data):
            return "object %d header outside the file" % slot
        obj = data[offset:offset + 8]
        length = struct.unpack("<H", obj[4:6])[0]
        if length < 8 or offset + length > len(data):
            return "object %d length %d" % (slot, length)
        if obj[2:8] != s[2:8] or struct.unpack("<H", obj[:2])[0] != obj_id:
            return "object %d differs from its slot" % slot
        if obj[2] == 0:
            return "object %d kind 0" % slot
        if xor(data[offset + 8:offset + length]) != obj[6]:
            return "object %d checksum" % slot
    if used == 0:
        return "no object in the directory"
    return None


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = parser.add_subparsers(dest="command", required=True)
    gen = sub.add_parser("generate", help="write a generated OBJ file")
    gen.add_argument("--size", type=int, required=True, help="file size in bytes (>= 28)")
    gen.add_argument("--out", required=True, help="output path")
    gen.add_argument("--seed", type=int, default=1)
    gen.add_argument("--faulty", choices=FAULTS, help="spoil the file this way")
    chk = sub.add_parser("check", help="check an OBJ file")
    chk.add_argument("path")
    args = parser.parse_args(argv)
    if args.command == "generate":
        data = generate(args.size, args.seed, args.faulty)
        with open(args.out, "wb") as f:
            f.write(data)
        print("wrote %s (%d bytes%s)" % (args.out, len(data),
                                         ", faulty: " + args.faulty if args.faulty else ""))
        return 0
    with open(args.path, "rb") as f:
        reason = check(f.read())
    print("valid" if reason is None else "faulty: " + reason)
    return 0 if reason is None else 1


if __name__ == "__main__":
    sys.exit(main())
