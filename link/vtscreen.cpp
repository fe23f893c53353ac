#include "link/vtscreen.h"

#include <vterm.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace {

VtScreen::LineSize lineSizeOf(const VTermScreenCell& cell)
{
    if (cell.attrs.dwl == 0)
        return VtScreen::LineSize::Single;
    return cell.attrs.dhl == 1 ? VtScreen::LineSize::DoubleTop
        : cell.attrs.dhl == 2  ? VtScreen::LineSize::DoubleBottom
                               : VtScreen::LineSize::DoubleWidth;
}

// libvterm marks the right half of a double-width character with (uint32_t)-1.
int widthOf(const VTermScreenCell& cell)
{
    return cell.chars[0] == 0xFFFFFFFFu ? 0 : cell.width;
}

QColor toQColor(const VTermScreen* screen, VTermColor color, bool foreground)
{
    if (foreground ? VTERM_COLOR_IS_DEFAULT_FG(&color) : VTERM_COLOR_IS_DEFAULT_BG(&color))
        return {};
    vterm_screen_convert_color_to_rgb(screen, &color);
    return QColor(color.rgb.red, color.rgb.green, color.rgb.blue);
}

} // namespace

VtScreen::VtScreen(QObject* parent)
    : QObject(parent)
{
    m_vterm = vterm_new(kRows, kColumns);
    vterm_set_utf8(m_vterm, 1);
    m_state = vterm_obtain_state(m_vterm);
    m_screen = vterm_obtain_screen(m_vterm);

    static const VTermScreenCallbacks callbacks = {
        .damage = [](VTermRect r, void* user) {
            return static_cast<VtScreen*>(user)->onDamage(r.start_row, r.end_row, r.start_col, r.end_col);
        },
        .moverect = [](VTermRect dest, VTermRect src, void* user) {
            return static_cast<VtScreen*>(user)->onMoveRect(
                QRect(QPoint(dest.start_col, dest.start_row), QPoint(dest.end_col - 1, dest.end_row - 1)),
                QRect(QPoint(src.start_col, src.start_row), QPoint(src.end_col - 1, src.end_row - 1)));
        },
        .movecursor = [](VTermPos pos, VTermPos /*oldpos*/, int visible, void* user) {
            return static_cast<VtScreen*>(user)->onMoveCursor(pos.row, pos.col, visible);
        },
        .settermprop = [](VTermProp prop, VTermValue* value, void* user) {
            return prop == VTERM_PROP_CURSORVISIBLE ? static_cast<VtScreen*>(user)->onCursorVisible(value->boolean)
                                                    : 1;
        },
        .bell = nullptr,
        .resize = nullptr,
        .sb_pushline = [](int cols, const VTermScreenCell* cells, void* user) {
            static_cast<VtScreen*>(user)->pushLine(cells, cols);
            return 1;
        },
        .sb_popline = nullptr, // the screen never grows, so nothing comes back from the scroll-back
    };
    vterm_screen_set_callbacks(m_screen, &callbacks, this);
    // Replies to the target's requests are dropped here; without a callback libvterm would keep them for
    // vterm_output_read instead.
    vterm_output_set_callback(m_vterm, [](const char* /*bytes*/, size_t /*length*/, void* /*user*/) {}, nullptr);
    vterm_screen_reset(m_screen, 1);
    m_damage = QRect();
    m_cursorChanged = false;
}

VtScreen::~VtScreen()
{
    vterm_free(m_vterm);
}

void VtScreen::write(QByteArrayView bytes)
{
    // A slice at a time, so that the decoded and filtered copies stay a few pages long however much the
    // line delivers at once (a read after a stall can bring tens of kilobytes): their buffers are kept.
    constexpr qsizetype kSlice = VtGuard::kMaxChunk;
    for (qsizetype at = 0; at < bytes.size(); at += kSlice) {
        m_decoded.clear();
        m_decoder.decode(bytes.sliced(at, std::min(kSlice, bytes.size() - at)), m_decoded);
        filterAndFeed(m_decoded);
    }
    finishWrite();
}

void VtScreen::writeText(std::u32string_view text)
{
    filterAndFeed(text);
    finishWrite();
}

void VtScreen::filterAndFeed(std::u32string_view text)
{
    m_utf8.clear();
    m_guard.filter(text, m_utf8);
    feed(m_utf8);
}

void VtScreen::feed(const std::string& utf8)
{
    if (m_capturing)
        feedCapturing(utf8);
    else
        feedChunked(utf8.data(), utf8.size());
}

void VtScreen::feedChunked(const char* bytes, std::size_t size)
{
    std::size_t at = 0;
    while (at < size) {
        std::size_t end = std::min(size, at + VtGuard::kMaxChunk);
        // Cut between characters, never inside one.
        while (end < size && end > at && (static_cast<unsigned char>(bytes[end]) & 0xC0) == 0x80)
            --end;
        vterm_input_write(m_vterm, bytes + at, end - at);
        at = end;
    }
}

void VtScreen::feedCapturing(const std::string& utf8)
{
    // Fed up to each line feed, so that the line it leaves can be read before the feed moves the cursor. A
    // feed byte is never part of a longer UTF-8 character.
    std::size_t at = 0;
    while (at < utf8.size()) {
        const std::size_t feedAt = utf8.find_first_of("\n\v\f", at);
        if (feedAt == std::string::npos) {
            feedChunked(utf8.data() + at, utf8.size() - at);
            return;
        }
        feedChunked(utf8.data() + at, feedAt - at);
        captureLines(cursorLine(), m_captured);
        feedChunked(utf8.data() + feedAt, 1);
        m_captureFrom = cursorLine();
        at = feedAt + 1;
    }
}

qint64 VtScreen::cursorLine() const
{
    VTermPos position{};
    vterm_state_get_cursorpos(m_state, &position);
    return static_cast<qint64>(m_linesPushed) + position.row;
}

void VtScreen::captureLines(qint64 last, QString& out) const
{
    const auto pushed = static_cast<qint64>(m_linesPushed);
    // A cursor moved up (or a reset) since: only its own line is taken. Lines gone from the scroll-back
    // cannot be read any more.
    const qint64 first = std::max({m_captureFrom <= last ? m_captureFrom : last, pushed - historyLines()});
    for (qint64 line = first; line <= last; ++line) {
        out += lineText(static_cast<int>(line - pushed));
        out += QLatin1Char('\n');
    }
}

void VtScreen::setCapturing(bool on)
{
    m_capturing = on;
    m_captureFrom = cursorLine();
}

QString VtScreen::captureRest()
{
    QString rest;
    captureLines(cursorLine(), rest);
    m_captureFrom = cursorLine();
    while (rest.endsWith(QStringLiteral("\n\n")))
        rest.chop(1);
    return rest == QStringLiteral("\n") ? QString() : rest;
}

QString VtScreen::allText() const
{
    int last = kRows - 1;
    while (last >= 0 && lineText(last).isEmpty())
        --last;
    QString text;
    for (int line = -historyLines(); line <= last; ++line) {
        text += lineText(line);
        text += QLatin1Char('\n');
    }
    return text;
}

void VtScreen::clear()
{
    int last = kRows - 1;
    while (last >= 0) {
        bool blank = true;
        for (int column = 0; column < kColumns && blank; ++column) {
            const Cell c = cell(last, column);
            blank = (c.chars[0] == 0 || c.chars[0] == U' ') && !c.background.isValid() && !c.reverse;
        }
        if (!blank)
            break;
        --last;
    }
    std::array<VTermScreenCell, kColumns> line{};
    for (int row = 0; row <= last; ++row) {
        for (int column = 0; column < kColumns; ++column)
            vterm_screen_get_cell(m_screen, VTermPos{row, column}, &line[static_cast<std::size_t>(column)]);
        pushLine(line.data(), kColumns);
    }
    // A string in progress is left, or it would keep hiding what arrives after the clear.
    m_utf8.clear();
    if (m_guard.abandonString(m_utf8))
        feed(m_utf8);
    vterm_screen_reset(m_screen, 1);
    m_guard.terminalReset();
    // The reset homes the cursor without reporting it.
    VTermPos home{};
    vterm_state_get_cursorpos(m_state, &home);
    onMoveCursor(home.row, home.col, m_cursorVisible ? 1 : 0);
    finishWrite();
}

void VtScreen::finishWrite()
{
    vterm_screen_flush_damage(m_screen);
    if (!m_captured.isEmpty()) {
        const QString lines = m_captured;
        m_captured.clear();
        emit linesCaptured(lines);
    }
    if (m_pushedSinceEmit > 0) {
        const int count = m_pushedSinceEmit;
        m_pushedSinceEmit = 0;
        emit historyGrew(count);
    }
    if (!m_moveArea.isNull()) {
        const QRect area = m_moveArea;
        const int rows = m_moveRows;
        m_moveArea = QRect();
        m_moveRows = 0;
        emit cellsMoved(area, rows);
    }
    if (!m_damage.isEmpty()) {
        const QRect damage = m_damage;
        m_damage = QRect();
        emit cellsChanged(damage);
    }
    if (m_cursorChanged) {
        m_cursorChanged = false;
        emit cursorMoved(m_cursor, m_cursorVisible);
    }
}

int VtScreen::onDamage(int startRow, int endRow, int startCol, int endCol)
{
    if (m_damage.isEmpty()) {
        m_damage = QRect(QPoint(startCol, startRow), QPoint(endCol - 1, endRow - 1));
    } else {
        m_damage.setLeft(std::min(m_damage.left(), startCol));
        m_damage.setTop(std::min(m_damage.top(), startRow));
        m_damage.setRight(std::max(m_damage.right(), endCol - 1));
        m_damage.setBottom(std::max(m_damage.bottom(), endRow - 1));
    }
    return 1;
}

int VtScreen::onMoveCursor(int row, int col, int visible)
{
    const QPoint position(col, row);
    if (position != m_cursor || (visible != 0) != m_cursorVisible) {
        m_cursor = position;
        m_cursorVisible = visible != 0;
        m_cursorChanged = true;
    }
    return 1;
}

int VtScreen::onCursorVisible(bool visible)
{
    if (visible != m_cursorVisible) {
        m_cursorVisible = visible;
        m_cursorChanged = true;
    }
    return 1;
}

int VtScreen::onMoveRect(const QRect& dest, const QRect& src)
{
    // Only vertical moves are taken; anything else is repainted where it landed (libvterm damages it).
    if (dest.left() != src.left() || dest.right() != src.right())
        return 0;
    const QRect area = dest | src;
    const int rows = dest.top() - src.top();
    if (!m_moveArea.isNull() && m_moveArea != area)
        return 0;
    // Damage not yet reported is in the coordinates before the move: it moves with the cells.
    if (!m_damage.isEmpty() && m_damage.intersects(area)) {
        if (area.contains(m_damage))
            m_damage = m_damage.translated(0, rows) & area;
        else
            m_damage |= area;
    }
    m_moveArea = area;
    m_moveRows += rows;
    if (std::abs(m_moveRows) >= area.height()) {
        // Nothing of the old pixels survives: the whole area is repainted instead.
        m_damage = m_damage.isEmpty() ? area : (m_damage | area);
        m_moveArea = QRect();
        m_moveRows = 0;
    }
    return 1;
}

struct VtScreen::History
{
    // Most lines are one character a cell in one style: such a line keeps one cell for the style of all of
    // them, and its characters, a byte a cell when all of them are below U+0100 (the target's replies,
    // mostly), four bytes a cell otherwise (line drawing). Any other line keeps its cells whole.
    std::vector<unsigned char> narrow; // kColumns a ring row: a plain line's characters, all below U+0100
    std::vector<std::unique_ptr<char32_t[]>> wide; // a ring row's characters, when plain and not all narrow
    std::vector<VTermScreenCell> style; // a ring row's style, when it is plain
    std::vector<std::unique_ptr<VTermScreenCell[]>> whole; // a ring row's cells, when it is not
    int first = 0; // ring row of the oldest line
    int count = 0;

    // The cell as libvterm gave it (a zeroed one if never written).
    VTermScreenCell cell(std::size_t row, int column) const
    {
        const auto at = static_cast<std::size_t>(column);
        if (whole[row])
            return whole[row][at];
        VTermScreenCell stored = style[row];
        stored.chars[0] = wide[row] ? wide[row][at] : narrow[row * kColumns + at];
        return stored;
    }
};

namespace {

bool sameColour(const VTermColor& a, const VTermColor& b)
{
    if (a.type != b.type)
        return false;
    if (VTERM_COLOR_IS_INDEXED(&a))
        return a.indexed.idx == b.indexed.idx;
    return a.rgb.red == b.rgb.red && a.rgb.green == b.rgb.green && a.rgb.blue == b.rgb.blue;
}

// Both cells show their one character (if any) at the same width, in the same attributes and colours.
bool sameStyle(const VTermScreenCell& a, const VTermScreenCell& b)
{
    return a.width == b.width && a.chars[1] == 0 && a.chars[0] != 0xFFFFFFFFu && a.attrs.bold == b.attrs.bold
        && a.attrs.underline == b.attrs.underline && a.attrs.italic == b.attrs.italic && a.attrs.blink == b.attrs.blink
        && a.attrs.reverse == b.attrs.reverse && a.attrs.strike == b.attrs.strike && a.attrs.font == b.attrs.font
        && a.attrs.dwl == b.attrs.dwl && a.attrs.dhl == b.attrs.dhl && sameColour(a.fg, b.fg) && sameColour(a.bg, b.bg);
}

} // namespace

int VtScreen::historyLines() const
{
    return m_history ? m_history->count : 0;
}

void VtScreen::pushLine(const void* vtermCells, int columns)
{
    if (!m_history)
        m_history = std::make_unique<History>();
    History& h = *m_history;
    int row = 0;
    if (h.count < kScrollbackLines) {
        // Until the ring is full its oldest line is row 0, and it grows with the lines that arrive: a short
        // run holds only what it scrolled off.
        row = h.count;
        ++h.count;
        const auto needed = static_cast<std::size_t>(h.count);
        if (h.style.size() < needed) {
            const std::size_t rows
                = std::max(needed, std::min(2 * h.style.size(), static_cast<std::size_t>(kScrollbackLines)));
            h.narrow.resize(rows * kColumns);
            h.wide.resize(rows);
            h.style.resize(rows);
            h.whole.resize(rows);
        }
    } else {
        // Full: the oldest line makes room.
        row = h.first;
        h.first = (h.first + 1) % kScrollbackLines;
    }
    std::array<VTermScreenCell, kColumns> line{};
    const int copied = std::clamp(columns, 0, kColumns);
    std::memcpy(line.data(), vtermCells, static_cast<std::size_t>(copied) * sizeof(VTermScreenCell));
    const auto at = static_cast<std::size_t>(row);
    const bool plain
        = std::all_of(line.begin(), line.end(), [&](const VTermScreenCell& cell) { return sameStyle(cell, line[0]); });
    if (plain) {
        h.whole[at].reset();
        h.style[at] = line[0];
        if (std::all_of(line.begin(), line.end(), [](const VTermScreenCell& cell) { return cell.chars[0] < 0x100; })) {
            h.wide[at].reset();
            std::transform(line.begin(), line.end(), h.narrow.begin() + static_cast<std::ptrdiff_t>(at * kColumns),
                           [](const VTermScreenCell& cell) { return static_cast<unsigned char>(cell.chars[0]); });
        } else {
            if (!h.wide[at])
                h.wide[at] = std::make_unique<char32_t[]>(kColumns);
            std::transform(line.begin(), line.end(), h.wide[at].get(),
                           [](const VTermScreenCell& cell) { return static_cast<char32_t>(cell.chars[0]); });
        }
    } else {
        h.wide[at].reset();
        if (!h.whole[at])
            h.whole[at] = std::make_unique<VTermScreenCell[]>(kColumns);
        std::copy(line.begin(), line.end(), h.whole[at].get());
    }
    ++m_linesPushed;
    ++m_pushedSinceEmit;
}

VtScreen::Cell VtScreen::lineCell(int line, int column) const
{
    if (line >= 0)
        return line < kRows ? cell(line, column) : Cell{};
    const int count = historyLines();
    if (line < -count || column < 0 || column >= kColumns)
        return {};
    const History& h = *m_history;
    const auto row = static_cast<std::size_t>((h.first + count + line) % kScrollbackLines);
    const VTermScreenCell stored = h.cell(row, column);
    // A cell never written (zeroed) is a blank with the default colours.
    if (stored.width == 0 && stored.chars[0] == 0)
        return {};
    return convert(&stored);
}

QString VtScreen::lineText(int line, int first, int last) const
{
    // Read from libvterm's cells as they are, without the colours that Cell carries: a capture reads every
    // line that the target completes.
    QString text;
    text.reserve(kColumns);
    const int count = historyLines();
    if (line < -count || line >= kRows)
        return text;
    for (int column = std::max(0, first); column <= std::min(last, kColumns - 1); ++column) {
        VTermScreenCell held{};
        const VTermScreenCell* source = &held;
        if (line >= 0) {
            if (!vterm_screen_get_cell(m_screen, VTermPos{line, column}, &held))
                continue;
        } else {
            const int row = (m_history->first + count + line) % kScrollbackLines;
            held = m_history->cell(static_cast<std::size_t>(row), column);
        }
        // libvterm marks the right half of a double-width character with (uint32_t)-1; a cell never written
        // (zeroed) is a blank.
        if (source->chars[0] == 0xFFFFFFFFu)
            continue;
        if (source->chars[0] == 0) {
            text.append(QLatin1Char(' '));
            continue;
        }
        for (int i = 0; i < VTERM_MAX_CHARS_PER_CELL && source->chars[i] != 0; ++i) {
            const char32_t ch = source->chars[i];
            if (QChar::requiresSurrogates(ch)) {
                text.append(QChar(QChar::highSurrogate(ch)));
                text.append(QChar(QChar::lowSurrogate(ch)));
            } else {
                text.append(QChar(static_cast<char16_t>(ch)));
            }
        }
    }
    while (text.endsWith(QLatin1Char(' ')))
        text.chop(1);
    return text;
}

VtScreen::Cell VtScreen::cell(int row, int column) const
{
    VTermScreenCell source{};
    if (!vterm_screen_get_cell(m_screen, VTermPos{row, column}, &source))
        return {};
    return convert(&source);
}

VtScreen::LineSize VtScreen::lineSize(int row) const
{
    VTermScreenCell source{};
    return vterm_screen_get_cell(m_screen, VTermPos{row, 0}, &source) != 0 ? lineSizeOf(source) : LineSize::Single;
}

int VtScreen::cellWidth(int row, int column) const
{
    VTermScreenCell source{};
    return vterm_screen_get_cell(m_screen, VTermPos{row, column}, &source) != 0 ? widthOf(source) : Cell{}.width;
}

VtScreen::Cell VtScreen::convert(const void* vtermCell) const
{
    const VTermScreenCell& source = *static_cast<const VTermScreenCell*>(vtermCell);
    Cell result;
    for (int i = 0; i < VTERM_MAX_CHARS_PER_CELL && i < 6; ++i)
        result.chars[i] = source.chars[i] == 0xFFFFFFFFu ? 0 : source.chars[i];
    result.width = widthOf(source);
    VTermColor foreground = source.fg;
    if (source.attrs.bold != 0 && VTERM_COLOR_IS_INDEXED(&foreground) && foreground.indexed.idx < 8)
        foreground.indexed.idx += 8;
    result.foreground = toQColor(m_screen, foreground, true);
    result.background = toQColor(m_screen, source.bg, false);
    result.bold = source.attrs.bold != 0;
    result.underline = source.attrs.underline != 0;
    result.reverse = source.attrs.reverse != 0;
    result.lineSize = lineSizeOf(source);
    return result;
}

QString VtScreen::rowText(int row) const
{
    return lineText(row);
}
