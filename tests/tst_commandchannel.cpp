// The command channel: each command puts exactly its one byte on the line and records itself in its panel;
// typed keys never take the room kept for it.

#include "app/statusbar.h"
#include "app/tform1.h"
#include "link/apdcomport.h"
#include "link/apdterminal.h"
#include "link/apdprotocol.h"
#include "tests/ptypair.h"

#include <QTemporaryFile>
#include <QTest>
#include <QToolButton>

#include <memory>

using Handler = void (TForm1::*)(QObject*);
Q_DECLARE_METATYPE(Handler)

namespace {

// Counts the paints a widget receives.
class PaintCounter : public QObject
{
public:
    explicit PaintCounter(QWidget* widget) { widget->installEventFilter(this); }
    int count = 0;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Paint)
            ++count;
        return QObject::eventFilter(watched, event);
    }
};

} // namespace

class CommandChannelTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void eachCommandPutsItsByteAndWritesOnlyItsPanel_data();
    void eachCommandPutsItsByteAndWritesOnlyItsPanel();
    void aClickOnTheRealButtonSendsItsCommand_data();
    void aClickOnTheRealButtonSendsItsCommand();
    void tenQuickClicksArriveAsTenBytesInOrder_data();
    void tenQuickClicksArriveAsTenBytesInOrder();
    void aFullOutputBufferDropsTheByteButShowsTheText();
    void typedKeysLeaveTheRoomKeptForStop();
    void thePortPanelReadsTheFixedTextAndTheOthersStartEmpty();

private:
    std::unique_ptr<PtyPair> m_line;
    std::unique_ptr<TForm1> m_form;
};

void CommandChannelTest::init()
{
    m_line = std::make_unique<PtyPair>();
    QVERIFY2(m_line->isValid(), "could not make a pseudo-terminal pair");
    m_form = std::make_unique<TForm1>(m_line->slavePath());
}

void CommandChannelTest::cleanup()
{
    m_form.reset();
    m_line.reset();
}

void CommandChannelTest::eachCommandPutsItsByteAndWritesOnlyItsPanel_data()
{
    QTest::addColumn<Handler>("handler");
    QTest::addColumn<char>("byte");
    QTest::addColumn<int>("panel");
    QTest::addColumn<QString>("text");

    QTest::newRow("SpeedButton1 forward") << &TForm1::SpeedButton1Click << 'F' << 1 << QStringLiteral("전진");
    QTest::newRow("SpeedButton2 left") << &TForm1::SpeedButton2Click << 'L' << 1 << QStringLiteral("좌회전");
    QTest::newRow("SpeedButton3 right") << &TForm1::SpeedButton3Click << 'R' << 1 << QStringLiteral("우회전");
    QTest::newRow("SpeedButton4 reverse") << &TForm1::SpeedButton4Click << 'B' << 1 << QStringLiteral("후진");
    QTest::newRow("SpeedButton5 stop") << &TForm1::SpeedButton5Click << 'S' << 1 << QStringLiteral("정지");
    QTest::newRow("H1 help") << &TForm1::H1Click << 'h' << 2 << QStringLiteral("도움말");
    QTest::newRow("MM1 memory test") << &TForm1::MM1Click << 'm' << 2 << QStringLiteral("메모리 테스트");
    QTest::newRow("CC1 memory clear") << &TForm1::CC1Click << 'c' << 2 << QStringLiteral("메모리 클리어");
    QTest::newRow("DD1 memory dump") << &TForm1::DD1Click << 'd' << 2 << QStringLiteral("메모리 덤프");
    QTest::newRow("LL1 downloading") << &TForm1::LL1Click << 'l' << 2 << QStringLiteral("프로그램 다운로딩");
    QTest::newRow("RR1 run") << &TForm1::RR1Click << 'r' << 2 << QStringLiteral("프로그램 실행");
    QTest::newRow("P1 port test") << &TForm1::P1Click << 'p' << 2 << QStringLiteral("포트 테스트");
    QTest::newRow("Q1 stop program") << &TForm1::Q1Click << 'q' << 2 << QStringLiteral("프로그램 실행 정지");
    QTest::newRow("SpeedButton6 cable") << &TForm1::SpeedButton6Click << 'l' << 2
                                        << QStringLiteral("프로그램 다운로딩");
    QTest::newRow("SpeedButton7 computer") << &TForm1::SpeedButton7Click << 'r' << 2
                                           << QStringLiteral("프로그램 실행");
    QTest::newRow("SpeedButton9 enter") << &TForm1::SpeedButton9Click << '\r' << 2 << QStringLiteral("엔터");
}

void CommandChannelTest::eachCommandPutsItsByteAndWritesOnlyItsPanel()
{
    QFETCH(Handler, handler);
    QFETCH(char, byte);
    QFETCH(int, panel);
    QFETCH(QString, text);

    const int otherPanel = panel == 1 ? 2 : 1;
    m_form->StatusBar1->setPanelText(otherPanel, QStringLiteral("untouched"));
    (m_form.get()->*handler)(nullptr);
    // No event loop runs between the handler and this wait: the byte is with the driver already, not
    // waiting for the loop's next turn behind a repaint.
    QVERIFY2(m_line->waitReadable(500), "the command's byte was not handed to the driver inside its handler");

    QCOMPARE(m_form->StatusBar1->panelText(panel), text);
    QVERIFY2(m_form->StatusBar1->panelText(otherPanel) == QStringLiteral("untouched"),
             "the command wrote into the other command panel");
    const QByteArray sent = m_line->waitForExactly(1);
    QVERIFY2(sent == QByteArray(1, byte),
             qPrintable(QStringLiteral("expected exactly one byte 0x%1 on the line, got '%2'")
                            .arg(static_cast<unsigned char>(byte), 2, 16, QLatin1Char('0'))
                            .arg(QString::fromLatin1(sent.toHex(' ')))));
}

void CommandChannelTest::aClickOnTheRealButtonSendsItsCommand_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<QByteArray>("byte");
    QTest::newRow("up") << QStringLiteral("SpeedButton1") << QByteArray("F");
    QTest::newRow("left") << QStringLiteral("SpeedButton2") << QByteArray("L");
    QTest::newRow("right") << QStringLiteral("SpeedButton3") << QByteArray("R");
    QTest::newRow("down") << QStringLiteral("SpeedButton4") << QByteArray("B");
    QTest::newRow("stop") << QStringLiteral("SpeedButton5") << QByteArray("S");
    QTest::newRow("cable") << QStringLiteral("SpeedButton6") << QByteArray("l");
    QTest::newRow("computer") << QStringLiteral("SpeedButton7") << QByteArray("r");
    QTest::newRow("enter") << QStringLiteral("SpeedButton9") << QByteArray("\r");
}

void CommandChannelTest::aClickOnTheRealButtonSendsItsCommand()
{
    QFETCH(QString, button);
    QFETCH(QByteArray, byte);
    m_form->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_form.get()));
    auto* control = m_form->findChild<QToolButton*>(button);
    QVERIFY2(control != nullptr, qPrintable(button + QStringLiteral(" is missing from the window")));
    // Every paint of the window that follows the click must still come: the click's quiet holds them, it
    // must not lose them.
    PaintCounter panelPaints(m_form->StatusBar1);
    QTest::mouseClick(control, Qt::LeftButton);
    const QByteArray sent = m_line->waitForExactly(1);
    QVERIFY2(sent == byte, qPrintable(QStringLiteral("a click on %1 sent '%2'").arg(button, sent.toHex(' '))));
    // The button's repaint waits for the click and the quiet after it, never longer.
    QTRY_VERIFY2_WITH_TIMEOUT(!control->isDown() && control->updatesEnabled(),
                              qPrintable(button
                                         + QStringLiteral(" still shows pressed, or no longer repaints, "
                                                          "after the click")),
                              1000);
    QTRY_VERIFY2_WITH_TIMEOUT(
        panelPaints.count > 0,
        qPrintable(QStringLiteral("the status bar never painted the text of a click on ") + button), 1000);
}

void CommandChannelTest::tenQuickClicksArriveAsTenBytesInOrder_data()
{
    // What else is on its way when the clicks come: a command's byte goes to the driver at once when
    // nothing of ours waits, and behind what waits otherwise; either way nothing overtakes.
    QTest::addColumn<QString>("behind");
    QTest::newRow("an idle line") << QStringLiteral("idle");
    QTest::newRow("a download") << QStringLiteral("download");
    QTest::newRow("a driver queue too full to take more") << QStringLiteral("full driver");
}

void CommandChannelTest::tenQuickClicksArriveAsTenBytesInOrder()
{
    QFETCH(QString, behind);
    m_form->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_form.get()));
    // Stop ends a download, so the clicks during one leave it out.
    QToolButton* const stop = behind == QLatin1String("download") ? m_form->SpeedButton2 : m_form->SpeedButton5;
    const QByteArray expected = behind == QLatin1String("download") ? "FLLRBF\rlrL" : "FSLRBF\rlrS";
    const QList<QToolButton*> order{m_form->SpeedButton1, stop, m_form->SpeedButton2,
                                    m_form->SpeedButton3, m_form->SpeedButton4, m_form->SpeedButton1,
                                    m_form->SpeedButton9, m_form->SpeedButton6, m_form->SpeedButton7,
                                    stop};
    // The other traffic is digits and line feeds only, so the commands can be picked out of the stream.
    QByteArray other;
    QByteArray sent;
    QTemporaryFile file;
    if (behind == QLatin1String("download")) {
        for (int line = 0; other.size() < 1500; ++line)
            other += QByteArray::number(100000 + line * 7919) + '\n';
        QVERIFY2(file.open() && file.write(other) == other.size() && file.flush(), "could not write the download");
        m_form->ApdProtocol1->SetFileName(file.fileName());
        m_form->ApdProtocol1->StartTransmit();
        QTRY_VERIFY2(m_form->ApdProtocol1->busy(), "the download did not start");
        sent = m_line->waitForBytes(100);
    } else if (behind == QLatin1String("full driver")) {
        // The far end reads nothing until the driver refuses bytes and some wait in the port's own queue.
        for (int i = 0; i < 4096 && m_form->ApdComPort1->pendingOutput() == 0; ++i) {
            const QByteArray piece = QByteArray::number(1000000 + i) + '\n';
            m_form->ApdComPort1->PutString(piece);
            other += piece;
        }
        QVERIFY2(m_form->ApdComPort1->pendingOutput() > 0, "the driver never refused a byte");
    }
    for (QToolButton* button : order) {
        QTest::mouseClick(button, Qt::LeftButton);
        QTest::qWait(behind == QLatin1String("download") ? 40 : 0);
    }
    if (behind == QLatin1String("download")) {
        QTRY_VERIFY2_WITH_TIMEOUT(!m_form->ApdProtocol1->busy(), "the download did not end", 10000);
        sent += m_line->collectFor(200);
    } else {
        sent += m_line->waitForExactly(other.size() + order.size(), 10000);
    }
    QByteArray commands;
    QByteArray rest;
    for (const char c : sent)
        (QByteArrayView("0123456789\n").contains(c) ? rest : commands) += c;
    QVERIFY2(commands == expected, qPrintable(QStringLiteral("ten clicks behind %1 sent '%2'").arg(
                                                        behind, QString::fromLatin1(commands.toHex(' ')))));
    if (behind == QLatin1String("download")) {
        QVERIFY2(file.seek(0), "could not read the download back");
        other = file.readAll();
    }
    QVERIFY2(rest == other, qPrintable(QStringLiteral("the other traffic arrived changed (%1 of %2 bytes)")
                                           .arg(rest.size()).arg(other.size())));
    if (behind == QLatin1String("full driver"))
        QVERIFY2(sent.endsWith(expected), "a command overtook bytes that waited in the port's queue");
}

void CommandChannelTest::aFullOutputBufferDropsTheByteButShowsTheText()
{
    // The far end stops reading; fill the line until the port reports no room.
    const QByteArray filler(512, 'x');
    qint64 put = 0;
    for (int i = 0; i < 4096 && m_form->ApdComPort1->GetOutBuffFree() > 0; ++i) {
        m_form->ApdComPort1->PutString(filler);
        put += filler.size();
        QCoreApplication::processEvents();
    }
    QVERIFY2(m_form->ApdComPort1->GetOutBuffFree() == 0, "the output buffer never filled");

    m_form->SpeedButton5Click(nullptr);
    QCOMPARE(m_form->StatusBar1->panelText(1), QStringLiteral("정지"));

    // Drain the far end: everything put arrives, and the stop byte is not among it.
    QByteArray drained = m_line->waitForBytes(put, 10000);
    drained += m_line->collectFor(50);
    QVERIFY2(drained.size() == put, qPrintable(QStringLiteral("put %1 bytes, %2 arrived").arg(put).arg(drained.size())));
    QVERIFY2(!drained.contains('S'), "the stop byte was sent although the buffer was full");

    // With room again, the next command goes out.
    QTRY_VERIFY2(m_form->ApdComPort1->GetOutBuffFree() == TApdComPort::kOutputCapacity,
                 "the buffer did not empty after the far end read it all");
    m_form->SpeedButton1Click(nullptr);
    const QByteArray next = m_line->waitForBytes(1);
    QVERIFY2(next == "F", qPrintable(QStringLiteral("after draining, forward sent '%1'").arg(QString::fromLatin1(next))));
}

void CommandChannelTest::typedKeysLeaveTheRoomKeptForStop()
{
    m_form->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_form.get()));
    TApdComPort* port = m_form->ApdComPort1;
    // The far end stops reading: fill the pseudo-terminal until our own queue holds what it cannot take.
    const QByteArray filler(512, 'x');
    qint64 put = 0;
    for (int i = 0; i < 4096 && port->pendingOutput() == 0; ++i) {
        port->PutString(filler);
        put += filler.size();
        QCoreApplication::processEvents();
    }
    QVERIFY2(port->pendingOutput() > 0, "the line never blocked");
    // Leave room for ten typed bytes beyond the part kept for commands.
    constexpr qint64 kTypedRoom = 10;
    const qint64 topUp = TApdComPort::kOutputCapacity - TApdComPort::kCommandRoom - kTypedRoom - port->pendingOutput();
    QVERIFY2(topUp >= 0, "the blocked line already holds more than the room typed keys may use");
    port->PutString(QByteArray(topUp, 'x'));
    put += topUp;

    for (int i = 0; i < 30; ++i)
        QTest::keyClick(m_form->ApdTerminal1, Qt::Key_A, Qt::NoModifier);
    QVERIFY2(port->pendingOutput() == TApdComPort::kOutputCapacity - TApdComPort::kCommandRoom,
             qPrintable(QStringLiteral("30 typed keys on a blocked line left %1 bytes pending")
                            .arg(port->pendingOutput())));
    m_form->SpeedButton5Click(nullptr);

    QByteArray drained = m_line->waitForBytes(put + kTypedRoom + 1, 10000);
    drained += m_line->collectFor(50);
    QVERIFY2(drained.size() == put + kTypedRoom + 1 && drained.endsWith(QByteArray(kTypedRoom, 'a') + 'S'),
             qPrintable(QStringLiteral("after %1 bytes put, 30 typed keys and stop, %2 bytes arrived, ending '%3'")
                            .arg(put)
                            .arg(drained.size())
                            .arg(QString::fromLatin1(drained.right(16)))));
}

void CommandChannelTest::thePortPanelReadsTheFixedTextAndTheOthersStartEmpty()
{
    QCOMPARE(m_form->StatusBar1->panelText(0), QStringLiteral("COM1,9600Bps,8Bit,1Stop,NoP"));
    for (int panel = 1; panel <= 3; ++panel)
        QVERIFY2(m_form->StatusBar1->panelText(panel).isEmpty(),
                 qPrintable(QStringLiteral("panel %1 is not empty at start").arg(panel)));
    QVERIFY2(!m_form->StatusBar1->isEnabled(), "the status bar takes clicks");
}

QTEST_MAIN(CommandChannelTest)
#include "tst_commandchannel.moc"
