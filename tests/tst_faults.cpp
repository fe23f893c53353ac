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
// touched; `prelude` (shell) runs there first. With `ownPids` the command is PID 1 of a PID namespace of
// its own. A run that prints "running" is stopped at once (after the lock file it made is read).
HarnessRun runInNamespace(const QString& lockDir, const QString& device, const QStringList& command,
                          const QProcessEnvironment& environment = offscreenEnvironment(),
                          const QString& prelude = QStringLiteral("true"), bool ownPids = false)
{
    QProcess process;
    process.setProcessEnvironment(environment);
    QStringList options{QStringLiteral("--mount"), QStringLiteral("--propagation"), QStringLiteral("private")};
    if (ownPids)
        options << QStringLiteral("--pid") << QStringLiteral("--fork") << QStringLiteral("--kill-child");
    process.start(QStringLiteral("unshare"),
                  options
                      + QStringList{QStringLiteral("--"), QStringLiteral("sh"), QStringLiteral("-c"),
                                    QStringLiteral("mount --bind \"$1\" /run/lock && { [ -z \"$2\" ] || mount --bind "
                                                   "\"$2\" /dev/ttyS0; } && { %1; } && shift 2 && exec \"$@\"")
                                        .arg(prelude),
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
    // %DEVICE%, %GROUP% and %HOLDER% stand for what only the run knows. In the box a line break is " ", as on
    // stderr; the box's lines themselves are checked apart.
    QTest::addColumn<QString>("setup");
    QTest::addColumn<QStringList>("parts");
    QTest::addColumn<QStringList>("absent");
    QTest::addColumn<bool>("box");
    const QString cannotOpen = QStringLiteral("COM1(%DEVICE%)을 열 수 없습니다.");
    // Never in a port message: what an operator cannot act on, or reads as the robot's own F6.
    const QStringList never{QStringLiteral("CONSOLE_COM1_DEVICE"), QStringLiteral("README"), QStringLiteral("cmake"),
                            QStringLiteral("다시 실행하십시오")};
    QTest::newRow("missing, no adapter present")
        << QStringLiteral("missing")
        << QStringList{cannotOpen, QStringLiteral("연결된 USB 직렬 어댑터도 없습니다"),
                       QStringLiteral("케이블과 USB 직렬 어댑터를 컴퓨터에 연결한 뒤 로봇 콘솔을 다시 시작하십시오"),
                       QStringLiteral("시스템 메시지: No such file or directory")}
        << never + QStringList{QStringLiteral("장치 이름을 확인")} << true;
    QTest::newRow("missing, adapters present")
        << QStringLiteral("missing with adapters")
        << QStringList{cannotOpen, QStringLiteral("이 컴퓨터에 없지만, USB 직렬 어댑터가 있습니다"),
                       QStringLiteral("usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0(/dev/ttyUSB0)"),
                       QStringLiteral("/dev/ttyACM0"),
                       QStringLiteral(
                           "관리자에게 그 어댑터를 COM1로 지정하도록 요청하십시오: sudo robot-console-com1 assign "
                           "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0")}
        << never + QStringList{QStringLiteral("장치 이름을 확인"), QStringLiteral("연결된 USB 직렬 어댑터도 없습니다")}
        << true;
    QTest::newRow("no permission")
        << QStringLiteral("no permission")
        << QStringList{cannotOpen,
                       QStringLiteral("COM1은 그룹 %GROUP%의 사용자만 열 수 있는데, 이 사용자(nobody)는 그 "
                                      "그룹에 들어 있지 않습니다."),
                       QStringLiteral("관리자에게 사용자 nobody을(를) 그룹 %GROUP%에 넣도록 요청한 뒤"),
                       QStringLiteral("로그아웃했다가 다시 로그인하십시오: sudo usermod -aG %GROUP% nobody"),
                       QStringLiteral("시스템 메시지: Permission denied")}
        << never + QStringList{QStringLiteral("dialout")} << true;
    QTest::newRow("stale lock file that this user may not remove")
        << QStringLiteral("foreign stale lock")
        << QStringList{cannotOpen, QStringLiteral("이미 끝난 프로그램의 잠금 파일 /run/lock/LCK..ttyS0"),
                       QStringLiteral("관리자에게 그 파일을 지우도록 요청하십시오: sudo rm /run/lock/LCK..ttyS0")}
        << never + QStringList{QStringLiteral("다른 프로그램")} << true;
    QTest::newRow("another user's pipe as the lock file")
        << QStringLiteral("foreign fifo")
        << QStringList{cannotOpen,
                       QStringLiteral("잠금 파일 /run/lock/LCK..ttyS0은(는) 실행 중인 프로그램의 잠금이 아니라 사용자 "
                                      "root의 파이프(FIFO)입니다."),
                       QStringLiteral("사용자 root 또는 관리자만 지울 수 있으니, 관리자에게 확인하고 지우도록 "
                                      "요청하십시오: sudo rm /run/lock/LCK..ttyS0")}
        << never + QStringList{QStringLiteral("다른 프로그램")} << true;
    QTest::newRow("a lock file that this user may not read")
        << QStringLiteral("foreign unreadable lock")
        << QStringList{cannotOpen,
                       QStringLiteral(
                           "잠금 파일 /run/lock/LCK..ttyS0은(는) 사용자 root의 파일인데, 로봇 콘솔이 읽을 수 "
                           "없어서 COM1을 쓰는 프로그램이 있는지 알 수 없습니다."),
                       QStringLiteral("관리자에게 확인하고 지우도록 요청하십시오: sudo rm /run/lock/LCK..ttyS0"),
                       QStringLiteral("시스템 메시지: Permission denied")}
        << never + QStringList{QStringLiteral("잠금이 아니라")} << true;
    QTest::newRow("lock directory closed to this user")
        << QStringLiteral("closed lock directory")
        << QStringList{cannotOpen, QStringLiteral("이 사용자(nobody)는 잠금 파일을 두는 디렉터리 /run/lock에"),
                       QStringLiteral("관리자에게 모든 사용자가 /run/lock에 잠금 파일을 만들 수 있게 하도록 "
                                      "요청하십시오: sudo chmod 1777 /run/lock"),
                       QStringLiteral("시스템 메시지: Permission denied")}
        << never + QStringList{QStringLiteral("다른 프로그램")} << true;
    QTest::newRow("busy, another console runs on it")
        << QStringLiteral("busy")
        << QStringList{cannotOpen, QStringLiteral("다른 프로그램 console-harness(프로세스 %HOLDER%"),
                       QStringLiteral("그 프로그램을 끝낸 뒤 로봇 콘솔을 다시 시작하십시오."),
                       QStringLiteral("자세한 내용: 잠금 파일 /run/lock/LCK..ttyS0에 적힌 프로세스")}
        << never << true;
    QTest::newRow("not a serial device") << QStringLiteral("regular file")
                                         << QStringList{cannotOpen,
                                                        QStringLiteral("직렬 포트가 아니라 일반 파일입니다"),
                                                        QStringLiteral("요청하십시오: sudo robot-console-com1 list")}
                                         << never << true;
    QTest::newRow("I/O error on open") << QStringLiteral("io error")
                                       << QStringList{cannotOpen, QStringLiteral("입출력 오류"),
                                                      QStringLiteral("어댑터를 뽑았다가 다시 꽂은 뒤"),
                                                      QStringLiteral("시스템 메시지: Input/output error")}
                                       << never << true;
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
    const bool asAnotherUser = setup == QStringLiteral("no permission") || setup.startsWith(QStringLiteral("foreign"))
        || setup == QStringLiteral("closed lock directory");
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
    } else if (setup == QStringLiteral("foreign fifo")) {
        QVERIFY2(::mkfifo(QFile::encodeName(lockDir + QStringLiteral("/LCK..ttyS0")).constData(), 0666) == 0,
                 "could not make a pipe in the lock directory");
    } else if (setup == QStringLiteral("foreign unreadable lock")) {
        writeFile(lockDir + QStringLiteral("/LCK..ttyS0"),
                  QString::asprintf("%10lld\n", static_cast<long long>(::getpid())).toLatin1());
        QVERIFY2(::chmod(QFile::encodeName(lockDir + QStringLiteral("/LCK..ttyS0")).constData(), 0600) == 0,
                 "could not close the lock file");
    } else if (setup == QStringLiteral("closed lock directory")) {
        QVERIFY2(::chmod(QFile::encodeName(lockDir).constData(), 0755) == 0, "could not close the lock directory");
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
    QStringList boxLines;
    for (const QString& printed : run.output.split(QLatin1Char('\n')))
        if (printed.startsWith(QStringLiteral("message: ")))
            boxLines += printed.mid(9).split(QStringLiteral("\\n"));
    const QString boxText = boxLines.join(QLatin1Char(' '));
    QVERIFY2(box == !boxText.isEmpty(), qPrintable(QStringLiteral("a message box was %1 shown").arg(box ? "not" : "") + seen));
    for (const QString& part : std::as_const(parts)) {
        QVERIFY2(lines.constFirst().contains(part), qPrintable(QStringLiteral("stderr lacks \"%1\"").arg(part) + seen));
        QVERIFY2(!box || boxText.contains(part), qPrintable(QStringLiteral("the message lacks \"%1\"").arg(part) + seen));
    }
    for (const QString& part : std::as_const(absent))
        QVERIFY2(!run.errors.contains(part) && !boxText.contains(part),
                 qPrintable(QStringLiteral("the failure says \"%1\"").arg(part) + seen));
    if (!box)
        return;
    // What happened first, naming COM1; a command alone on its line after the line that asks for it; the
    // system's own words last.
    QVERIFY2(boxLines.constFirst() == parts.constFirst(),
             qPrintable(QStringLiteral("the first line is not \"%1\"").arg(parts.constFirst()) + seen));
    for (qsizetype i = 1; i < boxLines.size(); ++i) {
        const QString& text = boxLines.at(i);
        if (text.startsWith(QStringLiteral("sudo ")))
            QVERIFY2(
                boxLines.at(i - 1).endsWith(QLatin1Char(':')),
                qPrintable(QStringLiteral("the command \"%1\" is not introduced by the line before").arg(text) + seen));
        if (text.startsWith(QStringLiteral("시스템 메시지: ")))
            QVERIFY2(i == boxLines.size() - 1, qPrintable(QStringLiteral("the system's words are not last") + seen));
    }
}

void FaultsTest::aLockOnThePortDecidesWhetherTheConsoleStarts_data()
{
    // holder: none; dead; live (a `sleep`, which the lock names where it names a program); reused (a live
    // `sleep` whose PID the lock gives to another program); self (the console's own PID in a PID namespace
    // of its own); flock (this test holds the device's flock); or what stands in the lock file's place.
    QTest::addColumn<QString>("holder");
    QTest::addColumn<QString>("format"); // binary, ascii ("%10d\n"), common ("%10d NAME USER\n") or qt (PID,
        // program, host lines)
    QTest::addColumn<int>("ageSeconds");
    QTest::addColumn<bool>("starts");
    QTest::addColumn<QStringList>("said"); // a refusal's words; %PID% is the holder's, %SELF% this test's
    const QStringList byLock{QStringLiteral("다른 프로그램 sleep(프로세스 %PID%: "),
                             QStringLiteral("자세한 내용: 잠금 파일 /run/lock/LCK..ttyS0에 적힌 프로세스")};
    const QStringList nameless{QStringLiteral("다른 프로그램 sleep(프로세스 %PID%: ")};
    QTest::newRow("no lock") << QStringLiteral("none") << QString() << 0 << true << QStringList{};
    for (const char* format : {"binary", "ascii", "common", "qt"}) {
        QTest::addRow("dead process, %s", format)
            << QStringLiteral("dead") << QString::fromLatin1(format) << 0 << true << QStringList{};
        QTest::addRow("dead process, %s, an hour old", format)
            << QStringLiteral("dead") << QString::fromLatin1(format) << 3600 << true << QStringList{};
        QTest::addRow("live process, %s", format)
            << QStringLiteral("live") << QString::fromLatin1(format) << 0 << false << byLock;
        QTest::addRow("live process, %s, an hour old", format)
            << QStringLiteral("live") << QString::fromLatin1(format) << 3600 << false << byLock;
    }
    // The owner ended and its PID now runs another program: a lock that names its program is stale; one that
    // names none cannot be told from a live one.
    QTest::newRow("reused PID, the console's own lines")
        << QStringLiteral("reused") << QStringLiteral("qt") << 0 << true << QStringList{};
    QTest::newRow("reused PID, common form")
        << QStringLiteral("reused") << QStringLiteral("common") << 0 << true << QStringList{};
    QTest::newRow("reused PID, no name") << QStringLiteral("reused") << QStringLiteral("ascii") << 0 << false
                                         << nameless;
    QTest::newRow("the console's own PID, left in another PID namespace")
        << QStringLiteral("self") << QStringLiteral("ascii") << 0 << true << QStringList{};
    QTest::newRow("flock held by another process")
        << QStringLiteral("flock") << QString() << 0 << false
        << QStringList{QStringLiteral("다른 프로그램 tst_faults(프로세스 %SELF%"),
                       QStringLiteral("자세한 내용: 장치의 flock을 쥔 프로세스를 /proc/locks에서")};
    // What is not the lock of a live program is refused as what it is, never removed, and never blamed on
    // another program.
    const auto strange = [](const QString& what) {
        return QStringList{QStringLiteral("잠금 파일 /run/lock/LCK..ttyS0은(는) 실행 중인 프로그램의 잠금이 아니라 "
                                          "사용자 root의 ")
                               + what,
                           QStringLiteral("확인하고 지운 뒤 로봇 콘솔을 다시 시작하십시오: rm /run/lock/LCK..ttyS0")};
    };
    QTest::newRow("a pipe") << QStringLiteral("fifo") << QString() << 0 << false
                            << strange(QStringLiteral("파이프(FIFO)입니다."));
    QTest::newRow("a 4 GiB sparse file") << QStringLiteral("sparse") << QString() << 0 << false
                                         << strange(QStringLiteral("크기가 4294967296바이트인 파일입니다."));
    QTest::newRow("a link to /dev/zero") << QStringLiteral("zero link") << QString() << 0 << false
                                         << strange(QStringLiteral("/dev/zero을(를) 가리키는 심볼릭 링크입니다."));
    QTest::newRow("a dangling link") << QStringLiteral("dangling link") << QString() << 0 << false
                                     << strange(QStringLiteral(
                                            "/nonexistent/LCK..ttyS0을(를) 가리키는 심볼릭 링크입니다."));
    QTest::newRow("a directory") << QStringLiteral("directory") << QString() << 0 << false
                                 << QStringList{QStringLiteral("사용자 root의 디렉터리입니다."),
                                                QStringLiteral("rm -r /run/lock/LCK..ttyS0")};
    QTest::newRow("a fresh file naming no process")
        << QStringLiteral("garbage") << QString() << 0 << false
        << strange(QStringLiteral("프로세스 번호가 적혀 있지 않은 파일입니다."));
    QTest::newRow("a full lock directory")
        << QStringLiteral("full") << QString() << 0 << false
        << QStringList{QStringLiteral("잠금 파일을 두는 디렉터리 /run/lock이(가) 가득 차서"),
                       QStringLiteral("관리자에게 /run/lock의 빈 공간을 확보하도록 요청하십시오."),
                       QStringLiteral("시스템 메시지: No space left on device")};
    QTest::newRow("a read-only lock directory")
        << QStringLiteral("read-only") << QString() << 0 << false
        << QStringList{QStringLiteral("잠금 파일을 두는 디렉터리 /run/lock이(가) 읽기 전용이라"),
                       QStringLiteral("시스템 메시지: Read-only file system")};
}

void FaultsTest::aLockOnThePortDecidesWhetherTheConsoleStarts()
{
    QFETCH(QString, holder);
    QFETCH(QString, format);
    QFETCH(int, ageSeconds);
    QFETCH(bool, starts);
    QFETCH(QStringList, said);
    if (const QString why = whyNoNamespace(); !why.isEmpty())
        QSKIP(qPrintable(why));
    QTemporaryDir dir;
    const QString lockDir = makeLockDir(dir);
    const QString lockPath = lockDir + QStringLiteral("/LCK..ttyS0");
    const QByteArray nativeLock = QFile::encodeName(lockPath);
    PtyPair line;
    QVERIFY2(line.isValid(), "could not make a pseudo-terminal pair");

    QProcess sleeper;
    qint64 pid = 0;
    int flocked = -1;
    const auto unlock = qScopeGuard([&flocked] {
        if (flocked >= 0)
            ::close(flocked);
    });
    QString prelude = QStringLiteral("true");
    if (holder == QStringLiteral("dead")) {
        QProcess gone;
        gone.start(QStringLiteral("sh"), {QStringLiteral("-c"), QStringLiteral("echo $$")});
        QVERIFY(gone.waitForFinished());
        pid = gone.readAllStandardOutput().trimmed().toLongLong();
    } else if (holder == QStringLiteral("live") || holder == QStringLiteral("reused")) {
        sleeper.start(QStringLiteral("sleep"), {QStringLiteral("60")});
        QVERIFY(sleeper.waitForStarted());
        pid = sleeper.processId();
    } else if (holder == QStringLiteral("self")) {
        pid = 1;
    } else if (holder == QStringLiteral("flock")) {
        flocked = ::open(QFile::encodeName(line.slavePath()).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        QVERIFY2(flocked >= 0 && ::flock(flocked, LOCK_EX | LOCK_NB) == 0, "could not flock the port");
    } else if (holder == QStringLiteral("fifo")) {
        QVERIFY2(::mkfifo(nativeLock.constData(), 0666) == 0, "could not make the pipe");
    } else if (holder == QStringLiteral("sparse")) {
        QFile sparse(lockPath);
        QVERIFY2(sparse.open(QIODevice::WriteOnly) && sparse.resize(qint64{4} << 30), "could not make the sparse file");
    } else if (holder == QStringLiteral("zero link")) {
        QVERIFY(QFile::link(QStringLiteral("/dev/zero"), lockPath));
    } else if (holder == QStringLiteral("dangling link")) {
        QVERIFY(QFile::link(QStringLiteral("/nonexistent/LCK..ttyS0"), lockPath));
    } else if (holder == QStringLiteral("directory")) {
        QVERIFY(QDir().mkdir(lockPath));
    } else if (holder == QStringLiteral("garbage")) {
        writeFile(lockPath, "garbage\n");
    } else if (holder == QStringLiteral("full")) {
        prelude = QStringLiteral("mount -t tmpfs -o size=64k,mode=1777 tmpfs /run/lock && "
                                 "{ cat /dev/zero >/run/lock/filler 2>/dev/null; true; }");
    } else if (holder == QStringLiteral("read-only")) {
        prelude = QStringLiteral("mount -o remount,bind,ro /run/lock");
    }
    const QByteArray program = holder == QStringLiteral("reused")
        ? (format == QStringLiteral("qt") ? QByteArray("console-harness") : QByteArray("minicom"))
        : QByteArray("sleep");
    QByteArray content;
    if (format == QStringLiteral("binary"))
        content = binaryPid(pid);
    else if (format == QStringLiteral("ascii"))
        content = QString::asprintf("%10lld\n", static_cast<long long>(pid)).toLatin1();
    else if (format == QStringLiteral("common"))
        content = QString::asprintf("%10lld ", static_cast<long long>(pid)).toLatin1() + program + " root\n";
    else if (format == QStringLiteral("qt"))
        content = QByteArray::number(pid) + '\n' + program + '\n' + QSysInfo::machineHostName().toUtf8() + "\n\n";
    if (!content.isEmpty())
        writeFile(lockPath, content, ageSeconds);
    struct stat before
    {
    };
    const bool lockBefore = ::lstat(nativeLock.constData(), &before) == 0;

    const HarnessRun run
        = runInNamespace(lockDir, line.slavePath(), {QStringLiteral(CONSOLE_HARNESS), QStringLiteral("/dev/ttyS0")},
                         offscreenEnvironment(), prelude, holder == QStringLiteral("self"));
    sleeper.kill();
    sleeper.waitForFinished();

    const QString seen = QStringLiteral("\nstdout: %1\nstderr: %2").arg(run.output, run.errors);
    if (starts) {
        QVERIFY2(run.ran, qPrintable(QStringLiteral("the console did not start") + seen));
        const QString owner = run.lockFileWhileRunning.section(QLatin1Char('\n'), 0, 0).trimmed();
        QVERIFY2(
            !owner.isEmpty() && (holder == QStringLiteral("self") || owner != QString::number(pid)),
            qPrintable(
                QStringLiteral("the console runs without its own lock file: \"%1\"").arg(run.lockFileWhileRunning)));
        return;
    }
    QVERIFY2(!run.ran, qPrintable(QStringLiteral("the console took a port that is not free") + seen));
    QVERIFY2(run.status == 1, qPrintable(QStringLiteral("the console ended with %1, not 1").arg(run.status) + seen));
    const QStringList lines = consoleLines(run.errors);
    QVERIFY2(lines.size() == 1, qPrintable(QStringLiteral("expected one line on stderr") + seen));
    said.replaceInStrings(QStringLiteral("%PID%"), QString::number(pid));
    said.replaceInStrings(QStringLiteral("%SELF%"), QString::number(::getpid()));
    const QString boxText
        = run.output.section(QStringLiteral("message: "), 1).replace(QStringLiteral("\\n"), QStringLiteral(" "));
    for (const QString& part : std::as_const(said)) {
        QVERIFY2(lines.constFirst().contains(part), qPrintable(QStringLiteral("stderr lacks \"%1\"").arg(part) + seen));
        QVERIFY2(boxText.contains(part), qPrintable(QStringLiteral("the message lacks \"%1\"").arg(part) + seen));
    }
    if (holder != QStringLiteral("live") && holder != QStringLiteral("reused") && holder != QStringLiteral("flock"))
        QVERIFY2(!run.errors.contains(QStringLiteral("다른 프로그램")),
                 qPrintable(QStringLiteral("the refusal blames another program") + seen));
    // Neither a live program's lock nor what is not understood is ever removed or replaced.
    struct stat after
    {
    };
    QVERIFY2(!lockBefore
                 || (::lstat(nativeLock.constData(), &after) == 0 && after.st_ino == before.st_ino
                     && after.st_mode == before.st_mode && after.st_size == before.st_size),
             "the lock file was removed or replaced");
}

void FaultsTest::aHolderIsNamedAsProcTellsIt_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("commandLine");
    QTest::addColumn<QString>("named");
    QTest::newRow("name and command line") << QStringLiteral("minicom") << QStringLiteral("minicom -D /dev/ttyS0")
                                           << QStringLiteral("minicom(프로세스 1234: minicom -D /dev/ttyS0)");
    QTest::newRow("name only") << QStringLiteral("minicom") << QString() << QStringLiteral("minicom(프로세스 1234)");
    QTest::newRow("nothing told") << QString() << QString() << QStringLiteral("프로세스 1234");
    // A name or argument from /proc is text, never a place for the next value.
    QTest::newRow("markers in the name and command line") << QStringLiteral("a%2b%3") << QStringLiteral("run %1 %2 %3")
                                                          << QStringLiteral("a%2b%3(프로세스 1234: run %1 %2 %3)");
    QTest::newRow("marker in the name only")
        << QStringLiteral("x%2") << QString() << QStringLiteral("x%2(프로세스 1234)");
    // A process names itself: a line break or an escape in its name cannot fake a line of the message.
    QTest::newRow("control characters in the name and command line")
        << QStringLiteral("evil\n") << QStringLiteral("evil\n\x1b[2J 실행")
        << QStringLiteral("evil\\n(프로세스 1234: evil\\n\\x1b[2J 실행)");
}

void FaultsTest::aHolderIsNamedAsProcTellsIt()
{
    QFETCH(QString, name);
    QFETCH(QString, commandLine);
    QFETCH(QString, named);
    QCOMPARE(PortDiagnosis::describe(PortHolder{1234, name, commandLine, {}}), named);
}

QTEST_MAIN(FaultsTest)
#include "tst_faults.moc"
