// Faults from outside: a device that vanishes, and every way a start can fail to take the port (missing,
// closed to this user, held by another program through a lock file or flock, not a serial port, I/O error
// on open) or to show its window (no display), each run as a process of its own in a private mount namespace;
// and how the process that holds a port is named.

#include "app/statusbar.h"
#include "app/tform1.h"
#include "link/apdcomport.h"
#include "link/portdiagnosis.h"
#include "tests/ptypair.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QLabel>
#include <QProcess>
#include <QSignalSpy>
#include <QScopeGuard>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include <fcntl.h>
#include <grp.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <memory>

namespace {

double processCpuSeconds()
{
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
        + static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// A program run to its end (or until it announced "running" and was stopped), with its two channels apart.
struct HarnessRun
{
    int status = -1;
    bool ran = false;
    QString output;
    QString errors;
    QString lockFileWhileRunning;
};

QProcessEnvironment offscreenEnvironment()
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    return environment;
}

// Runs `command` in a private mount namespace where `lockDir` stands for /run/lock and, unless it is empty,
// `device` is bound over /dev/ttyS0, so that neither the machine's lock files nor its serial devices are
// touched. A run that prints "running" is stopped at once (after the lock file it made is read).
HarnessRun runInNamespace(const QString& lockDir, const QString& device, const QStringList& command,
                          const QProcessEnvironment& environment = offscreenEnvironment())
{
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(QStringLiteral("unshare"),
                  QStringList{QStringLiteral("--mount"), QStringLiteral("--propagation"), QStringLiteral("private"),
                              QStringLiteral("--"), QStringLiteral("sh"), QStringLiteral("-c"),
                              QStringLiteral("mount --bind \"$1\" /run/lock && { [ -z \"$2\" ] || mount --bind \"$2\" "
                                             "/dev/ttyS0; } && shift 2 && exec \"$@\""),
                              QStringLiteral("sh"), lockDir, device}
                      + command);
    HarnessRun run;
    QDeadlineTimer deadline(20000);
    while (process.state() != QProcess::NotRunning && !deadline.hasExpired()) {
        process.waitForReadyRead(50);
        run.output += QString::fromUtf8(process.readAllStandardOutput());
        if (!run.ran && run.output.contains(QStringLiteral("running\n"))) {
            run.ran = true;
            QFile lock(lockDir + QStringLiteral("/LCK..ttyS0"));
            if (lock.open(QIODevice::ReadOnly))
                run.lockFileWhileRunning = QString::fromUtf8(lock.readAll());
            process.kill();
        }
    }
    if (process.state() != QProcess::NotRunning)
        process.kill();
    process.waitForFinished();
    run.output += QString::fromUtf8(process.readAllStandardOutput());
    run.errors = QString::fromUtf8(process.readAllStandardError());
    run.status = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    return run;
}

// Empty where a private mount namespace can be made here; else why not, in unshare's own words (in a chroot,
// where / is not a mount point, it cannot make / private: EINVAL).
QString whyNoNamespace()
{
    if (::geteuid() != 0)
        return QStringLiteral("needs root, to bind a pseudo-terminal over /dev/ttyS0 in a private mount namespace");
    QProcess trial;
    trial.setProcessChannelMode(QProcess::MergedChannels);
    trial.start(QStringLiteral("unshare"),
                {QStringLiteral("--mount"), QStringLiteral("--propagation"), QStringLiteral("private"),
                 QStringLiteral("true")});
    if (trial.waitForFinished(20000) && trial.exitStatus() == QProcess::NormalExit && trial.exitCode() == 0)
        return {};
    return QStringLiteral("no private mount namespace here: ")
        + (trial.error() == QProcess::FailedToStart ? QStringLiteral("unshare is missing")
                                                    : QString::fromLocal8Bit(trial.readAll()).trimmed());
}

// A private /run/lock that every user may write, as the real one.
QString makeLockDir(const QTemporaryDir& dir)
{
    const QString path = dir.path() + QStringLiteral("/lock");
    QDir().mkpath(path);
    ::chmod(QFile::encodeName(path).constData(), 01777);
    return path;
}

void writeFile(const QString& path, const QByteArray& content, qint64 ageSeconds = 0)
{
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly), qPrintable(QStringLiteral("could not write ") + path));
    file.write(content);
    file.close();
    if (ageSeconds > 0) {
        const time_t then = ::time(nullptr) - static_cast<time_t>(ageSeconds);
        const utimbuf times{then, then};
        QVERIFY2(::utime(QFile::encodeName(path).constData(), &times) == 0, "could not age the lock file");
    }
}

QByteArray binaryPid(qint64 pid)
{
    const int value = static_cast<int>(pid);
    return QByteArray(reinterpret_cast<const char*>(&value), sizeof value);
}

// The lines that the console itself wrote on stderr.
QStringList consoleLines(const QString& errors)
{
    QStringList lines;
    for (const QString& line : errors.split(QLatin1Char('\n')))
        if (line.startsWith(QStringLiteral("robot-console: ")))
            lines << line;
    return lines;
}

} // namespace

class FaultsTest : public QObject
{
    Q_OBJECT

private slots:
    void aDeviceThatVanishesIsClosedOnceAndTheWindowKeepsWorking();
    void aStartThatFailsSaysWhatToDoInABoxAndOnStderr_data();
    void aStartThatFailsSaysWhatToDoInABoxAndOnStderr();
    void aLockOnThePortDecidesWhetherTheConsoleStarts_data();
    void aLockOnThePortDecidesWhetherTheConsoleStarts();
    void aHolderIsNamedAsProcTellsIt_data();
    void aHolderIsNamedAsProcTellsIt();
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

void FaultsTest::aStartThatFailsSaysWhatToDoInABoxAndOnStderr_data()
{
    // %DEVICE%, %GROUP% and %HOLDER% stand for what only the run knows.
    QTest::addColumn<QString>("setup");
    QTest::addColumn<QStringList>("parts");
    QTest::addColumn<QStringList>("absent");
    QTest::addColumn<bool>("box");
    const QString cannotOpen = QStringLiteral("직렬 포트 %DEVICE% 을(를) 열 수 없습니다");
    QTest::newRow("missing, no adapter present")
        << QStringLiteral("missing")
        << QStringList{cannotOpen, QStringLiteral("연결된 USB 직렬 어댑터도 없습니다"),
                       QStringLiteral("케이블과 USB 직렬 어댑터를 컴퓨터에 연결한 뒤 다시 실행하십시오")}
        << QStringList{QStringLiteral("장치 이름을 확인"), QStringLiteral("CONSOLE_COM1_DEVICE")} << true;
    QTest::newRow("missing, adapters present")
        << QStringLiteral("missing with adapters")
        << QStringList{cannotOpen, QStringLiteral("장치가 없습니다"),
                       QStringLiteral("usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0 (/dev/ttyUSB0)"),
                       QStringLiteral("/dev/ttyACM0"),
                       QStringLiteral(
                           "관리자에게 그 어댑터를 COM1로 지정하도록 요청하십시오: sudo robot-console-com1 assign "
                           "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0")}
        << QStringList{QStringLiteral("장치 이름을 확인"), QStringLiteral("연결된 USB 직렬 어댑터도 없습니다"),
                       QStringLiteral("CONSOLE_COM1_DEVICE")}
        << true;
    QTest::newRow("no permission")
        << QStringLiteral("no permission")
        << QStringList{cannotOpen, QStringLiteral("권한이 없습니다"), QStringLiteral("sudo usermod -aG %GROUP% nobody"),
                       QStringLiteral("로그아웃했다가 다시 로그인하십시오")}
        << QStringList{QStringLiteral("dialout")} << true;
    QTest::newRow("stale lock file that this user may not remove")
        << QStringLiteral("foreign stale lock")
        << QStringList{cannotOpen, QStringLiteral("잠금 파일 /run/lock/LCK..ttyS0"),
                       QStringLiteral("sudo rm /run/lock/LCK..ttyS0")}
        << QStringList{QStringLiteral("다른 프로그램이 사용 중")} << true;
    QTest::newRow("busy, another console runs on it")
        << QStringLiteral("busy")
        << QStringList{cannotOpen, QStringLiteral("다른 프로그램이 사용 중"), QStringLiteral("console-harness (프로세스 %HOLDER%")}
        << QStringList{} << true;
    QTest::newRow("not a serial device") << QStringLiteral("regular file")
                                         << QStringList{cannotOpen, QStringLiteral("직렬 포트가 아닙니다 (일반 파일)"),
                                                        QStringLiteral("sudo robot-console-com1 list")}
                                         << QStringList{QStringLiteral("CONSOLE_COM1_DEVICE")} << true;
    QTest::newRow("I/O error on open")
        << QStringLiteral("io error")
        << QStringList{cannotOpen, QStringLiteral("입출력 오류"), QStringLiteral("어댑터를 뽑았다가 다시 꽂은 뒤"),
                       QStringLiteral("Input/output error")}
        << QStringList{} << true;
    QTest::newRow("no display")
        << QStringLiteral("no display")
        << QStringList{QStringLiteral("로봇 콘솔의 창을 띄울 화면을 찾을 수 없습니다."),
                       QStringLiteral("그래픽 화면에 로그인한 뒤"),
                       QStringLiteral("자세한 내용: DISPLAY와 WAYLAND_DISPLAY가 모두 설정되어 있지 않습니다.")}
        << QStringList{QStringLiteral("Reinstalling"), QStringLiteral("세션")} << false;
    QTest::newRow("display that cannot be reached")
        << QStringLiteral("unreachable display")
        << QStringList{QStringLiteral("로봇 콘솔의 창을 띄울 화면을 찾을 수 없습니다."),
                       QStringLiteral("시스템 메시지: "), QStringLiteral(":987")}
        << QStringList{QStringLiteral("Reinstalling"), QStringLiteral("WAYLAND_DISPLAY")} << false;
    // scripts/demo starts the console on the simulated robot; it must fail as the console does, not abort.
    QTest::newRow("the demo without a display")
        << QStringLiteral("demo, no display")
        << QStringList{QStringLiteral("로봇 콘솔의 창을 띄울 화면을 찾을 수 없습니다."),
                       QStringLiteral("자세한 내용: DISPLAY와 WAYLAND_DISPLAY가 모두 설정되어 있지 않습니다.")}
        << QStringList{QStringLiteral("Reinstalling")} << false;
}

void FaultsTest::aStartThatFailsSaysWhatToDoInABoxAndOnStderr()
{
    QFETCH(QString, setup);
    QFETCH(QStringList, parts);
    QFETCH(QStringList, absent);
    QFETCH(bool, box);
    if (const QString why = whyNoNamespace(); !why.isEmpty())
        QSKIP(qPrintable(why));
    QTemporaryDir dir;
    const QString lockDir = makeLockDir(dir);
    const QString devicesRoot = dir.path() + QStringLiteral("/root");
    QDir().mkpath(devicesRoot + QStringLiteral("/dev"));
    PtyPair line;
    QVERIFY2(line.isValid(), "could not make a pseudo-terminal pair");

    QString bound = line.slavePath();
    QString device = QStringLiteral("/dev/ttyS0");
    QStringList command{QStringLiteral(CONSOLE_HARNESS), QStringLiteral("--devices-root"), devicesRoot};
    QProcessEnvironment environment = offscreenEnvironment();
    QProcess holder;
    int lockedMaster = -1;
    const auto closeLockedMaster = qScopeGuard([&lockedMaster] {
        if (lockedMaster >= 0)
            ::close(lockedMaster);
    });
    const QStringList asNobody{QStringLiteral("setpriv"), QStringLiteral("--reuid=65534"), QStringLiteral("--regid=65534"),
                               QStringLiteral("--clear-groups"), QStringLiteral("--")};
    const bool asAnotherUser = setup == QStringLiteral("no permission") || setup == QStringLiteral("foreign stale lock");
    if (asAnotherUser
        && QProcess::execute(asNobody.first(), asNobody.mid(1) + QStringList{QStringLiteral("test"), QStringLiteral("-x"),
                                                                             QStringLiteral(CONSOLE_HARNESS)})
            != 0)
        QSKIP("the harness is not reachable by an unprivileged user from this build folder");
    if (asAnotherUser)
        command = asNobody + command;
    if (setup.startsWith(QStringLiteral("missing"))) {
        bound.clear();
        device = dir.path() + QStringLiteral("/ttyS0");
        if (setup == QStringLiteral("missing with adapters")) {
            QDir().mkpath(devicesRoot + QStringLiteral("/dev/serial/by-id"));
            writeFile(devicesRoot + QStringLiteral("/dev/ttyUSB0"), {});
            writeFile(devicesRoot + QStringLiteral("/dev/ttyACM0"), {});
            QVERIFY(QFile::link(QStringLiteral("../../ttyUSB0"),
                                devicesRoot + QStringLiteral("/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0")));
        }
    } else if (setup == QStringLiteral("no permission")) {
        // A group other than dialout, so that the message is seen to name the device's own.
        const group* owner = nullptr;
        for (const char* name : {"uucp", "plugdev", "users"})
            if ((owner = ::getgrnam(name)) != nullptr)
                break;
        if (owner == nullptr)
            QSKIP("no group to give the port to");
        const QByteArray slave = QFile::encodeName(line.slavePath());
        QVERIFY2(::chown(slave.constData(), 0, owner->gr_gid) == 0 && ::chmod(slave.constData(), 0660) == 0,
                 "could not give the port to a group");
        parts.replaceInStrings(QStringLiteral("%GROUP%"), QString::fromLocal8Bit(owner->gr_name));
    } else if (setup == QStringLiteral("foreign stale lock")) {
        // Left by a process of another user that has ended; the lock directory's sticky bit keeps it.
        QProcess gone;
        gone.start(QStringLiteral("sh"), {QStringLiteral("-c"), QStringLiteral("echo $$")});
        QVERIFY(gone.waitForFinished());
        writeFile(lockDir + QStringLiteral("/LCK..ttyS0"),
                  QString::asprintf("%10lld\n", gone.readAllStandardOutput().trimmed().toLongLong()).toLatin1());
    } else if (setup == QStringLiteral("busy")) {
        holder.setProcessEnvironment(environment);
        holder.start(QStringLiteral("unshare"),
                     {QStringLiteral("--mount"), QStringLiteral("--propagation"), QStringLiteral("private"), QStringLiteral("--"),
                      QStringLiteral("sh"), QStringLiteral("-c"),
                      QStringLiteral("mount --bind \"$1\" /run/lock && mount --bind \"$2\" /dev/ttyS0 && exec \"$3\" /dev/ttyS0"),
                      QStringLiteral("sh"), lockDir, bound, QStringLiteral(CONSOLE_HARNESS)});
        QByteArray announced;
        QTRY_VERIFY2_WITH_TIMEOUT((announced += holder.readAllStandardOutput()).contains("running"),
                                  qPrintable(QStringLiteral("the first console never came up: ")
                                             + QString::fromUtf8(announced + holder.readAllStandardError())),
                                  15000);
        parts.replaceInStrings(QStringLiteral("%HOLDER%"), QString::number(holder.processId()));
    } else if (setup == QStringLiteral("regular file")) {
        bound = dir.path() + QStringLiteral("/plain");
        writeFile(bound, "not a serial port\n");
    } else if (setup == QStringLiteral("io error")) {
        // The slave of a pseudo-terminal that was never unlocked answers every open with EIO.
        lockedMaster = ::posix_openpt(O_RDWR | O_NOCTTY);
        QVERIFY2(lockedMaster >= 0 && ::grantpt(lockedMaster) == 0, "could not make a locked pseudo-terminal");
        bound = QString::fromLocal8Bit(::ptsname(lockedMaster));
    } else if (setup.endsWith(QStringLiteral("no display")) || setup == QStringLiteral("unreachable display")) {
        // The real program: nothing it could open is reached, since it ends before its window exists.
        command = QStringList{setup.startsWith(QStringLiteral("demo")) ? QStringLiteral(DEMO_BINARY)
                                                                       : QStringLiteral(CONSOLE_BINARY)};
        device.clear();
        environment.remove(QStringLiteral("DISPLAY"));
        environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        // A display named but not there: Qt's platform plugin fails to start with a fatal message.
        if (setup == QStringLiteral("unreachable display"))
            environment.insert(QStringLiteral("DISPLAY"), QStringLiteral(":987"));
    }
    if (!device.isEmpty())
        command << device;
    parts.replaceInStrings(QStringLiteral("%DEVICE%"), device);

    const HarnessRun run = runInNamespace(lockDir, bound, command, environment);
    if (holder.state() != QProcess::NotRunning) {
        holder.kill();
        holder.waitForFinished();
    }

    const QString seen = QStringLiteral("\nstdout: %1\nstderr: %2").arg(run.output, run.errors);
    QVERIFY2(!run.ran, qPrintable(QStringLiteral("the console started") + seen));
    QVERIFY2(run.status == 1, qPrintable(QStringLiteral("the console ended with %1, not 1").arg(run.status) + seen));
    const QStringList lines = consoleLines(run.errors);
    QVERIFY2(lines.size() == 1, qPrintable(QStringLiteral("expected one line on stderr, got %1").arg(lines.size()) + seen));
    QString boxText;
    for (const QString& printed : run.output.split(QLatin1Char('\n')))
        if (printed.startsWith(QStringLiteral("message: ")))
            boxText += printed;
    QVERIFY2(box == !boxText.isEmpty(), qPrintable(QStringLiteral("a message box was %1 shown").arg(box ? "not" : "") + seen));
    for (const QString& part : std::as_const(parts)) {
        QVERIFY2(lines.constFirst().contains(part), qPrintable(QStringLiteral("stderr lacks \"%1\"").arg(part) + seen));
        QVERIFY2(!box || boxText.contains(part), qPrintable(QStringLiteral("the message lacks \"%1\"").arg(part) + seen));
    }
    for (const QString& part : std::as_const(absent))
        QVERIFY2(!run.errors.contains(part) && !boxText.contains(part),
                 qPrintable(QStringLiteral("the failure says \"%1\"").arg(part) + seen));
}

void FaultsTest::aLockOnThePortDecidesWhetherTheConsoleStarts_data()
{
    QTest::addColumn<QString>("holder");  // none, dead, live or flock
    QTest::addColumn<QString>("format");  // binary, ascii ("%10d\n") or qt (pid, name, host lines)
    QTest::addColumn<int>("ageSeconds");
    QTest::addColumn<bool>("starts");
    QTest::newRow("no lock") << QStringLiteral("none") << QString() << 0 << true;
    for (const char* format : {"binary", "ascii", "qt"}) {
        QTest::addRow("dead process, %s", format) << QStringLiteral("dead") << QString::fromLatin1(format) << 0 << true;
        QTest::addRow("dead process, %s, an hour old", format)
            << QStringLiteral("dead") << QString::fromLatin1(format) << 3600 << true;
        QTest::addRow("live process, %s", format) << QStringLiteral("live") << QString::fromLatin1(format) << 0 << false;
        QTest::addRow("live process, %s, an hour old", format)
            << QStringLiteral("live") << QString::fromLatin1(format) << 3600 << false;
    }
    QTest::newRow("flock held by another process") << QStringLiteral("flock") << QString() << 0 << false;
}

void FaultsTest::aLockOnThePortDecidesWhetherTheConsoleStarts()
{
    QFETCH(QString, holder);
    QFETCH(QString, format);
    QFETCH(int, ageSeconds);
    QFETCH(bool, starts);
    if (const QString why = whyNoNamespace(); !why.isEmpty())
        QSKIP(qPrintable(why));
    QTemporaryDir dir;
    const QString lockDir = makeLockDir(dir);
    const QString lockPath = lockDir + QStringLiteral("/LCK..ttyS0");
    PtyPair line;
    QVERIFY2(line.isValid(), "could not make a pseudo-terminal pair");

    QProcess sleeper;
    qint64 pid = 0;
    QString named;
    int flocked = -1;
    const auto unlock = qScopeGuard([&flocked] {
        if (flocked >= 0)
            ::close(flocked);
    });
    if (holder == QStringLiteral("dead")) {
        QProcess gone;
        gone.start(QStringLiteral("sh"), {QStringLiteral("-c"), QStringLiteral("echo $$")});
        QVERIFY(gone.waitForFinished());
        pid = gone.readAllStandardOutput().trimmed().toLongLong();
    } else if (holder == QStringLiteral("live")) {
        sleeper.start(QStringLiteral("sleep"), {QStringLiteral("60")});
        QVERIFY(sleeper.waitForStarted());
        pid = sleeper.processId();
        named = QStringLiteral("sleep (프로세스 %1: ").arg(pid);
    } else if (holder == QStringLiteral("flock")) {
        flocked = ::open(QFile::encodeName(line.slavePath()).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        QVERIFY2(flocked >= 0 && ::flock(flocked, LOCK_EX | LOCK_NB) == 0, "could not flock the port");
        named = QStringLiteral("tst_faults (프로세스 %1").arg(::getpid());
    }
    QByteArray content;
    if (format == QStringLiteral("binary"))
        content = binaryPid(pid);
    else if (format == QStringLiteral("ascii"))
        content = QString::asprintf("%10lld\n", static_cast<long long>(pid)).toLatin1();
    else if (format == QStringLiteral("qt"))
        content = QByteArray::number(pid) + "\nsleep\n" + QSysInfo::machineHostName().toUtf8() + "\n\n";
    if (!content.isEmpty())
        writeFile(lockPath, content, ageSeconds);

    const HarnessRun run = runInNamespace(lockDir, line.slavePath(),
                                          {QStringLiteral(CONSOLE_HARNESS), QStringLiteral("/dev/ttyS0")});
    sleeper.kill();
    sleeper.waitForFinished();

    const QString seen = QStringLiteral("\nstdout: %1\nstderr: %2").arg(run.output, run.errors);
    if (starts) {
        QVERIFY2(run.ran, qPrintable(QStringLiteral("the console did not start") + seen));
        const QString owner = run.lockFileWhileRunning.section(QLatin1Char('\n'), 0, 0).trimmed();
        QVERIFY2(!owner.isEmpty() && owner != QString::number(pid),
                 qPrintable(QStringLiteral("the console runs without its own lock file: \"%1\"").arg(run.lockFileWhileRunning)));
        return;
    }
    QVERIFY2(!run.ran, qPrintable(QStringLiteral("the console took a port that another process holds") + seen));
    QVERIFY2(run.status == 1, qPrintable(QStringLiteral("the console ended with %1, not 1").arg(run.status) + seen));
    const QStringList lines = consoleLines(run.errors);
    QVERIFY2(lines.size() == 1 && lines.constFirst().contains(QStringLiteral("다른 프로그램이 사용 중"))
                 && lines.constFirst().contains(named),
             qPrintable(QStringLiteral("stderr does not say that %1 holds the port").arg(named) + seen));
    QVERIFY2(run.output.contains(named), qPrintable(QStringLiteral("the message does not name the holder") + seen));
    if (!content.isEmpty()) {
        QFile lock(lockPath);
        QVERIFY2(lock.open(QIODevice::ReadOnly) && lock.readAll() == content,
                 "the lock file of a live process was removed or replaced");
    }
}

void FaultsTest::aHolderIsNamedAsProcTellsIt_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("commandLine");
    QTest::addColumn<QString>("named");
    QTest::newRow("name and command line") << QStringLiteral("minicom") << QStringLiteral("minicom -D /dev/ttyS0")
                                           << QStringLiteral("minicom (프로세스 1234: minicom -D /dev/ttyS0)");
    QTest::newRow("name only") << QStringLiteral("minicom") << QString() << QStringLiteral("minicom (프로세스 1234)");
    QTest::newRow("nothing told") << QString() << QString() << QStringLiteral("프로세스 1234");
    // A name or argument from /proc is text, never a place for the next value.
    QTest::newRow("markers in the name and command line") << QStringLiteral("a%2b%3") << QStringLiteral("run %1 %2 %3")
                                                          << QStringLiteral("a%2b%3 (프로세스 1234: run %1 %2 %3)");
    QTest::newRow("marker in the name only")
        << QStringLiteral("x%2") << QString() << QStringLiteral("x%2 (프로세스 1234)");
}

void FaultsTest::aHolderIsNamedAsProcTellsIt()
{
    QFETCH(QString, name);
    QFETCH(QString, commandLine);
    QFETCH(QString, named);
    QCOMPARE(PortDiagnosis::describe(PortHolder{1234, name, commandLine}), named);
}

QTEST_MAIN(FaultsTest)
#include "tst_faults.moc"
