#include "link/asciiface.h"

#include <algorithm>
#include <iterator>

namespace {

int indexOf(char32_t c)
{
    return AsciiFace::has(c) ? static_cast<int>(c - AsciiFace::kFirst) : 0;
}

// The graphic's place in the set; kGraphicCount (the blank past it) for a character the set lacks.
int graphicIndexOf(char32_t c)
{
    const auto* begin = std::begin(asciiface_detail::kGraphics);
    const auto* end = std::end(asciiface_detail::kGraphics);
    const auto* found = std::lower_bound(
        begin, end, c, [](const asciiface_detail::Graphic& graphic, char32_t code) { return graphic.code < code; });
    return found != end && found->code == c ? static_cast<int>(found - begin) : AsciiFace::kGraphicCount;
}

const AsciiFace::Rows kBlank{};

// `count` glyphs in one row of cells, ink where `rows(i)` has it, paper elsewhere.
template <typename RowsOf>
QImage atlasOf(int count, RowsOf rows, const QColor& ink, const QColor& paper)
{
    QImage image(count * AsciiFace::kWidth, AsciiFace::kHeight, QImage::Format_ARGB32_Premultiplied);
    const QRgb inkPixel = ink.rgba64().premultiplied().toArgb32();
    const QRgb paperPixel = paper.rgba64().premultiplied().toArgb32();
    for (int y = 0; y < AsciiFace::kHeight; ++y) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int i = 0; i < count; ++i) {
            const std::uint8_t bits = rows(i)[static_cast<std::size_t>(y)];
            for (int x = 0; x < AsciiFace::kWidth; ++x)
                line[i * AsciiFace::kWidth + x] = (bits >> (AsciiFace::kWidth - 1 - x)) & 1U ? inkPixel : paperPixel;
        }
    }
    return image;
}

} // namespace

const AsciiFace::Rows& AsciiFace::glyph(char32_t c)
{
    return asciiface_detail::kGlyphs[indexOf(c)];
}

bool AsciiFace::ink(char32_t c, int x, int y)
{
    if (x < 0 || x >= kWidth || y < 0 || y >= kHeight)
        return false;
    return (glyph(c)[static_cast<std::size_t>(y)] >> (kWidth - 1 - x)) & 1U;
}

QImage AsciiFace::atlas(const QColor& ink, const QColor& paper)
{
    return atlasOf(
        kCount, [](int i) -> const Rows& { return asciiface_detail::kGlyphs[i]; }, ink, paper);
}

QRect AsciiFace::atlasRect(char32_t c)
{
    return {indexOf(c) * kWidth, 0, kWidth, kHeight};
}

bool AsciiFace::hasGraphic(char32_t c)
{
    return graphicIndexOf(c) < kGraphicCount;
}

const AsciiFace::Rows& AsciiFace::graphic(char32_t c)
{
    const int i = graphicIndexOf(c);
    return i < kGraphicCount ? asciiface_detail::kGraphics[i].rows : kBlank;
}

QImage AsciiFace::graphicsAtlas(const QColor& ink, const QColor& paper)
{
    return atlasOf(
        kGraphicCount + 1,
        [](int i) -> const Rows& { return i < kGraphicCount ? asciiface_detail::kGraphics[i].rows : kBlank; }, ink,
        paper);
}

QRect AsciiFace::graphicsAtlasRect(char32_t c)
{
    return {graphicIndexOf(c) * kWidth, 0, kWidth, kHeight};
}
