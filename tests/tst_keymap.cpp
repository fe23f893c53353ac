// What each key typed in the terminal pane sends to the target.

#include "link/keymap.h"

#include <QTest>

class KeyMapTest : public QObject
{
    Q_OBJECT

private slots:
    void eachKeySendsItsBytes_data();
    void eachKeySendsItsBytes();
    void theWindowsShortcutKeysAreRecognised_data();
    void theWindowsShortcutKeysAreRecognised();
};

void KeyMapTest::eachKeySendsItsBytes_data()
{
    QTest::addColumn<int>("key");
    QTest::addColumn<Qt::KeyboardModifiers>("modifiers");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("bytes");

    const Qt::KeyboardModifiers none = Qt::NoModifier;
    const Qt::KeyboardModifiers ctrl = Qt::ControlModifier;
    const Qt::KeyboardModifiers shift = Qt::ShiftModifier;
    QTest::newRow("letter") << int(Qt::Key_H) << none << QStringLiteral("h") << QByteArray("h");
    QTest::newRow("capital") << int(Qt::Key_H) << shift << QStringLiteral("H") << QByteArray("H");
    QTest::newRow("digit on the keypad") << int(Qt::Key_5) << Qt::KeyboardModifiers(Qt::KeypadModifier)
                                         << QStringLiteral("5") << QByteArray("5");
    QTest::newRow("space") << int(Qt::Key_Space) << none << QStringLiteral(" ") << QByteArray(" ");
    QTest::newRow("Hangul text") << int(Qt::Key_unknown) << none << QStringLiteral("가") << QByteArray("\xb0\xa1");
    QTest::newRow("Enter") << int(Qt::Key_Return) << none << QStringLiteral("\r") << QByteArray("\r");
    QTest::newRow("keypad Enter") << int(Qt::Key_Enter) << Qt::KeyboardModifiers(Qt::KeypadModifier)
                                  << QStringLiteral("\r") << QByteArray("\r");
    QTest::newRow("Backspace") << int(Qt::Key_Backspace) << none << QStringLiteral("\b") << QByteArray("\x08");
    QTest::newRow("Tab") << int(Qt::Key_Tab) << none << QStringLiteral("\t") << QByteArray("\t");
    QTest::newRow("Esc") << int(Qt::Key_Escape) << none << QStringLiteral("\x1b") << QByteArray("\x1b");
    // Keys without text send nothing at all: a sequence's letters are the monitor's commands.
    QTest::newRow("Shift+Tab") << int(Qt::Key_Backtab) << shift << QString() << QByteArray();
    QTest::newRow("Up") << int(Qt::Key_Up) << none << QString() << QByteArray();
    QTest::newRow("Down (ESC [ B would reverse)") << int(Qt::Key_Down) << none << QString() << QByteArray();
    QTest::newRow("Right") << int(Qt::Key_Right) << none << QString() << QByteArray();
    QTest::newRow("Left") << int(Qt::Key_Left) << none << QString() << QByteArray();
    QTest::newRow("Home") << int(Qt::Key_Home) << none << QString() << QByteArray();
    QTest::newRow("End (ESC [ F would go forward)") << int(Qt::Key_End) << none << QString() << QByteArray();
    QTest::newRow("Insert") << int(Qt::Key_Insert) << none << QString() << QByteArray();
    QTest::newRow("Page Up") << int(Qt::Key_PageUp) << none << QString() << QByteArray();
    QTest::newRow("Page Down") << int(Qt::Key_PageDown) << none << QString() << QByteArray();
    QTest::newRow("keypad Home") << int(Qt::Key_Home) << Qt::KeyboardModifiers(Qt::KeypadModifier) << QString()
                                 << QByteArray();
    QTest::newRow("Ctrl+Up") << int(Qt::Key_Up) << ctrl << QString() << QByteArray();
    QTest::newRow("Shift+Down") << int(Qt::Key_Down) << shift << QString() << QByteArray();
    QTest::newRow("F9") << int(Qt::Key_F9) << none << QString() << QByteArray();
    QTest::newRow("F10") << int(Qt::Key_F10) << none << QString() << QByteArray();
    QTest::newRow("F11") << int(Qt::Key_F11) << none << QString() << QByteArray();
    QTest::newRow("F12") << int(Qt::Key_F12) << none << QString() << QByteArray();
    QTest::newRow("Shift+F2") << int(Qt::Key_F2) << shift << QString() << QByteArray();
    QTest::newRow("Shift+F9") << int(Qt::Key_F9) << shift << QString() << QByteArray();
    QTest::newRow("Shift+F10 opens the menu") << int(Qt::Key_F10) << shift << QString() << QByteArray();
    QTest::newRow("Shift+F12") << int(Qt::Key_F12) << shift << QString() << QByteArray();
    QTest::newRow("Menu opens the menu") << int(Qt::Key_Menu) << none << QString() << QByteArray();
    QTest::newRow("Ctrl+C without text") << int(Qt::Key_C) << ctrl << QString() << QByteArray("\x03");
    QTest::newRow("Ctrl+C with text") << int(Qt::Key_C) << ctrl << QStringLiteral("\x03") << QByteArray("\x03");
    QTest::newRow("Ctrl+Z") << int(Qt::Key_Z) << ctrl << QString() << QByteArray("\x1a");
    QTest::newRow("Ctrl+Shift+A") << int(Qt::Key_A) << (ctrl | shift) << QString() << QByteArray("\x01");
    QTest::newRow("Ctrl+[") << int(Qt::Key_BracketLeft) << ctrl << QString() << QByteArray("\x1b");
    QTest::newRow("Ctrl+@") << int(Qt::Key_At) << ctrl << QString() << QByteArray("\x00", 1);
    QTest::newRow("Ctrl+digit sends nothing") << int(Qt::Key_1) << ctrl << QString() << QByteArray();
    QTest::newRow("Alt+X is the exit button's") << int(Qt::Key_X) << Qt::KeyboardModifiers(Qt::AltModifier)
                                                << QStringLiteral("x") << QByteArray();
    QTest::newRow("a modifier alone") << int(Qt::Key_Shift) << shift << QString() << QByteArray();
    QTest::newRow("unprintable text") << int(Qt::Key_unknown) << none << QStringLiteral("\x7f") << QByteArray();
    QTest::newRow("F1 is the window's") << int(Qt::Key_F1) << none << QString() << QByteArray();
    QTest::newRow("F8 is the window's") << int(Qt::Key_F8) << none << QString() << QByteArray();
    QTest::newRow("Delete is the window's") << int(Qt::Key_Delete) << none << QStringLiteral("\x7f") << QByteArray();
    QTest::newRow("Ctrl+D is the window's") << int(Qt::Key_D) << ctrl << QStringLiteral("\x04") << QByteArray();
    QTest::newRow("D alone is a letter") << int(Qt::Key_D) << none << QStringLiteral("d") << QByteArray("d");
    QTest::newRow("Ctrl+Shift+L is the capture's") << int(Qt::Key_L) << (ctrl | shift) << QString() << QByteArray();
    QTest::newRow("Ctrl+L is still form feed")
        << int(Qt::Key_L) << ctrl << QStringLiteral("\x0c") << QByteArray("\x0c");
    QTest::newRow("Ctrl+Shift+S is the saving's") << int(Qt::Key_S) << (ctrl | shift) << QString() << QByteArray();
    QTest::newRow("Ctrl+S is still XOFF") << int(Qt::Key_S) << ctrl << QStringLiteral("\x13") << QByteArray("\x13");
}

void KeyMapTest::eachKeySendsItsBytes()
{
    QFETCH(int, key);
    QFETCH(Qt::KeyboardModifiers, modifiers);
    QFETCH(QString, text);
    QFETCH(QByteArray, bytes);
    const QByteArray sent = terminalKeyBytes(key, modifiers, text);
    QVERIFY2(sent == bytes, qPrintable(QStringLiteral("sends %1 instead of %2")
                                           .arg(QString::fromLatin1(sent.toHex(' ')), QString::fromLatin1(bytes.toHex(' ')))));
}

void KeyMapTest::theWindowsShortcutKeysAreRecognised_data()
{
    QTest::addColumn<int>("key");
    QTest::addColumn<Qt::KeyboardModifiers>("modifiers");
    QTest::addColumn<bool>("isShortcut");

    for (int f = 0; f < 8; ++f)
        QTest::addRow("F%d", f + 1) << int(Qt::Key_F1 + f) << Qt::KeyboardModifiers() << true;
    QTest::newRow("F9") << int(Qt::Key_F9) << Qt::KeyboardModifiers() << false;
    QTest::newRow("Delete") << int(Qt::Key_Delete) << Qt::KeyboardModifiers() << true;
    QTest::newRow("keypad Delete") << int(Qt::Key_Delete) << Qt::KeyboardModifiers(Qt::KeypadModifier) << true;
    QTest::newRow("Ctrl+D") << int(Qt::Key_D) << Qt::KeyboardModifiers(Qt::ControlModifier) << true;
    QTest::newRow("Ctrl+C") << int(Qt::Key_C) << Qt::KeyboardModifiers(Qt::ControlModifier) << false;
    QTest::newRow("d") << int(Qt::Key_D) << Qt::KeyboardModifiers() << false;
    const Qt::KeyboardModifiers ctrlShift = Qt::ControlModifier | Qt::ShiftModifier;
    QTest::newRow("Ctrl+Shift+L") << int(Qt::Key_L) << ctrlShift << true;
    QTest::newRow("Ctrl+Shift+S") << int(Qt::Key_S) << ctrlShift << true;
    QTest::newRow("Ctrl+L") << int(Qt::Key_L) << Qt::KeyboardModifiers(Qt::ControlModifier) << false;
    QTest::newRow("Ctrl+Alt+Shift+L") << int(Qt::Key_L) << (ctrlShift | Qt::AltModifier) << false;
}

void KeyMapTest::theWindowsShortcutKeysAreRecognised()
{
    QFETCH(int, key);
    QFETCH(Qt::KeyboardModifiers, modifiers);
    QFETCH(bool, isShortcut);
    QVERIFY2(isWindowShortcutKey(key, modifiers) == isShortcut,
             isShortcut ? "a window shortcut was taken for a terminal key" : "a terminal key was taken for a window shortcut");
}

QTEST_APPLESS_MAIN(KeyMapTest)
#include "tst_keymap.moc"
