#pragma once
// Where the main window goes on the screen.

#include <QPoint>
#include <QRect>
#include <QSize>

// The top-left corner for a window of `size` centred in `area` (a screen's available area), moved inside it
// as far as it fits: on a screen too small for the whole window its top-left corner stays on the screen, so
// that as much of it as fits is seen, from the top left (the direction pad, Stop and the exit button).
inline QPoint placedWithin(const QRect& area, const QSize& size)
{
    const auto axis = [](int start, int length, int span) {
        const int centred = start + (length - span) / 2;
        return span >= length ? start : centred;
    };
    return {axis(area.left(), area.width(), size.width()), axis(area.top(), area.height(), size.height())};
}
