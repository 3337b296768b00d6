#!/usr/bin/env python3
"""Writes the sample media definition file data/TQ33KV.DAT.

The file lies beside the driver (TQ33KV.DLL) and holds user-defined labels, each a
length and a feed margin on a tape of the media table. Layout, little-endian:
a 10-byte header ("TQMD", the u16 number of records, format 1 as u32), then one
142-byte record per label: the name in 64 UTF-16 units (NUL-padded), u16 kind,
u32 paper size code of the base tape, u32 length and u32 feed margin in hundredths
of a millimetre.

Run from the repository root: scripts/make_media_file.py [output]
"""
import struct
import sys

# (name, kind, paper size code of the base tape, length, margin), hundredths of a mm.
LABELS = [
    ("Address 24 x 62 mm", 0, 262, 6200, 300),
    ("Name badge 24 x 90 mm", 0, 262, 9000, 400),
    ("Price tag 24 x 40 mm", 0, 262, 4000, 200),
    ("File tab 12 x 50 mm", 0, 259, 5000, 250),
]


def record(name, kind, paper_size, length, margin):
    encoded = name.encode("utf-16-le")
    if len(encoded) > 126:
        raise ValueError("name too long: " + name)
    return (encoded.ljust(128, b"\0")
            + struct.pack("<HIII", kind, paper_size, length, margin))


def main():
    output = sys.argv[1] if len(sys.argv) > 1 else "data/TQ33KV.DAT"
    header = b"TQMD" + struct.pack("<HI", len(LABELS), 1)
    body = b"".join(record(*label) for label in LABELS)
    with open(output, "wb") as f:
        f.write(header + body)


if __name__ == "__main__":
    main()
