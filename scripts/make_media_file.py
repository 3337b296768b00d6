#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Writes the sample media definition file data/sample-media.dat.

Installed beside the driver (TQ33KV.DLL) as TQ33KV.DAT, it holds user-defined labels,
each a length and a feed margin on a tape of the media table (data/tq33.model).
Layout, little-endian: a 10-byte header ("TQMD", the u16 number of records, format 1
as u32), then one 142-byte record per label: the name in 64 UTF-16 units (NUL-padded),
u16 kind, u32 paper size code of the base tape, u32 length and u32 feed margin in
hundredths of a millimetre.

Run from the repository root: scripts/make_media_file.py [output]
"""
import struct
import sys

# (name, kind, paper size code of the base tape, length, margin), hundredths of a mm.
# Kind 0 refines the laminated tapes (260: 12 mm, 262: 24 mm); kind 1 the paper media
# (374: continuous paper tape 24 mm).
LABELS = [
    ("Address 24 x 62 mm", 0, 262, 6200, 300),
    ("Name badge 24 x 90 mm", 0, 262, 9000, 400),
    ("File tab 12 x 50 mm", 0, 260, 5000, 250),
    ("Paper price tag 24 x 40 mm", 1, 374, 4000, 200),
]


def record(name, kind, paper_size, length, margin):
    encoded = name.encode("utf-16-le")
    if len(encoded) > 126:
        raise ValueError("name too long: " + name)
    return (encoded.ljust(128, b"\0")
            + struct.pack("<HIII", kind, paper_size, length, margin))


def main():
    output = sys.argv[1] if len(sys.argv) > 1 else "data/sample-media.dat"
    header = b"TQMD" + struct.pack("<HI", len(LABELS), 1)
    body = b"".join(record(*label) for label in LABELS)
    with open(output, "wb") as f:
        f.write(header + body)


if __name__ == "__main__":
    main()
