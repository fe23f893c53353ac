#include "link/apdterminal.h"

#include "link/apdcomport.h"
#include "link/cp949.h"
#include "link/keymap.h"

#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QCoreApplication>
#include <QFontMetricsF>
#include <QGlyphRun>
#include <QGuiApplication>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QWheelEvent>

#include <algorithm>

namespace {

const QColor kTextColour(192, 192, 192); // silver
const QColor kBackground(0, 0, 0);
constexpr int kCursorHeight = 2;
constexpr int kWheelLines = 3; // lines per notch of the wheel
constexpr int kMarkerMargin = 2; // between the scroll-back marker and the grid's top and right edges
const QRect kGrid(0, 0, VtScreen::kColumns * TApdTerminal::kCellWidth, VtScreen::kRows * TApdTerminal::kCellHeight);

// A cell drawn as part of a one-call run: plain single-width ASCII.
bool isPlainAscii(const VtScreen::Cell& cell)
{
    return cell.width == 1 && cell.chars[0] < 0x80 && cell.chars[1] == 0;
}

bool looksAlike(const VtScreen::Cell& a, const VtScreen::Cell& b)
{
    return a.foreground == b.foreground && a.background == b.background && a.reverse == b.reverse && a.bold == b.bold
        && a.underline == b.underline;
}

// The cell's text and background colours, the defaults filled in and reverse video applied.
std::pair<QColor, QColor> coloursOf(const VtScreen::Cell& cell)
{
    QColor foreground = cell.foreground.isValid() ? cell.foreground : kTextColour;
    QColor background = cell.background.isValid() ? cell.background : kBackground;
    if (cell.reverse)
        std::swap(foreground, background);
    return {foreground, background};
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

    m_font = QFont(QStringLiteral("Terminal"));
    m_font.setPixelSize(kCellHeight);
    m_font.setFixedPitch(true);
    m_font.setStyleHint(QFont::TypeWriter);
    m_font.setKerning(false);
    m_plainFont = m_font;
    const QFontMetricsF metrics(m_font);
    // ASCII runs are drawn in one go, so their advance is stretched to exactly one cell.
    m_font.setLetterSpacing(QFont::AbsoluteSpacing, kCellWidth - metrics.horizontalAdvance(QLatin1Char('M')));
    m_ascent = metrics.ascent() + (kCellHeight - metrics.height()) / 2;
    m_rawFont = QRawFont::fromFont(m_plainFont);
    m_asciiGlyphs.fill(0);
    for (char16_t c = 0x21; c < 0x7F && m_rawFont.isValid(); ++c) {
        const QList<quint32> found = m_rawFont.glyphIndexesForString(QString(QChar(c)));
        m_asciiGlyphs[c - 0x20] = found.isEmpty() ? 0 : found.first();
    }
    // Slot 0 (the blank) says whether the table is usable at all.
    m_asciiGlyphs[0] = m_asciiGlyphs[u'M' - 0x20];

    m_throttle.setSingleShot(true);
    m_throttle.setTimerType(Qt::PreciseTimer);
    connect(&m_throttle, &QTimer::timeout, this, &TApdTerminal::flushPaint);
    connect(&m_blink, &QTimer::timeout, this, &TApdTerminal::toggleCursor);
    connect(&m_screen, &VtScreen::cellsChanged, this, &TApdTerminal::onCellsChanged);
    connect(&m_screen, &VtScreen::cursorMoved, this, &TApdTerminal::onCursorMoved);
    connect(&m_screen, &VtScreen::cellsMoved, this, &TApdTerminal::onCellsMoved);
    connect(&m_screen, &VtScreen::historyGrew, this, &TApdTerminal::onHistoryGrew);
    m_canvas = QPixmap(kGrid.size());
    m_canvas.fill(kBackground);
    m_stale = kGrid;
}

TApdTerminal::~TApdTerminal() = default;

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
    m_screen.write(bytes);
}

void TApdTerminal::send(const QByteArray& bytes)
{
    if (bytes.isEmpty())
        return;
    if (m_port != nullptr)
        m_port->PutString(bytes);
    if (HalfDuplex)
        m_screen.write(bytes);
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
    m_stale += cellsToPixels(cells);
    schedulePaint(cellsToPixels(cells));
}

void TApdTerminal::onCellsMoved(const QRect& area, int rows)
{
    if (m_scrollBack > 0) {
        invalidateAll();
        return;
    }
    const QRect pixels = cellsToPixels(area);
    const int dy = rows * kCellHeight;
    // QPixmap::scroll moves the pixels inside `rect` and leaves the rows it exposes as they were.
    const qreal ratio = m_canvas.devicePixelRatio();
    const QRectF device(QPointF(pixels.topLeft()) * ratio, QSizeF(pixels.size()) * ratio);
    m_canvas.scroll(0, qRound(dy * ratio), device.toRect());
    // Cells not drawn yet travel with the move; what it exposed is reported as changed right after.
    const QRegion staleInside = m_stale & pixels;
    m_stale = (m_stale - pixels) + (staleInside.translated(0, dy) & pixels);
    schedulePaint(pixels);
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
    m_stale = kGrid;
    schedulePaint(rect());
}

void TApdTerminal::scrollView(int linesBack)
{
    const int target = std::clamp(m_scrollBack + linesBack, 0, m_screen.historyLines());
    if (target == m_scrollBack)
        return;
    m_scrollBack = target;
    m_stale = kGrid;
    // The operator is waiting for this one: no throttle.
    update();
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
    const int column = std::clamp(pixel.x() / kCellWidth, 0, VtScreen::kColumns - 1);
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
    m_stale = kGrid;
    update();
}

void TApdTerminal::clearSelection()
{
    if (!m_hasSelection)
        return;
    m_hasSelection = false;
    m_stale = kGrid;
    update();
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

void TApdTerminal::onCursorMoved(const QPoint& position, bool /*visible*/)
{
    QRect dirty = cellsToPixels(QRect(m_cursorShown, QSize(2, 1)));
    m_cursorShown = position;
    dirty |= cellsToPixels(QRect(position, QSize(2, 1)));
    if (!m_preedit.isEmpty())
        dirty |= QRect(0, position.y() * kCellHeight, width(), kCellHeight);
    if (m_scrollBack > 0)
        dirty = rect();
    // A moving cursor is shown at once, and the blink starts over from there.
    m_cursorOn = true;
    if (m_blink.isActive())
        m_blink.start();
    updateBlinking();
    schedulePaint(dirty);
}

void TApdTerminal::schedulePaint(const QRect& pixels)
{
    m_pending |= pixels;
    if (m_throttle.isActive())
        return;
    const qint64 since = m_sinceLastFlush.isValid() ? m_sinceLastFlush.elapsed() : kMinPaintIntervalMs;
    if (since >= kMinPaintIntervalMs)
        flushPaint();
    else
        m_throttle.start(static_cast<int>(kMinPaintIntervalMs - since));
}

void TApdTerminal::flushPaint()
{
    if (m_pending.isEmpty())
        return;
    update(m_pending);
    m_pending = QRect();
    m_sinceLastFlush.start();
}

void TApdTerminal::updateBlinking()
{
    const QWidget* top = window();
    const bool wanted = isVisible() && top->isActiveWindow() && !top->isMinimized() && m_screen.cursorVisible()
        && BlinkTime > 0;
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
            schedulePaint(cellsToPixels(QRect(m_cursorShown, QSize(2, 1))));
        }
    }
}

void TApdTerminal::toggleCursor()
{
    m_cursorOn = !m_cursorOn;
    // Straight to update: a blink is at most two paints a second and must not wait behind the throttle.
    update(cellsToPixels(QRect(m_cursorShown + QPoint(0, m_scrollBack), QSize(2, 1))));
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
    updateBlinking();
}

void TApdTerminal::hideEvent(QHideEvent* event)
{
    QFrame::hideEvent(event);
    updateBlinking();
}

void TApdTerminal::drawStaleCells()
{
    if (m_stale.isEmpty())
        return;
    QPainter painter(&m_canvas);
    painter.setFont(m_font);
    for (const QRect& area : m_stale) {
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
    m_stale = QRegion();
}

void TApdTerminal::drawMarker(QPainter& painter) const
{
    const QString text = QStringLiteral("▲ %1줄 위").arg(m_scrollBack);
    painter.setFont(m_plainFont);
    const QRect box = painter.fontMetrics().boundingRect(text).adjusted(-3, 0, 3, 0);
    const QRect at(QPoint(kGrid.width() - kMarkerMargin - box.width(), kMarkerMargin), box.size());
    painter.fillRect(at, kTextColour);
    painter.setPen(kBackground);
    painter.drawText(at, Qt::AlignCenter, text);
}

void TApdTerminal::paintEvent(QPaintEvent* event)
{
    ++m_paints;
    drawStaleCells();
    QPainter painter(this);
    const QRect area = event->rect();
    painter.drawPixmap(area & kGrid, m_canvas, area & kGrid);

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
        painter.setFont(m_plainFont);
        painter.drawText(box, Qt::AlignLeft | Qt::AlignVCenter, m_preedit);
        painter.fillRect(box.left(), box.bottom() - 1, box.width(), 1, kTextColour);
    } else if (m_screen.cursorVisible() && m_cursorOn && area.intersects(cursorCell)) {
        const VtScreen::Cell under = m_screen.cell(m_cursorShown.y(), m_cursorShown.x());
        const int cells = under.width == 2 ? 2 : 1;
        painter.fillRect(cursorCell.left(), cursorCell.bottom() + 1 - kCursorHeight, cells * kCellWidth, kCursorHeight,
                         kTextColour);
    }
    if (m_scrollBack > 0)
        drawMarker(painter);
}

void TApdTerminal::paintRow(QPainter& painter, int row, int firstColumn, int lastColumn) const
{
    int column = firstColumn;
    while (column <= lastColumn) {
        const VtScreen::Cell cell = viewCell(row, column);
        if (cell.width == 0)
            ++column; // the right half of a double-width character whose left half lies outside the area
        else if (isPlainAscii(cell))
            column = paintAsciiRun(painter, row, column, lastColumn, cell);
        else
            column += paintCell(painter, row, column, cell);
    }
}

int TApdTerminal::paintAsciiRun(QPainter& painter, int row, int column, int lastColumn,
                                const VtScreen::Cell& first) const
{
    // A run of plain single-width ASCII cells of one look, drawn with one call.
    QString run;
    int end = column;
    while (end <= lastColumn) {
        const VtScreen::Cell next = end == column ? first : viewCell(row, end);
        if (!isPlainAscii(next) || !looksAlike(next, first))
            break;
        run.append(next.chars[0] == 0 ? QLatin1Char(' ') : QLatin1Char(static_cast<char>(next.chars[0])));
        ++end;
    }
    const auto [foreground, background] = coloursOf(first);
    const int left = column * kCellWidth;
    const int top = row * kCellHeight;
    const int runWidth = (end - column) * kCellWidth;
    painter.fillRect(left, top, runWidth, kCellHeight, background);
    if (!run.trimmed().isEmpty()) {
        painter.setPen(foreground);
        drawAscii(painter, QPointF(left, top + m_ascent), run, first.bold);
    }
    if (first.underline)
        painter.fillRect(left, top + kCellHeight - 1, runWidth, 1, foreground);
    return end;
}

void TApdTerminal::drawAscii(QPainter& painter, const QPointF& origin, const QString& run, bool bold) const
{
    // Glyphs looked up once and placed a cell apart: no text layout per paint. Without a glyph for every
    // letter the font's own layout finds the fallbacks.
    QList<quint32> indexes;
    QList<QPointF> positions;
    bool allFound = m_asciiGlyphs[0] != 0;
    for (qsizetype i = 0; i < run.size() && allFound; ++i) {
        const char16_t c = run.at(i).unicode();
        if (c == u' ')
            continue;
        const quint32 glyph = c > 0x20 && c < 0x7F ? m_asciiGlyphs[c - 0x20] : 0;
        allFound = glyph != 0;
        indexes.append(glyph);
        positions.append(QPointF(static_cast<qreal>(i * kCellWidth), 0));
    }
    if (allFound) {
        QGlyphRun glyphs;
        glyphs.setRawFont(m_rawFont);
        glyphs.setGlyphIndexes(indexes);
        glyphs.setPositions(positions);
        painter.drawGlyphRun(origin, glyphs);
        if (bold)
            painter.drawGlyphRun(origin + QPointF(1, 0), glyphs);
    } else {
        painter.drawText(origin, run);
        if (bold)
            painter.drawText(origin + QPointF(1, 0), run);
    }
}

int TApdTerminal::paintCell(QPainter& painter, int row, int column, const VtScreen::Cell& cell) const
{
    // Any other character, double-width or not, drawn on its own and centred in its cells.
    const auto [foreground, background] = coloursOf(cell);
    const int cells = cell.width == 2 ? 2 : 1;
    const QRect box(column * kCellWidth, row * kCellHeight, cells * kCellWidth, kCellHeight);
    painter.fillRect(box, background);
    if (cell.chars[0] != 0) {
        int count = 0;
        while (count < 6 && cell.chars[count] != 0)
            ++count;
        painter.setFont(m_plainFont);
        painter.setPen(foreground);
        painter.drawText(box, Qt::AlignHCenter | Qt::AlignVCenter | Qt::TextDontClip,
                         QString::fromUcs4(cell.chars, count));
        painter.setFont(m_font);
    }
    if (cell.underline)
        painter.fillRect(box.left(), box.bottom(), box.width(), 1, foreground);
    return cells;
}
