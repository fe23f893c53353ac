// The hex file download: what reaches the far end of a real pseudo-terminal, how commands share the line
// with a file, and how every kind of bad file or failing port shows itself while the window keeps working.

#include "app/qtsetup.h"
#include "app/statusbar.h"
#include "app/tform1.h"
#include "link/apdcomport.h"
#include "link/apdprotocol.h"
#include "link/cp949.h"
#include "link/filename.h"
#include "link/opendialog.h"
#include "tests/ptypair.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QDialogButtonBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

using Handler = void (TForm1::*)(QObject*);
Q_DECLARE_METATYPE(Handler)

namespace {

constexpr qint32 kFastRate = 115200;
constexpr quint32 kSeed = 20240611;

QByteArray withoutCtrlZ(QByteArray bytes)
{
    bytes.removeIf([](char c) { return c == '\x1A'; });
    return bytes;
}

// Lines of an Intel-hex-like text; never contains 'S', 'h' or Ctrl-Z, so a command byte is easy to find.
QByteArray hexLines(qsizetype size, char salt)
{
    QByteArray out;
    int line = 0;
    while (out.size() < size) {
        out += ':' + QByteArray::number(line++ * 7 + salt, 16).toUpper().rightJustified(8, '0') + "00FF"
            + QByteArray(1, salt) + "\r\n";
    }
    out.truncate(size);
    return out;
}

QString hexOf(const QByteArray& bytes, qsizetype limit = 48)
{
    return QString::fromLatin1(bytes.left(limit).toHex(' ')) + (bytes.size() > limit ? QStringLiteral(" ...") : QString());
}

// Answers the next file dialog that the window opens: confirms `path`, or cancels when it is empty. What
// the dialog offered is kept for the test to check.
class DialogAnswerer : public QObject
{
public:
    explicit DialogAnswerer(QString path) : m_path(std::move(path))
    {
        connect(&m_poll, &QTimer::timeout, this, [this] { answer(); });
        m_poll.start(10);
    }

    bool answered = false;
    QStringList nameFilters;
    QString title;
    QString folder;              // where the dialog opened
    QMap<QString, QString> texts; // Qt's own texts: "title", the buttons' roles and the labels' names

private:
    void answer()
    {
        QWidget* modal = QApplication::activeModalWidget();
        // The file dialog may still be listing its folder and object to a name it does not know yet; its
        // complaint is dismissed and the choice made again.
        if (auto* complaint = qobject_cast<QMessageBox*>(modal);
            complaint != nullptr && qobject_cast<QFileDialog*>(complaint->parentWidget()) != nullptr) {
            complaint->accept();
            return;
        }
        auto* dialog = qobject_cast<QFileDialog*>(modal);
        if (dialog == nullptr)
            return;
        if (!answered) {
            nameFilters = dialog->nameFilters();
            title = dialog->windowTitle();
            folder = dialog->directory().absolutePath();
            texts.insert(QStringLiteral("title"), title);
            if (auto* buttons = dialog->findChild<QDialogButtonBox*>(QStringLiteral("buttonBox"))) {
                for (QAbstractButton* button : buttons->buttons())
                    texts.insert(buttons->buttonRole(button) == QDialogButtonBox::AcceptRole ? QStringLiteral("accept")
                                                                                            : QStringLiteral("reject"),
                                 button->text());
            }
            for (auto* label : dialog->findChildren<QLabel*>())
                texts.insert(label->objectName(), label->text());
        }
        answered = true;
        if (m_path.isEmpty()) {
            dialog->reject();
        } else if (++m_attempts <= 20) {
            dialog->selectFile(m_path);
            static_cast<QDialog*>(dialog)->accept(); // the file dialog checks the choice as on Open
        } else {
            // Still listing its folder after 20 tries (a loaded machine): type the name, as a person would,
            // and take the choice as made.
            dialog->selectFile(m_path);
            if (auto* name = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit")))
                name->setText(m_path);
            static_cast<QDialog*>(dialog)->done(QDialog::Accepted);
        }
    }

    QString m_path;
    int m_attempts = 0;
    QTimer m_poll;
};

} // namespace

class DownloadTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void theFileArrivesExactlyButForCtrlZ_data();
    void theFileArrivesExactlyButForCtrlZ();
    void bothTriggersOpenTheHexDialogAndSendTheChosenFile_data();
    void bothTriggersOpenTheHexDialogAndSendTheChosenFile();
    void cancellingTheDialogChangesNothing_data();
    void cancellingTheDialogChangesNothing();
    void aCommandDuringADownloadGoesOutBetweenTheFilesBytes_data();
    void aCommandDuringADownloadGoesOutBetweenTheFilesBytes();
    void onlyASmallLeadEverQueuesAndCommandsAlwaysFindRoom_data();
    void onlyASmallLeadEverQueuesAndCommandsAlwaysFindRoom();
    void aSecondDownloadFollowsTheFirstWhole();
    void stopEndsEveryDownloadAndNoByteOfAFileFollowsIt_data();
    void stopEndsEveryDownloadAndNoByteOfAFileFollowsIt();
    void closingTheWindowDuringADownloadSendsNothingMore();
    void theProgressBarFollowsTheTransferAndHidesAfterwards();
    void aFileThatCannotBeSentShowsWhyAndTheWindowKeepsWorking_data();
    void aFileThatCannotBeSentShowsWhyAndTheWindowKeepsWorking();
    void aFileChangedMidTransferEndsItAsFailed_data();
    void aFileChangedMidTransferEndsItAsFailed();
    void aPortFailingMidTransferEndsItAndNothingMoreIsPut();
    void aFileWhoseNameIsNotUtf8IsListedAndSent_data();
    void aFileWhoseNameIsNotUtf8IsListedAndSent();
    void qtsOwnTextsAreKorean_data();
    void qtsOwnTextsAreKorean();
    void theDialogReturnsToTheLastFolderUntilTheProgramEnds();

private:
    QString writeFile(const QString& name, const QByteArray& bytes);
    // Plays the far end until the sender is idle; returns everything that arrived.
    QByteArray drainUntilIdle(int timeoutMs = 30000);
    // Waits for the download's failure message, closes it and returns its text; empty if none came. The far
    // end is read meanwhile, into `arrived` when given.
    QString takeFailureMessage(int timeoutMs = 5000, QByteArray* arrived = nullptr);
    void verifyTheWindowStillWorks();

    std::unique_ptr<PtyPair> m_line;
    std::unique_ptr<TForm1> m_form;
    std::unique_ptr<QTemporaryDir> m_dir;
    Qt::TextFormat m_failureFormat = Qt::AutoText; // of the last message that takeFailureMessage() took
};

void DownloadTest::initTestCase()
{
    // As the console sets Qt up: Qt's Korean texts, and no settings file.
    setUpQtForConsole();
}

void DownloadTest::init()
{
    m_line = std::make_unique<PtyPair>();
    QVERIFY2(m_line->isValid(), "could not make a pseudo-terminal pair");
    m_form = std::make_unique<TForm1>(m_line->slavePath());
    QVERIFY2(m_form->ApdComPort1->setBaudRate(kFastRate), "the pseudo-terminal refused a faster rate");
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY2(m_dir->isValid(), "could not make a temporary directory");
}

void DownloadTest::cleanup()
{
    m_form.reset();
    m_line.reset();
    m_dir.reset();
}

QString DownloadTest::writeFile(const QString& name, const QByteArray& bytes)
{
    const QString path = m_dir->filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        qFatal("could not write the test file %s", qPrintable(path));
    return path;
}

QByteArray DownloadTest::drainUntilIdle(int timeoutMs)
{
    QByteArray out;
    const QDeadlineTimer deadline(timeoutMs);
    while (m_form->ApdProtocol1->busy() && !deadline.hasExpired()) {
        QTest::qWait(2);
        out += m_line->readAvailable();
    }
    return out + m_line->collectFor(30);
}

QString DownloadTest::takeFailureMessage(int timeoutMs, QByteArray* arrived)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (!deadline.hasExpired()) {
        for (auto* box : m_form->findChildren<QMessageBox*>(QStringLiteral("DownloadFailure"))) {
            if (box->isVisible()) {
                const QString text = box->text();
                m_failureFormat = box->textFormat();
                box->accept();
                return text;
            }
        }
        QTest::qWait(5);
        const QByteArray bytes = m_line->readAvailable();
        if (arrived != nullptr)
            *arrived += bytes;
    }
    return {};
}

void DownloadTest::verifyTheWindowStillWorks()
{
    m_line->readAvailable();
    m_form->SpeedButton1Click(nullptr);
    // Two statements: the operands of + may be evaluated in either order.
    QByteArray sent = m_line->waitForBytes(1);
    sent += m_line->collectFor(20);
    QVERIFY2(sent == "F", qPrintable(QStringLiteral("after the failure, forward sent '%1'").arg(hexOf(sent))));
    QVERIFY2(m_form->DownloadProgress->isHidden(), "the progress bar stayed up after the transfer ended");
}

void DownloadTest::theFileArrivesExactlyButForCtrlZ_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::newRow("CR LF lines") << QByteArray(":10000000AB\r\n:00000001FF\r\n");
    QTest::newRow("LF lines") << QByteArray(":10000000AB\n:00000001FF\n");
    QTest::newRow("no final line end") << QByteArray(":10000000AB\r\n:00000001FF");
    QTest::newRow("mixed line ends and a lone CR") << QByteArray("a\r\nb\nc\rd");
    QTest::newRow("Ctrl-Z in the middle and at the end") << QByteArray(":1000\x1A" "0000AB\r\n:00000001FF\r\n\x1A");
    QTest::newRow("nothing but Ctrl-Z") << QByteArray(3, '\x1A');
    QTest::newRow("empty file") << QByteArray();
    QTest::newRow("larger than one lead") << hexLines(5000, '7');
    QByteArray random(3000, Qt::Uninitialized);
    QRandomGenerator generator(kSeed);
    for (char& c : random)
        c = static_cast<char>(generator.bounded(256));
    random[100] = '\x1A';
    QTest::newRow("random bytes, seed 20240611") << random;
}

void DownloadTest::theFileArrivesExactlyButForCtrlZ()
{
    QFETCH(QByteArray, content);
    QSignalSpy finished(m_form->ApdProtocol1, &TApdProtocol::transferFinished);
    const QString path = writeFile(QStringLiteral("program.hex"), content);
    m_form->ApdProtocol1->SetFileName(path);
    m_form->ApdProtocol1->StartTransmit();
    const QByteArray arrived = drainUntilIdle();
    const QByteArray expected = withoutCtrlZ(content);
    QVERIFY2(arrived == expected, qPrintable(QStringLiteral("sent %1 bytes, expected %2 (random rows use seed %3): "
                                                            "got [%4], expected [%5]")
                                                 .arg(arrived.size())
                                                 .arg(expected.size())
                                                 .arg(kSeed)
                                                 .arg(hexOf(arrived), hexOf(expected))));
    QVERIFY2(finished.count() == 1, "the transfer was not reported done exactly once");
    QVERIFY2(takeFailureMessage(50).isEmpty(), "a successful transfer showed a failure message");
}

void DownloadTest::bothTriggersOpenTheHexDialogAndSendTheChosenFile_data()
{
    QTest::addColumn<QString>("trigger");
    QTest::newRow("D1Click") << QStringLiteral("D1Click");
    QTest::newRow("SpeedButton8Click") << QStringLiteral("SpeedButton8Click");
    QTest::newRow("a click on the folder button") << QStringLiteral("folder");
    QTest::newRow("Ctrl+D") << QStringLiteral("Ctrl+D");
}

void DownloadTest::bothTriggersOpenTheHexDialogAndSendTheChosenFile()
{
    QFETCH(QString, trigger);
    m_form->show();
    QVERIFY(QTest::qWaitForWindowActive(m_form.get()));
    const QByteArray content = hexLines(700, '3');
    const QString path = writeFile(QStringLiteral("robot.hex"), content);
    QCOMPARE(m_form->ApdProtocol1->fileMask(), QStringLiteral("*.hex"));
    const QString panelsBefore = m_form->StatusBar1->panelText(1) + m_form->StatusBar1->panelText(2)
        + m_form->StatusBar1->panelText(3);

    DialogAnswerer answerer(path);
    if (trigger == QLatin1String("D1Click"))
        m_form->D1Click(nullptr);
    else if (trigger == QLatin1String("SpeedButton8Click"))
        m_form->SpeedButton8Click(nullptr);
    else if (trigger == QLatin1String("folder"))
        QTest::mouseClick(m_form->SpeedButton8, Qt::LeftButton);
    else
        QTest::keyClick(m_form.get(), Qt::Key_D, Qt::ControlModifier);
    QTRY_VERIFY2(answerer.answered, "no file dialog opened");

    QVERIFY2(answerer.nameFilters == QStringList{QStringLiteral("*.hex (*.hex)")},
             qPrintable(QStringLiteral("the dialog offered %1").arg(answerer.nameFilters.join(QLatin1Char('|')))));
    QVERIFY2(m_form->OpenDialog1->Title.isEmpty() && m_form->OpenDialog1->InitialDir.isEmpty()
                 && m_form->OpenDialog1->DefaultExt.isEmpty(),
             "the dialog has a title, initial directory or default extension set");
    const QByteArray arrived = drainUntilIdle();
    QVERIFY2(arrived == content, qPrintable(QStringLiteral("the chosen file arrived as %1 of %2 bytes")
                                                .arg(arrived.size())
                                                .arg(content.size())));
    QCOMPARE(m_form->ApdProtocol1->fileMask(), QFileInfo(path).absoluteFilePath());
    QCOMPARE(m_form->ApdProtocol1->fileName(), QFileInfo(path).absoluteFilePath());
    QVERIFY2(m_form->StatusBar1->panelText(1) + m_form->StatusBar1->panelText(2) + m_form->StatusBar1->panelText(3)
                 == panelsBefore,
             "a download wrote into the status bar");
}

void DownloadTest::cancellingTheDialogChangesNothing_data()
{
    QTest::addColumn<Handler>("handler");
    QTest::addColumn<bool>("downloadedBefore");
    QTest::newRow("D1Click at start") << &TForm1::D1Click << false;
    QTest::newRow("SpeedButton8Click at start") << &TForm1::SpeedButton8Click << false;
    QTest::newRow("D1Click after a download") << &TForm1::D1Click << true;
    QTest::newRow("SpeedButton8Click after a download") << &TForm1::SpeedButton8Click << true;
}

void DownloadTest::cancellingTheDialogChangesNothing()
{
    QFETCH(Handler, handler);
    QFETCH(bool, downloadedBefore);
    if (downloadedBefore) {
        const QString earlier = writeFile(QStringLiteral("earlier.hex"), QByteArray(":00000001FF\r\n"));
        DialogAnswerer first(earlier);
        (m_form.get()->*handler)(nullptr);
        drainUntilIdle();
    }
    const QString maskBefore = m_form->ApdProtocol1->fileMask();
    const QString nameBefore = m_form->ApdProtocol1->fileName();
    for (int panel = 1; panel <= 3; ++panel)
        m_form->StatusBar1->setPanelText(panel, QStringLiteral("panel %1").arg(panel));

    DialogAnswerer answerer{QString()};
    (m_form.get()->*handler)(nullptr);
    QVERIFY2(answerer.answered, "no file dialog opened");
    const QByteArray sent = m_line->collectFor(200);
    QVERIFY2(sent.isEmpty(), qPrintable(QStringLiteral("a cancelled dialog sent %1").arg(hexOf(sent))));
    QVERIFY2(!m_form->ApdProtocol1->busy(), "a cancelled dialog started a transfer");
    QCOMPARE(m_form->ApdProtocol1->fileMask(), maskBefore);
    QCOMPARE(m_form->ApdProtocol1->fileName(), nameBefore);
    for (int panel = 1; panel <= 3; ++panel)
        QVERIFY2(m_form->StatusBar1->panelText(panel) == QStringLiteral("panel %1").arg(panel),
                 qPrintable(QStringLiteral("a cancelled dialog changed status panel %1").arg(panel)));
    QVERIFY2(m_form->DownloadProgress->isHidden(), "a cancelled dialog showed the progress bar");
}

void DownloadTest::aCommandDuringADownloadGoesOutBetweenTheFilesBytes_data()
{
    QTest::addColumn<qint32>("rate");
    QTest::addColumn<qsizetype>("size");
    QTest::newRow("at 9600 bit/s") << qint32{TApdComPort::kBaudRate} << qsizetype{1500};
    QTest::newRow("at 115200 bit/s") << kFastRate << qsizetype{20000};
}

void DownloadTest::aCommandDuringADownloadGoesOutBetweenTheFilesBytes()
{
    QFETCH(qint32, rate);
    QFETCH(qsizetype, size);
    QVERIFY2(m_form->ApdComPort1->setBaudRate(rate), "the pseudo-terminal refused the rate");
    const QByteArray content = hexLines(size, '5');
    m_form->ApdProtocol1->SetFileName(writeFile(QStringLiteral("long.hex"), content));
    m_form->ApdProtocol1->StartTransmit();

    QByteArray arrived = m_line->waitForBytes(size / 3, 20000);
    QVERIFY2(arrived.size() >= size / 3, "the download did not get going");
    // Everything the far end could read is read; what follows the command byte was still in our queues.
    arrived += m_line->readAvailable();
    const qsizetype before = arrived.size();
    QVERIFY2(m_form->ApdComPort1->GetOutBuffFree() >= 1, "the download left no room for a command");
    m_form->H1Click(nullptr);
    arrived += drainUntilIdle();

    QVERIFY2(arrived.count('h') == 1, qPrintable(QStringLiteral("the command byte arrived %1 times").arg(arrived.count('h'))));
    const qsizetype at = arrived.indexOf('h');
    const qint64 lead = m_form->ApdProtocol1->lead();
    QVERIFY2(at >= before && at <= before + lead,
             qPrintable(QStringLiteral("the command byte came at %1, after %2 bytes were out; it may wait behind "
                                       "at most %3 bytes of the file")
                            .arg(at)
                            .arg(before)
                            .arg(lead)));
    QVERIFY2(at < content.size(), "the command byte waited behind the whole file");
    QByteArray file = arrived;
    file.remove(at, 1);
    QVERIFY2(file == content, qPrintable(QStringLiteral("around the command byte the file arrived as %1 of %2 bytes, "
                                                        "not whole")
                                             .arg(file.size())
                                             .arg(content.size())));
}

void DownloadTest::onlyASmallLeadEverQueuesAndCommandsAlwaysFindRoom_data()
{
    QTest::addColumn<qint32>("rate");
    QTest::addColumn<qsizetype>("size");
    QTest::addColumn<bool>("farEndStalls");
    QTest::newRow("at the console's 9600 bit/s") << qint32{TApdComPort::kBaudRate} << qsizetype{1200} << false;
    QTest::newRow("at 4000000 bit/s") << qint32{4000000} << qsizetype{400000} << false;
    QTest::newRow("at 4000000 bit/s, far end stalling") << qint32{4000000} << qsizetype{400000} << true;
}

void DownloadTest::onlyASmallLeadEverQueuesAndCommandsAlwaysFindRoom()
{
    QFETCH(qint32, rate);
    QFETCH(qsizetype, size);
    QFETCH(bool, farEndStalls);
    QVERIFY2(m_form->ApdComPort1->setBaudRate(rate), "the pseudo-terminal refused the rate");
    const qint64 lead = m_form->ApdProtocol1->lead();
    if (rate == TApdComPort::kBaudRate)
        QCOMPARE(lead, TApdProtocol::kLeadBytesAt9600);
    // What the sender may hold in the port, plus a command put meanwhile.
    const qint64 allowed = std::min(lead, TApdComPort::kOutputCapacity - TApdProtocol::kCommandRoom) + 1;
    const QByteArray content = hexLines(size, '9');
    m_form->ApdProtocol1->SetFileName(writeFile(QStringLiteral("paced.hex"), content));

    qint64 mostPending = 0;
    int leastFree = TApdComPort::kOutputCapacity;
    int commands = 0;
    QTimer sampler;
    sampler.setTimerType(Qt::PreciseTimer);
    connect(&sampler, &QTimer::timeout, this, [&] {
        mostPending = std::max(mostPending, m_form->ApdComPort1->pendingOutput());
        leastFree = std::min<int>(leastFree, m_form->ApdComPort1->GetOutBuffFree());
        // A command now and then, as an operator would; each must find room.
        if (++commands % 100 == 0)
            m_form->SpeedButton9Click(nullptr);
    });
    sampler.start(1);
    m_form->ApdProtocol1->StartTransmit();
    QByteArray arrived;
    if (farEndStalls) {
        // The far end stops reading for a while: the pty fills and the port starts to hold bytes.
        arrived = m_line->waitForBytes(size / 4, 20000);
        QTest::qWait(300);
    }
    arrived += drainUntilIdle();
    sampler.stop();

    QVERIFY2(mostPending <= allowed,
             qPrintable(QStringLiteral("up to %1 bytes were pending; at most %2 may be").arg(mostPending).arg(allowed)));
    QVERIFY2(leastFree >= TApdComPort::kOutputCapacity - allowed,
             qPrintable(QStringLiteral("free output space fell to %1").arg(leastFree)));
    QByteArray withoutEnters;
    // The file's own CRs come in CR LF pairs; a command CR is one not followed by LF.
    for (qsizetype i = 0; i < arrived.size(); ++i) {
        if (arrived[i] == '\r' && (i + 1 == arrived.size() || arrived[i + 1] != '\n'))
            continue;
        withoutEnters += arrived[i];
    }
    QVERIFY2(withoutEnters == content, "the file did not arrive whole around the commands");
}

void DownloadTest::aSecondDownloadFollowsTheFirstWhole()
{
    const QByteArray first = hexLines(6000, 'A');
    const QByteArray second = hexLines(4000, 'B');
    const QString firstPath = writeFile(QStringLiteral("first.hex"), first);
    const QString secondPath = writeFile(QStringLiteral("second.hex"), second);
    QSignalSpy started(m_form->ApdProtocol1, &TApdProtocol::transferStarted);
    QSignalSpy finished(m_form->ApdProtocol1, &TApdProtocol::transferFinished);

    {
        DialogAnswerer answerer(firstPath);
        m_form->D1Click(nullptr);
    }
    QByteArray arrived = m_line->waitForBytes(500);
    QVERIFY2(m_form->ApdProtocol1->busy(), "the first download ended before the second could start");
    {
        // The second starts while the first is on the line, through the other trigger.
        DialogAnswerer answerer(secondPath);
        m_form->SpeedButton8Click(nullptr);
        QVERIFY2(answerer.answered, "no file dialog opened for the second download");
    }
    arrived += drainUntilIdle();

    QVERIFY2(arrived == first + second,
             qPrintable(QStringLiteral("%1 bytes arrived, not the first file (%2) and then the second (%3) whole")
                            .arg(arrived.size())
                            .arg(first.size())
                            .arg(second.size())));
    QVERIFY2(finished.count() == 2, qPrintable(QStringLiteral("%1 transfers were reported done").arg(finished.count())));
    QCOMPARE(finished.at(0).at(0).toString(), firstPath);
    QCOMPARE(finished.at(1).at(0).toString(), secondPath);
    QVERIFY2(started.count() == 2, "each download must be started once");
}

void DownloadTest::stopEndsEveryDownloadAndNoByteOfAFileFollowsIt_data()
{
    // Stop is clicked once this many bytes of the first file have arrived; negative counts from its end.
    QTest::addColumn<qsizetype>("stopAt");
    QTest::addColumn<bool>("secondQueued");
    // The far end stops reading before Stop, at a rate at which the line then fills and our queue holds bytes.
    QTest::addColumn<bool>("farEndStalls");
    QTest::newRow("early") << qsizetype{40} << false << false;
    QTest::newRow("middle") << qsizetype{1200} << false << false;
    QTest::newRow("last chunk") << qsizetype{-8} << false << false;
    QTest::newRow("early, a second download queued") << qsizetype{40} << true << false;
    QTest::newRow("middle, a second download queued") << qsizetype{1200} << true << false;
    QTest::newRow("far end not reading, our queue holding bytes") << qsizetype{2000} << true << true;
}

void DownloadTest::stopEndsEveryDownloadAndNoByteOfAFileFollowsIt()
{
    QFETCH(qsizetype, stopAt);
    QFETCH(bool, secondQueued);
    QFETCH(bool, farEndStalls);
    // The console's own rate, where the sender keeps only its small lead ahead of the line; a stalled far
    // end is played at a rate at which the sender fills the line and then our queue.
    QVERIFY2(m_form->ApdComPort1->setBaudRate(farEndStalls ? 4000000 : TApdComPort::kBaudRate),
             "the pseudo-terminal refused the rate");
    const QByteArray first = hexLines(farEndStalls ? 400000 : 2400, '1');
    const QByteArray second = hexLines(900, '2');
    const QByteArray next = hexLines(700, '3');
    QSignalSpy cancelled(m_form->ApdProtocol1, &TApdProtocol::transferCancelled);
    QSignalSpy failed(m_form->ApdProtocol1, &TApdProtocol::transferFailed);
    m_form->ApdProtocol1->SetFileName(writeFile(QStringLiteral("first.hex"), first));
    m_form->ApdProtocol1->StartTransmit();
    if (secondQueued) {
        m_form->ApdProtocol1->SetFileName(writeFile(QStringLiteral("second.hex"), second));
        m_form->ApdProtocol1->StartTransmit();
    }

    const qsizetype threshold = stopAt >= 0 ? stopAt : first.size() + stopAt;
    QByteArray arrived = m_line->waitForBytes(threshold, 20000);
    QVERIFY2(arrived.size() >= threshold, "the download did not get that far");
    if (farEndStalls) {
        QTest::qWait(300);
        QVERIFY2(m_form->ApdComPort1->pendingOutput() > 0, "the stalled line left nothing in our queue");
    }
    QVERIFY2(m_form->ApdProtocol1->busy(), "the download ended before Stop could be clicked");
    QElapsedTimer clock;
    clock.start();
    QTest::mouseClick(m_form->SpeedButton5, Qt::LeftButton);
    // Nothing of the file is left in our queue or the driver's: the stop byte is all that waits.
    const qint64 pending = m_form->ApdComPort1->pendingOutput();
    QVERIFY2(pending <= 1, qPrintable(QStringLiteral("%1 bytes still wait in front of the stop byte").arg(pending)));
    while (!arrived.contains('S') && clock.elapsed() < 2000) {
        QTest::qWait(1);
        arrived += m_line->readAvailable();
    }
    const qint64 stopMs = clock.elapsed();
    qInfo("Stop clicked to S at the far end: %lld ms", stopMs);
    arrived += m_line->collectFor(300);

    QVERIFY2(arrived.count('S') == 1, qPrintable(QStringLiteral("the stop byte arrived %1 times").arg(arrived.count('S'))));
    QVERIFY2(stopMs <= 100, qPrintable(QStringLiteral("the stop byte took %1 ms to reach the far end").arg(stopMs)));
    const qsizetype at = arrived.indexOf('S');
    QVERIFY2(at == arrived.size() - 1,
             qPrintable(QStringLiteral("%1 bytes followed the stop byte: %2").arg(arrived.size() - 1 - at).arg(hexOf(arrived.mid(at + 1)))));
    QVERIFY2(first.startsWith(arrived.left(at)), "what came before the stop byte is not the start of the file");
    QVERIFY2(!m_form->ApdProtocol1->busy(), "the sender is still busy after Stop");
    QVERIFY2(m_form->DownloadProgress->isHidden(), "the progress bar stayed up after Stop");
    QVERIFY2(cancelled.count() == (secondQueued ? 2 : 1) && failed.isEmpty(),
             qPrintable(QStringLiteral("%1 transfers were reported stopped and %2 failed").arg(cancelled.count()).arg(failed.count())));
    QCOMPARE(m_form->StatusBar1->panelText(TForm1::DirectionPanel), QStringLiteral("정지"));

    // The next download goes out whole.
    m_form->ApdProtocol1->SetFileName(writeFile(QStringLiteral("next.hex"), next));
    m_form->ApdProtocol1->StartTransmit();
    const QByteArray again = drainUntilIdle();
    QVERIFY2(again == next, qPrintable(QStringLiteral("the next download arrived as %1 of %2 bytes").arg(again.size()).arg(next.size())));
}

void DownloadTest::closingTheWindowDuringADownloadSendsNothingMore()
{
    QVERIFY2(m_form->ApdComPort1->setBaudRate(TApdComPort::kBaudRate), "the pseudo-terminal refused 9600 bit/s");
    m_form->ApdProtocol1->SetFileName(writeFile(QStringLiteral("long.hex"), hexLines(3000, '4')));
    m_form->ApdProtocol1->StartTransmit();
    m_form->show();
    QVERIFY2(m_line->waitForBytes(300, 20000).size() >= 300, "the download did not get going");
    QElapsedTimer clock;
    clock.start();
    QVERIFY2(m_form->close(), "the window refused to close");
    m_form.reset();
    const qint64 closeMs = clock.elapsed();
    const QByteArray after = m_line->collectFor(300);
    QVERIFY2(after.isEmpty(), qPrintable(QStringLiteral("%1 bytes went out after the window closed").arg(after.size())));
    QVERIFY2(closeMs < 200, qPrintable(QStringLiteral("closing took %1 ms").arg(closeMs)));
}

void DownloadTest::theProgressBarFollowsTheTransferAndHidesAfterwards()
{
    m_form->ApdProtocol1->statusInterval = 1;
    const QByteArray content = hexLines(12000, 'C');
    m_form->ApdProtocol1->SetFileName(writeFile(QStringLiteral("bar.hex"), content));
    QVERIFY2(m_form->DownloadProgress->isHidden(), "the progress bar shows before any transfer");

    QList<int> values;
    bool shownWhileSending = false;
    connect(m_form->ApdProtocol1, &TApdProtocol::transferProgress, this, [&] {
        values << m_form->DownloadProgress->value();
        shownWhileSending = shownWhileSending || !m_form->DownloadProgress->isHidden();
    });
    m_form->ApdProtocol1->StartTransmit();
    drainUntilIdle();

    QVERIFY2(shownWhileSending, "the progress bar was hidden during the transfer");
    QVERIFY2(values.size() >= 3, qPrintable(QStringLiteral("only %1 progress reports").arg(values.size())));
    QVERIFY2(std::is_sorted(values.begin(), values.end()), "the progress bar went backwards");
    QVERIFY2(values.constLast() == m_form->DownloadProgress->maximum(), "the progress bar did not reach its end");
    QVERIFY2(m_form->DownloadProgress->isHidden(), "the progress bar stayed up after the transfer");
}

void DownloadTest::aFileThatCannotBeSentShowsWhyAndTheWindowKeepsWorking_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("because");
    QTest::newRow("missing") << QStringLiteral("missing") << QStringLiteral("파일이 없습니다");
    QTest::newRow("unreadable") << QStringLiteral("unreadable") << QStringLiteral("읽을 권한이 없습니다");
    QTest::newRow("directory") << QStringLiteral("directory") << QStringLiteral("폴더는 보낼 수 없습니다");
    QTest::newRow("FIFO") << QStringLiteral("fifo") << QStringLiteral("파이프(FIFO)");
    QTest::newRow("/dev/null") << QStringLiteral("null") << QStringLiteral("장치 파일");
    QTest::newRow("a pseudo-terminal") << QStringLiteral("pty") << QStringLiteral("장치 파일");
    QTest::newRow("a socket") << QStringLiteral("socket") << QStringLiteral("일반 파일이 아니어서");
    QTest::newRow("no file named") << QStringLiteral("none") << QStringLiteral("정해지지 않았습니다");
    // Their reported lengths (0, a whole page) are not what reading gives.
    QTest::newRow("a /proc file") << QStringLiteral("proc") << QStringLiteral("특수 파일");
    QTest::newRow("a /sys file") << QStringLiteral("sys") << QStringLiteral("특수 파일");
    // A name that would break the message into lines of its own, clear a terminal, turn text around, and be
    // read as markup.
    QTest::newRow("a name with a line break, an escape and a direction override")
        << QStringLiteral("crafted") << QStringLiteral("파일이 없습니다");
}

void DownloadTest::aFileThatCannotBeSentShowsWhyAndTheWindowKeepsWorking()
{
    QFETCH(QString, kind);
    QFETCH(QString, because);
    PtyPair other;
    int socketFd = -1;
    QString path = m_dir->filePath(QStringLiteral("thing.hex"));
    if (kind == QLatin1String("unreadable")) {
        if (::geteuid() == 0)
            QSKIP("running as root, which reads any file whatever its permissions");
        writeFile(QStringLiteral("thing.hex"), ":00000001FF\r\n");
        QVERIFY2(::chmod(QFile::encodeName(path).constData(), 0) == 0, "could not take away read permission");
    } else if (kind == QLatin1String("directory")) {
        QVERIFY2(QDir(m_dir->path()).mkdir(QStringLiteral("thing.hex")), "could not make the directory");
    } else if (kind == QLatin1String("fifo")) {
        QVERIFY2(::mkfifo(QFile::encodeName(path).constData(), 0600) == 0, "could not make the FIFO");
    } else if (kind == QLatin1String("null")) {
        path = QStringLiteral("/dev/null");
    } else if (kind == QLatin1String("pty")) {
        QVERIFY2(other.isValid(), "could not make a second pseudo-terminal pair");
        path = other.slavePath();
    } else if (kind == QLatin1String("socket")) {
        socketFd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const QByteArray native = QFile::encodeName(path);
        QVERIFY2(native.size() < qsizetype(sizeof address.sun_path), "the socket path is too long");
        std::memcpy(address.sun_path, native.constData(), static_cast<size_t>(native.size()));
        QVERIFY2(::bind(socketFd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0,
                 "could not make the socket");
    } else if (kind == QLatin1String("none")) {
        path.clear();
    } else if (kind == QLatin1String("proc")) {
        path = QStringLiteral("/proc/version");
    } else if (kind == QLatin1String("sys")) {
        path = QStringLiteral("/sys/devices/system/cpu/online");
    } else if (kind == QLatin1String("crafted")) {
        path = m_dir->filePath(QStringLiteral("<b>a\n파일을 모두 보냈습니다.\x1b[2J\u202Exeh.hex"));
    }
    QSignalSpy failed(m_form->ApdProtocol1, &TApdProtocol::transferFailed);
    QSignalSpy finished(m_form->ApdProtocol1, &TApdProtocol::transferFinished);
    m_form->show();
    QVERIFY(QTest::qWaitForWindowActive(m_form.get()));

    m_form->ApdProtocol1->SetFileName(path);
    m_form->ApdProtocol1->StartTransmit();
    QTRY_VERIFY2(failed.count() == 1, "the transfer was not reported failed");
    QByteArray sent = m_line->collectFor(50);
    QVERIFY2(sent.isEmpty(), qPrintable(QStringLiteral("a file that could not be sent put %1").arg(hexOf(sent))));
    // While the message is up, the operator can still stop the target.
    QTest::mouseClick(m_form->SpeedButton5, Qt::LeftButton);
    sent = m_line->waitForBytes(1);
    QVERIFY2(sent == "S", qPrintable(QStringLiteral("with the message up, stop sent '%1'").arg(hexOf(sent))));
    const QString message = takeFailureMessage();
    if (socketFd >= 0)
        ::close(socketFd);

    QVERIFY2(!message.isEmpty(), "no failure message was shown");
    QVERIFY2(message.contains(printableText(path)),
             qPrintable(QStringLiteral("the message does not name the file: %1").arg(message)));
    // Its own lines are the message's; the name stays whole on the first.
    QVERIFY2(std::none_of(message.begin(), message.end(),
                          [](QChar c) { return (c < u' ' && c != u'\n') || c == u'\u202e'; }),
             qPrintable(QStringLiteral("the message carries a control character of the name: %1").arg(message)));
    QVERIFY2(message.section(u'\n', 0, 0)
                 == QStringLiteral("파일 %1을(를) 보내지 못했습니다.").arg(printableText(path)),
             qPrintable(QStringLiteral("the first line does not name the file whole: %1").arg(message)));
    QVERIFY2(message.contains(because), qPrintable(QStringLiteral("the message does not say '%1': %2").arg(because, message)));
    QVERIFY2(message.contains(QStringLiteral("십시오")), qPrintable(QStringLiteral("the message does not say what to do: %1").arg(message)));
    QVERIFY2(!message.contains(QStringLiteral("F5")),
             qPrintable(
                 QStringLiteral("nothing was sent, yet the robot is to be put into load mode again: %1").arg(message)));
    QVERIFY2(m_failureFormat == Qt::PlainText, "the message box would read the file's name as markup");
    QVERIFY2(failed.count() == 1 && finished.isEmpty(), "the transfer was not reported failed exactly once");
    verifyTheWindowStillWorks();
}

void DownloadTest::aFileChangedMidTransferEndsItAsFailed_data()
{
    QTest::addColumn<QString>("change");
    QTest::addColumn<QString>("because");
    QTest::newRow("removed") << QStringLiteral("remove") << QStringLiteral("지워졌거나");
    QTest::newRow("replaced by another file") << QStringLiteral("replace") << QStringLiteral("다른 파일로 바뀌었습니다");
    QTest::newRow("cut short") << QStringLiteral("truncate") << QStringLiteral("짧아졌습니다");
    QTest::newRow("grown") << QStringLiteral("append") << QStringLiteral("길이가 바뀌었습니다");
    QTest::newRow("rewritten in place, same length") << QStringLiteral("rewrite") << QStringLiteral("내용이 바뀌었습니다");
    QTest::newRow("one byte ahead rewritten in place") << QStringLiteral("poke") << QStringLiteral("내용이 바뀌었습니다");
}

void DownloadTest::aFileChangedMidTransferEndsItAsFailed()
{
    QFETCH(QString, change);
    QFETCH(QString, because);
    const QByteArray content = hexLines(24000, 'D');
    const QString path = writeFile(QStringLiteral("changing.hex"), content);
    QSignalSpy finished(m_form->ApdProtocol1, &TApdProtocol::transferFinished);
    m_form->ApdProtocol1->SetFileName(path);
    m_form->ApdProtocol1->StartTransmit();
    QByteArray arrived = m_line->waitForBytes(2000, 20000);
    QVERIFY2(arrived.size() >= 2000, "the download did not get going");

    const QByteArray native = QFile::encodeName(path);
    if (change == QLatin1String("remove")) {
        QVERIFY2(QFile::remove(path), "could not remove the file");
    } else if (change == QLatin1String("replace")) {
        const QString other = writeFile(QStringLiteral("other.hex"), content);
        QVERIFY2(::rename(QFile::encodeName(other).constData(), native.constData()) == 0, "could not replace the file");
    } else if (change == QLatin1String("truncate")) {
        QVERIFY2(::truncate(native.constData(), 20000) == 0, "could not cut the file short");
    } else if (change == QLatin1String("append")) {
        QFile file(path);
        QVERIFY2(file.open(QIODevice::Append) && file.write("\r\n") == 2, "could not grow the file");
    } else {
        // Through the same inode, without truncating: only the times tell.
        QFile file(path);
        const QByteArray other = change == QLatin1String("rewrite") ? hexLines(content.size(), 'E') : QByteArray("E");
        QVERIFY2(file.open(QIODevice::ReadWrite) && file.seek(change == QLatin1String("rewrite") ? 0 : 20000)
                     && file.write(other) == other.size(),
                 "could not rewrite the file");
    }

    const QString message = takeFailureMessage(30000, &arrived);
    arrived += drainUntilIdle();
    QVERIFY2(message.contains(path) && message.contains(because),
             qPrintable(QStringLiteral("expected a message naming the file and saying '%1', got '%2'").arg(because, message)));
    // Part of a program reached the robot: it is to be put into load mode again before the file goes anew.
    QVERIFY2(
        message.contains(QStringLiteral("로봇에는")) && message.contains(QStringLiteral("F5를 눌러"))
            && message.contains(QStringLiteral("처음부터 다시 보내십시오")),
        qPrintable(QStringLiteral("the message does not tell to send again from load mode (F5): %1").arg(message)));
    QVERIFY2(finished.isEmpty(), "a changed file was reported as sent");
    QVERIFY2(content.startsWith(arrived), qPrintable(QStringLiteral("the %1 bytes that arrived are not the start of the file")
                                                         .arg(arrived.size())));
    verifyTheWindowStillWorks();
}

void DownloadTest::aPortFailingMidTransferEndsItAndNothingMoreIsPut()
{
    const QByteArray content = hexLines(30000, 'E');
    const QString path = writeFile(QStringLiteral("cut.hex"), content);
    const QString queued = writeFile(QStringLiteral("queued.hex"), hexLines(100, 'F'));
    QSignalSpy finished(m_form->ApdProtocol1, &TApdProtocol::transferFinished);
    QSignalSpy failed(m_form->ApdProtocol1, &TApdProtocol::transferFailed);
    m_form->ApdProtocol1->SetFileName(path);
    m_form->ApdProtocol1->StartTransmit();
    m_form->ApdProtocol1->SetFileName(queued);
    m_form->ApdProtocol1->StartTransmit();
    const QByteArray arrived = m_line->waitForBytes(2000, 20000);
    QVERIFY2(arrived.size() >= 2000, "the download did not get going");

    int progressAfterFailure = 0;
    qint64 sentAfterFailure = 0;
    connect(m_form->ApdComPort1, &TApdComPort::failed, this, [&] {
        connect(m_form->ApdProtocol1, &TApdProtocol::transferProgress, this, [&] { ++progressAfterFailure; });
        connect(m_form->ApdComPort1, &TApdComPort::bytesSent, this, [&](qint64 n) { sentAfterFailure += n; });
    });
    m_line->closeMaster();

    const QString firstMessage = takeFailureMessage(10000);
    const QString secondMessage = takeFailureMessage(2000);
    QVERIFY2(m_form->ApdComPort1->hasFailed(), "closing the far end did not fail the port");
    QVERIFY2(firstMessage.contains(path) && firstMessage.contains(m_form->ApdComPort1->device()),
             qPrintable(QStringLiteral("the message does not name the file and the port: %1").arg(firstMessage)));
    QVERIFY2(secondMessage.contains(queued), qPrintable(QStringLiteral("the queued download was not reported failed: %1")
                                                            .arg(secondMessage)));
    QVERIFY2(finished.isEmpty() && failed.count() == 2, "a transfer on a failed port was reported as sent");
    QVERIFY2(!m_form->ApdProtocol1->busy(), "the sender is still busy on a failed port");

    // A later download fails at once instead of hanging, and nothing at all is put any more.
    m_form->ApdProtocol1->SetFileName(path);
    m_form->ApdProtocol1->StartTransmit();
    const QString laterMessage = takeFailureMessage();
    QVERIFY2(laterMessage.contains(path), qPrintable(QStringLiteral("a download on the failed port showed '%1'").arg(laterMessage)));
    m_form->SpeedButton1Click(nullptr);
    QTest::qWait(50);
    QVERIFY2(progressAfterFailure == 0 && sentAfterFailure == 0,
             qPrintable(QStringLiteral("after the port failed, %1 progress reports and %2 bytes followed")
                            .arg(progressAfterFailure)
                            .arg(sentAfterFailure)));
    QVERIFY2(m_form->DownloadProgress->isHidden(), "the progress bar stayed up after the port failed");
}

void DownloadTest::aFileWhoseNameIsNotUtf8IsListedAndSent_data()
{
    QTest::addColumn<QByteArray>("native");
    QTest::addColumn<QString>("shown");
    QTest::newRow("Hangul in code page 949") << cp949Encode(u"프로그램.hex") << QStringLiteral("프로그램.hex");
    QTest::newRow("Latin-1") << QByteArray("caf\xe9.HEX") << QStringLiteral("caf\uFFFD.HEX");
}

void DownloadTest::aFileWhoseNameIsNotUtf8IsListedAndSent()
{
    QFETCH(QByteArray, native);
    QFETCH(QString, shown);
    const QByteArray content = hexLines(3000, 'K');
    const QByteArray path = QFile::encodeName(m_dir->path()) + '/' + native;
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_EXCL, 0644);
    // Qt cannot list the name either, so the temporary folder could not remove it.
    const std::unique_ptr<const char, void (*)(const char*)> removal(path.constData(), [](const char* name) { ::unlink(name); });
    QVERIFY2(fd >= 0 && ::write(fd, content.constData(), size_t(content.size())) == content.size(),
             "could not write the file");
    ::close(fd);
    writeFile(QStringLiteral("other.hex"), "x");
    writeFile(QStringLiteral("notes.txt"), "x");
    QDir(m_dir->path()).mkdir(QStringLiteral("folder"));
    m_form->OpenDialog1->InitialDir = m_dir->path();

    QStringList listed;
    bool chosen = false;
    int polls = 0;
    QTimer poll;
    connect(&poll, &QTimer::timeout, this, [&] {
        auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        if (dialog == nullptr || chosen)
            return;
        auto* list = dialog->findChild<QListView*>(QStringLiteral("rawNamedFiles"));
        auto* open = dialog->findChild<QPushButton*>(QStringLiteral("openRawNamedFile"));
        if (list == nullptr || open == nullptr) {
            dialog->reject();
            return;
        }
        // The folder is read on a worker thread; the list shows when it has been read.
        if (!list->isVisible() && ++polls < 300)
            return;
        const QAbstractItemModel* names = list->model();
        for (int row = 0; row < names->rowCount(); ++row)
            listed << names->index(row, 0).data().toString();
        chosen = true;
        if (!list->isVisible() || names->rowCount() != 1) {
            dialog->reject();
            return;
        }
        list->setCurrentIndex(names->index(0, 0));
        QTest::mouseClick(open, Qt::LeftButton);
    });
    poll.start(10);
    QSignalSpy finished(m_form->ApdProtocol1, &TApdProtocol::transferFinished);
    m_form->SpeedButton8Click(nullptr);
    poll.stop();
    QVERIFY2(listed == QStringList{shown}, qPrintable(QStringLiteral("the dialog listed '%1' under it, expected '%2'")
                                                          .arg(listed.join(QStringLiteral("', '")), shown)));
    QVERIFY2(encodeFileName(m_form->OpenDialog1->FileName) == path,
             qPrintable(QStringLiteral("the chosen name is %1").arg(hexOf(encodeFileName(m_form->OpenDialog1->FileName), 100))));
    const QByteArray arrived = drainUntilIdle();
    QVERIFY2(arrived == content, qPrintable(QStringLiteral("%1 of the %2 bytes arrived").arg(arrived.size()).arg(content.size())));
    QVERIFY2(finished.count() == 1 && takeFailureMessage(50).isEmpty(), "the transfer was not reported done");
}

void DownloadTest::qtsOwnTextsAreKorean_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("expected");
    QTest::newRow("the open dialog's title") << QStringLiteral("title") << QStringLiteral("열기");
    QTest::newRow("its open button") << QStringLiteral("accept") << QStringLiteral("열기(&O)");
    QTest::newRow("its cancel button") << QStringLiteral("reject") << QStringLiteral("취소");
    QTest::newRow("its folder label") << QStringLiteral("lookInLabel") << QStringLiteral("다음에서 찾기:");
    QTest::newRow("its file name label") << QStringLiteral("fileNameLabel") << QStringLiteral("파일 이름(&N):");
    QTest::newRow("its file type label") << QStringLiteral("fileTypeLabel") << QStringLiteral("파일 형식:");
    QTest::newRow("a message box's OK button") << QStringLiteral("message box") << QStringLiteral("확인");
}

void DownloadTest::qtsOwnTextsAreKorean()
{
    QFETCH(QString, text);
    QFETCH(QString, expected);
    QString shown;
    if (text == QLatin1String("message box")) {
        m_form->ApdProtocol1->SetFileName(m_dir->filePath(QStringLiteral("absent.hex")));
        m_form->ApdProtocol1->StartTransmit();
        QMessageBox* box = nullptr;
        QTRY_VERIFY2((box = m_form->findChild<QMessageBox*>(QStringLiteral("DownloadFailure"))) != nullptr
                         && box->isVisible(),
                     "no failure message was shown");
        const QList<QAbstractButton*> buttons = box->buttons();
        QVERIFY2(buttons.size() == 1, qPrintable(QStringLiteral("the message has %1 buttons").arg(buttons.size())));
        shown = buttons.constFirst()->text();
        box->accept();
    } else {
        DialogAnswerer answerer{QString()};
        m_form->D1Click(nullptr);
        QVERIFY2(answerer.answered, "no file dialog opened");
        QVERIFY2(answerer.texts.contains(text), qPrintable(QStringLiteral("the dialog has no %1").arg(text)));
        shown = answerer.texts.value(text);
    }
    QVERIFY2(shown == expected, qPrintable(QStringLiteral("Qt's text is '%1', not '%2'").arg(shown, expected)));
}

void DownloadTest::theDialogReturnsToTheLastFolderUntilTheProgramEnds()
{
    QVERIFY2(QDir(m_dir->path()).mkdir(QStringLiteral("a")) && QDir(m_dir->path()).mkdir(QStringLiteral("b")),
             "could not make the folders");
    const QString a = QFileInfo(m_dir->filePath(QStringLiteral("a"))).canonicalFilePath();
    const QString b = QFileInfo(m_dir->filePath(QStringLiteral("b"))).canonicalFilePath();
    const QString inA = writeFile(QStringLiteral("a/one.hex"), ":00000001FF\r\n");
    const QString inB = writeFile(QStringLiteral("b/two.hex"), ":00000001FF\r\n");
    const QString start = QDir::current().canonicalPath();
    QVERIFY2(start != a && start != b, "the tests run inside their own temporary folder");

    // Each step: the file to confirm (empty: cancel), and where the dialog must open.
    const QList<std::pair<QString, QString>> steps{
        {inA, start}, {QString(), a}, {QString(), a}, {inB, a}, {QString(), b}};
    for (qsizetype i = 0; i < steps.size(); ++i) {
        DialogAnswerer answerer(steps[i].first);
        m_form->D1Click(nullptr);
        QVERIFY2(answerer.answered, qPrintable(QStringLiteral("step %1: no file dialog opened").arg(i + 1)));
        QVERIFY2(QFileInfo(answerer.folder).canonicalFilePath() == steps[i].second,
                 qPrintable(QStringLiteral("step %1: the dialog opened in %2, not %3")
                                .arg(i + 1)
                                .arg(answerer.folder, steps[i].second)));
        drainUntilIdle();
    }

    // The next run of the console starts afresh.
    m_form.reset();
    m_line = std::make_unique<PtyPair>();
    m_form = std::make_unique<TForm1>(m_line->slavePath());
    DialogAnswerer answerer{QString()};
    m_form->D1Click(nullptr);
    QVERIFY2(answerer.answered, "no file dialog opened in the new window");
    QVERIFY2(QFileInfo(answerer.folder).canonicalFilePath() == start,
             qPrintable(QStringLiteral("a new window's dialog opened in %1, not %2").arg(answerer.folder, start)));
}

QTEST_MAIN(DownloadTest)
#include "tst_download.moc"
