// The link monitor: Tx/Rx lights follow the traffic, and the error label follows the latest activation.

#include "app/statusbar.h"
#include "app/tform1.h"
#include "link/apdcomport.h"
#include "link/linkmonitor.h"
#include "tests/ptypair.h"

#include <QApplication>
#include <QImage>
#include <QLabel>
#include <QMessageBox>
#include <QScreen>
#include <QSignalSpy>
#include <QTest>
#include <QToolButton>

#include <cerrno>
#include <cstring>
#include <memory>

namespace {

const QString kErrorText = QStringLiteral("오류가 발생하였습니다.");

// Whether the window shows the light as it is now (lit or dark).
bool shownAsItIs(TApdStatusLight* light)
{
    const QPoint at = light->mapTo(light->window(), QPoint());
    const QImage shown = QGuiApplication::primaryScreen()
                             ->grabWindow(light->window()->winId(), at.x(), at.y(), light->width(), light->height())
                             .toImage()
                             .convertToFormat(QImage::Format_RGB32);
    return shown == light->grab().toImage().convertToFormat(QImage::Format_RGB32);
}

} // namespace

class LinkMonitorTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void eachKindOfLineErrorShowsAtTheNextActivationAndClearsAfter_data();
    void eachKindOfLineErrorShowsAtTheNextActivationAndClearsAfter();
    void aHealthyLineKeepsTheLabelEmptyThroughActivations();
    void aVanishedDeviceClosesOnceAndKeepsReportingTheError();
    void aFailingPortIsShownAtOnceAndStopStaysClickable();
    void aLineErrorPresentAtARestoreIsStillShownAfterIt();
    void theErrorTextIsReadableWholeAboveTheExitButton();
    void theTxLightFlashesWhenBytesLeaveAndGoesDarkAfterItsHold();
    void theRxLightFlashesWhenBytesArriveAndGoesDarkAfterItsHold();

private:
    std::unique_ptr<PtyPair> m_line;
    std::unique_ptr<TForm1> m_form;
    LineCounters m_counters;
};

void LinkMonitorTest::init()
{
    m_line = std::make_unique<PtyPair>();
    QVERIFY2(m_line->isValid(), "could not make a pseudo-terminal pair");
    m_form = std::make_unique<TForm1>(m_line->slavePath());
    m_counters = {};
    m_form->ApdComPort1->setLineCounterSource([this](int) { return std::optional<LineCounters>(m_counters); });
    // Activations happen to a window in front of the operator.
    m_form->show();
    m_form->activateWindow();
    QVERIFY2(QTest::qWaitForWindowActive(m_form.get()), "the window did not become active");
}

void LinkMonitorTest::cleanup()
{
    m_form.reset();
    m_line.reset();
}

void LinkMonitorTest::eachKindOfLineErrorShowsAtTheNextActivationAndClearsAfter_data()
{
    QTest::addColumn<int>("kind");
    QTest::newRow("framing") << 0;
    QTest::newRow("parity") << 1;
    QTest::newRow("overrun") << 2;
    QTest::newRow("break") << 3;
}

void LinkMonitorTest::eachKindOfLineErrorShowsAtTheNextActivationAndClearsAfter()
{
    QFETCH(int, kind);
    m_form->FormActivate(m_form.get());
    QVERIFY2(m_form->Label3->text().isEmpty(), "the label shows an error before any happened");

    std::uint32_t* counter[] = {&m_counters.frame, &m_counters.parity, &m_counters.overrun, &m_counters.brk};
    ++*counter[kind];
    m_form->FormActivate(m_form.get());
    QCOMPARE(m_form->Label3->text(), kErrorText);
    QCOMPARE(m_form->Label3->pos(), QPoint(16, 264));
    QVERIFY2(m_form->Label3->width() >= m_form->Label3->fontMetrics().horizontalAdvance(kErrorText),
             "the label is not sized to its text");

    m_form->FormActivate(m_form.get());
    QVERIFY2(m_form->Label3->text().isEmpty(), "the label kept the error at an activation without a new one");
}

void LinkMonitorTest::aHealthyLineKeepsTheLabelEmptyThroughActivations()
{
    m_form->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_form.get()));
    m_form->showMinimized();
    m_form->showNormal();
    m_form->activateWindow();
    QTest::qWait(20);
    QVERIFY2(m_form->Label3->text().isEmpty(), "a healthy line showed an error");
}

void LinkMonitorTest::aVanishedDeviceClosesOnceAndKeepsReportingTheError()
{
    QSignalSpy failures(m_form->ApdComPort1, &TApdComPort::failed);
    m_line->closeMaster();
    QVERIFY2(failures.wait(3000), "the port did not notice that the far end vanished");
    QTest::qWait(100);
    QCOMPARE(failures.size(), 1);
    QVERIFY2(!m_form->ApdComPort1->isOpen(), "the port stayed open on a vanished device");

    m_form->FormActivate(m_form.get());
    QCOMPARE(m_form->Label3->text(), kErrorText);
    m_form->FormActivate(m_form.get());
    QVERIFY2(m_form->Label3->text() == kErrorText, "a vanished device stopped being reported");

    // Later commands are harmless: their text shows, nothing is sent, nothing is reported twice.
    m_form->SpeedButton1Click(nullptr);
    m_form->ApdComPort1->PutString("abc");
    QCOMPARE(m_form->ApdComPort1->GetOutBuffFree(), std::uint16_t{0});
    QTest::qWait(50);
    QCOMPARE(failures.size(), 1);
}

void LinkMonitorTest::aFailingPortIsShownAtOnceAndStopStaysClickable()
{
    m_line->closeMaster();
    QMessageBox* box = nullptr;
    QTRY_VERIFY2_WITH_TIMEOUT((box = m_form->findChild<QMessageBox*>(QStringLiteral("PortFailure"))) != nullptr
                                  && box->isVisible(),
                              "no message appeared when the device vanished", 3000);
    // A closed master takes the slave's node with it, as a pulled adapter does: what happened, that nothing
    // reaches the robot, what to do, and the system's word on the node (never what an earlier call left in
    // errno).
    QVERIFY2(box->text().startsWith(QStringLiteral("COM1(%1)이 이 컴퓨터에서 사라져, 로봇 콘솔이 COM1을 닫았습니다.\n")
                                        .arg(m_line->slavePath()))
                 && box->text().contains(QStringLiteral("로봇에는 더 이상 아무것도 전달되지 않습니다."))
                 && box->text().contains(QStringLiteral("로봇 콘솔을 다시 시작하십시오."))
                 && box->text().endsWith(QStringLiteral("\n시스템 메시지: ")
                                         + QString::fromLocal8Bit(std::strerror(ENOENT))),
             qPrintable(QStringLiteral("the message does not say what happened to COM1: %1").arg(box->text())));
    QVERIFY2(QApplication::activeModalWidget() == nullptr && !box->isModal(), "the message blocks the window");

    QTest::mouseClick(m_form->SpeedButton5, Qt::LeftButton);
    QCOMPARE(m_form->StatusBar1->panelText(TForm1::DirectionPanel), QStringLiteral("정지"));

    // The message takes the front; closing it activates the window again, and that activation shows the error.
    QVERIFY2(QTest::qWaitForWindowActive(box), "the message did not come to the front");
    QVERIFY2(m_form->Label3->text().isEmpty(), "the label changed without an activation of the window");
    box->accept();
    m_form->activateWindow();
    QTRY_VERIFY2_WITH_TIMEOUT(m_form->Label3->text() == kErrorText, "the error label did not follow the message", 3000);
}

void LinkMonitorTest::aLineErrorPresentAtARestoreIsStillShownAfterIt()
{
    // Another window takes the focus while the console is minimised, as it does on a desktop.
    QWidget other;
    other.setWindowTitle(QStringLiteral("other"));
    other.resize(200, 100);
    m_form->showMinimized();
    other.show();
    other.activateWindow();
    QVERIFY2(QTest::qWaitForWindowActive(&other), "the other window did not become active");
    QTRY_VERIFY2(!m_form->isActiveWindow(), "the console stayed active behind the other window");

    ++m_counters.overrun;
    // Restored: shown first, then activated; each runs FormActivate.
    m_form->showNormal();
    m_form->activateWindow();
    QVERIFY2(QTest::qWaitForWindowActive(m_form.get()), "the restored window did not become active");
    QTest::qWait(50);
    QVERIFY2(m_form->Label3->text() == kErrorText, "the error present at the restore was read away before it was shown");

    // The next activation without a new error clears it.
    other.activateWindow();
    QVERIFY2(QTest::qWaitForWindowActive(&other), "the other window did not become active");
    m_form->activateWindow();
    QVERIFY2(QTest::qWaitForWindowActive(m_form.get()), "the window did not become active again");
    QTRY_VERIFY2(m_form->Label3->text().isEmpty(), "the error stayed after an activation without one");
}

void LinkMonitorTest::theErrorTextIsReadableWholeAboveTheExitButton()
{
    ++m_counters.frame;
    m_form->FormActivate(m_form.get());
    QCOMPARE(m_form->Label3->text(), kErrorText);
    QCOMPARE(m_form->Label3->pos(), QPoint(16, 264));
    QVERIFY2(m_form->BitBtn1->geometry() == QRect(80, 256, 75, 65), "the exit button moved");
    // What the window shows at the label's place is the label itself, all of it.
    const QImage window = m_form->grab().toImage();
    const QImage label = m_form->Label3->grab().toImage();
    const QRect area = m_form->Label3->geometry();
    int differing = 0;
    for (int y = 0; y < area.height(); ++y)
        for (int x = 0; x < area.width(); ++x)
            differing += window.pixel(area.x() + x, area.y() + y) != label.pixel(x, y) ? 1 : 0;
    QVERIFY2(differing == 0, qPrintable(QStringLiteral("%1 pixels of the error text are covered").arg(differing)));
    // The button still takes a click on the label's strip.
    QWidget* under = m_form->childAt(QPoint(120, 270));
    QVERIFY2(under == m_form->BitBtn1, "a click on the label's strip no longer reaches the exit button");
}

void LinkMonitorTest::theTxLightFlashesWhenBytesLeaveAndGoesDarkAfterItsHold()
{
    QVERIFY2(!m_form->ApdStatusLight2->lit() && !m_form->ApdStatusLight1->lit(), "a light is lit at start");
    m_form->SpeedButton1Click(nullptr);
    QTRY_VERIFY2_WITH_TIMEOUT(m_form->ApdStatusLight2->lit(), "the Tx light did not light on a command", 2000);
    QVERIFY2(!m_form->ApdStatusLight1->lit(), "the Rx light lit on sending");
    m_line->waitForBytes(1);
    QTRY_VERIFY2_WITH_TIMEOUT(!m_form->ApdStatusLight2->lit(), "the Tx light stayed lit after its hold", 2000);
}

void LinkMonitorTest::theRxLightFlashesWhenBytesArriveAndGoesDarkAfterItsHold()
{
    m_line->send("OK\r\n");
    QTRY_VERIFY2_WITH_TIMEOUT(m_form->ApdStatusLight1->lit(), "the Rx light did not light on a reply", 2000);
    QVERIFY2(!m_form->ApdStatusLight2->lit(), "the Tx light lit on receiving");
    QTRY_VERIFY2_WITH_TIMEOUT(!m_form->ApdStatusLight1->lit(), "the Rx light stayed lit after its hold", 2000);
    // The window shows each state, the lit one a moment after the light lit (a light held by hand here, so
    // that no hold ends it first).
    TApdStatusLight* light = m_form->ApdStatusLight1;
    m_form->ApdSLController1->SetMonitoring(false);
    for (const bool lit : {true, false}) {
        light->setLit(lit);
        QTRY_VERIFY2_WITH_TIMEOUT(
            shownAsItIs(light), lit ? "the window never showed the light lit" : "the window still shows the light lit",
            2000);
    }
}

QTEST_MAIN(LinkMonitorTest)
#include "tst_linkmonitor.moc"
