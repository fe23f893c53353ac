// Faults from outside: a device that vanishes, a port held by another program or closed to this user.

#include "app/statusbar.h"
#include "app/tform1.h"
#include "link/apdcomport.h"
#include "tests/ptypair.h"

#include <QEventLoop>
#include <QLabel>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

namespace {

double processCpuSeconds()
{
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
        + static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Runs the harness on `device` (optionally through a wrapper such as setpriv) until it exits.
struct HarnessRun
{
    int status = -1;
    QString output;
};

HarnessRun runHarness(const QString& device, const QStringList& wrapper = {})
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    process.setProcessEnvironment(environment);
    QStringList command = wrapper;
    command << QStringLiteral(CONSOLE_HARNESS) << device;
    process.start(command.takeFirst(), command);
    if (!process.waitForFinished(20000)) {
        process.kill();
        process.waitForFinished();
    }
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            QString::fromUtf8(process.readAll())};
}

} // namespace

class FaultsTest : public QObject
{
    Q_OBJECT

private slots:
    void aDeviceThatVanishesIsClosedOnceAndTheWindowKeepsWorking();
    void aPortHeldByAnotherProgramIsNamedWithItsReason();
    void aPortThisUserMayNotOpenIsNamedWithItsReason();
};

void FaultsTest::aDeviceThatVanishesIsClosedOnceAndTheWindowKeepsWorking()
{
    PtyPair line;
    QVERIFY2(line.isValid(), "could not make a pseudo-terminal pair");
    TForm1 form(line.slavePath());
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    QSignalSpy failures(form.ApdComPort1, &TApdComPort::failed);
    line.send("before the cable was pulled\r\n");
    QTest::qWait(50);

    line.closeMaster();
    QVERIFY2(failures.wait(3000), "the port did not notice that the device vanished");

    // Left open, a vanished device keeps the read notifier firing: the process would spin. An event loop
    // of its own, not QTest::qWait, which wakes every 10 ms and would count its own polling.
    const double before = processCpuSeconds();
    QEventLoop idle;
    QTimer end;
    end.setSingleShot(true);
    QObject::connect(&end, &QTimer::timeout, &idle, &QEventLoop::quit);
    end.start(3000);
    idle.exec();
    const double spent = processCpuSeconds() - before;
    QVERIFY2(spent < 0.03, qPrintable(QStringLiteral("%1 s of CPU in the 3 s after the device vanished").arg(spent)));
    QCOMPARE(failures.size(), 1);

    form.FormActivate(&form);
    QCOMPARE(form.Label3->text(), QStringLiteral("오류가 발생하였습니다."));

    // Later clicks and keys are harmless, and the window still answers.
    QTest::mouseClick(form.SpeedButton1, Qt::LeftButton);
    QTest::keyClick(&form, Qt::Key_F1);
    QTest::keyClick(&form, Qt::Key_Delete);
    QCOMPARE(form.StatusBar1->panelText(1), QStringLiteral("전진"));
    QCOMPARE(form.StatusBar1->panelText(2), QStringLiteral("화면 클리어"));
    QCOMPARE(failures.size(), 1);
}

void FaultsTest::aPortHeldByAnotherProgramIsNamedWithItsReason()
{
    PtyPair line;
    QVERIFY2(line.isValid(), "could not make a pseudo-terminal pair");
    QProcess holder;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    holder.setProcessEnvironment(environment);
    holder.start(QStringLiteral(CONSOLE_HARNESS), {line.slavePath()});
    QByteArray announced;
    QTRY_VERIFY2_WITH_TIMEOUT((announced += holder.readAllStandardOutput()).contains("running"),
                              qPrintable(QStringLiteral("the first console never came up: ")
                                         + QString::fromUtf8(announced + holder.readAllStandardError())),
                              15000);

    const HarnessRun second = runHarness(line.slavePath());
    holder.kill();
    holder.waitForFinished();

    QVERIFY2(second.status != 0 && second.status != -1,
             qPrintable(QStringLiteral("the second console ended with %1").arg(second.status)));
    QVERIFY2(second.output.contains(QStringLiteral("message: ")) && second.output.contains(line.slavePath())
                 && second.output.contains(QStringLiteral("사용 중")),
             qPrintable(QStringLiteral("the message does not name the device and why: ") + second.output));
}

void FaultsTest::aPortThisUserMayNotOpenIsNamedWithItsReason()
{
    if (::geteuid() != 0)
        QSKIP("needs root to run the console as another user who may not open the port");
    PtyPair line;
    QVERIFY2(line.isValid(), "could not make a pseudo-terminal pair");
    QVERIFY2(::chmod(line.slavePath().toLocal8Bit().constData(), 0600) == 0, "could not close the port to others");
    const QStringList asNobody{QStringLiteral("setpriv"), QStringLiteral("--reuid=65534"),
                               QStringLiteral("--regid=65534"), QStringLiteral("--clear-groups"), QStringLiteral("--")};
    if (QProcess::execute(asNobody.first(), asNobody.mid(1) + QStringList{QStringLiteral("test"), QStringLiteral("-x"),
                                                                          QStringLiteral(CONSOLE_HARNESS)})
        != 0)
        QSKIP("the harness is not reachable by an unprivileged user from this build folder");

    const HarnessRun run = runHarness(line.slavePath(), asNobody);
    QVERIFY2(run.status != 0 && run.status != -1, qPrintable(QStringLiteral("the console ended with %1").arg(run.status)));
    QVERIFY2(run.output.contains(line.slavePath()) && run.output.contains(QStringLiteral("권한이 없습니다")),
             qPrintable(QStringLiteral("the message does not name the device and why: ") + run.output));
}

QTEST_MAIN(FaultsTest)
#include "tst_faults.moc"
