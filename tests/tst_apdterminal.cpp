// The terminal pane in the real window on a pseudo-terminal: what the far end sends is shown, what the
// operator types goes to the far end and is shown only if echoed, and the window's shortcuts stay the
// window's.

#include "app/statusbar.h"
#include "app/tform1.h"
#include "link/apdcomport.h"
#include "link/apdterminal.h"
#include "link/asciiface.h"
#include "link/cp949.h"
#include "tests/ptypair.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QImage>
#include <QInputMethodEvent>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QRandomGenerator>
#include <QScreen>
#include <QSet>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <bitset>
#include <memory>
#include <thread>
#include <vector>

#include <unistd.h>

class ApdTerminalTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void whatTheFarEndSendsIsShownAsItArrives();
    void textThatStreamsInIsShownWholeAndInOrder_data();
    void textThatStreamsInIsShownWholeAndInOrder();
    void typedKeysReachTheLineAndAreShownOnlyWhenEchoed();
    void eachKeyTypedInThePanePutsExactlyItsBytesOnTheLine_data();
    void eachKeyTypedInThePanePutsExactlyItsBytesOnTheLine();
    void theTargetsRequestsAreNeverAnswered_data();
    void theTargetsRequestsAreNeverAnswered();
    void koreanCommittedByAnInputMethodGoesOutInCodePage949();
    void theWindowsShortcutKeysAreNeverSentByThePane_data();
    void theWindowsShortcutKeysAreNeverSentByThePane();
    void theWindowsShortcutsStillActWhileThePaneHasTheFocus();
    void theClearCommandEmptiesThePaneAndSendsNothing();
    void aRightClickInThePaneOpensTheWindowsMenu();
    void theCellGridFillsThePaneExactlyAndHangulIsPaintedDoubleWidth();
    void thePrintableAsciiSetIsDrawnInTwoColoursAndEveryGlyphStandsApart_data();
    void thePrintableAsciiSetIsDrawnInTwoColoursAndEveryGlyphStandsApart();
    void theSameBytesAreDrawnAsXtermDrawsThem_data();
    void theSameBytesAreDrawnAsXtermDrawsThem();
    void theCursorBlinksOnlyWhileTheWindowIsShownAndActive();
    void theScrollBackHoldsTheViewUntilTheOperatorReturns_data();
    void theScrollBackHoldsTheViewUntilTheOperatorReturns();
    void aDragSelectsWholeCellsInReadingOrder_data();
    void aDragSelectsWholeCellsInReadingOrder();
    void theSelectionIsCopiedByItsKeysAndNothingReachesTheLine_data();
    void theSelectionIsCopiedByItsKeysAndNothingReachesTheLine();
    void damageAndScrollPaintingMatchAFullRepaint_data();
    void damageAndScrollPaintingMatchAFullRepaint();
    void theCaptureKeepsWhatThePaneShowsAndSendsNothing_data();
    void theCaptureKeepsWhatThePaneShowsAndSendsNothing();

private:
    // Lets the port read the line and the pane take what it read.
    void settle(int ms = 100) { QTest::qWait(ms); }

    std::unique_ptr<PtyPair> m_line;
    std::unique_ptr<TForm1> m_form;
    TApdTerminal* m_pane = nullptr;
};

void ApdTerminalTest::init()
{
    m_line = std::make_unique<PtyPair>();
    QVERIFY2(m_line->isValid(), "could not make a pseudo-terminal pair");
    m_form = std::make_unique<TForm1>(m_line->slavePath());
    m_pane = m_form->ApdTerminal1;
    m_form->show();
    m_form->activateWindow();
    QVERIFY2(QTest::qWaitForWindowActive(m_form.get()), "the window did not become active");
    m_pane->setFocus();
    m_line->collectFor(50); // whatever the window sent on start
}

void ApdTerminalTest::cleanup()
{
    m_form.reset();
    m_line.reset();
}

void ApdTerminalTest::whatTheFarEndSendsIsShownAsItArrives()
{
    m_line->send("MONITOR V1.0\r\n\xb8\xde\xb8\xf0\xb8\xae ");
    settle();
    m_line->send("\xc5\xd7\xbd\xba\xc6\xae OK\r\n");
    settle();
    QVERIFY2(m_pane->screen().rowText(0) == QStringLiteral("MONITOR V1.0"),
             qPrintable(QStringLiteral("row 1 reads '%1'").arg(m_pane->screen().rowText(0))));
    QVERIFY2(m_pane->screen().rowText(1) == QStringLiteral("메모리 테스트 OK"),
             qPrintable(QStringLiteral("row 2 reads '%1'").arg(m_pane->screen().rowText(1))));
}

void ApdTerminalTest::textThatStreamsInIsShownWholeAndInOrder_data()
{
    QTest::addColumn<int>("piece");
    QTest::addColumn<int>("gapMicroseconds");
    QTest::addColumn<int>("leadLines"); // lines of 60 characters before the text, then a clear
    // While the line streams the port pauses between reads; whatever the pieces, nothing may be lost, doubled
    // or reordered across a pause or between the reads that a flood takes, and reading must go on after the
    // last one. What a pause lets out is painted as it is delivered; only the first pieces of a stream, close
    // behind the one before, wait for the throttle.
    QTest::newRow("one character at the line's rate") << 1 << 1042 << 0;
    QTest::newRow("one character every 20 ms") << 1 << 20000 << 0;
    QTest::newRow("pieces of 7 every 5 ms") << 7 << 5000 << 0;
    QTest::newRow("pieces of 300 at once") << 300 << 0 << 0;
    QTest::newRow("a flood of 100 KiB at once") << 128 * 1024 << 0 << 1650;
}

void ApdTerminalTest::textThatStreamsInIsShownWholeAndInOrder()
{
    QFETCH(int, piece);
    QFETCH(int, gapMicroseconds);
    QFETCH(int, leadLines);
    QByteArray text;
    for (int line = 0; line < leadLines; ++line)
        text += QByteArray::number(line).rightJustified(60, '.') + "\r\n";
    if (leadLines > 0)
        text += "\x1b[2J\x1b[H";
    for (int line = 0; line < 6; ++line)
        text += QByteArray::number(line) + ": " + QByteArray(40, static_cast<char>('a' + line)) + "\r\n";
    // Taken after the pane has the piece (it was connected first).
    int pieces = 0;
    int waiting = 0;
    QByteArray delivered;
    QElapsedTimer sincePiece;
    const QMetaObject::Connection watch
        = connect(m_form->ApdComPort1, &TApdComPort::dataReceived, this, [&](const QByteArray& bytes) {
              delivered += bytes;
              if (sincePiece.isValid() && sincePiece.elapsed() >= TApdTerminal::kMinPaintIntervalMs) {
                  ++pieces;
                  waiting += m_pane->hasPendingPaint() ? 1 : 0;
              }
              sincePiece.start();
          });
    const int master = m_line->masterFd();
    std::thread farEnd([&] {
        for (qsizetype at = 0; at < text.size(); at += piece) {
            const QByteArray part = text.mid(at, piece);
            for (qsizetype done = 0; done < part.size();) {
                const ssize_t n = ::write(master, part.constData() + done, static_cast<size_t>(part.size() - done));
                done += n > 0 ? n : 0;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(gapMicroseconds));
        }
    });
    const QDeadlineTimer deadline(10000);
    while (!deadline.hasExpired() && (delivered.size() < text.size() || m_pane->screen().rowText(5).size() < 43))
        QTest::qWait(10);
    farEnd.join();
    disconnect(watch);
    QVERIFY2(delivered == text,
             qPrintable(QStringLiteral("the port delivered %1 bytes for %2 sent, %3")
                            .arg(delivered.size())
                            .arg(text.size())
                            .arg(delivered.startsWith(text.left(delivered.size())) ? QStringLiteral("in order")
                                                                                   : QStringLiteral("out of order"))));
    QVERIFY2(waiting == 0,
             qPrintable(QStringLiteral("%1 of %2 pieces that came a paint interval after the one "
                                       "before waited for the throttle")
                            .arg(waiting)
                            .arg(pieces)));
    // A lone byte after the stream ends is read as well.
    settle(50);
    m_line->send("$");
    QTRY_VERIFY2_WITH_TIMEOUT(m_pane->screen().rowText(6) == QStringLiteral("$"),
                              "a byte after the stream was never shown", 2000);
    for (int line = 0; line < 6; ++line) {
        const QString expected = QString::number(line) + QStringLiteral(": ") + QString(40, QLatin1Char('a' + line));
        QVERIFY2(m_pane->screen().rowText(line) == expected,
                 qPrintable(QStringLiteral("row %1 reads '%2'").arg(line).arg(m_pane->screen().rowText(line))));
    }
}

void ApdTerminalTest::typedKeysReachTheLineAndAreShownOnlyWhenEchoed()
{
    QTest::keyClicks(m_pane, QStringLiteral("d100"));
    QTest::keyClick(m_pane, Qt::Key_Return);
    QTest::keyClick(m_pane, Qt::Key_Backspace);
    QTest::keyClick(m_pane, Qt::Key_Up);
    QTest::keyClick(m_pane, Qt::Key_Tab);
    const QByteArray sent = m_line->waitForExactly(7);
    QVERIFY2(sent == QByteArray("d100\r\x08\t"),
             qPrintable(QStringLiteral("the line got %1").arg(QString::fromLatin1(sent.toHex(' ')))));
    QVERIFY2(m_pane->hasFocus(), "Tab moved the focus out of the pane instead of going to the line");
    settle();
    QVERIFY2(m_pane->screen().rowText(0).isEmpty(), "typed characters appeared without an echo");

    m_line->send("d100\r\n");
    settle();
    QVERIFY2(m_pane->screen().rowText(0) == QStringLiteral("d100"), "the far end's echo was not shown");
}

void ApdTerminalTest::eachKeyTypedInThePanePutsExactlyItsBytesOnTheLine_data()
{
    QTest::addColumn<int>("key");
    QTest::addColumn<Qt::KeyboardModifiers>("modifiers");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("opensMenu");

    const Qt::KeyboardModifiers none = Qt::NoModifier;
    const Qt::KeyboardModifiers shift = Qt::ShiftModifier;
    const Qt::KeyboardModifiers ctrl = Qt::ControlModifier;
    const Qt::KeyboardModifiers keypad = Qt::KeypadModifier;
    QTest::newRow("letter") << int(Qt::Key_A) << none << QStringLiteral("a") << QByteArray("a") << false;
    QTest::newRow("capital S") << int(Qt::Key_S) << shift << QStringLiteral("S") << QByteArray("S") << false;
    QTest::newRow("Hangul") << int(Qt::Key_unknown) << none << QStringLiteral("가") << QByteArray("\xb0\xa1") << false;
    QTest::newRow("Enter") << int(Qt::Key_Return) << none << QStringLiteral("\r") << QByteArray("\r") << false;
    QTest::newRow("keypad Enter") << int(Qt::Key_Enter) << keypad << QStringLiteral("\r") << QByteArray("\r") << false;
    QTest::newRow("Backspace") << int(Qt::Key_Backspace) << none << QStringLiteral("\b") << QByteArray("\x08") << false;
    QTest::newRow("Tab") << int(Qt::Key_Tab) << none << QStringLiteral("\t") << QByteArray("\t") << false;
    QTest::newRow("Esc") << int(Qt::Key_Escape) << none << QStringLiteral("\x1b") << QByteArray("\x1b") << false;
    QTest::newRow("Ctrl+C") << int(Qt::Key_C) << ctrl << QStringLiteral("\x03") << QByteArray("\x03") << false;
    const std::pair<const char*, int> silent[] = {
        {"Up", Qt::Key_Up},         {"Down", Qt::Key_Down},      {"Left", Qt::Key_Left},
        {"Right", Qt::Key_Right},   {"Home", Qt::Key_Home},      {"End", Qt::Key_End},
        {"Insert", Qt::Key_Insert}, {"Page Up", Qt::Key_PageUp}, {"Page Down", Qt::Key_PageDown},
        {"F9", Qt::Key_F9},         {"F10", Qt::Key_F10},        {"F11", Qt::Key_F11},
        {"F12", Qt::Key_F12},
    };
    for (const auto& [name, key] : silent)
        QTest::newRow(name) << key << none << QString() << QByteArray() << false;
    QTest::newRow("keypad End") << int(Qt::Key_End) << keypad << QString() << QByteArray() << false;
    QTest::newRow("Shift+Tab") << int(Qt::Key_Backtab) << shift << QString() << QByteArray() << false;
    QTest::newRow("Shift+F3") << int(Qt::Key_F3) << shift << QString() << QByteArray() << false;
    QTest::newRow("Shift+F9") << int(Qt::Key_F9) << shift << QString() << QByteArray() << false;
    QTest::newRow("Shift+F11") << int(Qt::Key_F11) << shift << QString() << QByteArray() << false;
    QTest::newRow("Shift+F10") << int(Qt::Key_F10) << shift << QString() << QByteArray() << true;
    QTest::newRow("Menu") << int(Qt::Key_Menu) << none << QString() << QByteArray() << true;
}

void ApdTerminalTest::eachKeyTypedInThePanePutsExactlyItsBytesOnTheLine()
{
    QFETCH(int, key);
    QFETCH(Qt::KeyboardModifiers, modifiers);
    QFETCH(QString, text);
    QFETCH(QByteArray, bytes);
    QFETCH(bool, opensMenu);

    // Through the window's shortcut handling to the focused pane, as a key press travels.
    QTest::sendKeyEvent(QTest::Click, m_pane, static_cast<Qt::Key>(key), text, modifiers);
    const QByteArray sent = bytes.isEmpty() ? m_line->collectFor(150) : m_line->waitForExactly(bytes.size());
    const bool menuOpen = m_form->PopupMenu1->isVisible();
    const QRect menu = m_form->PopupMenu1->geometry();
    m_form->PopupMenu1->close();
    QVERIFY2(sent == bytes, qPrintable(QStringLiteral("the line got '%1' instead of '%2'")
                                           .arg(QString::fromLatin1(sent.toHex(' ')), QString::fromLatin1(bytes.toHex(' ')))));
    QVERIFY2(menuOpen == opensMenu, opensMenu ? "the key did not open the pop-up menu" : "the key opened the pop-up menu");
    QVERIFY2(m_pane->hasFocus(), "the key moved the focus out of the pane");
    if (opensMenu) {
        // Centred on the cursor, as a right click centres it on the pointer.
        const QPoint cursor = m_pane->mapToGlobal(TApdTerminal::cellsToPixels(QRect(m_pane->screen().cursor(), QSize(1, 1))).center());
        QVERIFY2(qAbs(menu.center().x() - cursor.x()) <= 1 && menu.top() == cursor.y(),
                 qPrintable(QStringLiteral("the menu opened at %1,%2, not centred under the cursor at %3,%4")
                                .arg(menu.center().x()).arg(menu.top()).arg(cursor.x()).arg(cursor.y())));
    }
}

void ApdTerminalTest::theTargetsRequestsAreNeverAnswered_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::newRow("primary device attributes") << QByteArray("\x1b[c");
    QTest::newRow("primary device attributes, 0") << QByteArray("\x1b[0c");
    QTest::newRow("secondary device attributes") << QByteArray("\x1b[>c");
    QTest::newRow("tertiary device attributes") << QByteArray("\x1b[=c");
    QTest::newRow("identify (DECID)") << QByteArray("\x1bZ");
    QTest::newRow("device status") << QByteArray("\x1b[5n");
    QTest::newRow("cursor position") << QByteArray("\x1b[6n");
    QTest::newRow("extended cursor position") << QByteArray("\x1b[?6n");
    QTest::newRow("DECREQTPARM") << QByteArray("\x1b[x");
    QTest::newRow("DECREQTPARM, 1") << QByteArray("\x1b[1x");
    QTest::newRow("ENQ") << QByteArray("\x05");
    QTest::newRow("ANSI mode request") << QByteArray("\x1b[4$p");
    QTest::newRow("DEC mode request") << QByteArray("\x1b[?25$p");
    QTest::newRow("window state report") << QByteArray("\x1b[11t");
    QTest::newRow("window position report") << QByteArray("\x1b[13t");
    QTest::newRow("window size report") << QByteArray("\x1b[14t");
    QTest::newRow("text area size report") << QByteArray("\x1b[18t");
    QTest::newRow("screen size report") << QByteArray("\x1b[19t");
    QTest::newRow("icon label report") << QByteArray("\x1b[20t");
    QTest::newRow("window title report") << QByteArray("\x1b[21t");
    QTest::newRow("DECRQSS margins") << QByteArray("\x1bP$qr\x1b\\");
    QTest::newRow("DECRQSS graphic rendition") << QByteArray("\x1bP$qm\x1b\\");
    QTest::newRow("DECRQSS cursor style") << QByteArray("\x1bP$q q\x1b\\");
    QTest::newRow("DECRQSS protection") << QByteArray("\x1bP$q\"q\x1b\\");
    QTest::newRow("termcap request") << QByteArray("\x1bP+q544e\x1b\\");
    QTest::newRow("colour query (OSC 4)") << QByteArray("\x1b]4;1;?\x07");
    QTest::newRow("foreground query (OSC 10)") << QByteArray("\x1b]10;?\x07");
    QTest::newRow("selection query (OSC 52)") << QByteArray("\x1b]52;c;?\x07");
    QTest::newRow("after a full reset") << QByteArray("\x1b" "c\x1b[6n");
    QTest::newRow("in 8-bit controls mode") << QByteArray("\x1b G\x1b[c\x1b[6n");
}

void ApdTerminalTest::theTargetsRequestsAreNeverAnswered()
{
    QFETCH(QByteArray, request);
    // A marker after the request proves that it went through the emulator before the line is checked.
    m_line->send(request + "\r\nafter");
    const QByteArray answered = m_line->collectFor(250);
    QVERIFY2(answered.isEmpty(), qPrintable(QStringLiteral("the pane answered %1").arg(QString::fromLatin1(answered.toHex(' ')))));
    bool shown = false;
    for (int row = 0; row < VtScreen::kRows && !shown; ++row)
        shown = m_pane->screen().rowText(row).contains(QStringLiteral("after"));
    QVERIFY2(shown, "the text after the request never reached the screen");
}

void ApdTerminalTest::koreanCommittedByAnInputMethodGoesOutInCodePage949()
{
    QInputMethodEvent composing(QStringLiteral("가"), {});
    QCoreApplication::sendEvent(m_pane, &composing);
    QInputMethodEvent committed;
    committed.setCommitString(QStringLiteral("가나"));
    QCoreApplication::sendEvent(m_pane, &committed);
    const QByteArray sent = m_line->waitForBytes(4);
    QVERIFY2(sent == QByteArray("\xb0\xa1\xb3\xaa"),
             qPrintable(QStringLiteral("the line got %1").arg(QString::fromLatin1(sent.toHex(' ')))));
}

void ApdTerminalTest::theWindowsShortcutKeysAreNeverSentByThePane_data()
{
    QTest::addColumn<int>("key");
    QTest::addColumn<Qt::KeyboardModifiers>("modifiers");
    for (int f = 0; f < 8; ++f)
        QTest::addRow("F%d", f + 1) << int(Qt::Key_F1 + f) << Qt::KeyboardModifiers();
    QTest::newRow("Delete") << int(Qt::Key_Delete) << Qt::KeyboardModifiers();
    QTest::newRow("Ctrl+D") << int(Qt::Key_D) << Qt::KeyboardModifiers(Qt::ControlModifier);
    QTest::newRow("Ctrl+Shift+L") << int(Qt::Key_L) << (Qt::ControlModifier | Qt::ShiftModifier);
    QTest::newRow("Ctrl+Shift+S") << int(Qt::Key_S) << (Qt::ControlModifier | Qt::ShiftModifier);
}

void ApdTerminalTest::theWindowsShortcutKeysAreNeverSentByThePane()
{
    QFETCH(int, key);
    QFETCH(Qt::KeyboardModifiers, modifiers);

    QKeyEvent override(QEvent::ShortcutOverride, key, modifiers);
    QCoreApplication::sendEvent(m_pane, &override);
    QVERIFY2(!override.isAccepted(), "the pane claimed a window shortcut key");

    // With the window's actions off the key reaches the pane itself, which must still send nothing.
    const QList<QAction*> actions = m_form->actions();
    for (QAction* action : actions)
        action->setEnabled(false);
    QTest::keyClick(m_pane, static_cast<Qt::Key>(key), modifiers);
    const QByteArray sent = m_line->collectFor(150);
    for (QAction* action : actions)
        action->setEnabled(true);
    QVERIFY2(sent.isEmpty(), qPrintable(QStringLiteral("the pane sent %1").arg(QString::fromLatin1(sent.toHex(' ')))));
}

void ApdTerminalTest::theWindowsShortcutsStillActWhileThePaneHasTheFocus()
{
    QTest::keyClick(m_pane, Qt::Key_F1);
    QTest::keyClick(m_pane, Qt::Key_F8);
    const QByteArray sent = m_line->waitForBytes(2);
    QVERIFY2(sent == "hq", qPrintable(QStringLiteral("F1 F8 in the pane put %1 on the line instead of the commands h q")
                                          .arg(QString::fromLatin1(sent.toHex(' ')))));
}

void ApdTerminalTest::theClearCommandEmptiesThePaneAndSendsNothing()
{
    m_form->SpeedButton1Click(nullptr);
    m_line->waitForBytes(1);
    const QString direction = m_form->StatusBar1->panelText(TForm1::DirectionPanel);
    m_line->send("line one\r\nline two");
    settle();
    QTest::keyClick(m_pane, Qt::Key_Delete);
    QVERIFY2(m_pane->screen().rowText(0).isEmpty() && m_pane->screen().rowText(1).isEmpty(), "Delete left text in the pane");
    QVERIFY2(m_pane->screen().cursor() == QPoint(0, 0), "the cursor is not home after the clear");
    QVERIFY2(m_form->StatusBar1->panelText(TForm1::CommandPanel) == QStringLiteral("화면 클리어"),
             "the command panel does not read the clear's text");
    QVERIFY2(m_form->StatusBar1->panelText(TForm1::DirectionPanel) == direction, "the clear touched the direction panel");
    QVERIFY2(m_line->collectFor(150).isEmpty(), "the clear sent something to the target");
    m_line->send("after");
    settle();
    QVERIFY2(m_pane->screen().rowText(0) == QStringLiteral("after"), "what arrived after the clear is not on the cleared screen");
}

void ApdTerminalTest::aRightClickInThePaneOpensTheWindowsMenu()
{
    const QPoint at(40, 40);
    QContextMenuEvent click(QContextMenuEvent::Mouse, at, m_pane->mapToGlobal(at));
    QCoreApplication::sendEvent(m_pane, &click);
    QVERIFY2(m_form->PopupMenu1->isVisible(), "a right click in the pane did not open the window's menu");
    m_form->PopupMenu1->close();
}

void ApdTerminalTest::theCellGridFillsThePaneExactlyAndHangulIsPaintedDoubleWidth()
{
    QVERIFY2(QRect(m_pane->mapTo(m_form.get(), QPoint(0, 0)), m_pane->size()) == QRect(232, 24, 496, 252),
             "the pane is not at 232,24 size 496x252");
    QVERIFY2(TApdTerminal::cellsToPixels(QRect(0, 0, VtScreen::kColumns, VtScreen::kRows)) == m_pane->rect(),
             "62 x 21 cells of 8 x 12 do not fill the pane");

    m_line->send("\x1b[3;3H\xb0\xa1\xb0\xa1");
    settle();
    const QImage image = m_pane->grab().toImage();
    // The two syllables take cells 3..6 of row 3 (columns 2..5 counted from 0): 32 x 12 pixels.
    auto inkIn = [&image](const QRect& box) {
        int ink = 0;
        for (int y = box.top(); y <= box.bottom(); ++y)
            for (int x = box.left(); x <= box.right(); ++x)
                ink += qGray(image.pixel(x, y)) > 96 ? 1 : 0;
        return ink;
    };
    const int first = inkIn(QRect(16, 24, 16, 12));
    const int second = inkIn(QRect(32, 24, 16, 12));
    QVERIFY2(first > 10 && second > 10, qPrintable(QStringLiteral("the syllables left %1 and %2 lit pixels").arg(first).arg(second)));
    QVERIFY2(qAbs(first - second) <= 2, "the two equal syllables were not drawn alike in their double cells");
    QVERIFY2(inkIn(QRect(48, 24, 16, 10)) == 0, "ink beyond the two double-width cells");
    QVERIFY2(qGray(image.pixel(300, 150)) < 32, "the pane's background is not dark");
}

void ApdTerminalTest::thePrintableAsciiSetIsDrawnInTwoColoursAndEveryGlyphStandsApart_data()
{
    QTest::addColumn<QColor>("ink");
    QTest::addColumn<QColor>("paper");
    QTest::addColumn<QColor>("background");
    // Empty: the cells are copied from the face's atlas; else the set goes through a pane after these bytes.
    QTest::addColumn<QByteArray>("throughPane");
    const QColor silver(192, 192, 192);
    const QColor black(0, 0, 0);
    const QColor transparent(Qt::transparent);
    QTest::newRow("silver on black") << silver << black << black << QByteArray();
    QTest::newRow("over filled cells, transparent paper") << silver << transparent << black << QByteArray();
    QTest::newRow("reverse video") << black << silver << silver << QByteArray();
    QTest::newRow("yellow over a navy cell") << QColor(255, 255, 0) << transparent << QColor(0, 0, 128) << QByteArray();
    QTest::newRow("through the pane") << silver << black << black << QByteArray("\x1b[?25l");
    QTest::newRow("through the pane, reverse video") << black << silver << silver << QByteArray("\x1b[?25l\x1b[7m");
    QTest::newRow("through the pane, bold")
        << QColor(255, 255, 255) << black << black << QByteArray("\x1b[?25l\x1b[1m");
}

void ApdTerminalTest::thePrintableAsciiSetIsDrawnInTwoColoursAndEveryGlyphStandsApart()
{
    QFETCH(QColor, ink);
    QFETCH(QColor, paper);
    QFETCH(QColor, background);
    QFETCH(QByteArray, throughPane);
    constexpr int kWidth = AsciiFace::kWidth;
    constexpr int kHeight = AsciiFace::kHeight;
    constexpr int kPerRow = 16;
    // The 95 glyphs, 16 cells to a row, copied from the atlas as a painter copies cells, or drawn by the pane
    // as six lines of sixteen characters.
    QImage canvas(kPerRow * kWidth, 6 * kHeight, QImage::Format_ARGB32_Premultiplied);
    canvas.fill(background);
    if (!throughPane.isEmpty()) {
        TApdTerminal pane;
        pane.setFixedSize(pane.sizeHint());
        QByteArray set = throughPane;
        for (int i = 0; i < AsciiFace::kCount; ++i)
            set += QByteArray(1, static_cast<char>(AsciiFace::kFirst + static_cast<char32_t>(i)))
                + (i % kPerRow == kPerRow - 1 ? "\r\n" : "");
        pane.receive(set);
        canvas = pane.grab().toImage().copy(canvas.rect());
    } else {
        QPainter painter(&canvas);
        const QImage atlas = AsciiFace::atlas(ink, paper);
        for (int i = 0; i < AsciiFace::kCount; ++i)
            painter.drawImage(QPoint(i % kPerRow * kWidth, i / kPerRow * kHeight), atlas,
                              AsciiFace::atlasRect(AsciiFace::kFirst + static_cast<char32_t>(i)));
    }

    QSet<QRgb> colours;
    std::vector<std::bitset<static_cast<std::size_t>(kWidth) * kHeight>> cells(AsciiFace::kCount);
    for (int i = 0; i < AsciiFace::kCount; ++i) {
        const char32_t c = AsciiFace::kFirst + static_cast<char32_t>(i);
        const char letter = static_cast<char>(c);
        int top = kHeight;
        int bottom = -1;
        for (int y = 0; y < kHeight; ++y) {
            for (int x = 0; x < kWidth; ++x) {
                const QRgb pixel = canvas.pixel(i % kPerRow * kWidth + x, i / kPerRow * kHeight + y);
                colours.insert(pixel);
                const bool lit = pixel == ink.rgb();
                QVERIFY2(
                    lit == AsciiFace::ink(c, x, y),
                    qPrintable(QStringLiteral("'%1' at %2,%3 is not as the face has it").arg(letter).arg(x).arg(y)));
                const int bit = y * kWidth + x;
                cells[static_cast<std::size_t>(i)][static_cast<std::size_t>(bit)] = lit;
                if (lit) {
                    top = std::min(top, y);
                    bottom = std::max(bottom, y);
                }
                QVERIFY2(!lit || (y > 0 && x < kWidth - 1),
                         qPrintable(QStringLiteral("'%1' has ink in the blank top row or gap column").arg(letter)));
            }
        }
        // One baseline and one x-height for the whole face; descenders end inside the cell.
        const auto rows = [&](int expectedTop, int expectedBottom, const char* what) {
            QVERIFY2(top == expectedTop && bottom == expectedBottom,
                     qPrintable(QStringLiteral("'%1' (%2) spans rows %3..%4, expected %5..%6")
                                    .arg(letter)
                                    .arg(what)
                                    .arg(top)
                                    .arg(bottom)
                                    .arg(expectedTop)
                                    .arg(expectedBottom)));
        };
        if ((QChar::isUpper(c) && c != U'Q') || QChar::isDigit(c))
            rows(AsciiFace::kCapTop, AsciiFace::kBaseline - 1, "capital or digit");
        else if (QByteArrayView("acemnorsuvwxz").contains(letter))
            rows(AsciiFace::kXHeightTop, AsciiFace::kBaseline - 1, "x-height");
        else if (QByteArrayView("gpqy").contains(letter))
            rows(AsciiFace::kXHeightTop, kHeight - 1, "descender");
    }
    const QSet<QRgb> two{ink.rgb(), background.rgb()};
    QVERIFY2(colours == two,
             qPrintable(QStringLiteral("%1 colours in the cells, where only the text and its background belong")
                            .arg(colours.size())));
    for (int a = 0; a < AsciiFace::kCount; ++a) {
        for (int b = a + 1; b < AsciiFace::kCount; ++b) {
            const auto apart = (cells[static_cast<std::size_t>(a)] ^ cells[static_cast<std::size_t>(b)]).count();
            QVERIFY2(apart >= AsciiFace::kMinDistance,
                     qPrintable(QStringLiteral("'%1' and '%2' differ in only %3 pixels")
                                    .arg(QChar(0x20 + a))
                                    .arg(QChar(0x20 + b))
                                    .arg(apart)));
        }
    }
}

namespace {

const QColor kSilver(192, 192, 192);
const QColor kBlack(0, 0, 0);

// One cell of the face or its line-drawing set, pixel for pixel, as the pane should draw it.
QImage faceCell(const AsciiFace::Rows& rows, const QColor& ink = kSilver, const QColor& paper = kBlack)
{
    QImage cell(AsciiFace::kWidth, AsciiFace::kHeight, QImage::Format_RGB32);
    for (int y = 0; y < AsciiFace::kHeight; ++y)
        for (int x = 0; x < AsciiFace::kWidth; ++x)
            cell.setPixel(x, y, ((rows[size_t(y)] >> (AsciiFace::kWidth - 1 - x)) & 1U ? ink : paper).rgb());
    return cell;
}

QImage beside(const QImage& left, const QImage& right, bool below = false)
{
    QImage both(below ? left.width() : left.width() + right.width(),
                below ? left.height() + right.height() : left.height(), QImage::Format_RGB32);
    QPainter painter(&both);
    painter.drawImage(0, 0, left);
    painter.drawImage(below ? 0 : left.width(), below ? left.height() : 0, right);
    return both;
}

} // namespace

void ApdTerminalTest::theSameBytesAreDrawnAsXtermDrawsThem_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QImage>("expected"); // the pane's top left corner
    const QByteArray noCursor("\x1b[?25l");
    const QImage line = faceCell(AsciiFace::graphic(U'─'));
    QTest::newRow("q after ESC 8 is a line") << "\x1b(0\0337\x1b(B\0338q" + noCursor << line;
    const std::pair<char, char32_t> pictures[]
        = {{'b', U'␉'}, {'c', U'␌'}, {'d', U'␍'}, {'e', U'␊'}, {'h', U'␤'}, {'i', U'␋'}};
    for (const auto& [code, picture] : pictures)
        QTest::addRow("the control picture of %c", code)
            << "\x1b(0" + QByteArray(1, code) + noCursor << faceCell(AsciiFace::graphic(picture));
    QTest::newRow("0x5F is a blank in line drawing") << "\x1b(0_" + noCursor << faceCell(AsciiFace::Rows{});
    QTest::newRow("horizontal lines join") << "\x1b(0qq" + noCursor << beside(line, line);
    const QImage bar = faceCell(AsciiFace::graphic(U'│'));
    QTest::newRow("vertical lines join") << "\x1b(0x\r\nx" + noCursor << beside(bar, bar, true);
    const QImage a = faceCell(AsciiFace::glyph(U'A'));
    QTest::newRow("a double-width line draws its cells twice as wide")
        << "\x1b#6A" + noCursor << a.scaled(16, 12, Qt::IgnoreAspectRatio, Qt::FastTransformation);
    QTest::newRow("a double-height line draws its top half twice as large")
        << "\x1b#3A" + noCursor << a.copy(0, 0, 8, 6).scaled(16, 12, Qt::IgnoreAspectRatio, Qt::FastTransformation);
    QTest::newRow("and its bottom half") << "\x1b#4A"
            + noCursor << a.copy(0, 6, 8, 6).scaled(16, 12, Qt::IgnoreAspectRatio, Qt::FastTransformation);
    QImage cursor = faceCell(AsciiFace::Rows{}, kBlack, kSilver);
    for (int y = AsciiFace::kHeight - 2; y < AsciiFace::kHeight; ++y)
        for (int x = 0; x < AsciiFace::kWidth; ++x)
            cursor.setPixel(x, y, kBlack.rgb());
    QTest::newRow("the cursor shows on a reversed screen") << QByteArray("\x1b[?5h") << cursor;
    QTest::newRow("the cursor shows on reverse video") << QByteArray("\x1b[7m \x1b[D") << cursor;
}

void ApdTerminalTest::theSameBytesAreDrawnAsXtermDrawsThem()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QImage, expected);
    TApdTerminal pane;
    pane.setFixedSize(pane.sizeHint());
    pane.receive(bytes);
    const QImage drawn = pane.grab().toImage().copy(expected.rect()).convertToFormat(QImage::Format_RGB32);
    for (int y = 0; y < expected.height(); ++y)
        for (int x = 0; x < expected.width(); ++x)
            QVERIFY2(drawn.pixel(x, y) == expected.pixel(x, y),
                     qPrintable(QStringLiteral("pixel %1,%2 is %3, expected %4")
                                    .arg(x)
                                    .arg(y)
                                    .arg(drawn.pixel(x, y), 8, 16)
                                    .arg(expected.pixel(x, y), 8, 16)));
}

void ApdTerminalTest::theCursorBlinksOnlyWhileTheWindowIsShownAndActive()
{
    QVERIFY2(m_pane->isBlinking(), "the cursor does not blink in the active window");
    m_form->hide();
    QVERIFY2(!m_pane->isBlinking(), "the cursor still blinks in a hidden window");
    m_form->show();
    // The offscreen platform does not hand activation back to a window shown again; ask for it.
    QApplication::setActiveWindow(m_form.get());
    QVERIFY2(QTest::qWaitForWindowActive(m_form.get()), "the window did not become active again");
    QVERIFY2(m_pane->isBlinking(), "the cursor does not blink again once the window is back");
}

namespace {

QByteArray numberedLines(int count)
{
    QByteArray out;
    for (int i = 0; i < count; ++i)
        out += "line " + QByteArray::number(100 + i) + "\r\n";
    return out;
}

QPoint cellCentre(int column, int row)
{
    return {column * TApdTerminal::kCellWidth + TApdTerminal::kCellWidth / 2,
            row * TApdTerminal::kCellHeight + TApdTerminal::kCellHeight / 2};
}

void wheel(QWidget* widget, int notches)
{
    const QPoint at(100, 100);
    QWheelEvent event(at, widget->mapToGlobal(at), QPoint(), QPoint(0, notches * 120), Qt::NoButton, Qt::NoModifier,
                      Qt::NoScrollPhase, false);
    QCoreApplication::sendEvent(widget, &event);
}

} // namespace

void ApdTerminalTest::theScrollBackHoldsTheViewUntilTheOperatorReturns_data()
{
    QTest::addColumn<QString>("back");
    QTest::addColumn<int>("returnKey");
    QTest::addColumn<int>("returnModifiers");
    QTest::addColumn<QByteArray>("returnSends");
    QTest::addColumn<int>("presses");
    const int shift = Qt::ShiftModifier;
    QTest::newRow("Shift+PgUp, then typing") << "page" << int(Qt::Key_A) << 0 << QByteArray("a") << 1;
    QTest::newRow("Shift+PgUp, then Shift+End") << "page" << int(Qt::Key_End) << shift << QByteArray() << 1;
    // Back 20 lines and 5 more held the view: two pages down reach the bottom.
    QTest::newRow("Shift+PgUp, then Shift+PgDn twice") << "page" << int(Qt::Key_PageDown) << shift << QByteArray()
                                                       << 2;
    QTest::newRow("wheel, then Enter") << "wheel" << int(Qt::Key_Return) << 0 << QByteArray("\r") << 1;
    QTest::newRow("wheel, then Shift+End") << "wheel" << int(Qt::Key_End) << shift << QByteArray() << 1;
}

void ApdTerminalTest::theScrollBackHoldsTheViewUntilTheOperatorReturns()
{
    QFETCH(QString, back);
    QFETCH(int, returnKey);
    QFETCH(int, returnModifiers);
    QFETCH(QByteArray, returnSends);
    QFETCH(int, presses);
    m_line->send(numberedLines(60));
    settle();
    if (back == QLatin1String("page"))
        QTest::keyClick(m_pane, Qt::Key_PageUp, Qt::ShiftModifier);
    else
        wheel(m_pane, 3);
    const int scrolled = m_pane->scrollBack();
    QVERIFY2(scrolled > 0, "the view did not go back");
    QVERIFY2(m_line->collectFor(100).isEmpty(), "scrolling back sent something to the target");
    const QString top = m_pane->screen().lineText(-scrolled);
    QVERIFY2(top.startsWith(QLatin1String("line ")), qPrintable(top));

    // More arrives: the view stays on the same text, and the marker shows it is not at the bottom.
    m_line->send(numberedLines(5));
    settle();
    QVERIFY2(m_pane->scrollBack() == scrolled + 5,
             qPrintable(QStringLiteral("the view moved from %1 to %2 lines back").arg(scrolled).arg(m_pane->scrollBack())));
    QCOMPARE(m_pane->screen().lineText(-m_pane->scrollBack()), top);
    const QImage marked = m_pane->grab().toImage();
    int lit = 0;
    for (int x = m_pane->width() - 40; x < m_pane->width() - 4; ++x)
        lit += qGray(marked.pixel(x, 4)) > 128 ? 1 : 0;
    QVERIFY2(lit > 20, "no marker in the top right corner while the view is back");

    for (int i = 0; i < presses; ++i)
        QTest::keyClick(m_pane, Qt::Key(returnKey), Qt::KeyboardModifiers(returnModifiers));
    QVERIFY2(m_pane->scrollBack() == 0, "the view did not come back to the bottom");
    const QByteArray sent = m_line->collectFor(100);
    QVERIFY2(sent == returnSends, qPrintable(QStringLiteral("returning sent '%1'").arg(QString::fromLatin1(sent.toHex(' ')))));
}

void ApdTerminalTest::aDragSelectsWholeCellsInReadingOrder_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("pagesBack");
    QTest::addColumn<QPoint>("from");
    QTest::addColumn<QPoint>("to");
    QTest::addColumn<bool>("doubleClick");
    QTest::addColumn<QString>("expected");
    QTest::newRow("within a line") << "hello world" << 0 << QPoint(0, 0) << QPoint(4, 0) << false << "hello";
    QTest::newRow("backwards") << "hello world" << 0 << QPoint(10, 0) << QPoint(6, 0) << false << "world";
    QTest::newRow("from the right half of a syllable to the left half of the next")
        << QStringLiteral("가나다") << 0 << QPoint(1, 0) << QPoint(2, 0) << false << QStringLiteral("가나");
    QTest::newRow("ending on the left half of a syllable takes it whole")
        << QStringLiteral("ab가c") << 0 << QPoint(0, 0) << QPoint(2, 0) << false << QStringLiteral("ab가");
    QTest::newRow("across line ends, trailing blanks dropped")
        << QStringLiteral("abc   \r\ndef") << 0 << QPoint(1, 0) << QPoint(1, 1) << false << "bc\nde";
    QTest::newRow("out of the scroll-back")
        << QString::fromLatin1(numberedLines(40)) << 1 << QPoint(0, 0) << QPoint(7, 1) << false
        << "line 100\nline 101";
    QTest::newRow("from the scroll-back onto the screen")
        << QString::fromLatin1(numberedLines(40)) << 1 << QPoint(5, 19) << QPoint(7, 20) << false
        << "119\nline 120";
    QTest::newRow("a double click takes a word") << "ROBOT> mem 1000" << 0 << QPoint(8, 0) << QPoint() << true
                                                 << "mem";
    QTest::newRow("a double click on the right half of Hangul takes the word")
        << QStringLiteral("명령 전진 끝") << 0 << QPoint(8, 0) << QPoint() << true << QStringLiteral("전진");
}

void ApdTerminalTest::aDragSelectsWholeCellsInReadingOrder()
{
    QFETCH(QString, text);
    QFETCH(int, pagesBack);
    QFETCH(QPoint, from);
    QFETCH(QPoint, to);
    QFETCH(bool, doubleClick);
    QFETCH(QString, expected);
    m_line->send(cp949Encode(text));
    settle();
    for (int i = 0; i < pagesBack; ++i)
        QTest::keyClick(m_pane, Qt::Key_PageUp, Qt::ShiftModifier);
    if (doubleClick) {
        QTest::mouseDClick(m_pane, Qt::LeftButton, Qt::NoModifier, cellCentre(from.x(), from.y()));
    } else {
        QTest::mousePress(m_pane, Qt::LeftButton, Qt::NoModifier, cellCentre(from.x(), from.y()));
        QTest::mouseMove(m_pane, cellCentre((from.x() + to.x()) / 2, (from.y() + to.y()) / 2));
        QTest::mouseMove(m_pane, cellCentre(to.x(), to.y()));
        QTest::mouseRelease(m_pane, Qt::LeftButton, Qt::NoModifier, cellCentre(to.x(), to.y()));
    }
    QCOMPARE(m_pane->selectedText(), expected);
    if (QGuiApplication::clipboard()->supportsSelection())
        QCOMPARE(QGuiApplication::clipboard()->text(QClipboard::Selection), expected);
    QVERIFY2(m_line->collectFor(100).isEmpty(), "selecting sent something to the target");
}

void ApdTerminalTest::theSelectionIsCopiedByItsKeysAndNothingReachesTheLine_data()
{
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("modifiers");
    QTest::addColumn<bool>("copies");
    QTest::addColumn<QByteArray>("sends");
    QTest::newRow("Ctrl+Shift+C") << int(Qt::Key_C) << int(Qt::ControlModifier | Qt::ShiftModifier) << true
                                  << QByteArray();
    QTest::newRow("Ctrl+Insert") << int(Qt::Key_Insert) << int(Qt::ControlModifier) << true << QByteArray();
    QTest::newRow("Ctrl+C is still the interrupt") << int(Qt::Key_C) << int(Qt::ControlModifier) << false
                                                   << QByteArray("\x03");
}

void ApdTerminalTest::theSelectionIsCopiedByItsKeysAndNothingReachesTheLine()
{
    QFETCH(int, key);
    QFETCH(int, modifiers);
    QFETCH(bool, copies);
    QFETCH(QByteArray, sends);
    m_line->send(cp949Encode(QStringLiteral("주소 8000: 전진 OK\r\n")));
    settle();
    QGuiApplication::clipboard()->setText(QStringLiteral("before"));
    QTest::mousePress(m_pane, Qt::LeftButton, Qt::NoModifier, cellCentre(0, 0));
    QTest::mouseMove(m_pane, cellCentre(17, 0));
    QTest::mouseRelease(m_pane, Qt::LeftButton, Qt::NoModifier, cellCentre(17, 0));
    QTest::keyClick(m_pane, Qt::Key(key), Qt::KeyboardModifiers(modifiers));
    const QString clipboard = QGuiApplication::clipboard()->text();
    QVERIFY2(clipboard == (copies ? QStringLiteral("주소 8000: 전진 OK") : QStringLiteral("before")),
             qPrintable(QStringLiteral("the clipboard holds '%1'").arg(clipboard)));
    const QByteArray sent = m_line->collectFor(100);
    QVERIFY2(sent == sends, qPrintable(QStringLiteral("the key sent '%1'").arg(QString::fromLatin1(sent.toHex(' ')))));
}

void ApdTerminalTest::damageAndScrollPaintingMatchAFullRepaint_data()
{
    QTest::addColumn<QByteArray>("script");
    // Lone: pieces of one to three bytes, each after a quiet spell, as a key's echo comes; on an X server,
    // those of a few cells of the face are drawn ahead of their paint.
    QTest::addColumn<bool>("lone");
    // Cover: a widget of the window is moved over part of the pane for the script's middle third.
    QTest::addColumn<bool>("cover");
    QByteArray dump;
    for (int line = 0; line < 50; ++line)
        dump += QByteArray::number(0x8000 + line * 16, 16).toUpper() + ": 02 01 0A 75 ..u\r\n";
    QTest::newRow("a dump scrolling line by line") << dump << false << false;
    QTest::newRow("Hangul and colour scrolling")
        << QByteArray("\x1b[1;33m\xb8\xde\xb8\xf0\xb8\xae\x1b[0m ok\r\n").repeated(30) + "\x1b[7mrev\x1b[0m" << false
        << false;
    QTest::newRow("a scroll region with inserted and deleted lines") << QByteArray("top\r\n") + numberedLines(25)
            + "\x1b[5;15r\x1b[8;1H\x1b[2L\x1b[3Mxx\x1b[15;1H\n\n\nyy" + "\x1b[r\x1b[21;1H"
            + numberedLines(4) << false << false;
    QTest::newRow("reverse scrolling and inserted characters")
        << numberedLines(22) + "\x1b[1;1H\x1bM\x1bMabc\x1b[1;2H\x1b[3@\x1b[2P\x1b[10;5H\x1b[4@ZZ" << false << false;
    QTest::newRow("a clear in the middle") << numberedLines(30) + "\x1b[2J\x1b[H" + numberedLines(3) << false << false;
    QTest::newRow("double-width and double-height lines and line drawing scrolling")
        << QByteArray("\x1b#6wide line\r\n\x1b(0lqqk\x1b(B box\r\n\x1b#3tall\r\n\x1b#4tall\r\n").repeated(8)
            + "\x1b[3;1H\x1b#5narrow again\x1b[10;1H\x1b#6wide again\x1b[?5h"
        << false << false;
    QTest::newRow("an echo in colours, reverse, bold, underlined, line drawing, the cursor hidden")
        << QByteArray("ab\x1b[31;44mcd\x1b[7mef\x1b[0m\x1b[1mgh\x1b[4mij\x1b[0m\x1b(0qqxlk\x1b(Bkl\x1b[?25lmn"
                      "\x1b[?25hop\x1b[5Dq\x1b[2;60Hrstuvw")
        << true << false;
    QTest::newRow("an echo among Hangul, a double-width line and scrolling") << numberedLines(19)
            + "a\xb0\xa1"
              "b\xb8\xde c\x1b#6de\r\nfg\r\nhi\r\njk\x1b[1;1Hl\x1b[?5hmn\x1b[?5lo"
                                                                             << true << false;
    QTest::newRow("an echo with the cursor moving back and forth, next to double-width characters")
        << QByteArray("\xb0\xa1\xb3\xaa  ab\x08\x08xy\x1b[Cz\x1b[4D\x1b[3Cq\x08\x08\x08w \x1b[1;30Hst\x1b[1;29Hu\r\n"
                      "cd\x08\x08\x08\xb4\xd9\x08e\x1b[2X\x1b[Cf")
        << true << false;
    QTest::newRow("an echo with a widget of the window over the pane for a while")
        << QByteArray("echo \x1b[31mred\x1b[0m and back\x08\x08\x08\x08").repeated(4) << true << true;
}

namespace {

// The tallest rectangle that the pane painted to its window, grabs left out.
class TallestPaint : public QObject
{
public:
    bool counting = true;
    int height = 0;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Paint && counting)
            for (const QRect& area : static_cast<QPaintEvent*>(event)->region())
                height = std::max(height, area.height());
        return QObject::eventFilter(watched, event);
    }
};

} // namespace

void ApdTerminalTest::damageAndScrollPaintingMatchAFullRepaint()
{
    QFETCH(QByteArray, script);
    QFETCH(bool, lone);
    QFETCH(bool, cover);
    // One pane paints the script piece by piece, moving pixels and drawing what changed, in a window of its
    // own whose pixels make the same moves; the other is fresh and draws everything once. Their pictures, and
    // the window's own pixels, must agree to the pixel; so must the window's pixels just after each change
    // drawn ahead of its paint.
    QWidget window;
    const QPoint origin(3, 5); // the pane's place in its window
    window.setFixedSize(TApdTerminal().sizeHint() + QSize(2 * origin.x(), 2 * origin.y()));
    TApdTerminal stepwise(&window);
    stepwise.BlinkTime = 0; // the cursor stays on
    stepwise.setFixedSize(stepwise.sizeHint());
    stepwise.move(origin);
    // Opaque, in the window's corner outside the pane until it is moved over the pane.
    QWidget over(&window);
    over.setAutoFillBackground(true);
    over.setGeometry(0, 0, 2, 2);
    over.setVisible(cover);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QCoreApplication::processEvents();
    const auto windowPixels = [&] {
        return QGuiApplication::primaryScreen()
            ->grabWindow(window.winId(), origin.x(), origin.y(), stepwise.width(), stepwise.height())
            .toImage();
    };
    const auto differences = [](const QImage& a, const QImage& b, const char* which) {
        if (a.size() != b.size())
            return QStringLiteral("%1: %2x%3 against %4x%5")
                .arg(QLatin1String(which))
                .arg(a.width())
                .arg(a.height())
                .arg(b.width())
                .arg(b.height());
        int differing = 0;
        QPoint first(-1, -1);
        for (int y = 0; y < a.height(); ++y)
            for (int x = 0; x < a.width(); ++x)
                if (a.pixel(x, y) != b.pixel(x, y) && differing++ == 0)
                    first = QPoint(x, y);
        if (differing == 0)
            return QString();
        return QStringLiteral("%1 pixels differ (%2), the first at %3,%4 (cell %5,%6)")
            .arg(differing)
            .arg(QLatin1String(which))
            .arg(first.x())
            .arg(first.y())
            .arg(first.x() / TApdTerminal::kCellWidth)
            .arg(first.y() / TApdTerminal::kCellHeight);
    };
    // Every change, a clear and a screen of text too, goes to the window in rectangles no taller than a band.
    TallestPaint tallest;
    stepwise.installEventFilter(&tallest);
    QRandomGenerator random(1313); // fixed seed: a failure names its row and repeats
    for (qsizetype at = 0; at < script.size();) {
        const qsizetype piece = lone ? 1 + random.bounded(3) : 1 + random.bounded(40);
        const bool covered = cover && at >= script.size() / 3 && at < 2 * script.size() / 3;
        const QRect overAt = covered ? QRect(origin + QPoint(30, 20), QSize(50, 30)) : QRect(0, 0, 2, 2);
        if (over.geometry() != overAt) {
            over.setGeometry(overAt);
            QCoreApplication::processEvents();
        }
        const quint64 drawnAhead = stepwise.drawnAheadCount();
        stepwise.receive(script.mid(at, piece));
        at += piece;
        QVERIFY2(!covered || stepwise.drawnAheadCount() == drawnAhead,
                 qPrintable(QStringLiteral("at byte %1: drawn ahead with a widget over the pane").arg(at)));
        if (stepwise.drawnAheadCount() != drawnAhead) {
            // Compared before the paint that follows it has run.
            tallest.counting = false;
            const QString wrong = differences(windowPixels(), stepwise.grab().toImage(), "drawn ahead");
            tallest.counting = true;
            QVERIFY2(wrong.isEmpty(), qPrintable(QStringLiteral("at byte %1: %2").arg(at).arg(wrong)));
        }
        if (lone) {
            QTest::qWait(TApdTerminal::kQuietMs + 2);
            continue;
        }
        // Pieces within one paint interval, after it, and with the window painted between moves and flush.
        switch (random.bounded(8)) {
        case 0:
            tallest.counting = false;
            (void)stepwise.grab();
            tallest.counting = true;
            break;
        case 1:
            stepwise.update(random.bounded(stepwise.width()), random.bounded(stepwise.height()), 16, 12);
            QCoreApplication::processEvents();
            break;
        case 2:
            QCoreApplication::processEvents();
            break;
        default:
            QTest::qWait(TApdTerminal::kMinPaintIntervalMs + 2);
        }
    }
    QTRY_VERIFY(!stepwise.hasPendingPaint());
    QCoreApplication::processEvents();
    stepwise.removeEventFilter(&tallest);
    QVERIFY2(tallest.height <= TApdTerminal::kFlushBandHeight, qPrintable(QString::number(tallest.height)));
    TApdTerminal whole;
    whole.setFixedSize(whole.sizeHint());
    whole.receive(script);
    const QImage b = whole.grab().toImage();
    QVERIFY2(stepwise.screen().rowText(0) == whole.screen().rowText(0), "the two panes hold different text");
    const std::pair<QImage, const char*> pictures[]
        = {{stepwise.grab().toImage(), "a fresh paint"}, {windowPixels(), "the window"}};
    for (const auto& [a, which] : pictures) {
        const QString wrong = differences(a, b, which);
        QVERIFY2(wrong.isEmpty(), qPrintable(wrong));
    }
    // On an X server the echo's letters are drawn ahead; nowhere else is anything.
    const bool onX = QGuiApplication::platformName() == QStringLiteral("xcb");
    QVERIFY2(onX && lone ? stepwise.drawnAheadCount() > 0 : stepwise.drawnAheadCount() == 0,
             qPrintable(QString::number(stepwise.drawnAheadCount())));
}

namespace {

enum class Place {
    Folder,
    DiskFull,
    FolderGone
};

// Answers the capture's and the saving's dialogs as the operator would: the file dialog with `path`, the
// question about an existing file with the button named `answer` (none: the test fails on a question).
class TextFileAnswerer : public QObject
{
public:
    TextFileAnswerer(QString path, QString answer) : m_path(std::move(path)), m_answer(std::move(answer))
    {
        connect(&m_poll, &QTimer::timeout, this, [this] { respond(); });
        m_poll.start(10);
    }

    QString offered; // the name in the dialog's name field when it opened
    QString question; // the button pressed on a question, "" when none came

private:
    void respond()
    {
        QWidget* modal = QApplication::activeModalWidget();
        if (auto* dialog = qobject_cast<QFileDialog*>(modal)) {
            if (offered.isEmpty() && !dialog->selectedFiles().isEmpty())
                offered = dialog->selectedFiles().constFirst();
            // Typed into the name field, as the operator does: selectFile() leaves a field with the focus alone.
            const QFileInfo chosen(m_path);
            dialog->setDirectory(chosen.absolutePath());
            if (auto* name = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit")))
                name->setText(chosen.fileName());
            static_cast<QDialog*>(dialog)->accept();
        } else if (auto* box = qobject_cast<QMessageBox*>(modal)) {
            for (QAbstractButton* button : box->buttons()) {
                const bool named = button->objectName() == m_answer;
                const bool yes
                    = m_answer == QStringLiteral("overwrite") && box->standardButton(button) == QMessageBox::Yes;
                if (named || yes) {
                    question = m_answer;
                    button->click();
                    return;
                }
            }
            question = QStringLiteral("unexpected");
            box->reject();
        }
    }

    QTimer m_poll;
    QString m_path;
    QString m_answer;
};

} // namespace

void ApdTerminalTest::theCaptureKeepsWhatThePaneShowsAndSendsNothing_data()
{
    QTest::addColumn<QString>("name"); // in a folder of the test's own
    QTest::addColumn<QByteArray>("prior"); // the file's bytes before; null: no file
    QTest::addColumn<QString>("answer"); // to the question about an existing file; empty: none comes
    QTest::addColumn<int>("place"); // Place
    QTest::addColumn<QByteArray>("received"); // from the line while capturing
    QTest::addColumn<int>("flood"); // bytes a second handed to the pane for two seconds besides
    QTest::addColumn<QByteArray>("expected"); // the file's bytes after the stop
    QTest::addColumn<QString>("failure"); // a part of the message that stops the capture; empty: none
    QTest::addColumn<bool>("save"); // Ctrl+Shift+S saves the pane once, instead of a capture

    const QByteArray none;
    const int folder = int(Place::Folder);
    QTest::newRow("on and off: the lines as the pane shows them")
        << "APD.CAP" << none << "" << folder << QByteArray("MONITOR\r\nROBOT> h\r\n\x1b[1mBOLD\x1b[0m x\r\nROBOT> ")
        << 0 << QByteArray("MONITOR\nROBOT> h\nBOLD x\nROBOT>\n") << "" << false;
    QTest::newRow("an existing file is appended to")
        << "APD.CAP" << QByteArray("old\n") << "append" << folder << QByteArray("new\r\n") << 0
        << QByteArray("old\nnew\n") << "" << false;
    QTest::newRow("or overwritten when the operator says so")
        << "APD.CAP" << QByteArray("old\n") << "overwrite" << folder << QByteArray("new\r\n") << 0
        << QByteArray("new\n") << "" << false;
    QTest::newRow("Korean text, as UTF-8, under a Korean name")
        << QStringLiteral("기록.CAP") << none << "" << folder
        << cp949Encode(QStringLiteral("메모리 테스트 OK\r\n주소 8000: 전진\r\n")) << 0
        << QStringLiteral("메모리 테스트 OK\n주소 8000: 전진\n").toUtf8() << "" << false;
    QTest::newRow("no escape sequences; line drawing as its characters")
        << "APD.CAP" << none << "" << folder << QByteArray("\x1b[31mred\x1b[0m\x1b[K\r\n\x1b(0lqk\x1b(B box\r\n") << 0
        << QStringLiteral("red\n┌─┐ box\n").toUtf8() << "" << false;
    QTest::newRow("a line written over, as it ended")
        << "APD.CAP" << none << "" << folder << QByteArray("50%\r100%\r\n") << 0 << QByteArray("100%\n") << "" << false;
    QTest::newRow("a line longer than the pane, as it wraps")
        << "APD.CAP" << none << "" << folder << QByteArray(70, 'x') + "\r\n"
        << 0 << QByteArray(62, 'x') + "\n" + QByteArray(8, 'x') + "\n"
        << "" << false;
    QTest::newRow("a full disk stops it with a message")
        << "full.CAP" << none << "append" << int(Place::DiskFull) << QByteArray("lost\r\n") << 0 << none
        << QStringLiteral("디스크에 빈 공간이 없습니다") << false;
    QTest::newRow("a vanished folder stops it with a message")
        << "APD.CAP" << none << "" << int(Place::FolderGone) << QByteArray("lost\r\n") << 0 << none
        << QStringLiteral("지워졌거나 옮겨졌습니다") << false;
    QTest::newRow("a flood of 1 MB a second, kept whole and bounded")
        << "APD.CAP" << none << "" << folder << QByteArray("start\r\n") << 1024 * 1024 << QByteArray("start\n") << ""
        << false;
    QTest::newRow("saving the scroll-back and the screen")
        << "APD.TXT" << none << "" << folder << numberedLines(40) + "ROBOT> " << 0
        << QByteArray(numberedLines(40) + "ROBOT>\n").replace("\r\n", "\n") << "" << true;
    QTest::newRow("saving over an existing file") << "APD.TXT" << QByteArray("old\n") << "overwrite" << folder
                                                  << QByteArray("new\r\n") << 0 << QByteArray("new\n") << "" << true;
    QTest::newRow("saving to a full disk says so")
        << "full.TXT" << none << "overwrite" << int(Place::DiskFull) << QByteArray("lost\r\n") << 0 << none
        << QStringLiteral("디스크에 빈 공간이 없습니다") << true;
}

void ApdTerminalTest::theCaptureKeepsWhatThePaneShowsAndSendsNothing()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, prior);
    QFETCH(QString, answer);
    QFETCH(int, place);
    QFETCH(QByteArray, received);
    QFETCH(int, flood);
    QFETCH(QByteArray, expected);
    QFETCH(QString, failure);
    QFETCH(bool, save);

    QTemporaryDir scratch;
    QVERIFY2(scratch.isValid(), "could not make a folder");
    const QString folder = scratch.filePath(QStringLiteral("captures"));
    QVERIFY2(QDir().mkpath(folder), "could not make a folder");
    const QString path = QDir(folder).filePath(name);
    if (Place(place) == Place::DiskFull)
        QVERIFY2(QFile::link(QStringLiteral("/dev/full"), path), "could not link to /dev/full");
    if (!prior.isNull()) {
        QFile file(path);
        QVERIFY2(file.open(QIODevice::WriteOnly) && file.write(prior) == prior.size(), "could not write the file");
    }
    QSignalSpy captureFailed(m_pane, &TApdTerminal::captureFailed);
    QSignalSpy captureFinished(m_pane, &TApdTerminal::captureFinished);
    QSignalSpy saved(m_pane, &TApdTerminal::savedText);
    QSignalSpy saveFailed(m_pane, &TApdTerminal::saveFailed);
    const auto messageBox = [this](const char* boxName) {
        auto* box = m_form->findChild<QMessageBox*>(QString::fromLatin1(boxName));
        return box != nullptr && box->isVisible() ? box->text() : QString();
    };

    const QByteArray plainCtrlL = "\x0c";
    if (save) {
        m_line->send(received);
        settle();
        TextFileAnswerer answerer(path, answer);
        QTest::keyClick(m_pane, Qt::Key_S, Qt::ControlModifier | Qt::ShiftModifier);
        QVERIFY2(answerer.offered.endsWith(QStringLiteral("/APD.TXT")),
                 qPrintable(QStringLiteral("the dialog offered '%1'").arg(answerer.offered)));
        QCOMPARE(answerer.question, answer);
        QVERIFY2(QTest::qWaitFor([&] { return saved.size() + saveFailed.size() > 0; }, 5000), "the saving never ended");
    } else {
        TextFileAnswerer answerer(path, answer);
        QTest::keyClick(m_pane, Qt::Key_L, Qt::ControlModifier | Qt::ShiftModifier);
        QVERIFY2(answerer.offered.endsWith(QStringLiteral("/APD.CAP")),
                 qPrintable(QStringLiteral("the dialog offered '%1'").arg(answerer.offered)));
        QCOMPARE(answerer.question, answer);
        QVERIFY2(m_pane->isCapturing(), "Ctrl+Shift+L did not start the capture");
        // The offscreen platform does not hand activation back to the window once the dialog closes.
        QApplication::setActiveWindow(m_form.get());
        QVERIFY2(QTest::qWaitForWindowActive(m_form.get()), "the window did not become active again");
        m_line->send(received);
        settle();
        if (Place(place) == Place::FolderGone)
            QVERIFY2(QDir(folder).removeRecursively(), "could not remove the folder");
        qsizetype mostPending = 0;
        if (flood > 0) {
            // Handed to the pane as the port hands it, in pieces every 16 ms, for two seconds.
            const QByteArray line = QByteArray("0123456789ABCDEF").repeated(4).left(61) + "\r\n";
            const qsizetype lines = flood / 60 / line.size();
            QElapsedTimer clock;
            clock.start();
            for (int tick = 0; tick < 120; ++tick) {
                m_pane->receive(line.repeated(lines));
                mostPending = std::max(mostPending, m_pane->capturePending());
                QTest::qWait(std::max<int>(0, int(qint64{tick + 1} * 16 - clock.elapsed())));
            }
            expected += QByteArray(line.left(61) + "\n").repeated(120 * lines);
        }
        if (!failure.isEmpty())
            QVERIFY2(QTest::qWaitFor([&] { return !captureFailed.isEmpty(); }, 5000),
                     "the capture went on without its file");
        else
            QTest::keyClick(m_pane, Qt::Key_L, Qt::ControlModifier | Qt::ShiftModifier);
        QVERIFY2(!m_pane->isCapturing(), "the capture did not stop");
        m_line->send("after the stop\r\n");
        settle();
        if (failure.isEmpty())
            QVERIFY2(QTest::qWaitFor([&] { return !captureFinished.isEmpty(); }, 5000),
                     "the capture file was never closed");
        QVERIFY2(mostPending < qsizetype{1024} * 1024,
                 qPrintable(QStringLiteral("%1 bytes waited for the disk").arg(mostPending)));
    }

    if (failure.isEmpty()) {
        QFile file(path);
        QVERIFY2(file.open(QIODevice::ReadOnly),
                 qPrintable(QStringLiteral("the file is not there; the folder holds %1")
                                .arg(QDir(folder).entryList(QDir::Files).join(u' '))));
        const QByteArray written = file.readAll();
        QVERIFY2(written == expected,
                 qPrintable(QStringLiteral("the file holds %1 bytes: '%2'")
                                .arg(written.size())
                                .arg(QString::fromUtf8(written.right(300)))));
    } else {
        const QString told = messageBox(save ? "SaveTextFailure" : "CaptureFailure");
        QVERIFY2(told.contains(failure), qPrintable(QStringLiteral("the message reads '%1'").arg(told)));
        QVERIFY2(told.contains(name), qPrintable(QStringLiteral("the message does not name the file: '%1'").arg(told)));
        // What the pane shows is untouched, and it goes on showing what arrives.
        QVERIFY2(m_pane->screen().allText().contains(QStringLiteral("lost")), "the pane lost what it showed");
        m_line->send("still here\r\n");
        settle();
        QVERIFY2(m_pane->screen().allText().contains(QStringLiteral("still here")),
                 "the pane stopped showing the line");
    }
    // Neither the keys, the dialogs nor the file ever reach the robot; Ctrl+L without Shift still does.
    QVERIFY2(m_line->collectFor(100).isEmpty(), "the capture or the saving sent something to the target");
    QTest::keyClick(m_pane, Qt::Key_L, Qt::ControlModifier);
    QCOMPARE(m_line->waitForBytes(1), plainCtrlL);
}

QTEST_MAIN(ApdTerminalTest)
#include "tst_apdterminal.moc"
