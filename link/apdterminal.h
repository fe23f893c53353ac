#pragma once
// TApdTerminal: the terminal pane, the operator's window onto the target; and TApdKeyboardEmulator,
// which turns the keys typed in it into bytes for the target.
//
// The pane shows exactly VtScreen::kRows x kColumns cells of kCellWidth x kCellHeight pixels, which fill
// its 496 x 252 area to the pixel. Its three-dimensional (sunken) border, kBorderWidth pixels wide, is drawn
// by the TerminalFrame that holds it, around that area: the cell grid keeps its exact size and place, and
// no cell pixel (a glyph at the edge, the cursor on the last row) is ever covered.
//
// Attached to a port, it shows every received byte as it arrives (through VtScreen), and sends what the
// keyboard emulator makes of the keys typed while it has the focus; nothing typed is shown unless the
// target echoes it. A typed key goes out only while the port has room for it beyond
// TApdComPort::kCommandRoom, so that a blocked line never queues keys ahead of Stop; otherwise it is
// dropped with a beep. It never answers the target's terminal requests (see VtScreen): the only bytes
// it puts on the line are typed ones.
//
// Lettering: printable ASCII and the line-drawing set (DEC special graphics, box drawing) are copied from
// the 8 x 12 pixel glyphs of AsciiFace, in exactly two colours (the cell's text and background), out of an
// atlas made once per pair of colours; lines of the set join across cells. Everything else (Hangul, mostly)
// is drawn by the font "Terminal" stands for, without antialiasing, centred in its cells. Bold is drawn in the bright form of its
// colour. A double-width line (ESC # 6) shows its cells at twice the width, a double-height one (ESC # 3/4)
// its half at twice the size, pixel for pixel. The cursor is a bar over the cell's last two rows in the
// text colour of the cell under it, so that it shows on reverse video and a reversed screen alike.
//
// Painting: the cells are drawn straight into the window's pixels, and only where they changed; a scroll
// moves the window's pixels (on the X server, once per repaint however many lines scrolled) and draws only
// the rows it exposed, so that a repaint sends only the rows and cells that changed. A change taller than
// kFlushBandHeight (a clear, the view scrolled back, a screen of text at once) is painted and sent band by
// band, so that the window's upload buffer stays a band's size. The cursor, the text being composed and the
// markers are laid over the cells of each paint. Pieces that arrive less than kMinPaintIntervalMs apart are
// painted together, at most once an interval however fast bytes arrive, a burst at the end of the interval;
// a piece that comes an interval or more after the one before (after a quiet spell, or let out by the port
// after a read pause) is painted before the loop turns again. On an X server, a piece that comes after a
// quiet spell of kQuietMs and changes at most kMaxAheadCells cells, all of the face or its line-drawing set on
// lines of single size, is drawn ahead: its cells copied onto the window on the server at once by ServerGlyphs,
// from the same atlases, with the cursor, and painted into the window's backing store kCatchUpMs later, the same
// pixels again; the X server and whatever shows the window take the processor first. The cursor blinks
// (BlinkTime ms per phase) only while the window is active and the pane shown; otherwise no timer runs at
// all.
//
// Scroll-back: the wheel and Shift+Page Up/Down move the view through the screen's scroll-back and send
// nothing. While the view is back, arriving text does not move it (it stays on the same lines) and a
// marker in the top right corner says how far back it is; a key that sends something, text committed by
// an input method, and Shift+End bring it back to the bottom.
//
// Selection: a drag with the left button selects cells from where it started to where it is, in reading
// order across lines; a double click selects the word (a run of non-blank cells). A double-width
// character is selected whole. The selection follows its text while the view or the text scrolls. It
// goes to the X primary selection when the button is released, and Ctrl+Shift+C or Ctrl+Insert copies
// it to the clipboard. None of this sends anything; Ctrl+C without Shift is still the control byte.
//
// Capture: startCapture() writes every line of what the pane shows to a file as the line is completed (see
// VtScreen), as UTF-8 text without escape sequences, one line of the pane to a line of the file, in the
// background (CaptureWriter): the pane and the line never wait for the disk. stopCapture() adds the lines
// not yet completed up to the cursor's and closes the file. While capturing, a marker in the top right
// corner names the file (the scroll-back marker stands below it). A file that cannot be written stops the
// capture and says so by captureFailed; what the pane shows and the line are untouched. saveText() writes
// the scroll-back and the screen to a file in the same form, in the background too. None of this sends
// anything.
//
// The pane never takes the window's shortcuts (F1..F8, Delete, Ctrl+D): it declines their shortcut
// override and never sends them. A right click is not consumed, so the window's pop-up menu opens over
// the pane too; Shift+F10 and the Menu key open it from the keyboard, at the cursor, and send nothing.
// Hover moves are not relied upon (the window filters them for its hints); drags are.

#include "link/capturewriter.h"
#include "link/vtscreen.h"

#include <QElapsedTimer>
#include <QFont>
#include <QFrame>
#include <QPixmap>
#include <QRect>
#include <QRegion>
#include <QString>
#include <QTimer>

#include <memory>
#include <unordered_map>
#include <utility>
#include <vector>

class QKeyEvent;
class ServerGlyphs;
class TApdComPort;

class TApdKeyboardEmulator : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    // Bytes for a typed key (see link/keymap.h); empty when the key sends nothing or the emulator is off.
    QByteArray keyBytes(int key, Qt::KeyboardModifiers modifiers, QStringView text) const;
    // Bytes for text committed by an input method.
    QByteArray textBytes(QStringView text) const;

    // Settings as the window sets them. The key map file is named but never read: the map is built in.
    // Neither all keys nor extended keys are processed: the built-in map sends text and control codes
    // only, never a sequence for a key without text.
    bool Enabled = true;
    QString MapFileName = QStringLiteral("AWKEYBRD.INI");
    bool ProcessAllKeys = false;
    bool ProcessExtendedKeys = false;
};

// TerminalFrame: the pane's sunken border, and the pane's parent. It stands kBorderWidth pixels larger
// than the pane on every side, with the pane inside its border; it takes no input of its own, so that the
// pointer over the border is over the window (its menu and its hint).
class TerminalFrame : public QFrame
{
    Q_OBJECT

public:
    explicit TerminalFrame(QWidget* parent = nullptr);
};

class TApdTerminal : public QFrame
{
    Q_OBJECT

public:
    static constexpr int kCellWidth = 8;
    static constexpr int kCellHeight = 12;
    static constexpr int kMinPaintIntervalMs = 15;
    // The tallest rectangle of the pane flushed at once: a taller change (a clear, the view scrolled back, a
    // screen of text at once) is painted in bands of five rows.
    static constexpr int kFlushBandHeight = 5 * kCellHeight;
    static constexpr int kBorderWidth = 2;
    // Drawing ahead (see the header): the quiet spell before a piece, the most it changes (a lone byte
    // changes a cell or three), and how long the paint of what was drawn ahead waits.
    static constexpr int kQuietMs = 2 * kMinPaintIntervalMs;
    static constexpr int kMaxAheadCells = 16;
    static constexpr int kCatchUpMs = 2;

    explicit TApdTerminal(QWidget* parent = nullptr);
    ~TApdTerminal() override;

    void setComPort(TApdComPort* port);
    void setKeyboardEmulator(TApdKeyboardEmulator* emulator) { m_keyboard = emulator; }

    // Empties the screen and puts the cursor home; input in flight is completed by what follows it.
    void ClearWindow();

    // Shows bytes as if received from the port.
    void receive(const QByteArray& bytes);

    const VtScreen& screen() const { return m_screen; }
    // The pixel rectangle of a cell rectangle (x column, y row).
    static QRect cellsToPixels(const QRect& cells);

    // How many lines the view is scrolled back from the bottom (0: at the bottom).
    int scrollBack() const { return m_scrollBack; }
    void scrollView(int linesBack);
    void scrollToBottom();
    // The selected text, lines joined by '\n' and each without its trailing blanks; empty without one.
    QString selectedText() const;
    bool hasSelection() const { return m_hasSelection; }
    void clearSelection();
    // Copies the selection to the clipboard (nothing happens without one).
    void copy();

    // Starts capturing into `path` (appended to, or emptied first); false with the reason in `error`.
    bool startCapture(const QString& path, bool append, QString* error);
    void stopCapture();
    bool isCapturing() const { return Capture; }
    // Writes the scroll-back and the screen to `path`, replacing what it held; false with the reason in
    // `error` when it cannot be opened. savedText or saveFailed follows once it is written or has failed.
    bool saveText(const QString& path, QString* error);
    // Bytes waiting for the capture file's disk (tests and benchmarks).
    qsizetype capturePending() const { return m_capture.pending(); }

    bool isBlinking() const { return m_blink.isActive(); }
    // Paints done so far, and changes drawn ahead of their paint (benchmarks and diagnostics).
    quint64 paintCount() const { return m_paints; }
    quint64 drawnAheadCount() const { return m_drawnAhead; }
    // True while damage waits for the paint throttle.
    bool hasPendingPaint() const { return !m_pending.isEmpty() || !m_moves.empty(); }

    QSize sizeHint() const override;

signals:
    // The capture into `path` stopped, as the file could not be written (`reason`, a sentence).
    void captureFailed(const QString& path, const QString& reason);
    // A capture file is closed with everything in it (after stopCapture()).
    void captureFinished(const QString& path);
    void savedText(const QString& path);
    void saveFailed(const QString& path, const QString& reason);

public:
    // Settings as the window sets them; CaptureFile names the file while capturing, and the name to offer
    // otherwise. The persistent mark has nothing to act on, as the pane offers no marking.
    QString CaptureFile = QStringLiteral("APD.CAP");
    bool Capture = false;
    int BlinkTime = 550;
    bool PersistentMark = true;
    bool HalfDuplex = false;

protected:
    bool event(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void inputMethodEvent(QInputMethodEvent* event) override;
    QVariant inputMethodQuery(Qt::InputMethodQuery query) const override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    // A cell by its line counted from the first line ever received, so that it stays put while the text
    // scrolls.
    struct TextPoint
    {
        qint64 line = 0;
        int column = 0;
        auto operator<=>(const TextPoint&) const = default;
    };

    bool handleViewKey(const QKeyEvent* event);
    void send(const QByteArray& bytes);
    void sendTyped(const QByteArray& bytes);
    void onCellsChanged(const QRect& cells);
    void onCellsMoved(const QRect& area, int rows);
    void onHistoryGrew(int count);
    void invalidateAll();
    // Draws the cells that `region` (pixels of the pane) touches, each row clipped to itself.
    void drawCells(QPainter& painter, const QRegion& region) const;
    void drawMarkers(QPainter& painter) const;
    void onCaptureFailed(const QString& path, const QString& reason);
    VtScreen::Cell viewCell(int row, int column) const;
    TextPoint pointAt(const QPoint& pixel) const;
    std::pair<TextPoint, TextPoint> selectionBounds() const;
    void setSelection(const TextPoint& anchor, const TextPoint& end);
    void publishSelection();
    void onCursorMoved(const QPoint& position, bool visible);
    // The pixels of the cursor at `position` (a cell of the screen); see the definition for `margin`.
    QRect cursorArea(const QPoint& position, bool margin) const;
    void writeToScreen(const QByteArray& bytes);
    void schedulePaint(const QRegion& pixels);
    // Brings the window up to the screen: the moves first, on the window's own pixels, then the pending
    // area, painted at once (`now`) or on the loop's next turn.
    void flushPaint(bool now = false);
    // Draws the pending change on the X server ahead of its paint, where it is a few cells of the face (see
    // ServerGlyphs); false when it is left to the paint alone.
    bool drawAhead();
    void updateBlinking();
    void toggleCursor();
    // The face and the line-drawing set in one pair of colours, made on first use.
    struct Atlas
    {
        QPixmap face;
        QPixmap graphics;
    };
    const Atlas& atlasFor(const QColor& ink, const QColor& paper) const;
    // The atlas and the rectangle in it of a single-width cell that the face or its line-drawing set draws,
    // in the cell's two colours; a null atlas for any other cell.
    std::pair<const QPixmap*, QRect> faceGlyph(const VtScreen::Cell& cell, const QColor& ink,
                                               const QColor& paper) const;
    // The cursor's mark in the view's pixels (the last rows of its cells) and its colour.
    std::pair<QRect, QColor> cursorMark() const;
    void paintRow(QPainter& painter, int row, int firstColumn, int lastColumn) const;
    // A double-width or double-height line, whole.
    void paintDoubleRow(QPainter& painter, int row, VtScreen::LineSize size) const;
    // Paints one cell (both of a double-width character) with its top left at `at`; returns its columns.
    int paintCell(QPainter& painter, const QPoint& at, const VtScreen::Cell& cell) const;

    VtScreen m_screen;
    CaptureWriter m_capture;
    CaptureWriter m_saving;
    TApdComPort* m_port = nullptr;
    TApdKeyboardEmulator* m_keyboard = nullptr;
    QFont m_font; // for the characters that the face and its line-drawing set lack
    mutable std::unordered_map<quint64, Atlas> m_atlases; // by the pair of colours, ink in the high half
    QTimer m_throttle;
    QTimer m_blink;
    QElapsedTimer m_sinceLastFlush;
    QElapsedTimer m_sinceLastPiece; // since the last piece written to the screen
    QRegion m_pending; // window pixels that differ from the cells and their overlays, once m_moves are done
    // The part of m_pending that a drawing ahead draws: all of it but the cells where the cursor went and
    // those that its moves took in only in case a cursor was wider than its cells are now.
    QRegion m_ahead;
    // A scroll of the screen that the window's pixels have yet to follow: applied at the flush, so that the
    // X server copies the pane once per frame however many lines it scrolled and only new rows travel.
    struct Move
    {
        QRect area;
        int dy = 0;
    };
    std::vector<Move> m_moves;
    bool m_movesOverpainted = false; // a paint came between a move and its flush: the area is redrawn whole
    bool m_writing = false; // inside a write to the screen: the flush waits for its end
    int m_scrollBack = 0;
    int m_wheelRemainder = 0;
    TextPoint m_anchor;
    TextPoint m_selectionEnd;
    bool m_hasSelection = false;
    bool m_selecting = false;
    QPoint m_cursorShown;
    bool m_blinkSawCursor = true; // the cursor's visibility when the blinking was last decided
    bool m_cursorOn = true;
    QString m_preedit;
    quint64 m_paints = 0;
    quint64 m_drawnAhead = 0;
    std::unique_ptr<ServerGlyphs> m_serverGlyphs; // null where the platform has none
};
