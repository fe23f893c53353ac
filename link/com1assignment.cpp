#include "link/com1assignment.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSaveFile>
#include <QStringDecoder>
#include <QStringList>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#ifndef CONSOLE_COM1_DEVICE
#define CONSOLE_COM1_DEVICE "/dev/ttyS0"
#endif

namespace {

// A larger file is not one that robot-console-com1 wrote.
constexpr qint64 kMaxFileSize = 4096;

QString systemText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

bool statOf(const QString& path, struct stat* status)
{
    return ::stat(QFile::encodeName(path).constData(), status) == 0;
}

QByteArray readSmallFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.read(64).trimmed();
}

// A device path as the file may name it: under /dev, already clean, without spaces or control characters.
bool isDevicePath(const QString& value)
{
    static const QRegularExpression unfit(QStringLiteral("[\\s\\x00-\\x1f\\x7f]"));
    return value.startsWith(QStringLiteral("/dev/")) && value.size() > 5 && QDir::cleanPath(value) == value
        && !value.contains(unfit);
}

// The udev rule's match is a glob between double quotes: names with these characters cannot be matched as
// written (udev never makes such a stable name).
bool fitsUdevRule(const QString& device)
{
    static const QRegularExpression unfit(QStringLiteral("[\\s\\x00-\\x1f\\x7f\"\\\\*?\\[\\]|]"));
    return !device.contains(unfit);
}

// "ttyS10" after "ttyS9": by prefix, then number.
bool nodeOrder(const QString& a, const QString& b)
{
    static const QRegularExpression split(QStringLiteral("^(.*?)(\\d*)$"));
    const QRegularExpressionMatch ma = split.match(a);
    const QRegularExpressionMatch mb = split.match(b);
    if (ma.captured(1) != mb.captured(1))
        return ma.captured(1) < mb.captured(1);
    return ma.captured(2).toLongLong() < mb.captured(2).toLongLong();
}

QString malformedCause(const Com1Reading& reading)
{
    if (reading.line > 0)
        return QStringLiteral("COM1 지정 파일 %1의 %2번째 줄을 알아볼 수 없습니다.")
            .arg(QLatin1String(Com1Assignment::kFile))
            .arg(reading.line);
    return QStringLiteral("COM1 지정 파일 %1에 장치가 적혀 있지 않습니다.").arg(QLatin1String(Com1Assignment::kFile));
}

const QString& askAdministrator()
{
    static const QString text = QStringLiteral("관리자에게 COM1 지정을 바로잡도록 요청하십시오:\n"
                                               "sudo robot-console-com1 list");
    return text;
}

} // namespace

QString Com1Assignment::buildDefault()
{
    return QStringLiteral(CONSOLE_COM1_DEVICE);
}

Com1Assignment::Com1Assignment(const QString& root) : m_root(QDir::cleanPath(root))
{
}

QString Com1Assignment::at(const QString& path) const
{
    if (m_root == QStringLiteral("/"))
        return path;
    return m_root + path;
}

QString Com1Assignment::asRunning(const QString& path) const
{
    QString clean = QDir::cleanPath(path);
    if (m_root == QStringLiteral("/") || !clean.startsWith(m_root + QLatin1Char('/')))
        return clean;
    return clean.mid(m_root.size());
}

Com1Reading Com1Assignment::read() const
{
    Com1Reading reading;
    const int fd = ::open(QFile::encodeName(at(QLatin1String(kFile))).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        if (error == ENOENT) // a missing folder is no assignment; a file in its place is a fault
            return reading;
        reading.state = Com1Reading::State::Unreadable;
        reading.systemError = systemText(error);
        return reading;
    }
    QFile file;
    QByteArray content;
    if (file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle))
        content = file.read(kMaxFileSize + 1);
    else
        ::close(fd);
    if (!file.isOpen() || file.error() != QFileDevice::NoError) {
        reading.state = Com1Reading::State::Unreadable;
        reading.systemError = file.errorString();
        return reading;
    }
    reading.state = Com1Reading::State::Malformed;
    if (content.size() > kMaxFileSize) { // the line that runs past the limit is not understood
        reading.line = static_cast<int>(content.left(kMaxFileSize).count('\n')) + 1;
        return reading;
    }
    const QList<QByteArray> lines = content.split('\n');
    for (qsizetype i = 0; i < lines.size(); ++i) {
        QStringDecoder decode(QStringDecoder::Utf8);
        const QString line = QString(decode(lines.at(i))).trimmed();
        const int number = static_cast<int>(i) + 1;
        if (decode.hasError()) {
            reading.line = number;
            return reading;
        }
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        const qsizetype equals = line.indexOf(QLatin1Char('='));
        const QString value = line.mid(equals + 1).trimmed();
        if (equals < 0 || line.left(equals).trimmed() != QStringLiteral("device") || !reading.device.isEmpty()
            || !isDevicePath(value)) {
            reading.device.clear();
            reading.line = number;
            return reading;
        }
        reading.device = value;
    }
    if (!reading.device.isEmpty())
        reading.state = Com1Reading::State::Assigned;
    return reading;
}

QString Com1Assignment::com1Device(const QString& unassigned) const
{
    const Com1Reading reading = read();
    switch (reading.state) {
    case Com1Reading::State::Unassigned:
        return unassigned;
    case Com1Reading::State::Unreadable:
        throw Com1Error(QStringLiteral("COM1을 열 수 없습니다.\nCOM1 지정 파일 %1을(를) 읽을 수 없습니다.\n%2\n"
                                       "시스템 메시지: %3")
                            .arg(QLatin1String(kFile), askAdministrator(), reading.systemError)
                            .toStdString());
    case Com1Reading::State::Malformed:
        throw Com1Error(QStringLiteral("COM1을 열 수 없습니다.\n%1\n%2")
                            .arg(malformedCause(reading), askAdministrator())
                            .toStdString());
    case Com1Reading::State::Assigned:
        break;
    }
    struct stat status
    {
    };
    if (statOf(at(reading.device), &status))
        return reading.device;
    const int error = errno;
    if (error != ENOENT && error != ENOTDIR) // not a question of presence: opening the port will tell
        return reading.device;
    const bool adapter = reading.device.startsWith(QLatin1String(kStableNames));
    const QString cause = adapter
        ? QStringLiteral("COM1로 지정된 USB 직렬 어댑터가 이 컴퓨터에 꽂혀 있지 않습니다.\n"
                         "로봇의 USB 직렬 어댑터를 꽂은 뒤 로봇 콘솔을 다시 시작하십시오.\n"
                         "어댑터를 바꾸었다면 관리자에게 새 어댑터를 COM1로 지정하도록 요청하십시오:")
        : QStringLiteral("COM1로 지정된 장치가 이 컴퓨터에 없습니다.\n"
                         "관리자에게 COM1 지정을 바로잡도록 요청하십시오:");
    throw Com1Error(QStringLiteral("COM1(%1)을 열 수 없습니다.\n%2\nsudo robot-console-com1 list\n시스템 메시지: %3")
                        .arg(reading.device, cause, systemText(error))
                        .toStdString());
}

DeviceKind Com1Assignment::kindOf(const QString& device) const
{
    struct stat status
    {
    };
    if (!statOf(at(device), &status))
        return DeviceKind::Missing;
    if (S_ISREG(status.st_mode))
        return DeviceKind::RegularFile;
    if (S_ISDIR(status.st_mode))
        return DeviceKind::Directory;
    if (!S_ISCHR(status.st_mode))
        return DeviceKind::OtherFile;
    // /sys/dev/char/MAJOR:MINOR is the device as the driver model knows it: a terminal belongs to the tty
    // class, and one with hardware behind it has a device link (pseudo-terminals have no entry at all,
    // virtual consoles no link). A built-in port that the kernel probed without finding its chip has type 0.
    const QString entry
        = at(QStringLiteral("/sys/dev/char/%1:%2").arg(major(status.st_rdev)).arg(minor(status.st_rdev)));
    if (QFileInfo(entry + QStringLiteral("/subsystem")).symLinkTarget().section(QLatin1Char('/'), -1)
            != QStringLiteral("tty")
        || !QFileInfo(entry + QStringLiteral("/device")).isSymLink())
        return DeviceKind::NotSerialPort;
    if (readSmallFile(entry + QStringLiteral("/type")) == "0")
        return DeviceKind::NoUart;
    return DeviceKind::SerialPort;
}

bool Com1Assignment::sameDevice(const QString& a, const QString& b) const
{
    struct stat first
    {
    };
    struct stat second
    {
    };
    return statOf(at(a), &first) && statOf(at(b), &second) && S_ISCHR(first.st_mode) && S_ISCHR(second.st_mode)
        && first.st_rdev == second.st_rdev;
}

bool Com1Assignment::onUsb(const QString& device) const
{
    struct stat status
    {
    };
    if (!statOf(at(device), &status))
        return false;
    const QString entry
        = at(QStringLiteral("/sys/dev/char/%1:%2").arg(major(status.st_rdev)).arg(minor(status.st_rdev)));
    return QFileInfo(entry).canonicalFilePath().contains(QStringLiteral("/usb"));
}

QList<SerialPortEntry> Com1Assignment::serialPorts() const
{
    QList<SerialPortEntry> ports;
    const QDir stable(at(QLatin1String(kStableNames)));
    const QStringList names = stable.entryList(QDir::Files | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    for (const QString& name : names) {
        const QString path = QLatin1String(kStableNames) + name;
        if (kindOf(path) != DeviceKind::SerialPort)
            continue;
        // The link's own target, as text: udev's links are relative, so a test tree's resolve inside it.
        ports.append({path, asRunning(QFileInfo(at(path)).symLinkTarget()), onUsb(path)});
    }
    QStringList nodes = QDir(at(QStringLiteral("/dev")))
                            .entryList({QStringLiteral("ttyUSB*"), QStringLiteral("ttyACM*"), QStringLiteral("ttyS*"),
                                        QStringLiteral("ttyAMA*")},
                                       QDir::Files | QDir::System);
    std::sort(nodes.begin(), nodes.end(), nodeOrder);
    for (const QString& name : std::as_const(nodes)) {
        const QString node = QStringLiteral("/dev/") + name;
        const bool named = std::any_of(ports.cbegin(), ports.cend(),
                                       [&](const SerialPortEntry& port) { return sameDevice(port.stableName, node); });
        if (!named && kindOf(node) == DeviceKind::SerialPort)
            ports.append({QString(), node, onUsb(node)});
    }
    return ports;
}

Com1Candidate Com1Assignment::judge(const QString& argument) const
{
    Com1Candidate candidate;
    if (argument.isEmpty())
        return candidate;
    QString path;
    if (!argument.contains(QLatin1Char('/'))) {
        // A bare name: a stable name where there is one, else a node ("ttyS1").
        path = QLatin1String(kStableNames) + argument;
        if (!QFileInfo(at(path)).isSymLink())
            path = QStringLiteral("/dev/") + argument;
    } else if (argument.startsWith(QLatin1Char('/'))) {
        path = QDir::cleanPath(argument);
    } else {
        return candidate;
    }
    candidate.kind = kindOf(path);
    candidate.given = path;
    candidate.device = path;
    candidate.node = path;
    if (candidate.kind != DeviceKind::SerialPort)
        return candidate;
    const QList<SerialPortEntry> ports = serialPorts();
    const auto port = std::find_if(ports.cbegin(), ports.cend(), [&](const SerialPortEntry& entry) {
        return entry.stableName == path || sameDevice(entry.node, path);
    });
    if (port != ports.cend()) {
        candidate.device = port->stableName.isEmpty() ? port->node : port->stableName;
        candidate.node = port->node;
        candidate.usbWithoutStableName = port->usb && port->stableName.isEmpty();
    } else {
        // A port under a name that serialPorts() does not look for (another link, another driver's nodes).
        candidate.node = asRunning(QFileInfo(at(path)).canonicalFilePath());
        candidate.device = candidate.node;
        candidate.usbWithoutStableName = onUsb(path);
    }
    candidate.nameUnfitForRule = !fitsUdevRule(candidate.device);
    return candidate;
}

QString Com1Assignment::ruleFor(const QString& device)
{
    const QString match = device.startsWith(QLatin1String(kStableNames))
        ? QStringLiteral("SYMLINK==\"%1\"").arg(device.mid(5))
        : QStringLiteral("KERNEL==\"%1\"").arg(QFileInfo(device).fileName());
    return QStringLiteral("# COM1 of robot-console, written by \"robot-console-com1 assign\" and removed by "
                          "\"robot-console-com1 reset\".\n"
                          "# The operators' group may read and write the port, and ModemManager leaves it alone:\n"
                          "# its probe writes to the line, and the robot acts on single characters.\n"
                          "SUBSYSTEM==\"tty\", %1, GROUP=\"%2\", MODE=\"0660\", ENV{ID_MM_DEVICE_IGNORE}=\"1\"\n")
        .arg(match, QLatin1String(kOperatorGroup));
}

namespace {

QString writeWhole(const QString& path, const QByteArray& content)
{
    const QString folder = QFileInfo(path).path();
    if (!QFileInfo(folder).isDir()) {
        if (!QDir().mkpath(folder))
            return QStringLiteral("%1: %2").arg(folder, systemText(errno));
        QFile::setPermissions(folder,
                              QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner
                                  | QFileDevice::ReadGroup | QFileDevice::ExeGroup | QFileDevice::ReadOther
                                  | QFileDevice::ExeOther);
    }
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size()
        || !file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup
                                | QFileDevice::ReadOther)
        || !file.commit())
        return QStringLiteral("%1: %2").arg(path, file.errorString());
    return {};
}

} // namespace

QString Com1Assignment::assign(const QString& device) const
{
    const QByteArray assignment = "# COM1 of robot-console on this computer, read at every start of the console.\n"
                                  "# Written by \"robot-console-com1 assign DEVICE\"; \"robot-console-com1 reset\" "
                                  "removes it.\n"
                                  "device="
        + QFile::encodeName(device) + '\n';
    QString failure = writeWhole(at(QLatin1String(kFile)), assignment);
    if (failure.isEmpty())
        failure = writeWhole(at(QLatin1String(kRule)), ruleFor(device).toUtf8());
    return failure;
}

QString Com1Assignment::reset(bool* removedAny) const
{
    *removedAny = false;
    for (const char* path : {kFile, kRule}) {
        const QString file = at(QLatin1String(path));
        if (!QFileInfo::exists(file) && !QFileInfo(file).isSymLink())
            continue;
        if (::unlink(QFile::encodeName(file).constData()) != 0)
            return QStringLiteral("%1: %2").arg(file, systemText(errno));
        *removedAny = true;
    }
    QDir().rmdir(at(QFileInfo(QLatin1String(kFile)).path())); // only where it is empty
    return {};
}

bool Com1Assignment::udevRunning() const
{
    return QFileInfo::exists(at(QStringLiteral("/run/udev/control")));
}
