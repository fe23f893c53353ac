#!/usr/bin/env python3
"""Draws the console's button glyphs, status-light images and window icon.

Every image is 16-colour pixel art in the classic 16-colour palette, written as an
indexed PNG whose background colour is made fully transparent by a tRNS chunk (the
window icon keeps its opaque background). The status lights are the one exception:
they are 24-bit RGBA with shaded balls and a binary alpha mask, so no edge pixel is
ever half transparent.

The output depends on nothing but this file: running it twice writes the same bytes.
Only the standard library is used.

    tools/draw_glyphs.py                    writes resources/glyphs/*.png
    tools/draw_glyphs.py --preview OUT.png  also writes an enlarged contact sheet
"""

import argparse
import math
import os
import struct
import sys
import zlib

# The classic 16-colour palette, by the one-letter names the pixel maps below use.
COLOURS = {
    "k": (0, 0, 0),        # black
    "m": (128, 0, 0),      # maroon
    "g": (0, 128, 0),      # green
    "o": (128, 128, 0),    # olive
    "n": (0, 0, 128),      # navy
    "p": (128, 0, 128),    # purple
    "t": (0, 128, 128),    # teal
    "s": (192, 192, 192),  # silver
    "d": (128, 128, 128),  # grey
    "r": (255, 0, 0),      # red
    "l": (0, 255, 0),      # lime
    "y": (255, 255, 0),    # yellow
    "b": (0, 0, 255),      # blue
    "f": (255, 0, 255),    # fuchsia
    "c": (0, 255, 255),    # aqua
    "w": (255, 255, 255),  # white
}

# Pixel maps use "." for the background; "," in a stamp leaves the canvas untouched.
BACKGROUND = "."
SKIP = ","


# --------------------------------------------------------------------------- PNG

def _chunk(kind, data):
    return (struct.pack(">I", len(data)) + kind + data
            + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))


def _png(width, height, colour_type, bit_depth, rows, extra_chunks=()):
    raw = b"".join(b"\x00" + row for row in rows)  # filter type 0 on every row
    header = struct.pack(">IIBBBBB", width, height, bit_depth, colour_type, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + _chunk(b"IHDR", header)
            + b"".join(_chunk(kind, data) for kind, data in extra_chunks)
            + _chunk(b"IDAT", zlib.compress(raw, 9)) + _chunk(b"IEND", b""))


def indexed_png(canvas, background, transparent=True):
    """Encodes a canvas of colour letters as a 4-bit indexed PNG.

    The palette holds only the colours used, background first, so that a one-byte
    tRNS chunk makes exactly the background transparent.
    """
    used = sorted({c for row in canvas.pixels for c in row} - {BACKGROUND})
    if background in used:
        raise ValueError(f"{canvas.name}: background colour '{background}' is also drawn")
    letters = [background] + used
    if len(letters) > 16:
        raise ValueError(f"{canvas.name}: {len(letters)} colours do not fit 16")
    index = {c: i for i, c in enumerate(letters)}
    index[BACKGROUND] = 0
    rows = []
    for row in canvas.pixels:
        nibbles = [index[c] for c in row] + [0] * (len(row) % 2)
        rows.append(bytes((nibbles[i] << 4) | nibbles[i + 1] for i in range(0, len(nibbles), 2)))
    chunks = [(b"PLTE", b"".join(bytes(COLOURS[c]) for c in letters))]
    if transparent:
        chunks.append((b"tRNS", b"\x00"))
    return _png(canvas.width, canvas.height, 3, 4, rows, chunks)


def rgba_png(width, height, pixels):
    rows = [b"".join(bytes(pixels[y][x]) for x in range(width)) for y in range(height)]
    return _png(width, height, 6, 8, rows)


# ------------------------------------------------------------------------ canvas

class Canvas:
    def __init__(self, name, width, height):
        self.name = name
        self.width = width
        self.height = height
        self.pixels = [[BACKGROUND] * width for _ in range(height)]

    def put(self, x, y, colour):
        if 0 <= x < self.width and 0 <= y < self.height:
            self.pixels[y][x] = colour

    def get(self, x, y):
        if 0 <= x < self.width and 0 <= y < self.height:
            return self.pixels[y][x]
        return BACKGROUND

    def stamp(self, art, x0=0, y0=0):
        """Copies a pixel map onto the canvas; SKIP cells leave what is there."""
        for dy, line in enumerate(art):
            for dx, c in enumerate(line):
                if c != SKIP:
                    if c not in COLOURS and c != BACKGROUND:
                        raise ValueError(f"{self.name}: unknown colour '{c}'")
                    self.put(x0 + dx, y0 + dy, c)

    def fill(self, inside, colour):
        """Paints every pixel whose centre satisfies inside(x, y)."""
        for y in range(self.height):
            for x in range(self.width):
                if inside(x + 0.5, y + 0.5):
                    self.pixels[y][x] = colour

    def outline(self, colour, of):
        """Turns the pixels of colours `of` that touch anything else (4-neighbours,
        the image edge counts as outside) into `colour`."""
        edge = [(x, y) for y in range(self.height) for x in range(self.width)
                if self.pixels[y][x] in of
                and any(self.get(x + dx, y + dy) not in of
                        for dx, dy in ((1, 0), (-1, 0), (0, 1), (0, -1)))]
        for x, y in edge:
            self.pixels[y][x] = colour

    def text(self, string, x0, y0, colour):
        for ch in string:
            for dy, bits in enumerate(FONT_3X5[ch]):
                for dx, bit in enumerate(bits):
                    if bit == "1":
                        self.put(x0 + dx, y0 + dy, colour)
            x0 += 4


def checked(name, art, width, height):
    if len(art) != height or any(len(line) != width for line in art):
        sizes = sorted({len(line) for line in art})
        raise ValueError(f"{name}: pixel map is {sizes}x{len(art)}, expected {width}x{height}")
    return art


def flipped(art):
    return [line[::-1] for line in art]


def turned_clockwise(art):
    return ["".join(art[len(art) - 1 - y][x] for y in range(len(art))) for x in range(len(art[0]))]


FONT_3X5 = {
    "B": ("110", "101", "110", "101", "110"),
    "C": ("011", "100", "100", "100", "011"),
    "E": ("111", "100", "110", "100", "111"),
    "L": ("100", "100", "100", "100", "111"),
    "N": ("101", "111", "111", "111", "101"),
    "O": ("010", "101", "101", "101", "010"),
    "R": ("110", "101", "110", "101", "101"),
    "S": ("011", "100", "010", "001", "110"),
    "T": ("111", "010", "010", "010", "010"),
}


def text_width(string):
    return 4 * len(string) - 1


# ---------------------------------------------------------------------- drawings

def inside_triangle(a, b, c):
    def side(p, q, x, y):
        return (q[0] - p[0]) * (y - p[1]) - (q[1] - p[1]) * (x - p[0])

    def inside(x, y):
        s1, s2, s3 = side(a, b, x, y), side(b, c, x, y), side(c, a, x, y)
        return (s1 >= 0 and s2 >= 0 and s3 >= 0) or (s1 <= 0 and s2 <= 0 and s3 <= 0)
    return inside


def direction_triangle(name, size, pointing, body, rim, margin):
    """A solid triangle on grey, symmetric about the image's middle line."""
    canvas = Canvas(name, size, size)
    lo, hi, mid = margin, size - margin, size / 2
    corners = {
        "up": ((mid, lo), (hi, hi), (lo, hi)),
        "down": ((mid, hi), (lo, lo), (hi, lo)),
        "left": ((lo, mid), (hi, lo), (hi, hi)),
        "right": ((hi, mid), (lo, hi), (lo, lo)),
    }[pointing]
    canvas.fill(inside_triangle(*corners), body)
    canvas.outline(rim, {body})
    return canvas


def shaded_ball(name, size, body, shade, rim, shine):
    """A ball lit from the upper left: a body tone, a shadow crescent on the lower
    right, a small highlight, all inside a one-pixel rim."""
    canvas = Canvas(name, size, size)
    centre, radius = size / 2, size / 2 - 1.5
    light = (-0.45, -0.55, 0.70)
    norm = math.sqrt(sum(v * v for v in light))
    light = tuple(v / norm for v in light)
    for y in range(size):
        for x in range(size):
            dx, dy = (x + 0.5 - centre) / radius, (y + 0.5 - centre) / radius
            if dx * dx + dy * dy > 1.0:
                continue
            dz = math.sqrt(1.0 - dx * dx - dy * dy)
            lit = dx * light[0] + dy * light[1] + dz * light[2]
            canvas.pixels[y][x] = shine if lit > 0.96 else body if lit > 0.35 else shade
    canvas.outline(rim, {body, shade, shine})
    return canvas


def side_by_side(name, left, right):
    canvas = Canvas(name, left.width + right.width, max(left.height, right.height))
    canvas.stamp(["".join(row) for row in left.pixels], 0, 0)
    canvas.stamp(["".join(row) for row in right.pixels], left.width, 0)
    return canvas


# A red arrow pointing right, 10 by 9, with a maroon rim.
BIG_ARROW = [
    ",,,,,m,,,,",
    ",,,,,mm,,,",
    "mmmmmmrm,,",
    "mrrrrrrrm,",
    "mrrrrrrrrm",
    "mrrrrrrrm,",
    "mmmmmmrm,,",
    ",,,,,mm,,,",
    ",,,,,m,,,,",
]

# A smaller solid red arrow pointing right, 6 by 7.
SMALL_ARROW = [
    ",,r,,,",
    ",,rr,,",
    "rrrrr,",
    "rrrrrr",
    "rrrrr,",
    ",,rr,,",
    ",,r,,,",
]


def cable_glyph():
    canvas = Canvas("cable", 24, 24)
    canvas.stamp(checked("cable", [
        "...............kk..kk...",
        "...............ds..ds...",
        "...............ds..ds...",
        "..............kkkkkkkk..",
        "..............kwfffffk..",
        "..............kffffffk..",
        "..............kffffffk..",
        "..............kffffffk..",
        "..............kffffppk..",
        "..............kkffppkk..",
        "...............kkfpkk...",
        ".................kfpk...",
        ".................kfpk...",
        ".................kfpk...",
        ".................kfpk...",
        "................kffpk...",
        "...............kffpk....",
        ".............kkffpk.....",
        "...........kkfffpk......",
        "..........kfffppk.......",
        ".........kffpkkk........",
        ".........kfpk...........",
        ".........kfpk...........",
        ".........kfpk...........",
    ], 24, 24))
    canvas.stamp(BIG_ARROW, 2, 2)
    return canvas


def folder_glyph():
    canvas = Canvas("folder", 24, 24)
    canvas.stamp(checked("folder", [
        "........................",
        "........................",
        "........................",
        "........................",
        "............kkkk........",
        "...........kyyyyk.......",
        "...........kyssssskkkk..",
        "...........ksoooooooosk.",
        "...........ksooooooooyk.",
        "...........kskkkkkkkkkkk",
        "...........kskyyyyyyyyyk",
        "...........kkyyyyyyyyyk.",
        "...........kkyyyyyyyyyk.",
        "...........kyyyyyyyyyk..",
        "...........kyyyyyyyyyk..",
        "...........kyyyyyyyyk...",
        "...........kkkkkkkkkk...",
        "........................",
        "........................",
        "........................",
        "........................",
        "........................",
        "........................",
        "........................",
    ], 24, 24))
    canvas.stamp(BIG_ARROW, 0, 6)
    return canvas


def computer_glyph():
    canvas = Canvas("computer", 24, 24)
    canvas.stamp(checked("computer", [
        "........................",
        "........................",
        "........................",
        ".......kkkkkkkkkk.......",
        ".......kwssssssdk.......",
        ".......ksccbbbbdk.......",
        ".......kscbbbbbdk.......",
        ".......ksbbbbbbdk.......",
        ".......ksbbbbbbdk.......",
        ".......ksbbbbbbdk.......",
        ".......ksbbbbbbdk.......",
        ".......kssssssddk.......",
        ".......kkkkkkkkkk.......",
        "..........kddk..........",
        ".........kkddkk.........",
        "........kssssddk........",
        "........kkkkkkkk........",
        "........................",
        "....kkkkkkkkkkkkkkkk....",
        "....kswswswswswswsdk....",
        "....kwswswswswswsddk....",
        "....kkkkkkkkkkkkkkkk....",
        "........................",
        "........................",
    ], 24, 24))
    canvas.stamp(SMALL_ARROW, 0, 5)
    canvas.stamp(flipped(SMALL_ARROW), 18, 5)
    return canvas


def enter_glyph():
    canvas = Canvas("enter", 24, 24)
    canvas.text("RET", 6, 1, "k")
    canvas.stamp(checked("enter", [
        "..........kkk...........",
        "..........kkk...........",
        "..........kkk...........",
        "..........kkk...........",
        "..........kkk...........",
        "......kkkkkkkkkkk.......",
        ".......kkkkkkkkk........",
        "........kkkkkkk.........",
        ".........kkkkk..........",
        "..........kkk...........",
        "...........k............",
        "........................",
        "...kkkkkkkkkkkkkkkkk....",
        "...kcbbbbbbbbbbbbbnk....",
        "...kbnnnnnnnnnnnnnnk....",
        "...kkkkkkkkkkkkkkkkk....",
    ], 24, 16), 0, 8)
    return canvas


def close_glyph():
    """An open door with a green arrow leaving through it."""
    canvas = Canvas("close", 20, 20)
    canvas.stamp(checked("close", [
        "...kkkkkkkkkkk......",
        "...kmmmmmmmmmk......",
        "..kkmkkkkkkkmk......",
        ".kykmkkkkkkkmk......",
        ".kykmkkkkkkkmk......",
        ".kykmkkkkkkkmk......",
        ".kykmkkkkkkkmk......",
        ".kykmkkkkkkkmk......",
        ".kykmkkkkkkkmk......",
        "kyykmkkkkkkkmk......",
        "kyokmkkkkkkkmk......",
        "kyokmkkkkkkkmk......",
        "kyykmkkkkkkkmk......",
        "kyykmkkkkkkkmk......",
        "kyykmkkkkkkkmk......",
        "kyykmkkkkkkkmk......",
        "kyykmkkkkkkkmk......",
        "kyykmmmmmmmmmk......",
        ".kkkkkkkkkkkkk......",
        "....................",
    ], 20, 20))
    canvas.stamp(checked("close arrow", [
        ",,,,,,,,,g,,,,",
        ",,,,,,,,,gg,,,",
        "gggggggggglg,,",
        "glllllllllllg,",
        "gllllllllllllg",
        "glllllllllllg,",
        "gggggggggglg,,",
        ",,,,,,,,,gg,,,",
        ",,,,,,,,,g,,,,",
    ], 14, 9), 6, 6)
    return canvas


def icon_glyph():
    canvas = Canvas("icon", 32, 32)
    # Flagpole with a gilt knob.
    canvas.stamp(["yy", "yy"], 3, 0)
    for y in range(2, 18):
        canvas.stamp(["sd"], 3, y)
    # White flag with a red-over-blue disc and four bars in the corners.
    canvas.fill(lambda x, y: 5 <= x < 28 and 2 <= y < 16, "w")
    canvas.outline("k", {"w"})
    cx, cy, r = 16.5, 9.0, 4.6
    canvas.fill(lambda x, y: (x - cx) ** 2 + (y - cy) ** 2 <= r * r
                and (y < cy or (abs(y - cy) < 0.6 and x < cx)), "r")
    canvas.fill(lambda x, y: (x - cx) ** 2 + (y - cy) ** 2 <= r * r
                and (y > cy or (abs(y - cy) < 0.6 and x > cx)), "b")
    for x0, y0 in ((7, 4), (24, 4), (7, 12), (24, 12)):
        canvas.stamp(["kk", ",,", "kk"], x0, y0 - 1)
    canvas.text("ROBOT", (32 - text_width("ROBOT")) // 2 + 1, 19, "y")
    canvas.text("CONSOLE", (32 - text_width("CONSOLE")) // 2 + 1, 25, "w")
    return canvas


def light_pixels(lit):
    """One 16x16 status light: a shaded red ball with binary alpha."""
    size, centre, radius = 16, 8.0, 7.0
    base = (255, 32, 32) if lit else (112, 0, 0)
    rim = (120, 0, 0) if lit else (48, 0, 0)
    specular_strength = 1.0 if lit else 0.35
    light = (-0.45, -0.55, 0.70)
    norm = math.sqrt(sum(v * v for v in light))
    light = tuple(v / norm for v in light)
    pixels = []
    for y in range(size):
        row = []
        for x in range(size):
            dx, dy = (x + 0.5 - centre) / radius, (y + 0.5 - centre) / radius
            d2 = dx * dx + dy * dy
            if d2 > 1.0:
                row.append((0, 0, 0, 0))
                continue
            if d2 > 0.80:
                row.append(rim + (255,))
                continue
            dz = math.sqrt(1.0 - d2)
            diffuse = max(0.0, dx * light[0] + dy * light[1] + dz * light[2])
            specular = specular_strength * max(0.0, diffuse - 0.85) / 0.15
            colour = tuple(min(255, round(c * (0.40 + 0.60 * diffuse) + 255 * specular * 0.9))
                           for c in base)
            row.append(colour + (255,))
        pixels.append(row)
    return pixels


# --------------------------------------------------------------------- catalogue

def indexed_images():
    """(file name, canvas, background letter, transparent?) for every indexed image."""
    up = direction_triangle("up", 64, "up", "r", "m", 6)
    down = direction_triangle("down", 64, "down", "r", "m", 6)
    left = direction_triangle("left", 51, "left", "y", "o", 6)
    right = direction_triangle("right", 51, "right", "y", "o", 6)
    normal = shaded_ball("stop-normal", 24, "b", "n", "k", "w")
    disabled = shaded_ball("stop-disabled", 24, "s", "d", "d", "w")
    return [
        ("up.png", up, "s", True),
        ("down.png", down, "s", True),
        ("left.png", left, "s", True),
        ("right.png", right, "s", True),
        ("stop.png", side_by_side("stop", normal, disabled), "t", True),
        ("stop-normal.png", normal, "t", True),
        ("stop-disabled.png", disabled, "t", True),
        ("cable.png", cable_glyph(), "o", True),
        ("folder.png", folder_glyph(), "p", True),
        ("computer.png", computer_glyph(), "o", True),
        ("enter.png", enter_glyph(), "o", True),
        ("close.png", close_glyph(), "t", True),
        ("icon.png", icon_glyph(), "n", False),
    ]


def rgba_images():
    on, off = light_pixels(True), light_pixels(False)
    both = [on[y] + off[y] for y in range(16)]
    return [("lights.png", 32, 16, both), ("light-on.png", 16, 16, on), ("light-off.png", 16, 16, off)]


def rendered():
    """Every image as (file name, PNG bytes, RGBA rows for previews)."""
    out = []
    for name, canvas, background, transparent in indexed_images():
        def colour(c, background=background, transparent=transparent):
            if c == BACKGROUND:
                return COLOURS[background] + ((0,) if transparent else (255,))
            return COLOURS[c] + (255,)
        rows = [[colour(c) for c in row] for row in canvas.pixels]
        out.append((name, indexed_png(canvas, background, transparent), rows))
    for name, width, height, pixels in rgba_images():
        out.append((name, rgba_png(width, height, pixels), pixels))
    return out


def contact_sheet(images, scale, max_width=1000):
    """All images enlarged on a checkerboard, in rows no wider than max_width."""
    gap = 8
    placed, x, y, row_height, width = [], gap, gap, 0, 0
    for _, _, rows in images:
        w, h = len(rows[0]) * scale, len(rows) * scale
        if x > gap and x + w + gap > max_width:
            x, y, row_height = gap, y + row_height + gap, 0
        placed.append((x, y, rows))
        x += w + gap
        row_height = max(row_height, h)
        width = max(width, x)
    height = y + row_height + gap
    sheet = [[(200, 200, 200, 255) if ((px // 8) + (py // 8)) % 2 else (235, 235, 235, 255)
              for px in range(width)] for py in range(height)]
    for left, top, rows in placed:
        for iy, row in enumerate(rows):
            for ix, (r, g, b, a) in enumerate(row):
                if a == 0:
                    continue
                for sy in range(scale):
                    for sx in range(scale):
                        sheet[top + iy * scale + sy][left + ix * scale + sx] = (r, g, b, 255)
    return width, height, sheet


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", default=os.path.join(here, "..", "resources", "glyphs"),
                        help="directory for the PNG files")
    parser.add_argument("--preview", help="also write an enlarged contact sheet here")
    parser.add_argument("--scale", type=int, default=6, help="enlargement of the preview")
    args = parser.parse_args()

    images = rendered()
    os.makedirs(args.out, exist_ok=True)
    for name, data, _ in images:
        with open(os.path.join(args.out, name), "wb") as f:
            f.write(data)
    if args.preview:
        width, height, sheet = contact_sheet(images, args.scale)
        with open(args.preview, "wb") as f:
            f.write(rgba_png(width, height, sheet))
    print(f"wrote {len(images)} images to {os.path.normpath(args.out)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
