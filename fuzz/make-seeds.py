#!/usr/bin/env python3
"""Seeds for the fuzz targets: adversarial sizes and shapes a fuzzer would take long to find.

    fuzz/make-seeds.py render DIR      spool bytes for fuzz_render
    fuzz/make-seeds.py spool DIR       spool files for fuzz_spool
    fuzz/make-seeds.py registry DIR    registry files for fuzz_registry
    fuzz/make-seeds.py icons DIR       icon list streams for fuzz_icon_list

fuzz_render reads the first byte of its input as settings: bits 0-2 the batch size (0 =
none, and then the text is also laid out read in pieces), bit 3 a logo, bits 4-7 the
largest piece (1 + value bytes; 15 = 4096). The second byte's glyph is drawn otherwise
than measured. Both bytes are part of the text too.

fuzz_spool reads its first byte as settings too: bits 0-2 PagesSpool less one, bits 3-7
the reader's piece size (1 + value; 31 = 4096).
"""

import os
import struct
import sys
import zlib

COMMANDS = [b"\r", b"\n", b"\f", b"\xb3", b"\xff", b"\x0f", b"\x12", b"\x1bM", b"\x1bP", b"\x1bE",
            b"\x1bG", b"\x1bF", b"\x1bH", b"\x1b-\x01", b"\x1b-\xff", b"\x1b(s17H", b"\x1b(s12H",
            b"\x1b(s10H", b"\x1b&d0D", b"\x1b&d@", b"\x1b&l8D", b"\x1b&l6D", b"\x1b&l12D"]


def knobs(batch=0, logo=False, piece=0):
    return bytes([batch | (8 if logo else 0) | (piece << 4)])


def render_seeds():
    seeds = {}
    # Runs that each end at a byte starting no command: one joined record, or one record
    # each after a glyph drawn otherwise than measured (the second byte).
    seeds["esc-run"] = knobs(piece=3) + b"\x1b" * 30000 + b"x\r\n"
    seeds["esc-run-inexact"] = knobs(piece=5) + b"\x1b\x1bZ" * 10000
    # Three records a vertical rule: past the bound of a page's records.
    seeds["rules-refused"] = knobs(piece=15) + b"\xb3" * 70000
    seeds["rules-batches"] = knobs(batch=3) + (b"\xb3" * 200 + b"\r\n") * 300
    seeds["rule-lines"] = knobs(piece=7) + (b"A\xb3" * 49 + b"\r\n") * 400
    # Condensed on and off: no text at all, or a run in another font at every byte.
    seeds["toggles"] = knobs(piece=1) + b"\x0f\x12" * 20000
    seeds["toggles-text"] = knobs(piece=2) + b"A\x0fB\x12" * 15000
    # One run of text longer than any piece, carried from piece to piece.
    seeds["long-run"] = knobs(piece=15) + b"x" * 70000
    seeds["long-run-small-pieces"] = knobs(piece=0) + b"y" * 20000 + b"\r\n"
    # Every command straddling every piece boundary: pieces of 1 to 16 bytes and 4096,
    # each command after 0 to 7 filler bytes.
    body = b"".join(b"x" * lead + command + b"y\r\n" for command in COMMANDS for lead in range(8))
    for piece in range(16):
        seeds["straddle-%02d" % piece] = knobs(piece=piece) + body
    # Commands cut short by the end of the text, NUL stand-ins, the end marker.
    for i, command in enumerate(COMMANDS):
        if len(command) > 1:
            seeds["cut-%02d" % i] = knobs(piece=i % 8) + b"Hello" + command[:-1]
    seeds["nul-and-marker"] = knobs(piece=2) + b"a\0b\xff\r\nline\r\0after the end"
    seeds["soft-hyphen"] = knobs(piece=4) + b"\xf0" + b"a\x1b\xf0\x1bb\x1bc\r\n" * 500
    # Empty pages one after another, printed in batches, with a logo.
    seeds["form-feeds"] = knobs(batch=2, logo=True) + b"\f" * 5000 + b"end"
    seeds["line-spacing"] = knobs(piece=6) + (b"\x1b&l12D" + b"l\n" * 100 + b"\x1b&l8D\f") * 20
    # ESC/P 2: print modes, positions, tables, bit images and run-length raster graphics,
    # parameters with NUL bytes, and graphics cut short by the end of the text.
    escp = (b"\x1b@\x1b!\x3d\x1bR\x02[]\x1bt\x00\xc1\x1b$\x10\x00x\x1b\\\xf0\xffy\x1bl\x05\x1bQ\x14"
            b"\x1bD\x02\x04\x00\tz\x1ba\x01mid\r\n\x1b*\x27\x04\x00" + b"\xaa" * 12 +
            b"\x1b.\x01\x0a\x0a\x03\x10\x00\xfe\x0f\x01\xf0\xf0\x00\x81" +
            b"\x1b(V\x02\x00\x10\x02\x1bC\x00\x02\x1bN\x03\x0e\x1bS\x01x\x1bT\x1bp\x01prop\r\n\x0c")
    seeds["escp2"] = knobs(batch=2, piece=3) + escp * 40
    seeds["escp2-cut"] = knobs(piece=1) + escp[:-30]
    # PCL 5: cursor and page format, fonts and symbol sets, raster graphics in every
    # compression, rectangles, announced data, and sequences cut short by the end.
    pcl = (b"\x1bE\x1b&l26a1o2e50F\x1b&a5l70M\x1b&k2G\x1b(s1p12v4101T\x1b(2Nbold\xb9\r\n"
           b"\x1b*p300x+150Y\x1b&a2r10C\x1b&l8D\x1b=\x1b&dDx\x1b&d@\x1b)s3b16.67H\x0ey\x0f\t\b"
           b"\x1b*t150R\x1b*r64s8t1A\x1b*b0m8W" + b"\xaa" * 8 + b"\x1b*b1m4W\x03\xff\x01\x0f"
           b"\x1b*b2m5W\x02\x81\x00\x81\xfd\x1b*b3m3W\x21\xf0\x0f\x1b*b4Y\x1b*rB"
           b"\x1b*c300a150b25g2P\x1b*c720h72v3P\x1b(s4W\x1b\x1b\x00\xff\x1b*c2W\r\n"
           b"\x1b&s0C" + b"w" * 120 + b"\x1b%-12345X@PJL\r\n\x1bE\x1b9\x0c")
    seeds["pcl5"] = knobs(batch=2, piece=3) + pcl * 40
    seeds["pcl5-cut"] = knobs(piece=1) + pcl[:-30]
    return seeds


def spool_knobs(pages_spool=3, piece=0):
    return bytes([(pages_spool - 1) | (piece << 3)])


def spool_seeds():
    seeds = {}
    pages = lambda n, body=b"line": b"\f".join(b"%s %d\r\n" % (body, p) for p in range(1, n + 1))
    # The end marker (CR then NUL or 255) straddling every piece size, at the very start,
    # at the very end, and a CR alone at the end of the file.
    for piece in range(8):
        seeds["marker-%d" % piece] = spool_knobs(piece=piece) + b"x" * piece + b"ab\r\0after the end"
    seeds["marker-255"] = spool_knobs(piece=2) + b"text\r\xffmore\r\0"
    seeds["marker-first"] = b"\r\0" + b"never printed"
    seeds["cr-at-end"] = spool_knobs(piece=3) + b"text\r"
    seeds["cr-cr-nul"] = spool_knobs(piece=1) + b"a\r\r\r\0b"
    seeds["nuls"] = spool_knobs(piece=4) + b"\0" * 300 + b"\r\n\0x\0"
    seeds["cr-marker-only"] = b"\r\0"
    seeds["only-knob"] = spool_knobs(pages_spool=1)
    # Documents of many pages in batches of every size, ending on a batch's edge or not,
    # with empty pages and form feeds at the ends.
    for batch in range(1, 9):
        seeds["pages-%d" % batch] = spool_knobs(batch, piece=31) + pages(2 * batch + 1) + b"\r\0"
    seeds["exact-batches"] = spool_knobs(4, piece=31) + pages(8) + b"\r\0"
    seeds["form-feeds"] = spool_knobs(2, piece=5) + b"\f" * 40 + b"end\f"
    seeds["trailing-ff"] = spool_knobs(3, piece=6) + pages(6) + b"\f\r\0"
    # A page refused after batches were printed: the batches before it stay printed.
    seeds["refused-late"] = spool_knobs(2, piece=31) + pages(5) + b"\f" + b"\xb3" * 70000 + b"\fafter"
    seeds["refused-first"] = spool_knobs(1, piece=31) + b"\x1b" * 3 + b"\xb3" * 70000
    # Long lines wrapping past the page, commands cut by the marker, code-page bytes.
    seeds["long-lines"] = spool_knobs(3, piece=31) + (b"y" * 500 + b"\r\n") * 200
    seeds["command-cut"] = spool_knobs(2, piece=2) + b"Hello\x1b(s1\r\0" + b"7H"
    seeds["czech"] = spool_knobs(5, piece=9) + "P\u0159\u00edli\u0161 \u017elu\u0165ou\u010dk\u00fd k\u016f\u0148\r\n".encode("cp852") * 300
    seeds["line-spacing"] = spool_knobs(3, piece=7) + (b"\x1b&l12D" + b"l\n" * 100 + b"\x1b&l6D\f") * 10
    return seeds


def registry_seeds():
    section = b"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Morvane\\Pagello]\n"
    values = b'"AutoStart"=dword:00000001\n"PrinterIndex"=dword:ffffffff\n"PagesSpool"=dword:00000003\n'
    seeds = {}
    seeds["plain"] = b"REGEDIT4\n\n" + section + values
    seeds["crlf"] = (b"REGEDIT4\n\n" + section + values).replace(b"\n", b"\r\n")
    seeds["many-keys"] = b"REGEDIT4\n\n" + b"".join(
        b"[HKEY_LOCAL_MACHINE\\SOFTWARE\\K%d]\n\"V\"=\"%s\"\n" % (i, b"v" * (i % 97)) for i in range(2000)) + section + values
    seeds["long-line"] = b"REGEDIT4\n\n" + section + b'"Long"="' + b"x" * 60000 + b'"\n' + values
    seeds["continued"] = b"REGEDIT4\n\n" + section + b'"Bin"=hex:' + b"00,\\\n  " * 3000 + b"00\n" + values
    seeds["escapes"] = b"REGEDIT4\n\n" + section + b'"S"="a\\"b\\\\c"\n"PagesSpool"=dword:7fffffff\n'
    seeds["bad-dword"] = b"REGEDIT4\n\n" + section + b'"PagesSpool"=dword:123456789\n"AutoStart"="1"\n'
    seeds["no-header"] = section + values
    seeds["nul-bytes"] = b"REGEDIT4\n\n" + section + b'"A\0"=dword:0\0\n' + values
    return seeds


def bitmap(width, height, bits, rows, mask_rows, colors=b"", colors_used=None, header_size=40):
    """A bitmap entry of an .ico file; rows top-down, padded here to whole words."""
    def pad(row):
        return row + b"\0" * (-len(row) % 4)
    used = len(colors) // 4 if colors_used is None else colors_used
    header = struct.pack("<IiiHHIIiiII", header_size, width, 2 * height, 1, bits, 0, 0, 0, 0, used, 0)
    header += b"\0" * (header_size - 40)
    return header + colors + b"".join(pad(r) for r in reversed(rows)) + b"".join(pad(r) for r in reversed(mask_rows))


def png(width, height):
    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))
    raw = b"".join(b"\0" + b"".join(bytes((x * 40 % 256, y * 40 % 256, 90, 255 if x != y else 0))
                                      for x in range(width)) for y in range(height))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw)) + chunk(b"IEND", b""))


def ico(entries):
    """entries: (directory width, height, bit count, bytes)."""
    out = struct.pack("<HHH", 0, 1, len(entries))
    offset = 6 + 16 * len(entries)
    for width, height, bits, data in entries:
        out += struct.pack("<BBBBHHII", width % 256, height % 256, 0, 0, 1, bits, len(data), offset)
        offset += len(data)
    return out + b"".join(e[3] for e in entries)


def icon_seeds():
    mask16 = [b"\x80\x01"] * 16
    argb = bitmap(16, 16, 32, [b"".join(bytes((x * 16, y * 16, 0x80, 0 if x == y else 200)) for x in range(16))
                               for y in range(16)], mask16)
    legacy = bitmap(16, 16, 32, [bytes((x, y, 0, 0)) * 16 for x, y in zip(range(16), range(16))], mask16)
    palette = b"".join(bytes((i, 255 - i, i // 2, 0)) for i in range(256))
    files = {
        "argb": ico([(16, 16, 32, argb)]),
        "legacy": ico([(16, 16, 32, legacy)]),
        "mono": ico([(16, 16, 1, bitmap(16, 16, 1, [b"\xaa\x55"] * 16, mask16, b"\0\0\0\0\xff\xff\xff\0"))]),
        "nibbles": ico([(5, 3, 4, bitmap(5, 3, 4, [b"\x01\x23\x40"] * 3, [b"\x08"] * 3, palette[:64]))]),
        "short-table": ico([(3, 2, 8, bitmap(3, 2, 8, [b"\x00\x05\xff"] * 2, [b"\0"] * 2, palette[:8]))]),
        "rgb": ico([(3, 3, 24, bitmap(3, 3, 24, [b"\x10\x20\x30" * 3] * 3, [b"\x40"] * 3))]),
        "big-header": ico([(2, 2, 32, bitmap(2, 2, 32, [b"\1\2\3\4" * 2] * 2, [b"\0"] * 2, header_size=124))]),
        "png": ico([(16, 16, 32, png(16, 16))]),
        "png-256": ico([(0, 0, 32, png(256, 256))]),
        "several": ico([(16, 16, 32, argb), (0, 0, 32, png(256, 2)),
                         (3, 2, 8, bitmap(3, 2, 8, [b"abc"] * 2, [b"\0"] * 2, palette))]),
    }

    def stream(*entries):
        return struct.pack("<i", len(entries)) + b"".join(struct.pack("<i", len(e)) + e for e in entries)

    seeds = {"list-" + name: stream(data) for name, data in files.items()}
    seeds["list-all"] = stream(*files.values())
    seeds["nulls"] = stream(b"", files["argb"], b"", b"")
    seeds["negative-size"] = struct.pack("<ii", 2, -5) + stream(files["png"])[4:]
    seeds["count-huge"] = struct.pack("<i", 0x7fffffff) + stream(files["rgb"])[4:]
    seeds["size-huge"] = struct.pack("<ii", 1, 0x7fffffff) + files["argb"]
    seeds["cut"] = stream(files["argb"], files["png"])[:-7]
    seeds["offset-wraps"] = stream(files["rgb"][:14] + struct.pack("<II", 0x100, 0xffffff00) + files["rgb"][22:])
    return seeds


def main():
    kinds = {"render": render_seeds, "spool": spool_seeds, "registry": registry_seeds, "icons": icon_seeds}
    if len(sys.argv) != 3 or sys.argv[1] not in kinds:
        sys.exit("usage: make-seeds.py render|spool|registry|icons DIR")
    seeds = kinds[sys.argv[1]]()
    os.makedirs(sys.argv[2], exist_ok=True)
    for name, data in seeds.items():
        with open(os.path.join(sys.argv[2], "seed-" + name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
