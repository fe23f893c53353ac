#!/usr/bin/env python3
"""Writes resources/fonts/console-caption-bold.ttf: the bold Hangul face of the window's bold captions, cut
down to the characters of those captions.

The window's two bold captions (the direction pad's title and the exit button's) are drawn in the bold face
of NanumBarunGothic (Debian's fonts-nanum). Drawing a dozen of its syllables keeps pieces of its 4 MB glyph
table resident all over the file, 0.8 MiB of memory for two captions. This face holds just the glyphs of
those captions, with the same outlines, metrics and hinting instructions, so they are drawn with the same
pixels; the console loads it from its resources and keeps the installed face for any other character.

The captions are read from the window description: every "title" and "text" of a widget whose font is bold,
and of the widgets inside it that keep its font. Printable ASCII and the ellipsis come along, for mnemonics
and elided text.

The face is under the SIL Open Font License 1.1, which reserves the names "Nanum" and "NanumBarunGothic"
(among others) for the original: this modified version is named "Robot Console Caption", keeps the
original's copyright notice, and carries the licence in its name table. packaging/copyright says the same
for the package.

The output depends only on the font file and the window description: running it twice writes the same
bytes. The build uses the generated file and never needs the tool's packages:

    scripts/setup generate      installs fonts-nanum and python3-fonttools
    tools/gen_caption_font.py   writes resources/fonts/console-caption-bold.ttf beside this tool's
                                repository root
"""

import argparse
import os
import sys
import xml.etree.ElementTree as ET

from fontTools import subset
from fontTools.ttLib import TTFont

DEFAULT_FONT = "/usr/share/fonts/truetype/nanum/NanumBarunGothicBold.ttf"
FAMILY = "Robot Console Caption"
STYLE = "Bold"
LICENCE = (
    "This Font Software is licensed under the SIL Open Font License, Version 1.1. "
    "This license is available with a FAQ at: https://openfontlicense.org"
)
LICENCE_URL = "https://openfontlicense.org"
EXTRA = "".join(chr(c) for c in range(0x20, 0x7F)) + "\u2026"


def font_is_bold(widget, inherited):
    font = widget.find("./property[@name='font']/font")
    if font is None:
        return inherited
    bold = font.find("bold")
    return inherited if bold is None else bold.text == "true"


def child_widgets(node):
    """The widgets directly inside `node`, through any layouts and layout items between."""
    for child in node:
        if child.tag == "widget":
            yield child
        elif child.tag in ("layout", "item"):
            yield from child_widgets(child)


def caption_characters(ui_path):
    characters = set(EXTRA)

    def walk(widget, bold):
        bold = font_is_bold(widget, bold)
        if bold:
            for prop in widget.findall("./property"):
                text = prop.find("string")
                if prop.get("name") in ("title", "text") and text is not None and text.text:
                    characters.update(text.text)
        for child in child_widgets(widget):
            walk(child, bold)

    walk(ET.parse(ui_path).getroot().find("widget"), False)
    return "".join(sorted(characters))


def rename(font):
    name = font["name"]
    full = f"{FAMILY} {STYLE}"
    postscript = FAMILY.replace(" ", "") + "-" + STYLE
    keep = {0: None, 1: FAMILY, 2: STYLE, 3: f"{postscript}: 2013", 4: full, 5: None, 6: postscript,
            13: LICENCE, 14: LICENCE_URL}
    # Every other record goes: the original's names in any language, its typographic family and its vendor
    # links belong to the original.
    name.names = [record for record in name.names if record.nameID in keep]
    for record in name.names:
        value = keep[record.nameID]
        if value is not None:
            record.string = value
    for name_id in (13, 14):
        if not any(record.nameID == name_id for record in name.names):
            name.setName(keep[name_id], name_id, 3, 1, 0x409)
    # One language suffices: the localised (Korean) records named the original.
    name.names = [record for record in name.names if record.langID in (0, 0x409)]


def main():
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--font", default=DEFAULT_FONT)
    parser.add_argument("--ui", default=os.path.join(root, "resources", "tform1.ui"))
    parser.add_argument("--out", default=os.path.join(root, "resources", "fonts", "console-caption-bold.ttf"))
    args = parser.parse_args()

    characters = caption_characters(args.ui)
    options = subset.Options()
    options.hinting = True
    options.layout_features = ["*"]
    options.legacy_kern = True
    options.name_IDs = ["*"]
    options.name_languages = ["*"]
    options.notdef_outline = True
    options.prune_unicode_ranges = False
    options.recalc_timestamp = False
    options.drop_tables = ["FFTM", "DSIG"]
    font = TTFont(args.font, recalcTimestamp=False)
    subsetter = subset.Subsetter(options)
    subsetter.populate(text=characters)
    subsetter.subset(font)
    missing = [c for c in characters if ord(c) not in font.getBestCmap()]
    if missing:
        sys.exit(f"gen_caption_font: {args.font} has no glyph for {''.join(missing)!r}")
    rename(font)
    os.makedirs(os.path.dirname(args.out), exist_ok=True)
    font.save(args.out)
    print(f"{args.out}: {len(font.getGlyphOrder())} glyphs, {os.path.getsize(args.out)} bytes")


if __name__ == "__main__":
    main()
