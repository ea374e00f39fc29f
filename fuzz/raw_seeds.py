#!/usr/bin/env python3
"""Writes the raw_fuzz seeds: signature records in the 177-byte layout followed by a small volume."""
import struct, sys, os

def record(ext, start, end=b"", start_offset=0, size_offset=-1, size_bytes=0, approx=0, skip=0, category="Cat"):
    r = bytearray(177)
    e = ext.encode("utf-16-le")[:8]
    r[0:len(e)] = e
    struct.pack_into("<H", r, 10, start_offset)
    r[12] = len(ext)
    r[13:13 + len(start)] = start
    r[23:23 + len(end)] = end
    r[33] = len(start)
    r[34] = len(end)
    struct.pack_into("<iii", r, 36, size_offset, size_bytes, 0)
    struct.pack_into("<qq", r, 53, approx, skip)
    c = category.encode("utf-16-le")[:100]
    r[69:69 + len(c)] = c
    return bytes(r)

def block(data):
    return data + bytes(512 - len(data) % 512 if len(data) % 512 else 0)

out = sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(__file__)
jpg = record("jpg", b"\xff\xd8\xff", b"\xff\xd9", approx=100000, category="Images")
bmp = record("bmp", b"BM", size_offset=2, size_bytes=4, approx=1 << 30, category="Images")
any_ = record("any", b"**", approx=8192, skip=4096)
volume = block(b"\xff\xd8\xff\xe0" + bytes(100)) + block(b"\xff\xd8\xff") + block(b"\xff\xd9") + block(b"BM\x00\x10\x00\x00")
with open(os.path.join(out, "jpg_bmp"), "wb") as f:
    f.write(bytes([2]) + jpg + bmp + volume)
with open(os.path.join(out, "wildcards"), "wb") as f:
    f.write(bytes([1]) + any_ + bytes(2048))
