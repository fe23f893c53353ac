#include "link/vtscreen.h"

#include <vterm.h>

#include <algorithm>

namespace {

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
        .moverect = nullptr, // a moved area is reported as damage
        .movecursor = [](VTermPos pos, VTermPos /*oldpos*/, int visible, void* user) {
            return static_cast<VtScreen*>(user)->onMoveCursor(pos.row, pos.col, visible);
        },
        .settermprop = [](VTermProp prop, VTermValue* value, void* user) {
            return prop == VTERM_PROP_CURSORVISIBLE ? static_cast<VtScreen*>(user)->onCursorVisible(value->boolean)
                                                    : 1;
        },
        .bell = nullptr,
        .resize = nullptr,
        .sb_pushline = nullptr,
        .sb_popline = nullptr,
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
    m_decoded.clear();
    m_decoder.decode(bytes, m_decoded);
    writeText(m_decoded);
}

void VtScreen::writeText(std::u32string_view text)
{
    m_utf8.clear();
    m_guard.filter(text, m_utf8);
    feed(m_utf8);
    finishWrite();
}

void VtScreen::feed(const std::string& utf8)
{
    std::size_t at = 0;
    while (at < utf8.size()) {
        std::size_t end = std::min(utf8.size(), at + VtGuard::kMaxChunk);
        // Cut between characters, never inside one.
        while (end < utf8.size() && end > at && (static_cast<unsigned char>(utf8[end]) & 0xC0) == 0x80)
            --end;
        vterm_input_write(m_vterm, utf8.data() + at, end - at);
        at = end;
    }
}

void VtScreen::clear()
{
    vterm_screen_reset(m_screen, 1);
    // The reset homes the cursor without reporting it.
    VTermPos home{};
    vterm_state_get_cursorpos(m_state, &home);
    onMoveCursor(home.row, home.col, m_cursorVisible ? 1 : 0);
    finishWrite();
}

void VtScreen::finishWrite()
{
    vterm_screen_flush_damage(m_screen);
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

VtScreen::Cell VtScreen::cell(int row, int column) const
{
    Cell result;
    VTermScreenCell source{};
    if (!vterm_screen_get_cell(m_screen, VTermPos{row, column}, &source))
        return result;
    for (int i = 0; i < VTERM_MAX_CHARS_PER_CELL && i < 6; ++i)
        result.chars[i] = source.chars[i] == 0xFFFFFFFFu ? 0 : source.chars[i];
    // libvterm marks the right half of a double-width character with (uint32_t)-1.
    result.width = source.chars[0] == 0xFFFFFFFFu ? 0 : source.width;
    result.foreground = toQColor(m_screen, source.fg, true);
    result.background = toQColor(m_screen, source.bg, false);
    result.bold = source.attrs.bold != 0;
    result.underline = source.attrs.underline != 0;
    result.reverse = source.attrs.reverse != 0;
    return result;
}

QString VtScreen::rowText(int row) const
{
    QString text;
    for (int column = 0; column < kColumns; ++column) {
        const Cell c = cell(row, column);
        if (c.width == 0)
            continue;
        if (c.chars[0] == 0) {
            text.append(QLatin1Char(' '));
            continue;
        }
        for (const char32_t ch : c.chars) {
            if (ch == 0)
                break;
            text.append(QString::fromUcs4(&ch, 1));
        }
    }
    while (text.endsWith(QLatin1Char(' ')))
        text.chop(1);
    return text;
}
