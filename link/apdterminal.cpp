#include "link/apdterminal.h"

#include "link/apdcomport.h"
#include "link/cp949.h"
#include "link/keymap.h"

#include <QContextMenuEvent>
#include <QCoreApplication>
#include <QFontMetricsF>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QPaintEvent>
#include <QPainter>

#include <algorithm>

namespace {

const QColor kTextColour(192, 192, 192); // silver
const QColor kBackground(0, 0, 0);
constexpr int kCursorHeight = 2;

} // namespace

QByteArray TApdKeyboardEmulator::keyBytes(int key, Qt::KeyboardModifiers modifiers, QStringView text) const
{
    return Enabled ? terminalKeyBytes(key, modifiers, text) : QByteArray();
}

QByteArray TApdKeyboardEmulator::textBytes(QStringView text) const
{
    return Enabled ? cp949Encode(text) : QByteArray();
}

TApdTerminal::TApdTerminal(QWidget* parent)
    : QFrame(parent)
{
    // The cells fill the whole widget; the border is a frame of its own around it (see the header).
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

    m_throttle.setSingleShot(true);
    m_throttle.setTimerType(Qt::PreciseTimer);
    connect(&m_throttle, &QTimer::timeout, this, &TApdTerminal::flushPaint);
    connect(&m_blink, &QTimer::timeout, this, &TApdTerminal::toggleCursor);
    connect(&m_screen, &VtScreen::cellsChanged, this, &TApdTerminal::onCellsChanged);
    connect(&m_screen, &VtScreen::cursorMoved, this, &TApdTerminal::onCursorMoved);
}

TApdTerminal::~TApdTerminal()
{
    delete m_border;
}

void TApdTerminal::placeBorder()
{
    QWidget* host = parentWidget();
    if (m_border != nullptr && m_border->parentWidget() != host) {
        QFrame* old = m_border;
        m_border = nullptr;
        delete old;
    }
    if (host == nullptr)
        return;
    if (m_border == nullptr) {
        m_border = new QFrame(host);
        m_border->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        m_border->setLineWidth(kBorderWidth);
        m_border->setFocusPolicy(Qt::NoFocus);
        // The pointer over the border is over the window, for the window's menu and hint.
        m_border->setAttribute(Qt::WA_TransparentForMouseEvents);
    }
    m_border->setGeometry(geometry().adjusted(-kBorderWidth, -kBorderWidth, kBorderWidth, kBorderWidth));
    m_border->setHidden(isHidden());
    m_border->stackUnder(this);
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
    schedulePaint(cellsToPixels(cells));
}

void TApdTerminal::onCursorMoved(const QPoint& position, bool /*visible*/)
{
    QRect dirty = cellsToPixels(QRect(m_cursorShown, QSize(2, 1)));
    m_cursorShown = position;
    dirty |= cellsToPixels(QRect(position, QSize(2, 1)));
    if (!m_preedit.isEmpty())
        dirty |= QRect(0, position.y() * kCellHeight, width(), kCellHeight);
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
    update(cellsToPixels(QRect(m_cursorShown, QSize(2, 1))));
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
    case QEvent::ParentChange:
    case QEvent::Move:
    case QEvent::Resize:
    case QEvent::Show:
    case QEvent::Hide:
    case QEvent::ZOrderChange: {
        const bool handled = QFrame::event(event);
        placeBorder();
        return handled;
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

void TApdTerminal::keyPressEvent(QKeyEvent* event)
{
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
    send(bytes);
    event->accept();
}

void TApdTerminal::inputMethodEvent(QInputMethodEvent* event)
{
    if (!event->commitString().isEmpty() && m_keyboard != nullptr)
        send(m_keyboard->textBytes(event->commitString()));
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
    QFrame::mousePressEvent(event);
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

void TApdTerminal::paintEvent(QPaintEvent* event)
{
    ++m_paints;
    QPainter painter(this);
    const QRect area = event->rect();
    const int firstRow = std::max(0, area.top() / kCellHeight);
    const int lastRow = std::min(VtScreen::kRows - 1, area.bottom() / kCellHeight);
    // One column more on the left: the cell there may be the left half of a double-width character.
    const int firstColumn = std::max(0, area.left() / kCellWidth - 1);
    const int lastColumn = std::min(VtScreen::kColumns - 1, area.right() / kCellWidth);

    painter.setFont(m_font);
    for (int row = firstRow; row <= lastRow; ++row)
        paintRow(painter, row, firstColumn, lastColumn);

    const QRect cursorCell = cellsToPixels(QRect(m_cursorShown, QSize(1, 1)));
    if (!m_preedit.isEmpty()) {
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

}

void TApdTerminal::paintRow(QPainter& painter, int row, int firstColumn, int lastColumn)
{
    const int top = row * kCellHeight;
    const qreal baseline = top + m_ascent;
    QString run;
    int column = firstColumn;
    while (column <= lastColumn) {
        VtScreen::Cell cell = m_screen.cell(row, column);
        if (cell.width == 0) {
            // The right half of a double-width character whose left half lies outside the area.
            ++column;
            continue;
        }
        QColor foreground = cell.foreground.isValid() ? cell.foreground : kTextColour;
        QColor background = cell.background.isValid() ? cell.background : kBackground;
        if (cell.reverse)
            std::swap(foreground, background);
        const int left = column * kCellWidth;

        if (cell.width == 1 && cell.chars[0] < 0x80 && cell.chars[1] == 0) {
            // A run of plain single-width ASCII cells of one look, drawn with one call.
            run.clear();
            int end = column;
            while (end <= lastColumn) {
                const VtScreen::Cell next = end == column ? cell : m_screen.cell(row, end);
                if (next.width != 1 || next.chars[0] >= 0x80 || next.chars[1] != 0 || next.foreground != cell.foreground
                    || next.background != cell.background || next.reverse != cell.reverse || next.bold != cell.bold
                    || next.underline != cell.underline)
                    break;
                run.append(next.chars[0] == 0 ? QLatin1Char(' ') : QLatin1Char(static_cast<char>(next.chars[0])));
                ++end;
            }
            const int runWidth = (end - column) * kCellWidth;
            painter.fillRect(left, top, runWidth, kCellHeight, background);
            if (!run.trimmed().isEmpty()) {
                painter.setPen(foreground);
                painter.drawText(QPointF(left, baseline), run);
                if (cell.bold)
                    painter.drawText(QPointF(left + 1, baseline), run);
            }
            if (cell.underline)
                painter.fillRect(left, top + kCellHeight - 1, runWidth, 1, foreground);
            column = end;
            continue;
        }

        const int cells = cell.width == 2 ? 2 : 1;
        const QRect box(left, top, cells * kCellWidth, kCellHeight);
        painter.fillRect(box, background);
        if (cell.chars[0] != 0) {
            int count = 0;
            while (count < 6 && cell.chars[count] != 0)
                ++count;
            const QString text = QString::fromUcs4(cell.chars, count);
            painter.setFont(m_plainFont);
            painter.setPen(foreground);
            painter.drawText(box, Qt::AlignHCenter | Qt::AlignVCenter | Qt::TextDontClip, text);
            painter.setFont(m_font);
        }
        if (cell.underline)
            painter.fillRect(left, top + kCellHeight - 1, box.width(), 1, foreground);
        column += cells;
    }
}
