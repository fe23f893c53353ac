#pragma once
// What a key typed in the terminal pane sends to the target: a pure function of the key, its modifiers
// and the text it produced, so that it can be checked without any widget.
//
// - Printable text goes as its code page 949 bytes (characters without a code as '?').
// - Enter is CR. Backspace is BS (0x08): the target's monitor is old-style and erases on BS, where many
//   such monitors take DEL for a plain character or ignore it. Tab is HT, Esc is ESC.
// - Ctrl+letter (and Ctrl+@ [ \ ] ^ _) is the control byte.
// - Keys without text send nothing: arrows, Home, End, Insert, Page Up/Down, F9..F12, Shift+Tab and every
//   Shift+function key. The keyboard emulator processes neither all keys nor extended keys, and an escape
//   sequence would reach the target's monitor as letters (ESC [ B is B, reverse; ESC [ F is F, forward).
// - F1..F8, Delete and Ctrl+D belong to the window's menu shortcuts, and Ctrl+Shift+L and Ctrl+Shift+S to its
//   capture and its saving of the scroll-back (Ctrl+L and Ctrl+S are still 0x0C and 0x13); none of them is
//   ever sent, nor is anything
//   with Alt or Meta held (the window's access keys), nor keys that produce nothing printable.
// - Shift+F10 and the Menu key open the window's pop-up menu (isContextMenuKey) and send nothing.

#include <QByteArray>
#include <QStringView>
#include <Qt>

// The bytes the key sends to the target; empty when it sends nothing.
QByteArray terminalKeyBytes(int key, Qt::KeyboardModifiers modifiers, QStringView text);

// True for the keys that are the window's shortcuts (F1..F8, Delete, Ctrl+D, Ctrl+Shift+L, Ctrl+Shift+S), which
// the pane leaves alone.
bool isWindowShortcutKey(int key, Qt::KeyboardModifiers modifiers);

// True for the keys that open the pop-up menu from the keyboard (Shift+F10, the Menu key).
bool isContextMenuKey(int key, Qt::KeyboardModifiers modifiers);
