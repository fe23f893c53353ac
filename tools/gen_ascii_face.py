#!/usr/bin/env python3
"""Writes link/asciiface_glyphs.cpp: the terminal pane's 8 x 12 pixel glyphs for printable ASCII, and
the line-drawing set beside them.

The face is the X misc-fixed 8x13 font ("Fixed", public domain, from Debian's xfonts-base), the face that
X terminals have shown by default for decades. Its glyphs keep the top row of their 13 blank, so dropping
that row makes them 8 x 12 without touching a single glyph pixel: capitals stand on rows 1..9, the
x-height is rows 4..9, and descenders end on row 11, inside the cell. A few glyphs are redrawn here (see
REDRAWN) so that every two glyphs differ in at least MIN_DISTANCE pixels and the pairs that a reader of hex
dumps and monitor replies mixes up stand apart: a dotted zero, an 'l' with a foot, a '|' from the capitals'
top to the cell's bottom, a 'c' open below, a grave accent that is more than two pixels, and a 'J' kept
off the gap column.

The line-drawing set (GRAPHICS) is what the DEC special graphics set shows: box drawing, scan lines, the
control pictures and a few symbols, from the same font, made 8 x 12 so that lines still join across cells.

The output depends only on the font file: running it twice writes the same bytes. Only the standard
library is used; the font comes from the package, which the build itself does not need:

    scripts/setup generate              installs xfonts-base
    tools/gen_ascii_face.py             writes link/asciiface_glyphs.cpp beside this tool's repository root
    tools/gen_ascii_face.py --font F    reads another PCF file of the same face
"""

import argparse
import gzip
import itertools
import os
import struct
import sys

DEFAULT_FONT = "/usr/share/fonts/X11/misc/8x13.pcf.gz"
WIDTH, HEIGHT = 8, 12
FIRST, LAST = 0x20, 0x7E
MIN_DISTANCE = 3


def art(text):
    rows = text.split()
    assert len(rows) == HEIGHT and all(len(r) == WIDTH for r in rows), text
    return [[1 if c == "#" else 0 for c in row] for row in rows]


# Glyphs drawn here instead of taken from the font, as they stand in the 8 x 12 cell.
REDRAWN = {
    # The font's zero is an O one pixel narrower; a dot in it keeps 0 and O apart in a hex dump.
    "0": art("""
        ........ ...##... ..#..#.. .#....#. .#.##.#. .#.##.#. .#....#. .#....#. ..#..#.. ...##... ........ ........
    """),
    # The font's 'l' differs from '1' and 'I' in three pixels; a foot makes it unmistakable.
    "l": art("""
        ........ ..##.... ...#.... ...#.... ...#.... ...#.... ...#.... ...#.... ...#.... ....###. ........ ........
    """),
    # The font's bar is the '!' without its gap (one pixel apart); it now runs down through the descenders.
    "|": art("""
        ........ ...#.... ...#.... ...#.... ...#.... ...#.... ...#.... ...#.... ...#.... ...#.... ...#.... ...#....
    """),
    # The font's 'c' is an 'o' less two pixels; it opens below as well.
    "c": art("""
        ........ ........ ........ ........ ..####.. .#....#. .#...... .#...... .#...... ..####.. ........ ........
    """),
    # The font's grave accent is two pixels on the top row, the faintest mark in the set; it now slants
    # over three rows where the apostrophe stands, and the top row is left blank in every glyph.
    "`": art("""
        ........ ..#..... ...#.... ....#... ........ ........ ........ ........ ........ ........ ........ ........
    """),
    # The font's 'J' reaches into column 7, the gap between letters, which every other glyph leaves blank.
    "J": art("""
        ........ ..#####. .....#.. .....#.. .....#.. .....#.. .....#.. .....#.. .#...#.. ..###... ........ ........
    """),
}


# --------------------------------------------------------------------------- PCF

PCF_ACCELERATORS = 1 << 1
PCF_METRICS = 1 << 2
PCF_BITMAPS = 1 << 3
PCF_BDF_ENCODINGS = 1 << 5
PCF_BDF_ACCELERATORS = 1 << 8
PCF_COMPRESSED_METRICS = 0x100


def read_pcf(path, codes=range(FIRST, LAST + 1)):
    """Returns (ascent, {code: (left, ascent, rows of bit lists)}) for `codes` that the font has."""
    data = gzip.open(path).read() if path.endswith(".gz") else open(path, "rb").read()
    if data[:4] != b"\x01fcp":
        sys.exit(f"{path} is not a PCF font")
    (count,) = struct.unpack_from("<I", data, 4)
    tables = {}
    for i in range(count):
        kind, fmt, size, offset = struct.unpack_from("<IIII", data, 8 + 16 * i)
        tables[kind] = offset

    def table(kind):
        offset = tables[kind]
        (fmt,) = struct.unpack_from("<I", data, offset)
        order = ">" if fmt & (1 << 2) else "<"
        return fmt, order, offset + 4

    fmt, order, at = table(PCF_BDF_ACCELERATORS if PCF_BDF_ACCELERATORS in tables else PCF_ACCELERATORS)
    font_ascent, _ = struct.unpack_from(order + "ii", data, at + 8)

    fmt, order, at = table(PCF_METRICS)
    metrics = []
    if fmt & PCF_COMPRESSED_METRICS:
        (n,) = struct.unpack_from(order + "H", data, at)
        for i in range(n):
            lsb, rsb, width, asc, desc = (b - 0x80 for b in data[at + 2 + 5 * i: at + 7 + 5 * i])
            metrics.append((lsb, rsb, asc, desc))
    else:
        (n,) = struct.unpack_from(order + "I", data, at)
        for i in range(n):
            lsb, rsb, width, asc, desc, _ = struct.unpack_from(order + "hhhhhH", data, at + 4 + 12 * i)
            metrics.append((lsb, rsb, asc, desc))

    fmt, order, at = table(PCF_BITMAPS)
    (n,) = struct.unpack_from(order + "I", data, at)
    offsets = struct.unpack_from(order + f"{n}I", data, at + 4)
    bitmaps = at + 4 + 4 * n + 16
    pad = 1 << (fmt & 3)
    msb_bit = bool(fmt & (1 << 3))
    unit = 1 << ((fmt >> 4) & 3)
    msb_byte = bool(fmt & (1 << 2))

    fmt, order, at = table(PCF_BDF_ENCODINGS)
    min2, max2, min1, max1, _default = struct.unpack_from(order + "hhhhh", data, at)
    columns = max2 - min2 + 1
    cells = columns * (max1 - min1 + 1)
    indexes = struct.unpack_from(order + f"{cells}H", data, at + 10)

    glyphs = {}
    for code in codes:
        byte1, byte2 = code >> 8, code & 0xFF
        if not (min1 <= byte1 <= max1 and min2 <= byte2 <= max2):
            continue
        index = indexes[(byte1 - min1) * columns + byte2 - min2]
        if index == 0xFFFF:
            continue
        lsb, rsb, asc, desc = metrics[index]
        stride = ((rsb - lsb + 7) // 8 + pad - 1) // pad * pad
        rows = []
        for r in range(asc + desc):
            raw = bytearray(data[bitmaps + offsets[index] + r * stride: bitmaps + offsets[index] + (r + 1) * stride])
            if unit > 1 and msb_byte != msb_bit:
                for u in range(0, len(raw), unit):
                    raw[u:u + unit] = raw[u:u + unit][::-1]
            bits = []
            for byte in raw:
                bits += [(byte >> (7 - b if msb_bit else b)) & 1 for b in range(8)]
            rows.append(bits[: rsb - lsb])
        glyphs[code] = (lsb, asc, rows)
    return font_ascent, glyphs


def cell_glyphs(path):
    """The font's glyphs as 8 x 12 cells, the blank top row of its 8 x 13 dropped."""
    font_ascent, glyphs = read_pcf(path)
    faces = {}
    for code in range(FIRST, LAST + 1):
        if code not in glyphs:
            sys.exit(f"{path} has no glyph for {chr(code)!r}")
        left, asc, rows = glyphs[code]
        cell = [[0] * WIDTH for _ in range(HEIGHT + 1)]
        for r, bits in enumerate(rows):
            y = font_ascent - asc + r
            for x, bit in enumerate(bits):
                if not bit:
                    continue
                if not (0 <= y <= HEIGHT and 0 <= left + x < WIDTH):
                    sys.exit(f"{path}: {chr(code)!r} does not fit an 8 x 13 cell; is this the 8x13 face?")
                cell[y][left + x] = 1
        if any(cell[0]):
            sys.exit(f"{path}: {chr(code)!r} uses the top row, so the face cannot be made 8 x 12 losslessly")
        faces[code] = cell[1:]
    for char, glyph in REDRAWN.items():
        faces[ord(char)] = glyph
    return faces


def distance(a, b):
    return sum(x != y for ra, rb in zip(a, b) for x, y in zip(ra, rb))


def check(faces):
    close = [(distance(faces[a], faces[b]), chr(a), chr(b))
             for a, b in itertools.combinations(range(FIRST, LAST + 1), 2)]
    close = sorted(c for c in close if c[0] < MIN_DISTANCE)
    if close:
        sys.exit("glyphs too much alike: " + ", ".join(f"{a!r}/{b!r} ({n} pixels)" for n, a, b in close))


def cpp(faces, graphics):
    out = [
        "// Generated by tools/gen_ascii_face.py from the X misc-fixed 8x13 face (public domain, xfonts-base),",
        "// its blank top row dropped and a few glyphs redrawn, and its line-drawing set; do not edit. One byte",
        "// per row, the leftmost pixel in the high bit.",
        "",
        '#include "link/asciiface.h"',
        "",
        "namespace asciiface_detail {",
        "",
        "const AsciiFace::Rows kGlyphs[AsciiFace::kCount] = {",
    ]
    for code in range(FIRST, LAST + 1):
        name = "space" if code == 0x20 else ("'\\\\'" if code == 0x5C else f"'{chr(code)}'")
        redrawn = ", redrawn" if chr(code) in REDRAWN else ""
        out.append(f"    // 0x{code:02X} {name}{redrawn}")
        out.append("    {{")
        for row in faces[code]:
            out.append("        0b" + "".join(str(b) for b in row) + ",")
        out.append("    }},")
    out += [
        "};",
        "",
        "// The line-drawing set, by code point in ascending order.",
        "const Graphic kGraphics[AsciiFace::kGraphicCount] = {",
    ]
    for code in sorted(graphics):
        same = f", drawn as U+{GRAPHICS_SAME_AS[code]:04X}" if code in GRAPHICS_SAME_AS else ""
        out.append(f"    // U+{code:04X} {chr(code)}{same}")
        out.append(f"    {{0x{code:04X},")
        out.append("     {{")
        for row in graphics[code]:
            out.append("         0b" + "".join(str(b) for b in row) + ",")
        out.append("     }}},")
    out += ["};", "", "} // namespace asciiface_detail", ""]
    return "\n".join(out)


# The characters that the DEC special graphics set shows, as libvterm 0.1.4 maps its codes 0x60..0x7E to
# Unicode (and U+2264/U+2265, the upright forms of its slanted <= and >=, which the font draws for both).
GRAPHICS = [
    0x25C6, 0x2592, 0x2409, 0x240C, 0x240D, 0x240A, 0x00B0, 0x00B1, 0x2424, 0x240B, 0x2518, 0x2510, 0x250C,
    0x2514, 0x253C, 0x23BA, 0x23BB, 0x2500, 0x23BC, 0x23BD, 0x251C, 0x2524, 0x2534, 0x252C, 0x2502, 0x2A7D,
    0x2A7E, 0x03C0, 0x2260, 0x00A3, 0x00B7, 0x2264, 0x2265,
]
# Characters the font lacks, drawn with the glyph of another.
GRAPHICS_SAME_AS = {0x2A7D: 0x2264, 0x2A7E: 0x2265}


def graphic_glyphs(path):
    """The line-drawing set as 8 x 12 cells. Unlike the face these join their neighbours: lines reach the
    cell's edges, so one of the 13 rows must go without breaking them. It is the top row, which only runs
    through vertical lines, except where the top row is a glyph's own (the scan line 1, over an empty row
    1): there the empty row goes instead."""
    codes = sorted(set(GRAPHICS) | set(GRAPHICS_SAME_AS.values()))
    font_ascent, glyphs = read_pcf(path, codes)
    cells = {}
    for code in codes:
        source = GRAPHICS_SAME_AS.get(code, code)
        if source not in glyphs:
            sys.exit(f"{path} has no glyph for U+{source:04X}")
        left, asc, rows = glyphs[source]
        cell = [[0] * WIDTH for _ in range(HEIGHT + 1)]
        for r, bits in enumerate(rows):
            y = font_ascent - asc + r
            for x, bit in enumerate(bits):
                if not bit:
                    continue
                if not (0 <= y <= HEIGHT and 0 <= left + x < WIDTH):
                    sys.exit(f"{path}: U+{source:04X} does not fit an 8 x 13 cell; is this the 8x13 face?")
                cell[y][left + x] = 1
        drop = 1 if any(cell[0]) and not any(cell[1]) else 0
        cells[code] = cell[:drop] + cell[drop + 1:]
    return cells


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--font", default=DEFAULT_FONT, help=f"the 8x13 PCF font (default {DEFAULT_FONT})")
    args = parser.parse_args()
    if not os.path.exists(args.font):
        sys.exit(f"{args.font} is missing: install xfonts-base (scripts/setup generate)")
    faces = cell_glyphs(args.font)
    check(faces)
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    target = os.path.join(root, "link", "asciiface_glyphs.cpp")
    with open(target, "w", encoding="utf-8", newline="\n") as f:
        f.write(cpp(faces, graphic_glyphs(args.font)))
    print(f"wrote {target}")


if __name__ == "__main__":
    main()
