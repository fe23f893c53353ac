#pragma once
// AsciiFace: the terminal pane's face for printable ASCII (0x20..0x7E), pixel glyphs made for its 8 x 12
// cells, so that the robot's replies (capitals and hex digits, mostly) read like print.
//
// What it promises:
// - Every glyph is exactly kWidth x kHeight pixels, each pixel ink or paper and never a shade between: a
//   cell drawn from it at 1:1 holds the text colour and the background colour and nothing else.
// - Every two glyphs differ in at least kMinDistance pixels; 0/O, 1/l/I, B/8, S/5, 2/Z, D/O and M/W
//   differ in many more.
// - Rows are the same for the whole face. Row 0 is blank in every glyph, so lines never touch. Capitals and
//   digits stand on rows kCapTop..kBaseline-1, the x-height is rows kXHeightTop..kBaseline-1, and
//   descenders take rows kBaseline..kHeight-1, inside the cell. The underscore lies on row kBaseline, so
//   an underline on the last row and a cursor bar over the last two rows still show.
// - Column kWidth-1 is blank in every glyph: the gap between letters is in the glyphs, and a run of cells
//   needs no spacing of its own.
// - Only codes 0x20..0x7E have a glyph; has() says so. glyph() of any other code is the blank (the space),
//   so that a caller can never read outside the table; such characters are the caller's to draw otherwise.
//
// glyph() hands out one glyph as rows of bits; atlas() all of them as one image in two given colours, glyph
// of code c at x = (c - kFirst) * kWidth (atlasRect()), for copying cells without any text layout. Nothing
// here allocates except atlas(), which builds a new image on every call: callers keep one per colour pair.
//
// Beside the face stands the line-drawing set: the characters that the DEC special graphics set shows (as
// libvterm maps its codes to Unicode: box drawing, scan lines, control pictures, a few symbols), kGraphicCount
// of them, the same size and in two colours too. They keep none of the face's rows and gap: lines run to
// the cell's edges, row 0 and column kWidth-1 included, so that they join across cells. hasGraphic() says
// which characters it has; graphicsAtlas() holds them in one row as atlas() does, at graphicsAtlasRect().
//
// The glyphs are generated (tools/gen_ascii_face.py) from a public-domain face made for X terminals, with a
// few redrawn; asciiface_glyphs.cpp holds them.

#include <QColor>
#include <QImage>
#include <QRect>

#include <array>
#include <cstdint>

class AsciiFace
{
public:
    static constexpr int kWidth = 8;
    static constexpr int kHeight = 12;
    static constexpr char32_t kFirst = 0x20;
    static constexpr char32_t kLast = 0x7E;
    static constexpr int kCount = static_cast<int>(kLast - kFirst) + 1;

    static constexpr int kCapTop = 1;
    static constexpr int kXHeightTop = 4;
    // The first row below the baseline.
    static constexpr int kBaseline = 10;
    static constexpr int kMinDistance = 3;
    static constexpr int kGraphicCount = 33;

    // One byte per row, top row first; the leftmost pixel is the high bit.
    using Rows = std::array<std::uint8_t, kHeight>;

    static constexpr bool has(char32_t c) { return c >= kFirst && c <= kLast; }
    static const Rows& glyph(char32_t c);
    static bool ink(char32_t c, int x, int y);

    // The whole set in one row of cells: ink where a glyph has ink, paper elsewhere (paper may be
    // transparent, to draw over cells already filled). Format_ARGB32_Premultiplied.
    static QImage atlas(const QColor& ink, const QColor& paper);
    // Where the glyph of `c` lies in the atlas; the space's cell for a code without a glyph.
    static QRect atlasRect(char32_t c);

    // The line-drawing set: as above, for the characters it has; graphic() of any other is blank.
    static bool hasGraphic(char32_t c);
    static const Rows& graphic(char32_t c);
    static QImage graphicsAtlas(const QColor& ink, const QColor& paper);
    // The blank's cell (an empty one past the set) for a character the set lacks.
    static QRect graphicsAtlasRect(char32_t c);
};

namespace asciiface_detail {
extern const AsciiFace::Rows kGlyphs[AsciiFace::kCount];
struct Graphic
{
    char32_t code;
    AsciiFace::Rows rows;
};
// By code, ascending.
extern const Graphic kGraphics[AsciiFace::kGraphicCount];
} // namespace asciiface_detail
