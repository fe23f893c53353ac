#include "link/apdterminal.h"

#include "link/apdcomport.h"
#include "link/asciiface.h"
#include "link/cp949.h"
#include "link/filename.h"
#include "link/keymap.h"
#include "link/serverglyphs.h"

#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QCoreApplication>
#include <QFileInfo>
#include <QGuiApplication>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QWheelEvent>

#include <algorithm>
#include <bitset>
#include <utility>

namespace {

const QColor kTextColour(192, 192, 192); // silver
const QColor kBackground(0, 0, 0);
constexpr int kCursorHeight = 2;
constexpr int kWheelLines = 3; // lines per notch of the wheel
constexpr int kMarkerMargin = 2; // around the markers, between them and the grid's top and right edges
// Atlases kept at once, one per pair of colours; more are made again when needed.
constexpr std::size_t kMaxAtlases = 64;
const QRect kGrid(0, 0, VtScreen::kColumns * TApdTerminal::kCellWidth, VtScreen::kRows * TApdTerminal::kCellHeight);

// Bold text in the pane's own colour is drawn brighter, as terminals draw it (VtScreen brightens the palette's
// first eight itself).
const QColor kBoldTextColour(255, 255, 255);

// The cell's text and background colours, the defaults filled in, bold and reverse video applied.
std::pair<QColor, QColor> coloursOf(const VtScreen::Cell& cell)
{
    QColor foreground = cell.foreground.isValid() ? cell.foreground : cell.bold ? kBoldTextColour : kTextColour;
    QColor background = cell.background.isValid() ? cell.background : kBackground;
    if (cell.reverse)
        std::swap(foreground, background);
    return {foreground, background};
}

bool isDouble(VtScreen::LineSize size)
{
    return size != VtScreen::LineSize::Single;
}

// The single character of a cell that has one and no combining marks; 0 otherwise (a blank is a space).
char32_t soleCharacter(const VtScreen::Cell& cell)
{
    if (cell.chars[0] == 0)
        return U' ';
    return cell.chars[1] == 0 ? cell.chars[0] : 0;
}

} // namespace

QByteArray TApdKeyboardEmulator::keyBytes(int key, Qt::KeyboardModifiers modifiers, QStringView text) const
{
    return Enabled ? terminalKeyBytes(key, modifiers, text) : QByteArray();
}

QByteArray TApdKeyboardEmulator::textBytes(QStringView text) const
{
    return Enabled ? cp949Encode(text) : QByteArray();
}

TerminalFrame::TerminalFrame(QWidget* parent) : QFrame(parent)
{
    setFrameStyle(QFrame::Panel | QFrame::Sunken);
    setLineWidth(TApdTerminal::kBorderWidth);
    setFocusPolicy(Qt::NoFocus);
    // Hover moves over the border are taken, and, being ignored, go on to the window behind it.
    setMouseTracking(true);
}

TApdTerminal::TApdTerminal(QWidget* parent)
    : QFrame(parent)
{
    // The cells fill the whole widget; the border is its frame's (see the header).
    setFrameStyle(QFrame::NoFrame);
    setAttribute(Qt::WA_OpaquePaintEvent);
    setAttribute(Qt::WA_InputMethodEnabled);
    setFocusPolicy(Qt::StrongFocus);
    setAutoFillBackground(false);

    // The face draws ASCII and the line-drawing set (link/asciiface.h); this font everything else (Hangul,
    // mostly), centred in its cells. Without antialiasing its strokes are whole pixels in the text colour, as
    // bright as the face's beside them; with it, Hangul at this size reads grey and blurred next to them.
    m_font = QFont(QStringLiteral("Terminal"));
    m_font.setPixelSize(kCellHeight);
    m_font.setFixedPitch(true);
    m_font.setStyleHint(QFont::TypeWriter);
    m_font.setKerning(false);
    m_font.setStyleStrategy(QFont::NoAntialias);

    m_throttle.setSingleShot(true);
    m_throttle.setTimerType(Qt::PreciseTimer);
    connect(&m_throttle, &QTimer::timeout, this, [this] { flushPaint(); });
    connect(&m_blink, &QTimer::timeout, this, &TApdTerminal::toggleCursor);
    connect(&m_screen, &VtScreen::cellsChanged, this, &TApdTerminal::onCellsChanged);
    connect(&m_screen, &VtScreen::cursorMoved, this, &TApdTerminal::onCursorMoved);
    connect(&m_screen, &VtScreen::cellsMoved, this, &TApdTerminal::onCellsMoved);
    connect(&m_screen, &VtScreen::historyGrew, this, &TApdTerminal::onHistoryGrew);
    connect(&m_screen, &VtScreen::linesCaptured, this,
            [this](const QString& lines) { m_capture.write(lines.toUtf8()); });
    connect(&m_capture, &CaptureWriter::failed, this, &TApdTerminal::onCaptureFailed);
    connect(&m_capture, &CaptureWriter::finished, this, [this] { emit captureFinished(m_capture.path()); });
    connect(&m_saving, &CaptureWriter::failed, this, &TApdTerminal::saveFailed);
    connect(&m_saving, &CaptureWriter::finished, this, [this] { emit savedText(m_saving.path()); });
}

TApdTerminal::~TApdTerminal()
{
    setUpdatesEnabled(false); // the stop below paints nothing more
    // The line the cursor is on goes into the capture file too, as on every stop.
    stopCapture();
}

QSize TApdTerminal::sizeHint() const
{
    return {VtScreen::kColumns * kCellWidth, VtScreen::kRows * kCellHeight};
}

void TApdTerminal::setComPort(TApdComPort* port)
{
    if (m_port != nullptr)
        disconnect(m_port, &TApdComPort::dataReceived, this, &TApdTerminal::receive);
    m_port = port;
    if (m_port != nullptr)
        connect(m_port, &TApdComPort::dataReceived, this, &TApdTerminal::receive);
}

void TApdTerminal::ClearWindow()
{
    m_screen.clear();
}

void TApdTerminal::receive(const QByteArray& bytes)
{
    writeToScreen(bytes);
}

void TApdTerminal::writeToScreen(const QByteArray& bytes)
{
    // The whole piece is drawn in one flush: what it changed and the lines it scrolled, together.
    m_writing = true;
    m_screen.write(bytes);
    m_writing = false;
    // A piece that comes a paint interval or more after the one before is shown at once, with whatever the
    // throttle still held. Otherwise the port's read pauses and the throttle, each keeping its own beat,
    // could fall out of step for as long as the line streams: every piece let out after a pause would come
    // just after a throttled paint and wait most of an interval for its own.
    const qint64 since = m_sinceLastPiece.isValid() ? m_sinceLastPiece.elapsed() : kQuietMs;
    m_sinceLastPiece.start();
    if (since >= kMinPaintIntervalMs && hasPendingPaint()) {
        m_throttle.stop();
        // A lone change after a quiet spell (a key's echo, a reply's first byte) is drawn on the window
        // first, and painted into its backing store a little later, so that the X server, and whatever shows
        // the window, take the processor first; a line that streams never comes this way.
        if (since >= kQuietMs && drawAhead()) {
            ++m_drawnAhead;
            m_sinceLastFlush.start();
            m_throttle.start(kCatchUpMs);
        } else {
            flushPaint(true);
        }
        return;
    }
    schedulePaint(QRegion());
}

bool TApdTerminal::startCapture(const QString& path, bool append, QString* error)
{
    stopCapture();
    if (!m_capture.open(path, append, error))
        return false;
    CaptureFile = path;
    Capture = true;
    m_screen.setCapturing(true);
    invalidateAll();
    return true;
}

void TApdTerminal::stopCapture()
{
    if (!Capture)
        return;
    m_capture.write(m_screen.captureRest().toUtf8());
    m_screen.setCapturing(false);
    m_capture.close();
    Capture = false;
    invalidateAll();
}

void TApdTerminal::onCaptureFailed(const QString& path, const QString& reason)
{
    if (Capture && path == m_capture.path()) {
        m_screen.setCapturing(false);
        m_capture.close();
        Capture = false;
        invalidateAll();
    }
    emit captureFailed(path, reason);
}

bool TApdTerminal::saveText(const QString& path, QString* error)
{
    if (!m_saving.open(path, false, error))
        return false;
    m_saving.write(m_screen.allText().toUtf8());
    m_saving.close();
    return true;
}

void TApdTerminal::send(const QByteArray& bytes)
{
    if (bytes.isEmpty())
        return;
    if (m_port != nullptr)
        m_port->PutString(bytes);
    if (HalfDuplex)
        writeToScreen(bytes);
}

QRect TApdTerminal::cellsToPixels(const QRect& cells)
{
    return {cells.x() * kCellWidth, cells.y() * kCellHeight, cells.width() * kCellWidth,
            cells.height() * kCellHeight};
}

void TApdTerminal::onCellsChanged(const QRect& cells)
{
    if (m_scrollBack > 0) {
        // The view shows other lines than the screen's; redrawing it whole keeps the rule simple.
        invalidateAll();
        return;
    }
    QRect pixels = cellsToPixels(cells);
    // A double-width or double-height line shows its cells elsewhere than their columns: all of it is drawn.
    for (int row = cells.top(); row <= cells.bottom(); ++row) {
        if (isDouble(m_screen.lineSize(row)))
            pixels |= QRect(0, row * kCellHeight, kGrid.width(), kCellHeight);
    }
    schedulePaint(pixels);
}

void TApdTerminal::onCellsMoved(const QRect& area, int rows)
{
    if (m_scrollBack > 0) {
        invalidateAll();
        return;
    }
    const QRect pixels = cellsToPixels(area);
    const int dy = rows * kCellHeight;
    // The window's pixels make the same move at the flush; what was pending inside the area moves with them.
    const QRegion pendingInside = m_pending & pixels;
    m_pending = (m_pending - pixels) + (pendingInside.translated(0, dy) & pixels);
    // The cursor and the text being composed are laid over the cells where the screen has them, which the
    // move leaves in place: the window's copy of them moves away from there.
    QRect overlay = cursorArea(m_cursorShown, true);
    if (!m_preedit.isEmpty())
        overlay = QRect(0, overlay.y(), kGrid.width(), kCellHeight);
    m_pending += overlay;
    m_pending += overlay.translated(0, dy) & pixels;
    // The rows the move exposes (their cells are reported as changed too).
    m_pending += (dy < 0 ? QRect(pixels.left(), pixels.bottom() + 1 + dy, pixels.width(), -dy)
                         : QRect(pixels.left(), pixels.top(), pixels.width(), dy))
        & pixels;
    if (!m_moves.empty() && m_moves.back().area == pixels)
        m_moves.back().dy += dy;
    else
        m_moves.push_back({pixels, dy});
    m_ahead = m_pending;
    schedulePaint(QRegion());
}

void TApdTerminal::onHistoryGrew(int count)
{
    // A view that is back stays on the same text.
    if (m_scrollBack > 0) {
        m_scrollBack = std::min(m_scrollBack + count, m_screen.historyLines());
        invalidateAll();
    }
}

void TApdTerminal::invalidateAll()
{
    schedulePaint(rect());
}

void TApdTerminal::scrollView(int linesBack)
{
    const int target = std::clamp(m_scrollBack + linesBack, 0, m_screen.historyLines());
    if (target == m_scrollBack)
        return;
    m_scrollBack = target;
    // The operator is waiting for this one: no throttle.
    m_pending += rect();
    m_ahead += rect();
    flushPaint(true);
}

void TApdTerminal::scrollToBottom()
{
    scrollView(-m_scrollBack);
}

VtScreen::Cell TApdTerminal::viewCell(int row, int column) const
{
    VtScreen::Cell cell = m_screen.lineCell(row - m_scrollBack, column);
    if (m_hasSelection) {
        const auto [first, last] = selectionBounds();
        const TextPoint here{static_cast<qint64>(m_screen.linesPushed()) + row - m_scrollBack, column};
        if (first <= here && here <= last)
            cell.reverse = !cell.reverse;
    }
    return cell;
}

TApdTerminal::TextPoint TApdTerminal::pointAt(const QPoint& pixel) const
{
    const int row = std::clamp(pixel.y() / kCellHeight, 0, VtScreen::kRows - 1);
    const int cellWidth = isDouble(viewCell(row, 0).lineSize) ? 2 * kCellWidth : kCellWidth;
    const int column = std::clamp(pixel.x() / cellWidth, 0, VtScreen::kColumns - 1);
    return {static_cast<qint64>(m_screen.linesPushed()) + row - m_scrollBack, column};
}

std::pair<TApdTerminal::TextPoint, TApdTerminal::TextPoint> TApdTerminal::selectionBounds() const
{
    TextPoint first = std::min(m_anchor, m_selectionEnd);
    TextPoint last = std::max(m_anchor, m_selectionEnd);
    // A double-width character is taken whole from either half.
    const auto pushed = static_cast<qint64>(m_screen.linesPushed());
    if (first.column > 0 && m_screen.lineCell(static_cast<int>(first.line - pushed), first.column).width == 0)
        --first.column;
    if (last.column < VtScreen::kColumns - 1
        && m_screen.lineCell(static_cast<int>(last.line - pushed), last.column).width == 2)
        ++last.column;
    return {first, last};
}

void TApdTerminal::setSelection(const TextPoint& anchor, const TextPoint& end)
{
    if (m_hasSelection && anchor == m_anchor && end == m_selectionEnd)
        return;
    m_anchor = anchor;
    m_selectionEnd = end;
    m_hasSelection = true;
    invalidateAll();
}

void TApdTerminal::clearSelection()
{
    if (!m_hasSelection)
        return;
    m_hasSelection = false;
    invalidateAll();
}

QString TApdTerminal::selectedText() const
{
    if (!m_hasSelection)
        return {};
    const auto [first, last] = selectionBounds();
    const auto pushed = static_cast<qint64>(m_screen.linesPushed());
    QStringList lines;
    for (qint64 line = first.line; line <= last.line; ++line) {
        const qint64 relative = line - pushed;
        // Lines that fell out of the bounded scroll-back have nothing left to give.
        if (relative < -m_screen.historyLines() || relative >= VtScreen::kRows) {
            lines << QString();
            continue;
        }
        lines << m_screen.lineText(static_cast<int>(relative), line == first.line ? first.column : 0,
                                   line == last.line ? last.column : VtScreen::kColumns - 1);
    }
    return lines.join(QLatin1Char('\n'));
}

void TApdTerminal::publishSelection()
{
    QClipboard* clipboard = QGuiApplication::clipboard();
    if (m_hasSelection && clipboard->supportsSelection())
        clipboard->setText(selectedText(), QClipboard::Selection);
}

void TApdTerminal::copy()
{
    if (m_hasSelection)
        QGuiApplication::clipboard()->setText(selectedText(), QClipboard::Clipboard);
}

QRect TApdTerminal::cursorArea(const QPoint& position, bool margin) const
{
    // The cursor's cell, both of a double-width character's, twice as wide on a double-width line; with the
    // margin, one cell more on the right, where the cursor stood on a character that is gone now.
    const int scale = isDouble(m_screen.lineSize(position.y())) ? 2 : 1;
    const int cells = margin || m_screen.cellWidth(position.y(), position.x()) == 2 ? 2 : 1;
    return {position.x() * kCellWidth * scale, position.y() * kCellHeight, cells * kCellWidth * scale, kCellHeight};
}

void TApdTerminal::onCursorMoved(const QPoint& position, bool visible)
{
    // The paint takes both places, each with a cell more on the right in case the cursor stood on a character
    // that is gone now. A drawing ahead takes only the cells that the cursor leaves, which it draws without
    // one, and lays the cursor over the window where it is now: how wide a cursor was drawn follows from the
    // cells under it, and a change of those is in m_ahead on its own account.
    QRect ahead = cursorArea(m_cursorShown, false);
    QRect dirty = cursorArea(m_cursorShown, true);
    m_cursorShown = position;
    dirty |= cursorArea(position, true);
    if (!m_preedit.isEmpty())
        dirty |= QRect(0, position.y() * kCellHeight, width(), kCellHeight);
    if (m_scrollBack > 0)
        dirty = rect();
    if (!m_preedit.isEmpty() || m_scrollBack > 0)
        ahead = dirty;
    m_ahead += ahead;
    // A moving cursor is shown at once, and the blink starts over from there.
    m_cursorOn = true;
    if (m_blink.isActive())
        m_blink.start();
    // Of what decides the blinking, only the cursor's visibility comes with a move.
    if (visible != m_blinkSawCursor)
        updateBlinking();
    m_pending += dirty;
    schedulePaint(QRegion());
}

void TApdTerminal::schedulePaint(const QRegion& pixels)
{
    m_pending += pixels;
    m_ahead += pixels;
    if (m_writing || m_throttle.isActive() || !hasPendingPaint())
        return;
    const qint64 since = m_sinceLastFlush.isValid() ? m_sinceLastFlush.elapsed() : kMinPaintIntervalMs;
    // After a quiet spell the change is painted before the loop turns again: a lone byte shows at once.
    if (since >= kMinPaintIntervalMs)
        flushPaint(true);
    else
        m_throttle.start(static_cast<int>(kMinPaintIntervalMs - since));
}

void TApdTerminal::flushPaint(bool now)
{
    if (!hasPendingPaint())
        return;
    // Qt's X backend copies each rectangle it flushes into an upload buffer that keeps its largest size for
    // as long as the window lives: the whole pane in one flush would hold half a megabyte there. A change taller
    // than a band (a clear, the view scrolled back, a screen of text at once) is painted band by band, and
    // the areas that moved under it with it, as a move would have the rows it exposes flushed in one piece.
    const auto tall = [](const QRect& area) { return area.height() > kFlushBandHeight; };
    const bool inBands = std::any_of(m_pending.begin(), m_pending.end(), tall);
    for (const Move& move : m_moves) {
        // A window copy painted since the move holds pixels from both sides of it: the area is drawn again.
        if (m_movesOverpainted || inBands)
            m_pending += move.area;
        else
            scroll(0, move.dy, move.area);
    }
    m_moves.clear();
    m_movesOverpainted = false;
    m_ahead = QRegion();
    const QRegion pending = std::exchange(m_pending, QRegion());
    if (std::any_of(pending.begin(), pending.end(), tall)) {
        const QRect bounds = pending.boundingRect();
        for (int top = bounds.top(); top <= bounds.bottom(); top += kFlushBandHeight)
            repaint(pending & QRect(bounds.left(), top, bounds.width(), kFlushBandHeight));
    } else if (now) {
        repaint(pending);
    } else {
        update(pending);
    }
    m_sinceLastFlush.start();
}

bool TApdTerminal::drawAhead()
{
    if (!m_serverGlyphs || !m_moves.empty() || m_scrollBack > 0 || Capture || !m_preedit.isEmpty())
        return false;
    // Every cell that m_ahead touches, whole; each must be one the face or its line-drawing set draws, on a
    // line of single size, or the change is left to the paint alone.
    struct Piece
    {
        QPoint at;
        QPixmap atlas; // held here: a later cell's colours may drop the pane's atlases
        QRect source;
        bool underline = false;
        QColor ink;
    };
    std::vector<Piece> pieces;
    pieces.reserve(kMaxAheadCells);
    std::bitset<static_cast<std::size_t>(VtScreen::kRows) * VtScreen::kColumns>
        taken; // cells that the area's rectangles share
    for (const QRect& area : m_ahead) {
        const QRect grid = area & kGrid;
        if (grid.isEmpty())
            continue;
        for (int row = grid.top() / kCellHeight; row <= grid.bottom() / kCellHeight; ++row) {
            if (isDouble(m_screen.lineSize(row)))
                return false;
            for (int column = grid.left() / kCellWidth; column <= grid.right() / kCellWidth; ++column) {
                const std::size_t index
                    = static_cast<std::size_t>(row) * VtScreen::kColumns + static_cast<std::size_t>(column);
                if (taken.test(index))
                    continue;
                taken.set(index);
                const VtScreen::Cell cell = viewCell(row, column);
                const auto [ink, paper] = coloursOf(cell);
                const auto [atlas, source] = faceGlyph(cell, ink, paper);
                if (atlas == nullptr || pieces.size() == static_cast<std::size_t>(kMaxAheadCells))
                    return false;
                pieces.push_back({QPoint(column * kCellWidth, row * kCellHeight), *atlas, source, cell.underline, ink});
            }
        }
    }
    // The cursor goes over its cells whether they were drawn just now or not: a cell outside m_ahead shows on
    // the window what the paint would draw there, and no other cursor.
    const auto [mark, markColour] = cursorMark();
    const bool markShown = m_screen.cursorVisible() && m_cursorOn;
    if (pieces.empty() || (markShown && isDouble(m_screen.lineSize(m_cursorShown.y()))) || !m_serverGlyphs->begin())
        return false;
    for (const Piece& piece : pieces) {
        m_serverGlyphs->copy(piece.atlas, piece.source, piece.at);
        if (piece.underline)
            m_serverGlyphs->fill(QRect(piece.at.x(), piece.at.y() + kCellHeight - 1, kCellWidth, 1), piece.ink.rgb());
    }
    if (markShown)
        m_serverGlyphs->fill(mark, markColour.rgb());
    m_serverGlyphs->end();
    return true;
}

void TApdTerminal::updateBlinking()
{
    const QWidget* top = window();
    m_blinkSawCursor = m_screen.cursorVisible();
    const bool wanted
        = isVisible() && top->isActiveWindow() && !top->isMinimized() && m_blinkSawCursor && BlinkTime > 0;
    if (wanted == m_blink.isActive())
        return;
    if (wanted) {
        m_cursorOn = true;
        m_blink.start(BlinkTime);
    } else {
        m_blink.stop();
        // Steady while not blinking.
        if (!m_cursorOn) {
            m_cursorOn = true;
            schedulePaint(cursorArea(m_cursorShown, true));
        }
    }
}

void TApdTerminal::toggleCursor()
{
    m_cursorOn = !m_cursorOn;
    // The window's pixels make their pending moves first, so that the blink is painted where they end.
    if (!m_moves.empty())
        flushPaint();
    // Straight to update: a blink is at most two paints a second and must not wait behind the throttle.
    update(cursorArea(m_cursorShown, true).translated(0, m_scrollBack * kCellHeight));
}

bool TApdTerminal::event(QEvent* event)
{
    switch (event->type()) {
    case QEvent::ShortcutOverride: {
        // The window's shortcuts win; everything else is left to the usual rules.
        auto* key = static_cast<QKeyEvent*>(event);
        if (isWindowShortcutKey(key->key(), key->modifiers())) {
            event->ignore();
            return true;
        }
        break;
    }
    case QEvent::KeyPress: {
        // Tab goes to the target, and Shift+Tab (which sends nothing) is taken too: neither moves the focus.
        auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() == Qt::Key_Tab || key->key() == Qt::Key_Backtab) {
            keyPressEvent(key);
            key->accept();
            return true;
        }
        break;
    }
    case QEvent::WindowActivate:
    case QEvent::WindowDeactivate:
    case QEvent::ActivationChange:
    case QEvent::WindowStateChange: {
        const bool handled = QFrame::event(event);
        updateBlinking();
        return handled;
    }
    default:
        break;
    }
    return QFrame::event(event);
}

void TApdTerminal::sendTyped(const QByteArray& bytes)
{
    // Typed keys share the commands' bounded room, less the part kept for the command channel: a key that
    // does not fit is dropped whole, as a command is, and the operator hears it.
    if (m_port != nullptr && !m_port->fitsOutsideCommandRoom(bytes.size())) {
        QApplication::beep();
        return;
    }
    send(bytes);
}

bool TApdTerminal::handleViewKey(const QKeyEvent* event)
{
    const Qt::KeyboardModifiers modifiers
        = event->modifiers() & (Qt::ShiftModifier | Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier);
    const int key = event->key();
    if (modifiers == Qt::ShiftModifier && (key == Qt::Key_PageUp || key == Qt::Key_PageDown)) {
        scrollView(key == Qt::Key_PageUp ? VtScreen::kRows - 1 : -(VtScreen::kRows - 1));
        return true;
    }
    if (modifiers == Qt::ShiftModifier && key == Qt::Key_End) {
        scrollToBottom();
        return true;
    }
    if ((modifiers == (Qt::ControlModifier | Qt::ShiftModifier) && key == Qt::Key_C)
        || (modifiers == Qt::ControlModifier && key == Qt::Key_Insert)) {
        copy();
        return true;
    }
    return false;
}

void TApdTerminal::keyPressEvent(QKeyEvent* event)
{
    // The view's own keys come before the key map and never reach the line.
    if (handleViewKey(event)) {
        event->accept();
        return;
    }
    if (isContextMenuKey(event->key(), event->modifiers())) {
        // Left to the window, as a right click is, at the cursor as for any keyboard-opened menu.
        const QPoint at = cellsToPixels(QRect(m_cursorShown, QSize(1, 1))).center();
        QContextMenuEvent menu(QContextMenuEvent::Keyboard, at, mapToGlobal(at), event->modifiers());
        QCoreApplication::sendEvent(this, &menu);
        event->accept();
        return;
    }
    const QByteArray bytes
        = m_keyboard != nullptr ? m_keyboard->keyBytes(event->key(), event->modifiers(), event->text()) : QByteArray();
    if (bytes.isEmpty()) {
        event->ignore();
        return;
    }
    scrollToBottom();
    sendTyped(bytes);
    event->accept();
}

void TApdTerminal::inputMethodEvent(QInputMethodEvent* event)
{
    if (!event->commitString().isEmpty() && m_keyboard != nullptr) {
        scrollToBottom();
        sendTyped(m_keyboard->textBytes(event->commitString()));
    }
    if (event->preeditString() != m_preedit) {
        m_preedit = event->preeditString();
        schedulePaint(QRect(0, m_cursorShown.y() * kCellHeight, width(), kCellHeight));
    }
    event->accept();
}

QVariant TApdTerminal::inputMethodQuery(Qt::InputMethodQuery query) const
{
    switch (query) {
    case Qt::ImEnabled:
        return true;
    case Qt::ImCursorRectangle:
        return cellsToPixels(QRect(m_cursorShown, QSize(1, 1)));
    case Qt::ImFont:
        return m_font;
    case Qt::ImHints:
        return static_cast<int>(Qt::ImhNoPredictiveText);
    default:
        return QFrame::inputMethodQuery(query);
    }
}

void TApdTerminal::contextMenuEvent(QContextMenuEvent* event)
{
    // Left to the window, whose pop-up menu opens here too.
    event->ignore();
}

void TApdTerminal::mousePressEvent(QMouseEvent* event)
{
    setFocus(Qt::MouseFocusReason);
    if (event->button() != Qt::LeftButton) {
        // The right button is the window's menu.
        QFrame::mousePressEvent(event);
        return;
    }
    clearSelection();
    m_selecting = true;
    m_anchor = pointAt(event->position().toPoint());
    event->accept();
}

void TApdTerminal::mouseMoveEvent(QMouseEvent* event)
{
    if (!m_selecting || !(event->buttons() & Qt::LeftButton)) {
        QFrame::mouseMoveEvent(event);
        return;
    }
    const TextPoint end = pointAt(event->position().toPoint());
    if (m_hasSelection || end != m_anchor)
        setSelection(m_anchor, end);
    event->accept();
}

void TApdTerminal::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton || !m_selecting) {
        QFrame::mouseReleaseEvent(event);
        return;
    }
    m_selecting = false;
    publishSelection();
    event->accept();
}

void TApdTerminal::mouseDoubleClickEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton) {
        QFrame::mouseDoubleClickEvent(event);
        return;
    }
    m_selecting = false;
    TextPoint at = pointAt(event->position().toPoint());
    const auto line = static_cast<int>(at.line - static_cast<qint64>(m_screen.linesPushed()));
    const auto blank = [&](int column) {
        const VtScreen::Cell cell = m_screen.lineCell(line, column);
        return cell.width != 0 && (cell.chars[0] == 0 || cell.chars[0] == U' ');
    };
    if (at.column > 0 && m_screen.lineCell(line, at.column).width == 0)
        --at.column;
    if (blank(at.column)) {
        clearSelection();
        event->accept();
        return;
    }
    int first = at.column;
    while (first > 0 && !blank(first - 1))
        --first;
    int last = at.column;
    while (last < VtScreen::kColumns - 1 && !blank(last + 1))
        ++last;
    setSelection({at.line, first}, {at.line, last});
    publishSelection();
    event->accept();
}

void TApdTerminal::wheelEvent(QWheelEvent* event)
{
    // Eighths of a degree; a notch is 120 of them. Partial notches (touchpads) add up.
    m_wheelRemainder += event->angleDelta().y();
    const int notches = m_wheelRemainder / 120;
    m_wheelRemainder -= notches * 120;
    scrollView(notches * kWheelLines);
    event->accept();
}

void TApdTerminal::showEvent(QShowEvent* event)
{
    QFrame::showEvent(event);
    if (!m_serverGlyphs)
        m_serverGlyphs = ServerGlyphs::create(this);
    updateBlinking();
}

void TApdTerminal::hideEvent(QHideEvent* event)
{
    QFrame::hideEvent(event);
    updateBlinking();
}

void TApdTerminal::drawCells(QPainter& painter, const QRegion& region) const
{
    painter.setFont(m_font);
    for (const QRect& area : region) {
        const int firstRow = std::max(0, area.top() / kCellHeight);
        const int lastRow = std::min(VtScreen::kRows - 1, area.bottom() / kCellHeight);
        // One column more on the left: the cell there may be the left half of a double-width character.
        const int firstColumn = std::max(0, area.left() / kCellWidth - 1);
        const int lastColumn = std::min(VtScreen::kColumns - 1, area.right() / kCellWidth);
        for (int row = firstRow; row <= lastRow; ++row) {
            // A glyph that reaches past its row (a descender) must not leave ink in the next one, which a
            // later scroll would carry along: each row keeps to its own pixels.
            painter.setClipRect(area & QRect(0, row * kCellHeight, kGrid.width(), kCellHeight));
            paintRow(painter, row, firstColumn, lastColumn);
        }
    }
    painter.setClipping(false);
}

void TApdTerminal::drawMarkers(QPainter& painter) const
{
    painter.setFont(m_font);
    QStringList markers;
    if (Capture) {
        const QString name = printableText(displayFileName(QFileInfo(CaptureFile).fileName()));
        markers << QStringLiteral("● 기록 중: %1")
                       .arg(painter.fontMetrics().elidedText(name, Qt::ElideMiddle, kGrid.width() / 2));
    }
    if (m_scrollBack > 0)
        markers << QStringLiteral("▲ %1줄 위").arg(m_scrollBack);
    int top = kMarkerMargin;
    for (const QString& text : markers) {
        const QRect box = painter.fontMetrics().boundingRect(text).adjusted(-3, 0, 3, 0);
        const QRect at(QPoint(kGrid.width() - kMarkerMargin - box.width(), top), box.size());
        painter.fillRect(at, kTextColour);
        painter.setPen(kBackground);
        painter.drawText(at, Qt::AlignCenter, text);
        top = at.bottom() + 1 + kMarkerMargin;
    }
}

void TApdTerminal::paintEvent(QPaintEvent* event)
{
    ++m_paints;
    if (!m_moves.empty())
        m_movesOverpainted = true;
    QPainter painter(this);
    const QRect area = event->rect();
    drawCells(painter, event->region() & kGrid);

    const QPoint cursorAt(m_cursorShown.x(), m_cursorShown.y() + m_scrollBack);
    const QRect cursorCell = cellsToPixels(QRect(cursorAt, QSize(1, 1)));
    if (cursorAt.y() >= VtScreen::kRows) {
        // The view is back far enough that the cursor's row is out of it.
    } else if (!m_preedit.isEmpty()) {
        // The character being composed, over the cursor, underlined.
        const int cells = static_cast<int>(m_preedit.size()) * 2;
        const QRect box(cursorCell.topLeft(), QSize(cells * kCellWidth, kCellHeight));
        painter.fillRect(box, kBackground);
        painter.setPen(kTextColour);
        painter.setFont(m_font);
        painter.drawText(box, Qt::AlignLeft | Qt::AlignVCenter, m_preedit);
        painter.fillRect(box.left(), box.bottom() - 1, box.width(), 1, kTextColour);
    } else if (const auto [mark, colour] = cursorMark();
               m_screen.cursorVisible() && m_cursorOn && area.intersects(mark)) {
        painter.fillRect(mark, colour);
    }
    if (m_scrollBack > 0 || Capture)
        drawMarkers(painter);
}

const TApdTerminal::Atlas& TApdTerminal::atlasFor(const QColor& ink, const QColor& paper) const
{
    const quint64 key = (quint64{ink.rgba()} << 32) | paper.rgba();
    if (const auto found = m_atlases.find(key); found != m_atlases.end())
        return found->second;
    if (m_atlases.size() >= kMaxAtlases)
        m_atlases.clear();
    Atlas& atlas = m_atlases[key];
    atlas.face = QPixmap::fromImage(AsciiFace::atlas(ink, paper));
    atlas.graphics = QPixmap::fromImage(AsciiFace::graphicsAtlas(ink, paper));
    return atlas;
}

std::pair<const QPixmap*, QRect> TApdTerminal::faceGlyph(const VtScreen::Cell& cell, const QColor& ink,
                                                         const QColor& paper) const
{
    const char32_t sole = cell.width == 1 ? soleCharacter(cell) : 0;
    if (AsciiFace::has(sole))
        return {&atlasFor(ink, paper).face, AsciiFace::atlasRect(sole)};
    if (AsciiFace::hasGraphic(sole))
        return {&atlasFor(ink, paper).graphics, AsciiFace::graphicsAtlasRect(sole)};
    return {nullptr, QRect()};
}

std::pair<QRect, QColor> TApdTerminal::cursorMark() const
{
    const QRect cells = cursorArea(m_cursorShown, false).translated(0, m_scrollBack * kCellHeight);
    // In the text colour of the cell under it, so that it shows on reverse video and a reversed screen too.
    const VtScreen::Cell under = viewCell(m_cursorShown.y() + m_scrollBack, m_cursorShown.x());
    return {QRect(cells.left(), cells.bottom() + 1 - kCursorHeight, cells.width(), kCursorHeight),
            coloursOf(under).first};
}

void TApdTerminal::paintRow(QPainter& painter, int row, int firstColumn, int lastColumn) const
{
    const VtScreen::LineSize size = viewCell(row, 0).lineSize;
    if (isDouble(size)) {
        paintDoubleRow(painter, row, size);
        return;
    }
    int column = firstColumn;
    while (column <= lastColumn) {
        const VtScreen::Cell cell = viewCell(row, column);
        if (cell.width == 0)
            ++column; // the right half of a double-width character whose left half lies outside the area
        else
            column += paintCell(painter, QPoint(column * kCellWidth, row * kCellHeight), cell);
    }
}

void TApdTerminal::paintDoubleRow(QPainter& painter, int row, VtScreen::LineSize size) const
{
    // Each cell of the line's first half is drawn at its own size into a strip, which is then laid at twice
    // the width (and for a double-height line, its half at twice the height), pixel for pixel.
    constexpr int kHalf = VtScreen::kColumns / 2;
    QImage strip(kHalf * kCellWidth, kCellHeight, QImage::Format_ARGB32_Premultiplied);
    {
        QPainter stripPainter(&strip);
        stripPainter.setFont(m_font);
        stripPainter.setClipRect(strip.rect());
        int column = 0;
        while (column < kHalf) {
            const VtScreen::Cell cell = viewCell(row, column);
            if (cell.width == 0)
                ++column;
            else
                column += paintCell(stripPainter, QPoint(column * kCellWidth, 0), cell);
        }
    }
    const QRect target(0, row * kCellHeight, kGrid.width(), kCellHeight);
    QRect source = strip.rect();
    if (size == VtScreen::LineSize::DoubleTop)
        source.setHeight(kCellHeight / 2);
    else if (size == VtScreen::LineSize::DoubleBottom)
        source.setTop(kCellHeight / 2);
    painter.drawImage(target, strip, source);
}

int TApdTerminal::paintCell(QPainter& painter, const QPoint& at, const VtScreen::Cell& cell) const
{
    const auto [foreground, background] = coloursOf(cell);
    const int cells = cell.width == 2 ? 2 : 1;
    const QRect box(at, QSize(cells * kCellWidth, kCellHeight));
    if (const auto [atlas, source] = faceGlyph(cell, foreground, background); atlas != nullptr) {
        // The face's glyph in the cell's two colours, copied whole: the cell needs no filling.
        painter.drawPixmap(at, *atlas, source);
    } else {
        // Any other character is drawn by the font, centred in its cells.
        painter.fillRect(box, background);
        int count = 0;
        while (count < 6 && cell.chars[count] != 0)
            ++count;
        painter.setPen(foreground);
        painter.drawText(box, Qt::AlignHCenter | Qt::AlignVCenter | Qt::TextDontClip,
                         QString::fromUcs4(cell.chars, count));
    }
    if (cell.underline)
        painter.fillRect(box.left(), box.bottom(), box.width(), 1, foreground);
    return cells;
}
