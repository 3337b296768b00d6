#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Writes the seed corpora of the fuzz targets into fuzz/corpus/<target>/.

Every seed is built here from the record layouts, so that the corpora can be remade and
reviewed; none is edited by hand. Inputs that the fuzzers found and that were fixed are
kept beside the seeds as regression cases (files named regression-*), and so are the
inputs a long run grew, merged in with libFuzzer's -merge=1 (named by their SHA-1); this
script rewrites only the seed-* files.

Run from the repository root: fuzz/make_corpus.py [corpus directory]
"""
import os
import struct
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "scripts"))
import make_media_file  # noqa: E402  (the sample media definitions)

PUBLIC_SIZE = 220
PRIVATE_SIZE = 284

# dmFields bits
DM_ORIENTATION, DM_PAPERSIZE, DM_PAPERLENGTH, DM_PAPERWIDTH = 0x1, 0x2, 0x4, 0x8
DM_COPIES, DM_PRINTQUALITY, DM_YRESOLUTION, DM_FORMNAME = 0x100, 0x400, 0x2000, 0x10000

# Exchange block request bits and option bits
XB_PAPER_SIZE, XB_LENGTH, XB_MEDIA_TYPE, XB_OPTIONS = 0x1, 0x2, 0x4, 0x8
XB_MARGIN_MM, XB_WIDTH_MULTIPLE, XB_MARGIN_DOTS, XB_ECHO = 0x10, 0x20, 0x40, 0x1000
XBO_RETAIN, XBO_RETAIN_LINES = 0x20000, 0x40000


def wide(text, units):
    encoded = text.encode("utf-16-le")[: units * 2 - 2]
    return encoded + bytes(units * 2 - len(encoded))


def public_part(size=PUBLIC_SIZE, extra=PRIVATE_SIZE, fields=0, orientation=1, paper=262,
                length=0, width=0, copies=1, quality=360, yres=360, dm_version=0x401, form=""):
    """The public device-mode record, cut or padded to its own dmSize when that is smaller."""
    head = wide("TQ-33", 32) + struct.pack("<HHHHI", dm_version, 0x500, size, extra, fields)
    body = struct.pack("<8h", orientation, paper, length, width, 100, copies, 0, quality)
    body += struct.pack("<5h", 1, 1, yres, 0, 0) + wide(form, 32)
    record = head + body
    record += bytes(PUBLIC_SIZE - len(record))
    return record[:size] if size < PUBLIC_SIZE else record


def private_part(xb_size=30, request=0, paper=0, margin=0, multiple=0, length=0, options=0,
                 halftone=2, contrast=0, brightness=0, media_id=0, media_base=0, use_monitor=0,
                 small_char=0, high_res=0, signature=b"PRIV", feed_margin=0):
    xb = struct.pack("<7H4xII4s2x", xb_size, request, 0, paper, 0, margin, multiple, length,
                     options, b"VQNZ")
    assert len(xb) == 32
    part = bytearray(xb + signature + struct.pack("<I", 0) + bytes(PRIVATE_SIZE - 40))
    struct.pack_into("<H", part, 210, media_id)
    part[218] = halftone
    struct.pack_into("<bb", part, 219, contrast, brightness)
    struct.pack_into("<H", part, 260, feed_margin)
    struct.pack_into("<I", part, 264, media_base)
    part[268] = use_monitor
    part[276] = small_char
    struct.pack_into("<I", part, 280, high_res)
    return bytes(part)


def settings_seeds():
    full = public_part(fields=DM_PAPERSIZE | DM_ORIENTATION) + private_part()
    yield "full-record", full
    yield "public-only", public_part(extra=0, fields=DM_PAPERSIZE | DM_COPIES, copies=3)
    yield "size-188", public_part(size=188, extra=0, dm_version=0x320, fields=DM_PAPERSIZE)
    yield "size-212", public_part(size=212, extra=PRIVATE_SIZE, dm_version=0x400) + private_part()
    yield "landscape-720", (public_part(fields=DM_ORIENTATION | DM_YRESOLUTION | DM_PRINTQUALITY,
                                        orientation=2, yres=720, quality=720)
                            + private_part(small_char=1, high_res=1, halftone=3))
    yield "user-form", public_part(fields=DM_PAPERSIZE, paper=317) + private_part()
    yield "custom-length", (public_part(fields=DM_PAPERSIZE | DM_PAPERLENGTH | DM_PAPERWIDTH,
                                        paper=387, length=1200, width=240) + private_part())
    yield "exchange-request", public_part() + private_part(
        request=XB_PAPER_SIZE | XB_LENGTH | XB_OPTIONS | XB_MARGIN_DOTS | XB_WIDTH_MULTIPLE |
        XB_ECHO, paper=260, margin=40, multiple=2, length=700, options=XBO_RETAIN | 0x205)
    yield "exchange-margin-mm", public_part() + private_part(request=XB_MARGIN_MM | XB_MEDIA_TYPE,
                                                             margin=5)
    yield "foreign-private", public_part() + private_part(xb_size=12, signature=b"ELSE")
    yield "other-media-section", public_part() + private_part(media_base=3)
    yield "media-id-outside", public_part() + private_part(media_id=0xFFFE)
    # Size fields that claim more or less than the record holds.
    yield "size-claims-64k", public_part(size=0xFFFF, extra=0xFFFF)[:PUBLIC_SIZE]
    yield "extra-claims-more", public_part(extra=0x1000) + private_part()
    yield "size-below-header", public_part(size=40, extra=0)[:72]
    yield "copies-beyond-limit", public_part(fields=DM_COPIES, copies=-7) + private_part()
    # Lengths and margins beyond what the medium allows, by each door they come in by.
    yield "exchange-length-beyond-medium", (
        public_part(fields=DM_PAPERSIZE | DM_PAPERLENGTH | DM_PAPERWIDTH | DM_YRESOLUTION,
                    paper=256, length=400, width=246)
        + private_part(request=XB_LENGTH, length=100000))
    yield "exchange-margin-beyond-medium", (
        public_part(fields=DM_PAPERSIZE | DM_PAPERLENGTH | DM_YRESOLUTION, length=10000)
        + private_part(request=XB_MARGIN_DOTS, margin=2000))
    yield "margin-beyond-medium", (public_part(fields=DM_PAPERSIZE | DM_YRESOLUTION)
                                   + private_part(feed_margin=5000))
    yield "length-without-paper-size", (public_part(fields=DM_PAPERLENGTH | DM_YRESOLUTION,
                                                    length=-1) + private_part())


def escape_seeds():
    def eps(text, total=None):
        body = text.encode("ascii")
        size = 32 + len(body) if total is None else total
        return struct.pack("<II", size, 1) + bytes(24) + body

    good = eps("%!PS-Adobe-3.0 EPSF-3.0\n%%BoundingBox: 0 0 100 50\nshowpage\n")
    yield "query-eps", bytes([0, 0]) + struct.pack("<H", 4116)
    yield "query-query", bytes([0, 0]) + struct.pack("<H", 8)
    yield "query-other", bytes([0, 0]) + struct.pack("<H", 4115)
    yield "query-short", bytes([0, 0, 0x14])
    yield "eps-good", bytes([1, 0]) + good
    yield "eps-rect-clip", bytes([1, 2]) + good
    yield "eps-negative-fraction", bytes([1, 1]) + eps("%%BoundingBox: -1.5 .25 -0 9.99999 x")
    yield "eps-box-at-end", bytes([1, 0]) + eps("%%BoundingBox: 1 2 3 4")
    yield "eps-box-broken", bytes([1, 0]) + eps("%%BoundingBox: 1 2 x%%BoundingBox: 1 2 3 4 \n")
    yield "eps-total-lies-long", bytes([1, 0]) + eps("%%BoundingBox: 1 2 3 4 \n", 0xFFFFFFFF)
    yield "eps-total-lies-short", bytes([1, 0]) + eps("%%BoundingBox: 1 2 3 4 \n", 40)
    yield "eps-header-only", bytes([1, 0]) + struct.pack("<I", 32) + bytes(28)
    # Complex clips: record count, then flags, point count and points per record.
    def path(records):
        out = bytes([len(records)])
        for flags, points in records:
            out += bytes([flags, len(points)])
            for x, y in points:
                out += struct.pack("<ii", x << 4, y << 4)
        return out
    curves = [(0x01 | 0x10, [(0, 0), (1, 1), (2, 2), (3, 3)]), (0x10 | 0x02, [(4, 4), (5, 5), (6, 6)])]
    yield "eps-clip-curves", bytes([1, 3]) + path(curves) + good
    yield "eps-clip-bad-curve", bytes([1, 3]) + path([(0x10, [(0, 0), (1, 1)])]) + good
    yield "eps-clip-lines", bytes([1, 3]) + path([(0x01, [(0, 0), (9, 0)]), (0x0A, [(9, 9)])]) + good
    yield "unknown-escape", bytes([0xF0]) + struct.pack("<I", 4115) + bytes([0]) + good


def media_file_seeds():
    labels = make_media_file.LABELS
    sample = (b"TQMD" + struct.pack("<HI", len(labels), 1)
              + b"".join(make_media_file.record(*item) for item in labels))
    header, records = sample[:10], sample[10:]
    count = len(records) // 142
    for choice in (0, 1, 2, 3):
        yield "sample-%d" % choice, bytes([choice]) + sample
    yield "count-lies-high", bytes([2]) + header[:4] + struct.pack("<H", 200) + header[6:] + records
    yield "count-zero", bytes([0]) + header[:4] + struct.pack("<H", 0) + header[6:] + records
    yield "cut-mid-record", bytes([1]) + sample[: 10 + 142 + 50]
    yield "header-only", bytes([0]) + header
    yield "shorter-than-header", bytes([0]) + header[:6]
    many = records * (24 // max(count, 1) + 1)
    yield "more-than-slots", bytes([22]) + header[:4] + struct.pack("<H", 30) + header[6:] + many[: 30 * 142]
    odd = bytearray(records[:142])
    struct.pack_into("<HIII", odd, 128, 9, 0xFFFFFFFF, 0xFFFFFFFF, 0x7FFFFFFF)
    yield "extreme-values", bytes([0]) + header[:4] + struct.pack("<H", 1) + header[6:] + bytes(odd)


def chunk(tag, data):
    return bytes([tag]) + struct.pack("<H", len(data)) + data


# Tags of the printer-data target: the index of the value in its table.
PD_SIZE, PD_DATA, FONT_SIZE, FONT_TABLE, FREE_MEM, PRINTER_HT, HT_INFO, OPTIONS = range(8)
SMALL_CHAR, USE_MONITOR, TRAY_SIZE, TRAY_TABLE, REG_OPTIONS, USER_RECORD = range(8, 14)
LOCALE, CODE_PAGES, TRANSLATION = 14, 15, 16
AS_OTHER_TYPE = 0x80


def default_options(mask=0x80000 | 0x3FFF, paper=262, length=700, use_monitor=1, retain=1):
    return struct.pack("<IIIIH14B", 32, mask, 0, length, paper, 1, 1, 3, 0xF0, 0x10, 1, 2, 1, 1,
                       1, 1, use_monitor, retain, 0)


def printer_data_seeds():
    record = struct.pack("<HHII", 0x500, 104, 0x7, 4 << 20) + bytes(92)
    yield "printer-data-record", chunk(PD_SIZE, struct.pack("<I", 104)) + chunk(PD_DATA, record)
    yield "printer-data-size-lies", chunk(PD_SIZE, struct.pack("<I", 4096)) + chunk(PD_DATA, record[:10])
    yield "printer-data-short", chunk(PD_SIZE, struct.pack("<I", 8)) + chunk(PD_DATA, record[:8])
    yield "built-record-inputs", (chunk(FREE_MEM, struct.pack("<I", 0xFFFFFFFF)) +
                                  chunk(PRINTER_HT, struct.pack("<I", 1)) +
                                  chunk(CODE_PAGES, struct.pack("<HH", 850, 1251)))
    yield "halftone-info", chunk(HT_INFO, bytes(range(132)))
    yield "halftone-info-short", chunk(HT_INFO, bytes(131))
    yield "options-printer-data", chunk(OPTIONS, default_options())
    yield "options-registry", chunk(REG_OPTIONS, default_options(paper=317, use_monitor=0))
    yield "options-bad-size", chunk(OPTIONS, struct.pack("<I", 31) + default_options()[4:])
    yield "options-as-dword", chunk(OPTIONS | AS_OTHER_TYPE, struct.pack("<I", 0x400))
    yield "small-char-monitor", chunk(SMALL_CHAR, b"\x01") + chunk(USE_MONITOR, b"\x01\x00\x00\x00")
    yield "font-table", chunk(FONT_SIZE, struct.pack("<I", 16)) + chunk(FONT_TABLE, bytes(range(16)))
    yield "font-size-lies", chunk(FONT_SIZE, struct.pack("<I", 0x7FFFFFFF)) + chunk(FONT_TABLE, bytes(4))
    yield "tray-table", chunk(TRAY_SIZE, struct.pack("<I", 8)) + chunk(TRAY_TABLE, bytes(8))
    user = public_part(fields=DM_PAPERSIZE | DM_COPIES, copies=2, paper=260) + private_part(halftone=3)
    yield "user-record", chunk(USER_RECORD, user)
    yield "user-record-lying-size", chunk(USER_RECORD, public_part(extra=0x2000)[:PUBLIC_SIZE])
    yield "user-record-other-section", chunk(USER_RECORD, public_part() + private_part(media_base=9))
    # Lengths and media beyond the medium and the table, from the options and the user.
    yield "options-length-beyond-medium", chunk(OPTIONS, default_options(mask=0x2, length=10000000))
    yield "user-record-beyond-table", chunk(USER_RECORD, public_part(
        fields=DM_PAPERSIZE | DM_PAPERLENGTH, paper=387, length=-1) + private_part(
        media_id=60000, media_base=18))
    yield "locale-inches", chunk(LOCALE, "1".encode("utf-16-le") + "1".encode("utf-16-le"))
    yield "locale-odd", chunk(LOCALE, "-99999999999".encode("utf-16-le") + " x".encode("utf-16-le"))
    yield "east-asian", chunk(CODE_PAGES, struct.pack("<HH", 932, 932))
    yield "translation", chunk(TRANSLATION, struct.pack("<HH", 0x0411, 0x03A4))
    yield "everything", b"".join(seed for _, seed in [
        ("", chunk(PD_SIZE, struct.pack("<I", 104)) + chunk(PD_DATA, record)),
        ("", chunk(OPTIONS, default_options())), ("", chunk(USER_RECORD, user)),
        ("", chunk(HT_INFO, bytes(132))), ("", chunk(TRANSLATION, struct.pack("<HH", 0x0409, 0x04E4)))])


def model_data_seeds():
    tq33 = open(os.path.join(ROOT, "data", "tq33.model"), "rb").read()
    tq21 = open(os.path.join(ROOT, "data", "tq21.model"), "rb").read()
    yield "tq33", tq33
    yield "tq21", tq21
    model = (b'[model 1]\ntype = 0\nname = "M"\npaper-size = 257\nlength = 500\n'
             b'length-dots = 709\nprint-quality = 360\ny-resolution = 360\n')
    medium = (b'[medium]\nname = "T"\npaper-size = 257\nkind = 0\nwidth = 120\nprint-width = 90\n'
              b'width-dots = 170\nprint-width-dots = 128\n')
    yield "minimal", model + medium
    yield "no-media", model
    yield "model-2-only", model.replace(b"[model 1]", b"[model 2]") + medium
    yield "two-models", model + medium + model.replace(b"[model 1]", b"[model 7]") + medium
    yield "extreme-numbers", model + medium.replace(b"width-dots = 170", b"width-dots = 32767") \
        .replace(b"print-width-dots = 128", b"print-width-dots = -32768")
    yield "crlf-comments", (model + medium).replace(b"\n", b"  # note\r\n")
    yield "label-multiple", model + medium + medium.replace(b"kind = 0", b"kind = 5\nlength = 290\n"
                                                             b"print-length = 250\nlength-dots = 411\n"
                                                             b"print-length-dots = 354\nmultiple = 3")
    yield "long-line", model + b"# " + b"x" * 600 + b"\n" + medium


def page_seeds():
    # Header: medium, options, halftone, contrast, brightness, copies, length (16 bits),
    # document, band divisor, two reserved bytes; then the tile of the page images.
    def page(medium=0, options=0, halftone=2, contrast=0, brightness=0, copies=0, length=150,
             document=0, divisor=0, tile=b""):
        return struct.pack("<BBBbbBHBB2x", medium, options, halftone, contrast, brightness,
                           copies, length, document, divisor) + tile

    ramp = bytes(range(0, 256, 3))
    bars = bytes([0] * 16 + [255] * 16)
    for halftone in range(4):
        for framed in (0, 0x08):
            yield "tone-%d-%s" % (halftone, "framed" if framed else "plain"), page(
                medium=7, options=framed, halftone=halftone, document=1, tile=ramp)
    yield "landscape", page(medium=9, options=0x01, tile=bars)
    yield "hires-small-char", page(medium=7, options=0x02 | 0x04, halftone=3, tile=ramp)
    yield "hires-threshold", page(medium=5, options=0x02, halftone=1, tile=bars)
    yield "banded", page(medium=7, document=0x04 | 2, divisor=3, tile=ramp)
    yield "banded-no-send", page(medium=7, document=0x04 | 0x08 | 1, divisor=1, tile=bars)
    yield "retained-chain", page(medium=7, options=0x10 | 0x08, document=0x80 | 2, tile=bars)
    yield "retained-lines", page(medium=7, options=0x10 | 0x20, document=0x80 | 2, tile=ramp)
    yield "copies-options", page(medium=3, options=0x40 | 0x80, copies=2, document=0x10 | 0x20 | 0x40,
                                 tile=bars)
    yield "contrast-brightness", page(medium=8, contrast=-100, brightness=90, halftone=2, tile=ramp)
    for medium in range(0, 40, 4):
        yield "medium-%d" % medium, page(medium=medium, document=1, tile=bars)


PAGE_END, DOC_END = 0x0C, 0x1A


def packbits_line(row):
    if len(set(row)) == 1:
        return bytes([257 - len(row), row[0]])
    return bytes([len(row) - 1]) + bytes(row)


def setup_header(kind=0, width=24, hires=0, various=0, advanced=0, margin=14):
    p1 = 0x86 if kind else 0x84
    return (bytes([0x1B, 0x69, 0x61, 0x01, 0x1B, 0x69, 0x63, p1, kind, width, 0, hires,
                   0x1B, 0x69, 0x4D, various, 0x1B, 0x69, 0x4B, advanced, 0x1B, 0x69, 0x64])
            + struct.pack("<H", margin))


def label(lines, end, **header):
    body = setup_header(**header) + b"\x4D\x02"
    for row in lines:
        body += b"Z" if row is None else b"G" + struct.pack("<H", len(packbits_line(row))) + packbits_line(row)
    return body + bytes([end])


def job_record(total, kind=1, width=24, copies=1, collate=0):
    name = "TQ33Kr.dll".encode("utf-16-le")
    record = struct.pack("<IIHBBHBB", 58, total, 262, 0, 1, copies, collate, 0)
    record += name + bytes(32 - len(name)) + bytes(7) + bytes([width, kind, 0])
    assert len(record) == 58
    return record


def stream_seeds():
    rows = [bytes([0xFF] * 48), None, bytes(range(48)), bytes([0xAA, 0x55] * 24)]
    first = label(rows, PAGE_END)
    yield "plain-document", b"\x1B\x40" + first + label(rows[:2], DOC_END)
    yield "plain-open-page", b"\x1B\x40" + label(rows, PAGE_END)[:-1]
    yield "plain-hires", b"\x1B\x40" + label(rows, DOC_END, kind=0x09, hires=1, advanced=0x40)
    yield "plain-special", label(rows, DOC_END, kind=0x10, advanced=0x08 | 0x04, various=0xC0)
    yield "document-end-only", bytes([DOC_END])
    page = label(rows, PAGE_END)
    yield "framed-page", job_record(58 + len(page)) + page
    chained = label(rows, 0x0B) + b"".join(
        b"G" + struct.pack("<H", 2) + packbits_line(bytes(48)) for _ in range(2)) + bytes([PAGE_END])
    yield "framed-chain", job_record(58 + len(chained), collate=2) + chained
    yield "framed-length-lies", job_record(0xFFFFFFFF) + page
    yield "line-overflow", b"\x1B\x40" + setup_header() + b"\x4D\x02G\x03\x00\xC0\x00\x00" + bytes([DOC_END])
    yield "reserved-count", b"\x1B\x40" + setup_header() + b"\x4D\x02G\x02\x00\x80\x00" + bytes([DOC_END])


TARGETS = {
    "settings": settings_seeds,
    "escape": escape_seeds,
    "media_file": media_file_seeds,
    "printer_data": printer_data_seeds,
    "model_data": model_data_seeds,
    "page": page_seeds,
    "stream": stream_seeds,
}


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "fuzz", "corpus")
    for target, seeds in TARGETS.items():
        directory = os.path.join(out, target)
        os.makedirs(directory, exist_ok=True)
        for name in os.listdir(directory):
            if name.startswith("seed-"):
                os.remove(os.path.join(directory, name))
        for name, data in seeds():
            with open(os.path.join(directory, "seed-" + name), "wb") as f:
                f.write(data)
    return 0


if __name__ == "__main__":
    sys.exit(main())
