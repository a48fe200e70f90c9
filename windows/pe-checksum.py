#!/usr/bin/env python3
"""pe-checksum.py [--set] IMAGE - computes the PE checksum of IMAGE (the kernel's algorithm:
16-bit one's-complement-style sum of the file with the checksum field taken as zero, plus the
file's length). With --set, writes it into the optional header; otherwise exits 1 when the
stored checksum differs."""
import struct
import sys


def checksum_offset(data):
    return struct.unpack_from("<I", data, 0x3C)[0] + 4 + 20 + 64


def compute(data):
    at = checksum_offset(data)
    body = bytearray(data)
    body[at:at + 4] = b"\0\0\0\0"
    if len(body) % 2:
        body.append(0)
    total = 0
    for (word,) in struct.iter_unpack("<H", body):
        total += word
        total = (total & 0xFFFF) + (total >> 16)
    total = (total & 0xFFFF) + (total >> 16)
    return (total + len(data)) & 0xFFFFFFFF


def main(argv):
    write = argv[:1] == ["--set"]
    path = argv[-1]
    with open(path, "rb") as f:
        data = f.read()
    at = checksum_offset(data)
    stored = struct.unpack_from("<I", data, at)[0]
    wanted = compute(data)
    if write:
        with open(path, "r+b") as f:
            f.seek(at)
            f.write(struct.pack("<I", wanted))
        return 0
    print(f"stored 0x{stored:08x}, computed 0x{wanted:08x}")
    return 0 if stored == wanted else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
