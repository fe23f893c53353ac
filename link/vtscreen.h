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
// and takes effect on the cleared screen.

#include "link/cp949.h"
#include "link/vtguard.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QColor>
#include <QObject>
#include <QPoint>
#include <QRect>
#include <QString>

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

    // One cell as the pane paints it.
    struct Cell
    {
        char32_t chars[6] = {};
        int width = 1;               // 2 for the left half of a double-width character, 0 for its right half
        QColor foreground;           // invalid: the pane's own text colour
        QColor background;           // invalid: the pane's own background
        bool bold = false;
        bool underline = false;
        bool reverse = false;
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

    Cell cell(int row, int column) const;
    // The row's characters, a double-width character once, trailing blanks removed.
    QString rowText(int row) const;
    QPoint cursor() const { return m_cursor; }
    bool cursorVisible() const { return m_cursorVisible; }
    const VtGuard& guard() const { return m_guard; }

signals:
    // `cells` is in cell coordinates: x is the column, y the row.
    void cellsChanged(const QRect& cells);
    void cursorMoved(const QPoint& position, bool visible);

private:
    void feed(const std::string& utf8);
    void finishWrite();

    int onDamage(int startRow, int endRow, int startCol, int endCol);
    int onMoveCursor(int row, int col, int visible);
    int onCursorVisible(bool visible);

    VTerm* m_vterm = nullptr;
    VTermScreen* m_screen = nullptr;
    VTermState* m_state = nullptr;
    Cp949Decoder m_decoder;
    VtGuard m_guard;
    std::u32string m_decoded;
    std::string m_utf8;
    QRect m_damage;
    QPoint m_cursor;
    bool m_cursorVisible = true;
    bool m_cursorChanged = false;
};
