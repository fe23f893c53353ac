// The command channel: each command puts exactly its one byte on the line and records itself in its panel;
// typed keys never take the room kept for it.

#include "app/statusbar.h"
#include "app/tform1.h"
#include "link/apdcomport.h"
#include "link/apdterminal.h"
#include "tests/ptypair.h"

#include <QTest>
#include <QToolButton>

#include <memory>

using Handler = void (TForm1::*)(QObject*);
Q_DECLARE_METATYPE(Handler)

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
    QTest::mouseClick(control, Qt::LeftButton);
    const QByteArray sent = m_line->waitForExactly(1);
    QVERIFY2(sent == byte, qPrintable(QStringLiteral("a click on %1 sent '%2'").arg(button, sent.toHex(' '))));
}

void CommandChannelTest::tenQuickClicksArriveAsTenBytesInOrder()
{
    m_form->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_form.get()));
    const QList<QToolButton*> order{m_form->SpeedButton1, m_form->SpeedButton5, m_form->SpeedButton2,
                                    m_form->SpeedButton3, m_form->SpeedButton4, m_form->SpeedButton1,
                                    m_form->SpeedButton9, m_form->SpeedButton6, m_form->SpeedButton7,
                                    m_form->SpeedButton5};
    for (QToolButton* button : order)
        QTest::mouseClick(button, Qt::LeftButton);
    const QByteArray sent = m_line->waitForExactly(10);
    QVERIFY2(sent == QByteArray("FSLRBF\rlrS"), qPrintable(QStringLiteral("ten clicks sent '%1'").arg(
                                                    QString::fromLatin1(sent.toHex(' ')))));
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
