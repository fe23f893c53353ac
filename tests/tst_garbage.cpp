// Garbage on the line while the operator works: random bytes and every kept fuzz finding arrive while
// buttons are clicked and keys typed. Nothing may crash or hang, and the window keeps answering.

#include "app/statusbar.h"
#include "app/tform1.h"
#include "link/apdcomport.h"
#include "link/apdterminal.h"
#include "tests/ptypair.h"

#include <QDir>
#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include <memory>

namespace {

constexpr quint32 kSeed = 20261208;

} // namespace

class GarbageTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void theWindowSurvivesAndAnswers_data();
    void theWindowSurvivesAndAnswers();

private:
    std::unique_ptr<PtyPair> m_line;
    std::unique_ptr<TForm1> m_form;
};

void GarbageTest::init()
{
    m_line = std::make_unique<PtyPair>();
    QVERIFY2(m_line->isValid(), "could not make a pseudo-terminal pair");
    m_form = std::make_unique<TForm1>(m_line->slavePath());
    m_form->show();
    QVERIFY(QTest::qWaitForWindowActive(m_form.get()));
}

void GarbageTest::cleanup()
{
    m_form.reset();
    m_line.reset();
}

void GarbageTest::theWindowSurvivesAndAnswers_data()
{
    QTest::addColumn<QByteArray>("garbage");
    QRandomGenerator random(kSeed);
    QByteArray noise(1024 * 1024, Qt::Uninitialized);
    random.fillRange(reinterpret_cast<quint32*>(noise.data()), noise.size() / 4);
    QTest::newRow(qPrintable(QStringLiteral("1 MiB of random bytes, seed %1").arg(kSeed))) << noise;

    const QDir corpus(QStringLiteral(TERMINAL_CORPUS_DIR));
    const QStringList names = corpus.entryList(QDir::Files, QDir::Name);
    QVERIFY2(!names.isEmpty(), "the terminal's regression corpus is missing");
    for (const QString& name : names) {
        QFile file(corpus.filePath(name));
        QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(QStringLiteral("cannot read ") + file.fileName()));
        QTest::newRow(qPrintable(name)) << file.readAll();
    }
}

void GarbageTest::theWindowSurvivesAndAnswers()
{
    QFETCH(QByteArray, garbage);

    // The far end pours the garbage in while the operator clicks and types; the event loop's answer time
    // is watched all along.
    qint64 worstGapMs = 0;
    QElapsedTimer sinceTick;
    sinceTick.start();
    QTimer heartbeat;
    heartbeat.callOnTimeout([&] {
        worstGapMs = std::max(worstGapMs, sinceTick.restart());
    });
    heartbeat.start(5);

    const QList<QToolButton*> buttons{m_form->SpeedButton1, m_form->SpeedButton2, m_form->SpeedButton3,
                                      m_form->SpeedButton4, m_form->SpeedButton5, m_form->SpeedButton9};
    constexpr qsizetype kChunk = 16 * 1024;
    int step = 0;
    for (qsizetype at = 0; at < garbage.size(); at += kChunk, ++step) {
        m_line->send(garbage.mid(at, kChunk));
        QTest::mouseClick(buttons.at(step % buttons.size()), Qt::LeftButton);
        m_form->ApdTerminal1->setFocus();
        QTest::keyClicks(m_form->ApdTerminal1, QStringLiteral("ok"));
        QTest::keyClick(m_form->ApdTerminal1, Qt::Key_Return);
        QTest::qWait(1);
        m_line->readAvailable();
    }
    QTest::qWait(200);
    m_line->readAvailable();

    // Still answering: a command goes out and its text shows.
    m_form->SpeedButton5Click(nullptr);
    QVERIFY2(m_line->waitForBytes(1).endsWith('S'), "the window no longer sends commands");
    QCOMPARE(m_form->StatusBar1->panelText(1), QStringLiteral("정지"));
    qInfo("longest the event loop went without answering: %lld ms", static_cast<long long>(worstGapMs));
    QVERIFY2(worstGapMs < 1000,
             qPrintable(QStringLiteral("the window stopped answering for %1 ms").arg(worstGapMs)));
}

QTEST_MAIN(GarbageTest)
#include "tst_garbage.moc"
