// robot-console-com1: the desk administrator's command that says which device is COM1 of the console.
//
//   robot-console-com1 list            the serial ports present, and which one is COM1 now
//   robot-console-com1 assign DEVICE   COM1 is DEVICE from the console's next start (root only)
//   robot-console-com1 reset           COM1 is the build-time default again (root only)
//
// The files and their rules are Com1Assignment's; this is what the administrator reads. Nothing here opens a
// device: a serial port is judged by stat() and sysfs, and its group and mode are set by chown/chmod.
// Status: 0 done (or nothing to do), 1 refused or failed (nothing changed unless said), 2 wrong usage.

#include "link/com1assignment.h"

#include <QFile>
#include <QString>
#include <QStringList>

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

constexpr int kDone = 0;
constexpr int kRefused = 1;
constexpr int kUsage = 2;

void say(const QString& text)
{
    std::fputs(text.toUtf8().constData(), stdout);
    std::fputc('\n', stdout);
}

void complain(const QString& text)
{
    std::fflush(stdout);
    std::fputs(text.toUtf8().constData(), stderr);
    std::fputc('\n', stderr);
}

QString usage()
{
    return QStringLiteral("사용법: robot-console-com1 list | assign 장치 | reset\n"
                          "  list         이 컴퓨터의 직렬 포트와 지금의 COM1을 보여 줍니다.\n"
                          "  assign 장치  로봇 콘솔의 COM1을 장치로 지정합니다. 장치는 /dev/serial/by-id/ 아래의\n"
                          "               이름이나 /dev/ttyUSB0 같은 노드입니다.\n"
                          "  reset        COM1 지정을 지우고 기본값 %1(으)로 되돌립니다.\n"
                          "assign과 reset은 관리자 권한(sudo)으로만 실행할 수 있습니다.")
        .arg(Com1Assignment::buildDefault());
}

QString modeText(mode_t mode)
{
    return QString::number(mode & 07777, 8).rightJustified(4, QLatin1Char('0'));
}

QString groupName(gid_t gid)
{
    const group* entry = ::getgrgid(gid);
    return entry != nullptr ? QString::fromLocal8Bit(entry->gr_name) : QString::number(gid);
}

// Where the operators' group cannot read and write `device`: what it is now ("그룹 root, 권한 0600").
QString missingAccess(const QString& device)
{
    struct stat status
    {
    };
    if (::stat(QFile::encodeName(device).constData(), &status) != 0)
        return {};
    const group* operators = ::getgrnam(Com1Assignment::kOperatorGroup);
    const bool groupMay = operators != nullptr && status.st_gid == operators->gr_gid
        && (status.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP);
    const bool everyoneMay = (status.st_mode & (S_IROTH | S_IWOTH)) == (S_IROTH | S_IWOTH);
    if (groupMay || everyoneMay)
        return {};
    return QStringLiteral("그룹 %1, 권한 %2").arg(groupName(status.st_gid), modeText(status.st_mode));
}

const QString& udevNote()
{
    static const QString text = QStringLiteral(
        "udev가 실행되고 있지 않습니다. COM1 지정은 그대로 유지되지만, /dev/serial/by-id/의 이름과 COM1의 udev "
        "규칙은 udev가 실행된 뒤 어댑터를 꽂을 때 만들어지고 적용됩니다.");
    return text;
}

QString undoCommand(const Com1Reading& before)
{
    if (before.state == Com1Reading::State::Assigned)
        return QStringLiteral("sudo robot-console-com1 assign %1").arg(before.device);
    return QStringLiteral("sudo robot-console-com1 reset");
}

int list(const Com1Assignment& com1)
{
    const Com1Reading reading = com1.read();
    const QString device
        = reading.state == Com1Reading::State::Assigned ? reading.device : Com1Assignment::buildDefault();
    switch (reading.state) {
    case Com1Reading::State::Assigned:
        say(QStringLiteral("COM1: %1 (관리자가 지정함, %2)").arg(device, QLatin1String(Com1Assignment::kFile)));
        break;
    case Com1Reading::State::Unassigned:
        say(QStringLiteral("COM1: %1 (기본값, 지정된 장치 없음)").arg(device));
        break;
    case Com1Reading::State::Unreadable:
    case Com1Reading::State::Malformed:
        say(QStringLiteral("COM1: 정할 수 없습니다. 로봇 콘솔은 어떤 장치도 열지 않고 끝납니다."));
        say(reading.state == Com1Reading::State::Unreadable
                ? QStringLiteral("      COM1 지정 파일 %1을(를) 읽을 수 없습니다 (시스템 메시지: %2).")
                      .arg(QLatin1String(Com1Assignment::kFile), reading.systemError)
                : reading.line > 0 ? QStringLiteral("      COM1 지정 파일 %1의 %2번째 줄을 알아볼 수 없습니다.")
                                         .arg(QLatin1String(Com1Assignment::kFile))
                                         .arg(reading.line)
                                   : QStringLiteral("      COM1 지정 파일 %1에 장치가 적혀 있지 않습니다.")
                                         .arg(QLatin1String(Com1Assignment::kFile)));
        say(QStringLiteral("      다시 지정하거나(assign) 기본값으로 되돌리십시오(reset)."));
        break;
    }
    const bool known = reading.state == Com1Reading::State::Assigned || reading.state == Com1Reading::State::Unassigned;
    if (known) {
        const DeviceKind kind = com1.kindOf(device);
        if (kind == DeviceKind::Missing) {
            say(device.startsWith(QLatin1String(Com1Assignment::kStableNames))
                    ? QStringLiteral(
                        "      이 어댑터는 지금 꽂혀 있지 않습니다. 꽂혀 있지 않으면 로봇 콘솔은 시작하지 않습니다.")
                    : QStringLiteral("      이 장치는 이 컴퓨터에 없습니다."));
        } else if (kind == DeviceKind::NoUart) {
            say(QStringLiteral("      이 내장 직렬 포트의 칩이 이 컴퓨터에서 발견되지 않았습니다."));
        } else if (kind != DeviceKind::SerialPort) {
            say(QStringLiteral("      이 장치는 직렬 포트가 아닙니다."));
        } else {
            const QString lacking = missingAccess(device);
            if (!lacking.isEmpty())
                say(QStringLiteral("      %1 그룹의 운영자가 이 장치를 읽고 쓸 수 없습니다(%2). 바로잡으려면:\n"
                                   "      sudo robot-console-com1 assign %3")
                        .arg(QLatin1String(Com1Assignment::kOperatorGroup), lacking, device));
        }
    }

    say(QString());
    say(QStringLiteral("이 컴퓨터의 직렬 포트:"));
    const QList<SerialPortEntry> ports = com1.serialPorts();
    if (ports.isEmpty())
        say(QStringLiteral("  (없음)"));
    for (const SerialPortEntry& port : ports) {
        QString line = port.stableName.isEmpty() ? QStringLiteral("  %1").arg(port.node)
                                                 : QStringLiteral("  %1 → %2").arg(port.stableName, port.node);
        if (port.stableName.isEmpty())
            line += port.usb ? QStringLiteral(" (USB, udev가 만든 바뀌지 않는 이름이 없음)")
                             : QStringLiteral(" (내장 포트)");
        if (known && com1.sameDevice(port.node, device))
            line += QStringLiteral("  ← COM1");
        say(line);
    }
    say(QString());
    say(QStringLiteral("COM1로 지정하려면: sudo robot-console-com1 assign 장치"));
    say(QStringLiteral("기본값(%1)으로 되돌리려면: sudo robot-console-com1 reset").arg(Com1Assignment::buildDefault()));
    if (!com1.udevRunning())
        say(udevNote());
    return kDone;
}

QString refusal(const QString& argument, const Com1Candidate& candidate, const Com1Assignment& com1)
{
    const QString& node = candidate.node;
    switch (candidate.kind) {
    case DeviceKind::Missing:
        return QStringLiteral("%1이(가) 없습니다. 어댑터가 꽂혀 있는지 확인하십시오.").arg(argument);
    case DeviceKind::RegularFile:
        return QStringLiteral("%1은(는) 직렬 포트가 아니라 일반 파일입니다.").arg(node);
    case DeviceKind::Directory:
        return QStringLiteral("%1은(는) 직렬 포트가 아니라 디렉터리입니다.").arg(node);
    case DeviceKind::OtherFile:
        return QStringLiteral("%1은(는) 문자 장치가 아니므로 직렬 포트가 아닙니다.").arg(node);
    case DeviceKind::NotSerialPort:
        return QStringLiteral(
                   "%1은(는) 직렬 포트가 아닙니다. 뒤에 하드웨어가 없는 터미널(의사 터미널, 가상 콘솔)이거나 "
                   "터미널이 아닌 장치입니다.")
            .arg(node);
    case DeviceKind::NoUart:
        return QStringLiteral("%1은(는) 내장 직렬 포트이지만, 이 컴퓨터에서 그 칩이 발견되지 않았습니다.").arg(node);
    case DeviceKind::SerialPort:
        break;
    }
    if (candidate.usbWithoutStableName)
        return QStringLiteral("%1은(는) USB 직렬 어댑터이지만 udev가 만든 바뀌지 않는 이름(/dev/serial/by-id/)이 "
                              "없습니다. 노드의 번호는 어댑터를 꽂는 순서에 따라 바뀌므로 COM1로 지정하지 않습니다.")
                   .arg(node)
            + (com1.udevRunning() ? QString() : QLatin1Char('\n') + udevNote());
    return QStringLiteral("%1에는 udev 규칙에 쓸 수 없는 문자가 있습니다.").arg(candidate.device);
}

// Gives the node to the operators' group now, as the rule will at every plug-in; says what it did.
void grantOperators(const QString& node)
{
    const group* operators = ::getgrnam(Com1Assignment::kOperatorGroup);
    if (operators == nullptr) {
        complain(QStringLiteral("%1 그룹이 이 컴퓨터에 없어 %2의 그룹을 바꾸지 못하였습니다.")
                     .arg(QLatin1String(Com1Assignment::kOperatorGroup), node));
        return;
    }
    const QByteArray path = QFile::encodeName(node);
    struct stat status
    {
    };
    if (::stat(path.constData(), &status) != 0)
        return;
    const mode_t mode = status.st_mode | S_IRUSR | S_IWUSR | S_IRGRP | S_IWGRP;
    if (status.st_gid == operators->gr_gid && mode == status.st_mode)
        return;
    if (::chown(path.constData(), static_cast<uid_t>(-1), operators->gr_gid) != 0
        || ::chmod(path.constData(), mode & 07777) != 0) {
        complain(
            QStringLiteral("%1의 그룹과 권한을 바꾸지 못하였습니다. 어댑터를 다시 꽂으면 udev가 규칙에 따라 바꿉니다.\n"
                           "시스템 메시지: %2")
                .arg(node, QString::fromLocal8Bit(std::strerror(errno))));
        return;
    }
    say(QStringLiteral("%1의 그룹을 %2(으)로, 권한을 %3(으)로 바꾸었습니다.")
            .arg(node, QLatin1String(Com1Assignment::kOperatorGroup), modeText(mode)));
}

int assign(const Com1Assignment& com1, const QString& argument)
{
    const Com1Candidate candidate = com1.judge(argument);
    if (!candidate.acceptable()) {
        const Com1Reading now = com1.read();
        complain(QStringLiteral("COM1을 %1(으)로 지정할 수 없습니다.\n%2\nCOM1 지정은 바뀌지 않았습니다(지금: %3).\n"
                                "이 컴퓨터의 직렬 포트는 다음 명령으로 볼 수 있습니다:\nrobot-console-com1 list")
                     .arg(argument, refusal(argument, candidate, com1),
                          now.state == Com1Reading::State::Assigned ? now.device
                              : now.state == Com1Reading::State::Unassigned
                              ? QStringLiteral("기본값 %1").arg(Com1Assignment::buildDefault())
                              : QStringLiteral("정할 수 없음")));
        return kRefused;
    }
    if (::geteuid() != 0) {
        complain(QStringLiteral("COM1 지정은 관리자 권한으로만 바꿀 수 있습니다.\nsudo로 실행하십시오:\n"
                                "sudo robot-console-com1 assign %1")
                     .arg(candidate.device));
        return kRefused;
    }
    const Com1Reading before = com1.read();
    const QString failure = com1.assign(candidate.device);
    if (!failure.isEmpty()) {
        complain(QStringLiteral("COM1 지정을 마치지 못하였습니다.\n지금의 상태는 다음 명령으로 확인하십시오:\n"
                                "robot-console-com1 list\n시스템 메시지: %1")
                     .arg(failure));
        return kRefused;
    }
    if (candidate.device == candidate.node)
        say(QStringLiteral("COM1을 %1(으)로 지정하였습니다.").arg(candidate.device));
    else
        say(QStringLiteral("COM1을 %1(으)로 지정하였습니다(지금의 노드: %2).").arg(candidate.device, candidate.node));
    if (candidate.given != candidate.device)
        say(QStringLiteral(
                "%1의 번호는 꽂는 순서에 따라 바뀔 수 있으므로, 어댑터의 바뀌지 않는 이름으로 지정하였습니다.")
                .arg(candidate.given));
    say(QStringLiteral("  지정 파일: %1").arg(QLatin1String(Com1Assignment::kFile)));
    say(QStringLiteral("  udev 규칙: %1 (그룹 %2, 권한 0660)")
            .arg(QLatin1String(Com1Assignment::kRule), QLatin1String(Com1Assignment::kOperatorGroup)));
    grantOperators(candidate.node);
    say(QStringLiteral("로봇 콘솔은 다음에 시작할 때부터 이 장치를 COM1로 엽니다.\n"
                       "운영자는 %1 그룹에 들어 있어야 하며, 그룹에 넣은 뒤에는 다시 로그인해야 합니다.\n"
                       "운영자를 그룹에 넣으려면:\n"
                       "sudo usermod -aG %1 사용자이름")
            .arg(QLatin1String(Com1Assignment::kOperatorGroup)));
    say(QStringLiteral("되돌리려면: %1").arg(undoCommand(before)));
    if (!com1.udevRunning())
        say(udevNote());
    return kDone;
}

int reset(const Com1Assignment& com1)
{
    if (::geteuid() != 0) {
        complain(QStringLiteral("COM1 지정은 관리자 권한으로만 바꿀 수 있습니다.\nsudo로 실행하십시오:\n"
                                "sudo robot-console-com1 reset"));
        return kRefused;
    }
    const Com1Reading before = com1.read();
    bool removedAny = false;
    const QString failure = com1.reset(&removedAny);
    if (!failure.isEmpty()) {
        complain(QStringLiteral("COM1 지정을 지우지 못하였습니다.\n시스템 메시지: %1").arg(failure));
        return kRefused;
    }
    if (!removedAny) {
        say(QStringLiteral("COM1은 지정되어 있지 않습니다. 이미 기본값 %1입니다.").arg(Com1Assignment::buildDefault()));
        return kDone;
    }
    say(QStringLiteral("COM1 지정(%1, %2)을 지웠습니다. COM1은 이제 기본값 %3입니다.")
            .arg(QLatin1String(Com1Assignment::kFile), QLatin1String(Com1Assignment::kRule),
                 Com1Assignment::buildDefault()));
    say(QStringLiteral("로봇 콘솔은 다음에 시작할 때부터 %1을(를) COM1로 엽니다.").arg(Com1Assignment::buildDefault()));
    if (before.state == Com1Reading::State::Assigned)
        say(QStringLiteral("되돌리려면: %1").arg(undoCommand(before)));
    return kDone;
}

} // namespace

int main(int argc, char** argv)
{
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    const Com1Assignment com1;
    const QString command = arguments.value(0);
    if (command == QStringLiteral("list") && arguments.size() == 1)
        return list(com1);
    if (command == QStringLiteral("assign") && arguments.size() == 2)
        return assign(com1, arguments.at(1));
    if (command == QStringLiteral("reset") && arguments.size() == 1)
        return reset(com1);
    if (arguments.size() == 1 && (command == QStringLiteral("--help") || command == QStringLiteral("-h"))) {
        say(usage());
        return kDone;
    }
    complain(usage());
    return kUsage;
}
