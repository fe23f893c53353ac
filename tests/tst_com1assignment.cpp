// COM1's assignment: robot-console-com1 and the console's start, each run on a desk of the test's making
// (tests/e2e/desk.sh: a private mount namespace with its own /dev, /dev/serial/by-id, /sys/dev/char, /etc
// and /run, pseudo-terminals standing in for two USB adapters and the built-in port), watched for every
// open of a stand-in; and the assignment file, read strictly, under a root folder of the test's.

#include "link/com1assignment.h"
#include "tests/ptypair.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <grp.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <memory>

namespace {

const QString kFtdi = QStringLiteral("/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0");
const QString kProlific
    = QStringLiteral("/dev/serial/by-id/usb-Prolific_Technology_Inc._USB-Serial_Controller-if00-port0");
const QString kGone = QStringLiteral("/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_Z9Y8X7-if00-port0");
// The status column's value for a console that came up (it is then stopped).
constexpr int kWindowUp = -1;

// The stand-ins that processes opened, as inotify saw it: the watches are on the pseudo-terminals
// themselves, so an open through any name (a bind mount, a link) counts.
class OpenWatch
{
public:
    OpenWatch() : m_fd(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) { }
    ~OpenWatch()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    OpenWatch(const OpenWatch&) = delete;
    OpenWatch& operator=(const OpenWatch&) = delete;

    bool watch(const QString& name, const QString& path)
    {
        const int wd = ::inotify_add_watch(m_fd, QFile::encodeName(path).constData(), IN_OPEN);
        m_names.insert(wd, name);
        return wd >= 0;
    }

    QStringList opened() const
    {
        QStringList names;
        alignas(inotify_event) char buffer[4096];
        ssize_t got = 0;
        while ((got = ::read(m_fd, buffer, sizeof buffer)) > 0) {
            for (ssize_t at = 0; at < got;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
                if (!names.contains(m_names.value(event->wd)))
                    names << m_names.value(event->wd);
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            }
        }
        names.sort();
        return names;
    }

private:
    int m_fd;
    QHash<int, QString> m_names;
};

// Why no desk can be made here; empty where one can.
QString whyNoDesk()
{
    if (::geteuid() != 0)
        return QStringLiteral("a desk's mount namespace needs root");
    QTemporaryDir scratch;
    QProcess trial;
    trial.setProcessChannelMode(QProcess::MergedChannels);
    trial.start(QStringLiteral(DESK_SCRIPT), {scratch.path(), QStringLiteral("--"), QStringLiteral("true")});
    if (!trial.waitForFinished(20000) || trial.exitStatus() != QProcess::NormalExit || trial.exitCode() != 0)
        return QStringLiteral("no desk could be made: ") + QString::fromLocal8Bit(trial.readAll()).trimmed();
    return {};
}

struct DeskRun
{
    int status = -2;
    QString output;
};

// Runs `command` on the desk; a console that prints "running" is stopped at once.
DeskRun runOnDesk(const QStringList& arguments)
{
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    process.setProcessEnvironment(environment);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(QStringLiteral(DESK_SCRIPT), arguments);
    DeskRun run;
    QDeadlineTimer deadline(20000);
    while (process.state() != QProcess::NotRunning && !deadline.hasExpired()) {
        process.waitForReadyRead(50);
        run.output += QString::fromUtf8(process.readAllStandardOutput());
        if (run.output.contains(QStringLiteral("running\n"))) {
            process.kill();
            process.waitForFinished();
            run.status = kWindowUp;
            return run;
        }
    }
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished();
        run.output += QStringLiteral("\n(stopped after 20 s)");
        return run;
    }
    run.output += QString::fromUtf8(process.readAllStandardOutput());
    run.status = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -2;
    return run;
}

void writeFile(const QString& path, const QByteArray& content)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly) && file.write(content) == content.size(),
             qPrintable(QStringLiteral("could not write ") + path));
}

} // namespace

class Com1AssignmentTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { m_whyNoDesk = whyNoDesk(); }
    void theCommandAndTheConsoleFollowTheAssignment_data();
    void theCommandAndTheConsoleFollowTheAssignment();
    void anAssignmentFileNamesExactlyOneDevice_data();
    void anAssignmentFileNamesExactlyOneDevice();

private:
    QString m_whyNoDesk;
};

void Com1AssignmentTest::theCommandAndTheConsoleFollowTheAssignment_data()
{
    // `before`: the assignment file's content ("" none; with a device, its udev rule is there too).
    // `run`: robot-console-com1's arguments; none runs the console's start. %PLAIN% is a plain file and %PTY%
    // a pseudo-terminal that stands in for nothing.
    // `after`: "" no assignment and no rule, "=" the file as it was, else the assigned device with its rule.
    // `opened`: the stand-ins (ttyUSB0, ttyUSB1, ttyS0, pty) that the run opened.
    QTest::addColumn<QString>("before");
    QTest::addColumn<QStringList>("run");
    QTest::addColumn<int>("status");
    QTest::addColumn<QStringList>("says");
    QTest::addColumn<QString>("after");
    QTest::addColumn<QString>("opened");
    const QString list = QStringLiteral("list");
    const QString assign = QStringLiteral("assign");
    const auto device = [](const QString& path) { return QStringLiteral("device=%1\n").arg(path); };
    const QString noUdev = QStringLiteral("udev가 실행되고 있지 않습니다. COM1 지정은 그대로 유지되지만");

    QTest::newRow("list, nothing assigned")
        << QString() << QStringList{list} << 0
        << QStringList{QStringLiteral("COM1: /dev/ttyS0 (기본값, 지정된 장치 없음)"),
                       kFtdi + QStringLiteral(" → /dev/ttyUSB0\n"), kProlific + QStringLiteral(" → /dev/ttyUSB1\n"),
                       QStringLiteral("/dev/ttyS0 (내장 포트)  ← COM1"), noUdev}
        << QString() << QString();
    QTest::newRow("list, an adapter assigned")
        << device(kFtdi) << QStringList{list} << 0
        << QStringList{QStringLiteral("COM1: %1 (관리자가 지정함, /etc/robot-console/com1)").arg(kFtdi),
                       kFtdi + QStringLiteral(" → /dev/ttyUSB0  ← COM1")}
        << QStringLiteral("=") << QString();
    QTest::newRow("list, the assigned adapter unplugged")
        << device(kGone) << QStringList{list} << 0
        << QStringList{QStringLiteral("COM1: ") + kGone, QStringLiteral("이 어댑터는 지금 꽂혀 있지 않습니다")}
        << QStringLiteral("=") << QString();
    QTest::newRow("assign by stable name")
        << QString() << QStringList{assign, kFtdi} << 0
        << QStringList{QStringLiteral("COM1을 %1(으)로 지정하였습니다(지금의 노드: /dev/ttyUSB0).").arg(kFtdi),
                       QStringLiteral("/dev/ttyUSB0의 그룹을 dialout(으)로, 권한을 0660(으)로 바꾸었습니다."),
                       QStringLiteral(
                           "다시 로그인해야 합니다.\n운영자를 그룹에 넣으려면:\nsudo usermod -aG dialout 사용자이름\n"),
                       QStringLiteral("되돌리려면: sudo robot-console-com1 reset"), noUdev}
        << kFtdi << QString();
    QTest::newRow("assign by bare stable name, over another assignment")
        << device(kProlific) << QStringList{assign, kFtdi.section(QLatin1Char('/'), -1)} << 0
        << QStringList{QStringLiteral("COM1을 %1(으)로 지정하였습니다").arg(kFtdi),
                       QStringLiteral("되돌리려면: sudo robot-console-com1 assign ") + kProlific}
        << kFtdi << QString();
    QTest::newRow("assign by node: the adapter's stable name is assigned")
        << QString() << QStringList{assign, QStringLiteral("/dev/ttyUSB1")} << 0
        << QStringList{QStringLiteral("COM1을 %1(으)로 지정하였습니다(지금의 노드: /dev/ttyUSB1).").arg(kProlific),
                       QStringLiteral("/dev/ttyUSB1의 번호는 꽂는 순서에 따라 바뀔 수 있으므로")}
        << kProlific << QString();
    QTest::newRow("assign the built-in port")
        << device(kFtdi) << QStringList{assign, QStringLiteral("/dev/ttyS0")} << 0
        << QStringList{QStringLiteral("COM1을 /dev/ttyS0(으)로 지정하였습니다.\n")} << QStringLiteral("/dev/ttyS0")
        << QString();
    QTest::newRow("assign a plain file: refused")
        << device(kFtdi) << QStringList{assign, QStringLiteral("%PLAIN%")} << 1
        << QStringList{QStringLiteral(
                           "COM1을 %PLAIN%(으)로 지정할 수 없습니다.\n%PLAIN%은(는) 직렬 포트가 아니라 일반 파일입니다."),
                       QStringLiteral("COM1 지정은 바뀌지 않았습니다(지금: %1).").arg(kFtdi)}
        << QStringLiteral("=") << QString();
    QTest::newRow("assign a pseudo-terminal: refused")
        << QString() << QStringList{assign, QStringLiteral("%PTY%")} << 1
        << QStringList{QStringLiteral("%PTY%은(는) 직렬 포트가 아닙니다"), QStringLiteral("(지금: 기본값 /dev/ttyS0)")}
        << QString() << QString();
    QTest::newRow("assign a device that is not a terminal: refused")
        << QString() << QStringList{assign, QStringLiteral("/dev/null")} << 1
        << QStringList{QStringLiteral("/dev/null은(는) 직렬 포트가 아닙니다")} << QString() << QString();
    QTest::newRow("assign an adapter that is not plugged in: refused")
        << QString() << QStringList{assign, kGone} << 1 << QStringList{kGone + QStringLiteral("이(가) 없습니다.")}
        << QString() << QString();
    QTest::newRow("reset")
        << device(kFtdi) << QStringList{QStringLiteral("reset")} << 0
        << QStringList{QStringLiteral(
                           "COM1 지정(/etc/robot-console/com1, "
                           "/etc/udev/rules.d/70-robot-console-com1.rules)을 지웠습니다. COM1은 이제 기본값 /dev/ttyS0입니다."),
                       QStringLiteral("되돌리려면: sudo robot-console-com1 assign ") + kFtdi}
        << QString() << QString();
    QTest::newRow("reset, nothing assigned")
        << QString() << QStringList{QStringLiteral("reset")} << 0
        << QStringList{QStringLiteral("COM1은 지정되어 있지 않습니다. 이미 기본값 /dev/ttyS0입니다.")} << QString()
        << QString();
    QTest::newRow("console, an adapter assigned: it is COM1")
        << device(kFtdi) << QStringList{} << kWindowUp << QStringList{} << QStringLiteral("=")
        << QStringLiteral("ttyUSB0");
    QTest::newRow("console, the assigned adapter unplugged: named, exit 1, nothing opened")
        << device(kGone) << QStringList{} << 1
        << QStringList{QStringLiteral(
                           "message: COM1(%1)을 열 수 없습니다.\nCOM1로 지정된 USB 직렬 어댑터가 이 컴퓨터에 꽂혀 "
                           "있지 않습니다.\n로봇의 USB 직렬 어댑터를 꽂은 뒤 로봇 콘솔을 다시 시작하십시오.\n"
                           "어댑터를 바꾸었다면 관리자에게 새 어댑터를 COM1로 지정하도록 요청하십시오:\n"
                           "sudo robot-console-com1 list\n시스템 메시지: ")
                           .arg(kGone),
                       QStringLiteral("robot-console: COM1(%1)을 열 수 없습니다. ").arg(kGone)}
        << QStringLiteral("=") << QString();
    QTest::newRow("console, nothing assigned: COM1 is /dev/ttyS0")
        << QString() << QStringList{} << kWindowUp << QStringList{} << QString() << QStringLiteral("ttyS0");
    QTest::newRow("console, an assignment it cannot read: exit 1, nothing opened")
        << QStringLiteral("device=ttyUSB0\n") << QStringList{} << 1
        << QStringList{QStringLiteral(
               "message: COM1을 열 수 없습니다.\nCOM1 지정 파일 /etc/robot-console/com1의 1번째 줄을 "
               "알아볼 수 없습니다.\n관리자에게 COM1 지정을 바로잡도록 요청하십시오:\n"
               "sudo robot-console-com1 list")}
        << QStringLiteral("=") << QString();
}

void Com1AssignmentTest::theCommandAndTheConsoleFollowTheAssignment()
{
    QFETCH(QString, before);
    QFETCH(QStringList, run);
    QFETCH(int, status);
    QFETCH(QStringList, says);
    QFETCH(QString, after);
    QFETCH(QString, opened);
    if (!m_whyNoDesk.isEmpty())
        QSKIP(qPrintable(m_whyNoDesk));
    QTemporaryDir scratch;
    QVERIFY2(scratch.isValid(), "no temporary folder");
    const QString desk = scratch.path() + QStringLiteral("/desk");
    const QString plain = scratch.path() + QStringLiteral("/plain");
    writeFile(plain, "not a serial port\n");
    // The overlay's changes land in desk/etc: the desk's /etc is this folder over the machine's.
    const Com1Assignment files(desk);
    if (!before.isEmpty()) {
        writeFile(desk + QLatin1String(Com1Assignment::kFile), before.toUtf8());
        const Com1Reading reading = files.read();
        if (reading.state == Com1Reading::State::Assigned)
            writeFile(desk + QLatin1String(Com1Assignment::kRule), Com1Assignment::ruleFor(reading.device).toUtf8());
    }

    const std::array<QString, 4> names{QStringLiteral("ttyUSB0"), QStringLiteral("ttyUSB1"), QStringLiteral("ttyS0"),
                                       QStringLiteral("pty")};
    std::array<std::unique_ptr<PtyPair>, 4> lines;
    for (auto& line : lines) {
        line = std::make_unique<PtyPair>();
        QVERIFY2(line->isValid(), "could not make a pseudo-terminal pair");
    }
    QStringList arguments{
        desk, QStringLiteral("ttyUSB0:%1:%2").arg(lines[0]->slavePath(), kFtdi.section(QLatin1Char('/'), -1)),
        QStringLiteral("ttyUSB1:%1:%2").arg(lines[1]->slavePath(), kProlific.section(QLatin1Char('/'), -1)),
        QStringLiteral("ttyS0:%1").arg(lines[2]->slavePath()), QStringLiteral("--")};
    if (run.isEmpty())
        arguments << QStringLiteral(CONSOLE_HARNESS);
    else
        arguments << QStringLiteral(COM1_COMMAND) << run;
    arguments.replaceInStrings(QStringLiteral("%PLAIN%"), plain);
    arguments.replaceInStrings(QStringLiteral("%PTY%"), lines[3]->slavePath());
    says.replaceInStrings(QStringLiteral("%PLAIN%"), plain);
    says.replaceInStrings(QStringLiteral("%PTY%"), lines[3]->slavePath());
    // The harness writes a message box's line breaks as \n.
    for (QString& part : says)
        if (part.startsWith(QStringLiteral("message: ")))
            part.replace(QLatin1Char('\n'), QStringLiteral("\\n"));
    OpenWatch watch;
    for (std::size_t i = 0; i < names.size(); ++i)
        QVERIFY2(watch.watch(names.at(i), lines.at(i)->slavePath()), "could not watch a pseudo-terminal");
    const QString& fileBefore = before;

    const DeskRun result = runOnDesk(arguments);

    const QString seen = QStringLiteral("\n--- output ---\n%1\n---").arg(result.output);
    QVERIFY2(result.status == status,
             qPrintable(QStringLiteral("ended with %1, not %2").arg(result.status).arg(status) + seen));
    for (const QString& part : std::as_const(says))
        QVERIFY2(result.output.contains(part), qPrintable(QStringLiteral("does not say \"%1\"").arg(part) + seen));
    const QStringList expectedOpens = opened.isEmpty() ? QStringList{} : QStringList{opened};
    QVERIFY2(watch.opened() == expectedOpens,
             qPrintable(QStringLiteral("opened [%1], not [%2]").arg(watch.opened().join(QStringLiteral(", ")), opened)
                        + seen));

    const QString file = desk + QLatin1String(Com1Assignment::kFile);
    const QString rule = desk + QLatin1String(Com1Assignment::kRule);
    if (after.isEmpty()) {
        QVERIFY2(!QFileInfo::exists(file) && !QFileInfo::exists(rule),
                 "an assignment or its rule is left" + seen.toUtf8());
    } else if (after == QStringLiteral("=")) {
        QFile kept(file);
        QVERIFY2(kept.open(QIODevice::ReadOnly) && QString::fromUtf8(kept.readAll()) == fileBefore,
                 "the assignment changed" + seen.toUtf8());
    } else {
        const Com1Reading reading = files.read();
        QVERIFY2(reading.state == Com1Reading::State::Assigned && reading.device == after,
                 qPrintable(QStringLiteral("the file names \"%1\", not \"%2\"").arg(reading.device, after) + seen));
        QFile written(rule);
        QVERIFY2(written.open(QIODevice::ReadOnly) && written.readAll() == Com1Assignment::ruleFor(after).toUtf8(),
                 "the udev rule is missing or names another device" + seen.toUtf8());
        for (const QString& path : {file, rule}) {
            const QFileInfo info(path);
            QVERIFY2(info.ownerId() == 0
                         && info.permissions()
                             == (QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser
                                 | QFile::ReadGroup | QFile::ReadOther),
                     qPrintable(path + QStringLiteral(" is not root's, readable by all and writable by root only")));
        }
        // The node is the operators' group's from now on, also where udev does not run.
        const std::size_t index = after == kFtdi ? 0 : after == kProlific ? 1 : 2;
        struct stat node
        {
        };
        const group* operators = ::getgrnam(Com1Assignment::kOperatorGroup);
        QVERIFY2(operators != nullptr && ::stat(QFile::encodeName(lines.at(index)->slavePath()).constData(), &node) == 0
                     && node.st_gid == operators->gr_gid && (node.st_mode & 0660) == 0660,
                 "the assigned node is not readable and writable by the operators' group");
    }
}

void Com1AssignmentTest::anAssignmentFileNamesExactlyOneDevice_data()
{
    QTest::addColumn<QByteArray>("content"); // "-" for no file, "/" for a folder in its place
    QTest::addColumn<int>("state");
    QTest::addColumn<QString>("device");
    QTest::addColumn<int>("line");
    const int assigned = static_cast<int>(Com1Reading::State::Assigned);
    const int malformed = static_cast<int>(Com1Reading::State::Malformed);
    QTest::newRow("no file") << QByteArray("-") << static_cast<int>(Com1Reading::State::Unassigned) << QString() << 0;
    QTest::newRow("a folder in its place")
        << QByteArray("/") << static_cast<int>(Com1Reading::State::Unreadable) << QString() << 0;
    QTest::newRow("one device") << QByteArray("device=/dev/ttyS1\n") << assigned << QStringLiteral("/dev/ttyS1") << 0;
    QTest::newRow("comments, blank lines, spaces, CRLF, no last newline")
        << QByteArray("# COM1\r\n\r\n  device = /dev/serial/by-id/usb-A_B-if00-port0 \r\n# end") << assigned
        << QStringLiteral("/dev/serial/by-id/usb-A_B-if00-port0") << 0;
    QTest::newRow("empty") << QByteArray() << malformed << QString() << 0;
    QTest::newRow("only comments") << QByteArray("# device=/dev/ttyS1\n") << malformed << QString() << 0;
    QTest::newRow("two devices") << QByteArray("device=/dev/ttyS1\ndevice=/dev/ttyS2\n") << malformed << QString() << 2;
    QTest::newRow("the same device twice")
        << QByteArray("device=/dev/ttyS1\ndevice=/dev/ttyS1\n") << malformed << QString() << 2;
    QTest::newRow("relative") << QByteArray("device=ttyUSB0\n") << malformed << QString() << 1;
    QTest::newRow("outside /dev") << QByteArray("device=/etc/passwd\n") << malformed << QString() << 1;
    QTest::newRow("out of /dev by ..") << QByteArray("device=/dev/../etc/passwd\n") << malformed << QString() << 1;
    QTest::newRow("/dev itself") << QByteArray("device=/dev/\n") << malformed << QString() << 1;
    QTest::newRow("a space in the name") << QByteArray("device=/dev/tty S1\n") << malformed << QString() << 1;
    QTest::newRow("another setting") << QByteArray("speed=9600\ndevice=/dev/ttyS1\n") << malformed << QString() << 1;
    QTest::newRow("no equals sign") << QByteArray("/dev/ttyS1\n") << malformed << QString() << 1;
    QTest::newRow("not UTF-8") << QByteArray("# ok\ndevice=/dev/tty\xff\n") << malformed << QString() << 2;
    QTest::newRow("larger than any that the command writes")
        << QByteArray("device=/dev/ttyS1\n" + QByteArray(5000, '#')) << malformed << QString() << 2;
}

void Com1AssignmentTest::anAssignmentFileNamesExactlyOneDevice()
{
    QFETCH(QByteArray, content);
    QFETCH(int, state);
    QFETCH(QString, device);
    QFETCH(int, line);
    QTemporaryDir root;
    const QString file = root.path() + QLatin1String(Com1Assignment::kFile);
    if (content == "/")
        QDir().mkpath(file);
    else if (content != "-")
        writeFile(file, content);

    const Com1Reading reading = Com1Assignment(root.path()).read();

    QVERIFY2(static_cast<int>(reading.state) == state,
             qPrintable(QStringLiteral("read as state %1, not %2").arg(static_cast<int>(reading.state)).arg(state)));
    QCOMPARE(reading.device, device);
    QCOMPARE(reading.line, line);
    // The console opens the default only where nothing is assigned: a device named but not there (none is,
    // under this root), or a file it cannot follow, ends the start instead.
    const Com1Assignment com1(root.path());
    if (reading.state == Com1Reading::State::Unassigned)
        QCOMPARE(com1.com1Device(QStringLiteral("/dev/ttyS0")), QStringLiteral("/dev/ttyS0"));
    else
        QVERIFY_THROWS_EXCEPTION(Com1Error, com1.com1Device(QStringLiteral("/dev/ttyS0")));
}

QTEST_GUILESS_MAIN(Com1AssignmentTest)
#include "tst_com1assignment.moc"
