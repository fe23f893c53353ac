#include "link/asciiface.h"

namespace {

int indexOf(char32_t c)
{
    return AsciiFace::has(c) ? static_cast<int>(c - AsciiFace::kFirst) : 0;
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
    QImage image(kCount * kWidth, kHeight, QImage::Format_ARGB32_Premultiplied);
    const QRgb inkPixel = ink.rgba64().premultiplied().toArgb32();
    const QRgb paperPixel = paper.rgba64().premultiplied().toArgb32();
    for (int y = 0; y < kHeight; ++y) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int i = 0; i < kCount; ++i) {
            const std::uint8_t bits = asciiface_detail::kGlyphs[i][static_cast<std::size_t>(y)];
            for (int x = 0; x < kWidth; ++x)
                line[i * kWidth + x] = (bits >> (kWidth - 1 - x)) & 1U ? inkPixel : paperPixel;
        }
    }
    return image;
}

QRect AsciiFace::atlasRect(char32_t c)
{
    return {indexOf(c) * kWidth, 0, kWidth, kHeight};
}
