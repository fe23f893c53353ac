#pragma once
// ServerGlyphs: draws a few of the pane's cells straight onto its window on the X server, ahead of Qt's own
// paint of the same pixels, so that a lone byte is on the screen without waiting for the repaint.
//
// Each atlas of glyphs (one per pair of colours) is uploaded once, to a pixmap on the server; a cell is then
// one copy from it, and the cursor one filled rectangle, with no pixels travelling. The caller draws exactly
// what its own paint makes of the same cells and lets that paint follow, so that Qt's backing store holds
// them too: the window never shows anything the paint would not, only sooner.
//
// Exists only on an X server that takes 32-bit pixels of 24-bit true colour in the order a QImage of
// Format_RGB32 holds them (create() gives null on another platform, on Windows, on another server). Draws
// nothing (begin() declines) while the widget is hidden, its window not exposed or of another depth, the
// device pixel ratio other than 1, or part of the widget covered by another widget of the window. It asks
// the server one thing, a window's depth, once per window; otherwise it only sends. What it found of the
// window is kept until an event that can change it reaches a widget of the window or the window's surface.

#include <QPixmap>
#include <QPoint>
#include <QRect>
#include <QRgb>

#include <memory>

class QWidget;

class ServerGlyphs
{
public:
    virtual ~ServerGlyphs() = default;

    // For drawing onto `widget`'s part of its window; null where this cannot draw (see above).
    static std::unique_ptr<ServerGlyphs> create(QWidget* widget);

    // Starts a drawing: false when nothing can be drawn now (see above), and then nothing is.
    virtual bool begin() = 0;
    // Copies `source` of `atlas` to `at` (the widget's pixels). The atlas goes to the server the first time
    // it is seen (by its cache key) and must be opaque.
    virtual void copy(const QPixmap& atlas, const QRect& source, const QPoint& at) = 0;
    virtual void fill(const QRect& area, QRgb colour) = 0;
    // Sends what was drawn since begin().
    virtual void end() = 0;

protected:
    ServerGlyphs() = default;
};
