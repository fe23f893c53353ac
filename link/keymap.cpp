#include "link/keymap.h"

#include "link/cp949.h"

namespace {

// Modifiers that do not change what a key sends: the keypad flag, and Shift (already in the text).
constexpr Qt::KeyboardModifiers kIgnoredModifiers = Qt::KeypadModifier | Qt::ShiftModifier | Qt::GroupSwitchModifier;

} // namespace

bool isWindowShortcutKey(int key, Qt::KeyboardModifiers modifiers)
{
    const Qt::KeyboardModifiers significant = modifiers & ~Qt::KeypadModifier;
    if (key >= Qt::Key_F1 && key <= Qt::Key_F8)
        return true;
    if (key == Qt::Key_Delete)
        return true;
    // Capture (Ctrl+Shift+L) and saving the scroll-back (Ctrl+Shift+S); without Shift they are control bytes.
    if ((key == Qt::Key_L || key == Qt::Key_S) && significant == (Qt::ControlModifier | Qt::ShiftModifier))
        return true;
    return key == Qt::Key_D && significant == Qt::ControlModifier;
}

bool isContextMenuKey(int key, Qt::KeyboardModifiers modifiers)
{
    const Qt::KeyboardModifiers significant = modifiers & ~Qt::KeypadModifier;
    return key == Qt::Key_Menu || (key == Qt::Key_F10 && significant == Qt::ShiftModifier);
}

QByteArray terminalKeyBytes(int key, Qt::KeyboardModifiers modifiers, QStringView text)
{
    if (isWindowShortcutKey(key, modifiers) || isContextMenuKey(key, modifiers))
        return {};
    if (modifiers & (Qt::AltModifier | Qt::MetaModifier))
        return {};

    const bool control = modifiers & Qt::ControlModifier;
    const Qt::KeyboardModifiers rest = modifiers & ~kIgnoredModifiers & ~Qt::ControlModifier;
    if (rest != Qt::NoModifier)
        return {};

    switch (key) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        return QByteArray("\r");
    case Qt::Key_Backspace:
        return QByteArray("\x08");
    case Qt::Key_Tab:
        return QByteArray("\t");
    case Qt::Key_Escape:
        return QByteArray("\x1b");
    default:
        break;
    }

    if (control) {
        // By key code, since not every platform puts the control character in the event's text.
        if (key >= Qt::Key_A && key <= Qt::Key_Z)
            return QByteArray(1, static_cast<char>(key - Qt::Key_A + 1));
        switch (key) {
        case Qt::Key_At:
        case Qt::Key_Space:
            return QByteArray(1, '\0');
        case Qt::Key_BracketLeft:
            return QByteArray("\x1b");
        case Qt::Key_Backslash:
            return QByteArray("\x1c");
        case Qt::Key_BracketRight:
            return QByteArray("\x1d");
        case Qt::Key_AsciiCircum:
            return QByteArray("\x1e");
        case Qt::Key_Underscore:
            return QByteArray("\x1f");
        default:
            return {};
        }
    }

    if (text.isEmpty())
        return {};
    for (const QChar ch : text) {
        if (!ch.isPrint() && !ch.isSurrogate())
            return {};
    }
    return cp949Encode(text);
}
