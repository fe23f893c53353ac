#pragma once
// VtScreen: the terminal emulation behind the pane, without any widget.
//
// Owns one libvterm terminal and its screen of kRows x kColumns cells. Bytes received from the target go
// in through write(): they are decoded from code page 949, passed through VtGuard (which keeps the input
// that crashes or hangs this libvterm away from it) and fed to libvterm as UTF-8 in chunks of at most
// VtGuard::kMaxChunk bytes. After each write it emits cellsChanged once with the smallest rectangle
// (in cells) covering everything that changed, and cursorMoved when the cursor moved or was shown or
// hidden.
//
// It never answers the target. libvterm replies to device-attribute, status, cursor-position, mode and
// setting requests; its output callback is set to one that drops every byte, so nothing is buffered for
// vterm_output_read either, and the class offers no way to read or forward such replies. Every byte on the
// line must come from the operator: the target's monitor takes a reply's letters as commands (ESC [ 1 ; 1 R
// turns right, ESC [ ? 1 ; 2 c clears its memory).
//
// clear() empties the screen and puts the cursor home without disturbing the input in flight: a lead
// byte waiting for its trail, or an escape sequence half received, is completed by the bytes that follow
// and takes effect on the cleared screen. The rows it clears (down to the last one holding anything) go
// to the scroll-back first, so nothing shown is lost by a clear. A string (DCS or OSC) in progress is
// abandoned, since it would hide the text that follows.
//
// Scroll-back: every line that leaves the top of the screen is kept, in memory only, up to
// kScrollbackLines; beyond that the oldest goes. Lines are addressed in one range: 0..kRows-1 are the
// screen's rows, -1 the newest line of the scroll-back, -historyLines() its oldest. linesPushed() counts
// every line ever pushed, so that a view can stay on the same text while more arrives.
//
// A scroll is reported as a move (cellsMoved, before the write's cellsChanged), so that a view can move
// the pixels it already has and repaint only the rows the scroll exposed.
//
// Capture: while setCapturing(true) holds, every line that the cursor leaves by a line feed (LF, VT, FF) is
// handed out as it reads at that moment, without trailing blanks; so are the lines it went through before
// that feed without one (a line longer than the screen, wrapped), each as the screen shows it. They come
// once per write, through linesCaptured, each ended by '\n'. The text is what the screen shows, decoded and
// without escape sequences: line drawing as its box characters, a line written over as it ended up.
// captureRest() gives the lines not yet handed out, up to the cursor's, for a capture that stops.

#include "link/cp949.h"
#include "link/vtguard.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QColor>
#include <QObject>
#include <QPoint>
#include <QRect>
#include <QString>

#include <memory>
#include <string>

struct VTerm;
struct VTermScreen;
struct VTermState;

class VtScreen : public QObject
{
    Q_OBJECT

public:
    static constexpr int kRows = 21;
    static constexpr int kColumns = 62;
    static constexpr int kScrollbackLines = 1000;

    // The size its line is drawn at (ESC # 3/4/6): a double-width line shows its first kColumns / 2
    // cells at twice their width, a double-height line the top or bottom half of them at twice their size.
    enum class LineSize : quint8 {
        Single,
        DoubleWidth,
        DoubleTop,
        DoubleBottom
    };

    // One cell as the pane paints it. A bold cell's text colour from the first eight of the palette is
    // the bright one of the same (as terminals show bold); the pane's own colour is the pane's to brighten.
    struct Cell
    {
        char32_t chars[6] = {};
        int width = 1;               // 2 for the left half of a double-width character, 0 for its right half
        QColor foreground;           // invalid: the pane's own text colour
        QColor background;           // invalid: the pane's own background
        bool bold = false;
        bool underline = false;
        bool reverse = false;
        LineSize lineSize = LineSize::Single;
    };

    explicit VtScreen(QObject* parent = nullptr);
    ~VtScreen() override;

    VtScreen(const VtScreen&) = delete;
    VtScreen& operator=(const VtScreen&) = delete;

    // Takes bytes as received from the target.
    void write(QByteArrayView bytes);
    // Takes text already decoded (the fuzz target and tests use it to bypass the decoder).
    void writeText(std::u32string_view text);
    // Empties the screen and puts the cursor home; see the class comment about input in flight.
    void clear();

    void setCapturing(bool on);
    bool capturing() const { return m_capturing; }
    // The lines from the first not yet captured to the cursor's, each ended by '\n' (none when they are
    // all blank); the capture goes on from the cursor's line.
    QString captureRest();
    // The scroll-back and the screen down to its last line with text, each line ended by '\n'.
    QString allText() const;

    Cell cell(int row, int column) const;
    // cell(row, 0).lineSize and cell(row, column).width, without the rest of the cell.
    LineSize lineSize(int row) const;
    int cellWidth(int row, int column) const;
    // The row's characters, a double-width character once, trailing blanks removed.
    QString rowText(int row) const;
    // A cell of a line of the screen (0..kRows-1) or of the scroll-back (-historyLines()..-1); a cell
    // beyond what a line holds is blank.
    Cell lineCell(int line, int column) const;
    // Columns `first`..`last` of a line as text, a double-width character once, trailing blanks removed.
    QString lineText(int line, int first = 0, int last = kColumns - 1) const;
    int historyLines() const;
    quint64 linesPushed() const { return m_linesPushed; }
    QPoint cursor() const { return m_cursor; }
    bool cursorVisible() const { return m_cursorVisible; }

signals:
    // `cells` is in cell coordinates: x is the column, y the row.
    void cellsChanged(const QRect& cells);
    void cursorMoved(const QPoint& position, bool visible);
    // The cells of `area` moved by `rows` (negative: up); what left the area is gone, and the rows the
    // move exposed are reported by the cellsChanged that follows.
    void cellsMoved(const QRect& area, int rows);
    // `count` lines went into the scroll-back during the last write or clear.
    void historyGrew(int count);
    // While capturing: the lines that the write completed, each ended by '\n'.
    void linesCaptured(const QString& lines);

private:
    void filterAndFeed(std::u32string_view text);
    void feed(const std::string& utf8);
    void feedCapturing(const std::string& utf8);
    void feedChunked(const char* bytes, std::size_t size);
    // The cursor's line, counted from the first line ever received.
    qint64 cursorLine() const;
    // Appends lines m_captureFrom..last (counted as cursorLine() counts) to `out`.
    void captureLines(qint64 last, QString& out) const;
    void finishWrite();

    int onDamage(int startRow, int endRow, int startCol, int endCol);
    int onMoveCursor(int row, int col, int visible);
    int onCursorVisible(bool visible);
    int onMoveRect(const QRect& dest, const QRect& src);
    // Lines leave the screen as fast as libvterm scrolls: they are kept as libvterm's own cells,
    // copied in one go into a ring that grows to its bound as they come, and converted only when looked at.
    struct History;
    void pushLine(const void* vtermCells, int columns);
    Cell convert(const void* vtermCell) const;

    VTerm* m_vterm = nullptr;
    VTermScreen* m_screen = nullptr;
    VTermState* m_state = nullptr;
    Cp949Decoder m_decoder;
    VtGuard m_guard;
    std::u32string m_decoded;
    std::string m_utf8;
    QRect m_damage;
    QRect m_moveArea;
    int m_moveRows = 0;
    std::unique_ptr<History> m_history;
    quint64 m_linesPushed = 0;
    int m_pushedSinceEmit = 0;
    QPoint m_cursor;
    bool m_cursorVisible = true;
    bool m_cursorChanged = false;
    bool m_capturing = false;
    qint64 m_captureFrom = 0; // the first line not yet captured
    QString m_captured; // lines completed by the write in progress
};
