#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Writes the sample label images of data/samples/ that `make demo` prints.

Three labels for the default tape (24 mm continuous, 100 mm long: 1304 x 256 dots at
360 dots per inch, landscape): a shipping label, a price tag with a bar code and a name
badge over a gray ramp (for the error diffusion). The text is drawn with a small built-in
5 x 7 pixel font, so the script needs nothing beyond the standard library.

Run from the repository root: scripts/make_samples.py [directory]
"""
import os
import struct
import sys
import zlib

WIDTH, HEIGHT = 1304, 256
WHITE, BLACK = 255, 0

# 5 x 7 glyphs, one string of five bits per row.
FONT = {
    "A": ["01110", "10001", "10001", "11111", "10001", "10001", "10001"],
    "B": ["11110", "10001", "10001", "11110", "10001", "10001", "11110"],
    "C": ["01110", "10001", "10000", "10000", "10000", "10001", "01110"],
    "D": ["11110", "10001", "10001", "10001", "10001", "10001", "11110"],
    "E": ["11111", "10000", "10000", "11110", "10000", "10000", "11111"],
    "F": ["11111", "10000", "10000", "11110", "10000", "10000", "10000"],
    "G": ["01110", "10001", "10000", "10111", "10001", "10001", "01111"],
    "H": ["10001", "10001", "10001", "11111", "10001", "10001", "10001"],
    "I": ["01110", "00100", "00100", "00100", "00100", "00100", "01110"],
    "K": ["10001", "10010", "10100", "11000", "10100", "10010", "10001"],
    "L": ["10000", "10000", "10000", "10000", "10000", "10000", "11111"],
    "M": ["10001", "11011", "10101", "10101", "10001", "10001", "10001"],
    "N": ["10001", "11001", "10101", "10011", "10001", "10001", "10001"],
    "O": ["01110", "10001", "10001", "10001", "10001", "10001", "01110"],
    "P": ["11110", "10001", "10001", "11110", "10000", "10000", "10000"],
    "R": ["11110", "10001", "10001", "11110", "10100", "10010", "10001"],
    "S": ["01111", "10000", "10000", "01110", "00001", "00001", "11110"],
    "T": ["11111", "00100", "00100", "00100", "00100", "00100", "00100"],
    "U": ["10001", "10001", "10001", "10001", "10001", "10001", "01110"],
    "V": ["10001", "10001", "10001", "10001", "10001", "01010", "00100"],
    "W": ["10001", "10001", "10001", "10101", "10101", "10101", "01010"],
    "Y": ["10001", "10001", "01010", "00100", "00100", "00100", "00100"],
    "0": ["01110", "10001", "10011", "10101", "11001", "10001", "01110"],
    "1": ["00100", "01100", "00100", "00100", "00100", "00100", "01110"],
    "2": ["01110", "10001", "00001", "00010", "00100", "01000", "11111"],
    "3": ["11110", "00001", "00001", "01110", "00001", "00001", "11110"],
    "4": ["00010", "00110", "01010", "10010", "11111", "00010", "00010"],
    "5": ["11111", "10000", "11110", "00001", "00001", "10001", "01110"],
    "6": ["00110", "01000", "10000", "11110", "10001", "10001", "01110"],
    "7": ["11111", "00001", "00010", "00100", "01000", "01000", "01000"],
    "8": ["01110", "10001", "10001", "01110", "10001", "10001", "01110"],
    "9": ["01110", "10001", "10001", "01111", "00001", "00010", "01100"],
    " ": ["00000"] * 7,
    ".": ["00000", "00000", "00000", "00000", "00000", "01100", "01100"],
    ":": ["00000", "01100", "01100", "00000", "01100", "01100", "00000"],
    "-": ["00000", "00000", "00000", "11111", "00000", "00000", "00000"],
    "/": ["00001", "00010", "00010", "00100", "01000", "01000", "10000"],
}


class Canvas:
    def __init__(self, level=WHITE):
        self.pixels = bytearray([level]) * (WIDTH * HEIGHT)

    def rect(self, x0, y0, x1, y1, level=BLACK):
        for y in range(max(0, y0), min(HEIGHT, y1)):
            start = y * WIDTH
            self.pixels[start + max(0, x0):start + min(WIDTH, x1)] = (
                bytes([level]) * (min(WIDTH, x1) - max(0, x0)))

    def frame(self, inset, thickness):
        self.rect(inset, inset, WIDTH - inset, inset + thickness)
        self.rect(inset, HEIGHT - inset - thickness, WIDTH - inset, HEIGHT - inset)
        self.rect(inset, inset, inset + thickness, HEIGHT - inset)
        self.rect(WIDTH - inset - thickness, inset, WIDTH - inset, HEIGHT - inset)

    def text(self, x, y, text, scale, level=BLACK):
        """Draws text with its top left corner at (x, y); returns the end x."""
        for ch in text:
            glyph = FONT[ch]
            for row, bits in enumerate(glyph):
                for col, bit in enumerate(bits):
                    if bit == "1":
                        self.rect(x + col * scale, y + row * scale,
                                  x + (col + 1) * scale, y + (row + 1) * scale, level)
            x += 6 * scale
        return x

    def barcode(self, x, y, height, digits, module=3):
        """Bars of one or two modules from the digits: a picture of a bar code."""
        self.rect(x, y, x + module, y + height)
        x += 2 * module
        for d in digits:
            for bit in format(int(d) * 7 + 5, "05b"):
                width = module * (2 if bit == "1" else 1)
                self.rect(x, y, x + width, y + height)
                x += width + module
        self.rect(x, y, x + module, y + height)
        return x + module

    def png(self):
        rows = b"".join(b"\0" + bytes(self.pixels[y * WIDTH:(y + 1) * WIDTH])
                        for y in range(HEIGHT))

        def chunk(kind, data):
            body = kind + data
            return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

        header = struct.pack(">IIBBBBB", WIDTH, HEIGHT, 8, 0, 0, 0, 0)  # 8-bit gray
        return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header)
                + chunk(b"IDAT", zlib.compress(rows, 9)) + chunk(b"IEND", b""))


def shipping():
    c = Canvas()
    c.frame(6, 6)
    c.text(30, 28, "SHIP TO:", 5)
    c.text(30, 88, "SAM TAYLOR", 7)
    c.text(30, 160, "7 HARBOUR ROAD", 4)
    c.text(30, 200, "BRISTOL BS1 4DG", 4)
    c.rect(780, 20, 786, 236)
    c.text(820, 28, "PARCEL 1/2", 4)
    c.barcode(820, 80, 120, "4006381333931", 2)
    c.text(820, 212, "4006381333931", 3)
    return c


def price_tag():
    c = Canvas()
    c.rect(0, 0, WIDTH, 70)
    c.text(30, 14, "FRESH SOURDOUGH BREAD", 6, WHITE)
    c.text(30, 100, "2.49", 18)
    c.text(520, 110, "PER LOAF", 5)
    c.text(520, 170, "BAKED TODAY", 4)
    c.barcode(900, 100, 110, "5012345678900", 2)
    c.text(900, 222, "5012345678900", 2)
    return c


def name_badge():
    c = Canvas()
    # A ramp from light gray at the left to dark at the right, for the diffusion.
    for x in range(WIDTH):
        level = 235 - (x * 200) // (WIDTH - 1)
        for y in range(HEIGHT):
            c.pixels[y * WIDTH + x] = level
    c.rect(24, 24, 560, 232, WHITE)
    c.text(48, 48, "HELLO", 10)
    c.text(48, 140, "MY NAME IS", 6)
    c.text(620, 70, "ROBIN", 16, WHITE)
    c.text(620, 200, "VISITOR 2024", 4, WHITE)
    return c


def main():
    directory = sys.argv[1] if len(sys.argv) > 1 else "data/samples"
    os.makedirs(directory, exist_ok=True)
    for name, make in (("1-shipping.png", shipping), ("2-price-tag.png", price_tag),
                       ("3-name-badge.png", name_badge)):
        with open(os.path.join(directory, name), "wb") as f:
            f.write(make().png())


if __name__ == "__main__":
    main()
