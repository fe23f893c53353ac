// The link monitor: Tx/Rx lights follow the traffic, and the error label follows the latest activation.

#include "app/tform1.h"
#include "link/apdcomport.h"
#include "link/linkmonitor.h"
#include "tests/ptypair.h"

#include <QLabel>
#include <QSignalSpy>
#include <QTest>

#include <memory>

namespace {

const QString kErrorText = QStringLiteral("오류가 발생하였습니다.");

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
}

QTEST_MAIN(LinkMonitorTest)
#include "tst_linkmonitor.moc"
