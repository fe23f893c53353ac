// Every input the terminal fuzz target keeps as a regression (the measured libvterm faults and anything the
// fuzzer found) goes through the emulation again and must come out without a crash or a hang.

#include "tests/fuzz/terminalfeed.h"

#include <QDir>
#include <QFile>
#include <QTest>

class TerminalCorpusTest : public QObject
{
    Q_OBJECT

private slots:
    void everyKeptInputRunsThrough_data();
    void everyKeptInputRunsThrough();
};

void TerminalCorpusTest::everyKeptInputRunsThrough_data()
{
    QTest::addColumn<QString>("path");
    const QDir corpus(QStringLiteral(TERMINAL_CORPUS_DIR));
    const QStringList names = corpus.entryList(QDir::Files, QDir::Name);
    QVERIFY2(names.size() >= 3, qPrintable(QStringLiteral("the corpus %1 lost its inputs").arg(corpus.path())));
    for (const QString& name : names)
        QTest::newRow(qPrintable(name)) << corpus.filePath(name);
}

void TerminalCorpusTest::everyKeptInputRunsThrough()
{
    QFETCH(QString, path);
    QFile file(path);
    QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(QStringLiteral("cannot read %1").arg(path)));
    const QByteArray input = file.readAll();
    feedTerminal(reinterpret_cast<const std::uint8_t*>(input.constData()), static_cast<std::size_t>(input.size()));
    // Reaching this line is the test: a crash or a hang never gets here.
}

QTEST_APPLESS_MAIN(TerminalCorpusTest)
#include "tst_terminalcorpus.moc"
