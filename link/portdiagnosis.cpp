#include "link/portdiagnosis.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <limits>
#include <vector>

namespace {

QByteArray readSmallFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.read(4096);
}

QString userName()
{
    if (const passwd* user = ::getpwuid(::getuid()))
        return QString::fromLocal8Bit(user->pw_name);
    return QString::number(::getuid());
}

// Whether this process already has `group` (it joined, and logged in since).
bool processHasGroup(gid_t group)
{
    if (::getegid() == group)
        return true;
    const int count = ::getgroups(0, nullptr);
    if (count <= 0)
        return false;
    std::vector<gid_t> groups(static_cast<std::size_t>(count));
    const int got = ::getgroups(count, groups.data());
    for (int i = 0; i < got; ++i)
        if (groups[static_cast<std::size_t>(i)] == group)
            return true;
    return false;
}

// Whether the group database lists `user` as a member of `group`, whatever this process was started with.
bool userIsListedIn(const QString& user, const group* entry)
{
    for (char** member = entry->gr_mem; member != nullptr && *member != nullptr; ++member)
        if (QString::fromLocal8Bit(*member) == user)
            return true;
    return false;
}

QString adapterList(const QList<SerialAdapter>& adapters)
{
    QStringList names;
    for (const SerialAdapter& adapter : adapters)
        names << (adapter.byIdName.isEmpty() ? adapter.node
                                             : QStringLiteral("%1 (%2)").arg(adapter.byIdName, adapter.node));
    return names.join(QStringLiteral(", "));
}

// What to do when COM1 is not there but adapters are: the administrator assigns COM1 to the robot's adapter.
// The command names the adapter only where one alone has a stable name; the administrator still chooses.
QString adapterRecipe(const QString& device, const QList<SerialAdapter>& adapters)
{
    QStringList stableNames;
    for (const SerialAdapter& adapter : adapters)
        if (!adapter.byIdName.isEmpty())
            stableNames << QStringLiteral("/dev/serial/by-id/") + adapter.byIdName;
    const QString command = stableNames.size() == 1
        ? QStringLiteral("sudo robot-console-com1 assign ") + stableNames.constFirst()
        : QStringLiteral("sudo robot-console-com1 list");
    return QStringLiteral("COM1은 %1(으)로 정해져 있지만, 이 컴퓨터에는 USB 직렬 어댑터가 있습니다: %2. 로봇이 "
                          "어댑터에 연결되어 있다면 관리자에게 그 어댑터를 COM1로 지정하도록 요청하십시오: %3")
        .arg(device, adapterList(adapters), command);
}

QString permissionAdvice(const QString& device)
{
    struct stat status{};
    if (::stat(QFile::encodeName(device).constData(), &status) != 0)
        return QStringLiteral("장치의 권한을 확인하십시오.");
    const group* owner = ::getgrgid(status.st_gid);
    const QString groupName = owner != nullptr ? QString::fromLocal8Bit(owner->gr_name) : QString::number(status.st_gid);
    const QString user = userName();
    if ((status.st_mode & (S_IRGRP | S_IWGRP)) != (S_IRGRP | S_IWGRP))
        return QStringLiteral("장치(권한 %1)는 %2 그룹에도 열려 있지 않습니다. 관리자에게 장치를 그룹이 읽고 쓸 수 "
                              "있게 해 달라고 하십시오 (예: udev 규칙의 GROUP=\"dialout\", MODE=\"0660\").")
            .arg(QString::number(status.st_mode & 07777, 8).rightJustified(4, QLatin1Char('0')), groupName);
    if (owner != nullptr && userIsListedIn(user, owner) && !processHasGroup(status.st_gid))
        return QStringLiteral("사용자 %1 은(는) 이미 장치의 그룹 %2 에 들어 있지만 아직 적용되지 않았습니다. "
                              "로그아웃했다가 다시 로그인하십시오.")
            .arg(user, groupName);
    return QStringLiteral("장치는 %1 그룹의 사용자만 열 수 있습니다. 터미널에서 \"sudo usermod -aG %1 %2\" 명령을 "
                          "실행한 뒤 로그아웃했다가 다시 로그인하십시오.")
        .arg(groupName, user);
}

QString kindOf(const QString& device)
{
    struct stat status{};
    if (::stat(QFile::encodeName(device).constData(), &status) != 0)
        return QStringLiteral("직렬 장치가 아님");
    if (S_ISREG(status.st_mode))
        return QStringLiteral("일반 파일");
    if (S_ISDIR(status.st_mode))
        return QStringLiteral("디렉터리");
    return QStringLiteral("직렬이 아닌 장치");
}

} // namespace

namespace PortDiagnosis {

QList<SerialAdapter> usbSerialAdapters(const QString& root)
{
    const QString base = root.isEmpty() ? QStringLiteral("/") : QDir::cleanPath(root);
    const auto asRunning = [&base](const QString& path) {
        const QString clean = QDir::cleanPath(path);
        if (base == QStringLiteral("/") || !clean.startsWith(base + QLatin1Char('/')))
            return clean;
        return clean.mid(base.size());
    };
    QList<SerialAdapter> adapters;
    QStringList namedNodes;
    const QDir byId(base + QStringLiteral("/dev/serial/by-id"));
    const QFileInfoList links = byId.entryInfoList(QDir::Files | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    for (const QFileInfo& link : links) {
        // The link's own target, resolved only as text: following it would stat the real node, which is
        // harmless, but a fake tree's links must resolve inside the tree.
        const QString target = link.symLinkTarget();
        const QString node = target.isEmpty() ? QString() : asRunning(target);
        adapters.append({link.fileName(), node});
        namedNodes << node;
    }
    const QDir dev(base + QStringLiteral("/dev"));
    const QStringList nodes = dev.entryList({QStringLiteral("ttyUSB*"), QStringLiteral("ttyACM*")},
                                            QDir::Files | QDir::System, QDir::Name);
    for (const QString& name : nodes) {
        const QString node = QStringLiteral("/dev/") + name;
        if (!namedNodes.contains(node))
            adapters.append({QString(), node});
    }
    return adapters;
}

std::optional<PortHolder> liveProcess(qint64 pid)
{
    if (pid <= 0 || pid > std::numeric_limits<pid_t>::max())
        return std::nullopt;
    if (::kill(static_cast<pid_t>(pid), 0) != 0 && errno != EPERM)
        return std::nullopt;
    const QString proc = QStringLiteral("/proc/%1/").arg(pid);
    const QByteArray stat = readSmallFile(proc + QStringLiteral("stat"));
    const qsizetype end = stat.lastIndexOf(") ");
    if (end >= 0 && end + 2 < stat.size() && stat.at(end + 2) == 'Z')
        return std::nullopt;
    PortHolder holder;
    holder.pid = pid;
    holder.name = QString::fromLocal8Bit(readSmallFile(proc + QStringLiteral("comm"))).trimmed();
    QByteArray arguments = readSmallFile(proc + QStringLiteral("cmdline"));
    arguments.replace('\0', ' ');
    holder.commandLine = QString::fromLocal8Bit(arguments).trimmed();
    return holder;
}

QString describe(const PortHolder& holder)
{
    if (holder.name.isEmpty())
        return QStringLiteral("프로세스 %1").arg(holder.pid);
    if (holder.commandLine.isEmpty())
        return QStringLiteral("%1 (프로세스 %2)").arg(holder.name, QString::number(holder.pid));
    // One multi-argument arg: a "%2" inside a name or an argument is text, not a place for the next value.
    return QStringLiteral("%1 (프로세스 %2: %3)").arg(holder.name, QString::number(holder.pid), holder.commandLine);
}

std::optional<PortHolder> lockHolderOf(dev_t device, ino_t inode)
{
    // Lines such as "3: FLOCK  ADVISORY  WRITE 1234 00:19:5 0 EOF"; "->" lines are waiters, not holders.
    const QString wanted = QStringLiteral("%1:%2:%3")
                               .arg(major(device), 2, 16, QLatin1Char('0'))
                               .arg(minor(device), 2, 16, QLatin1Char('0'))
                               .arg(inode);
    QFile locks(QStringLiteral("/proc/locks"));
    if (!locks.open(QIODevice::ReadOnly | QIODevice::Text))
        return std::nullopt;
    while (!locks.atEnd()) {
        const QList<QByteArray> fields = locks.readLine().simplified().split(' ');
        if (fields.size() < 6 || fields.at(1) == "->")
            continue;
        if (QString::fromLatin1(fields.at(5)) != wanted)
            continue;
        if (auto holder = liveProcess(fields.at(4).toLongLong()))
            return holder;
    }
    return std::nullopt;
}

std::optional<PortHolder> processUsing(const QString& device)
{
    struct stat wanted{};
    if (::stat(QFile::encodeName(device).constData(), &wanted) != 0)
        return std::nullopt;
    const QStringList processes = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString& entry : processes) {
        bool isPid = false;
        const qint64 pid = entry.toLongLong(&isPid);
        if (!isPid || pid == ::getpid())
            continue;
        const QString fdDir = QStringLiteral("/proc/%1/fd").arg(pid);
        const QStringList descriptors = QDir(fdDir).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
        for (const QString& fd : descriptors) {
            // stat() follows the descriptor's link to the node's own status; nothing is opened.
            struct stat seen{};
            if (::stat(QFile::encodeName(fdDir + QLatin1Char('/') + fd).constData(), &seen) != 0)
                continue;
            if (seen.st_dev == wanted.st_dev && seen.st_ino == wanted.st_ino)
                if (auto holder = liveProcess(pid))
                    return holder;
        }
    }
    return std::nullopt;
}

PortFault faultOf(int error)
{
    switch (error) {
    case ENOENT:
    case ENOTDIR:
    case ENODEV:
    case ENXIO:
        return PortFault::Missing;
    case EACCES:
    case EPERM:
    case EROFS:
        return PortFault::NoPermission;
    case EBUSY:
    case EWOULDBLOCK:
        return PortFault::Busy;
    case ENOTTY:
    case EISDIR:
    case EINVAL:
        return PortFault::NotSerial;
    case EIO:
        return PortFault::IoError;
    default:
        return PortFault::Other;
    }
}

QString message(PortFault fault, const QString& device, const QString& detail, const std::optional<PortHolder>& holder,
                const QString& lockFile, const QString& devicesRoot)
{
    QString what;
    switch (fault) {
    case PortFault::Missing: {
        const QList<SerialAdapter> adapters = usbSerialAdapters(devicesRoot);
        what = adapters.isEmpty()
            ? QStringLiteral("장치가 없고, 연결된 USB 직렬 어댑터도 없습니다. 로봇의 케이블과 USB 직렬 어댑터를 "
                             "컴퓨터에 연결한 뒤 다시 실행하십시오.")
            : QStringLiteral("장치가 없습니다. ") + adapterRecipe(device, adapters);
        break;
    }
    case PortFault::NoPermission:
        what = QStringLiteral("이 사용자(%1)에게는 장치를 열 권한이 없습니다. ").arg(userName())
            + permissionAdvice(device);
        break;
    case PortFault::Busy:
        if (holder)
            what = QStringLiteral("다른 프로그램이 사용 중입니다: %1. 그 프로그램을 닫은 뒤 다시 실행하십시오.")
                       .arg(describe(*holder));
        else if (!lockFile.isEmpty())
            what = QStringLiteral("다른 프로그램이 사용 중입니다 (잠금 파일 %1). 그 프로그램을 닫은 뒤 다시 "
                                  "실행하십시오.")
                       .arg(lockFile);
        else
            what = QStringLiteral("다른 프로그램이 사용 중입니다. 그 프로그램을 닫은 뒤 다시 실행하십시오.");
        break;
    case PortFault::StaleLock:
        what = QStringLiteral("잠금 파일 %1 이(가) 남아 있습니다. 그 파일을 만든 프로그램은 이미 끝났지만, 이 사용자는 "
                              "그 파일을 지울 권한이 없습니다. 관리자에게 \"sudo rm %1\" 명령으로 지워 달라고 한 뒤 다시 "
                              "실행하십시오.")
                   .arg(lockFile);
        break;
    case PortFault::NotSerial:
        what = QStringLiteral("직렬 포트가 아닙니다 (%1). 관리자에게 로봇이 연결된 직렬 포트를 COM1로 지정하도록 "
                              "요청하십시오: sudo robot-console-com1 list")
                   .arg(kindOf(device));
        break;
    case PortFault::IoError: {
        what = QStringLiteral("장치를 여는 중 입출력 오류가 났습니다. 이 이름의 직렬 포트가 이 컴퓨터에 실제로는 "
                              "없거나, 어댑터가 빠지는 중이거나 고장 났습니다. 어댑터를 뽑았다가 다시 꽂은 뒤 다시 "
                              "실행하십시오.");
        const QList<SerialAdapter> adapters = usbSerialAdapters(devicesRoot);
        if (!adapters.isEmpty())
            what += QLatin1Char(' ') + adapterRecipe(device, adapters);
        break;
    }
    case PortFault::Other:
        what = QStringLiteral("포트를 열거나 설정할 수 없습니다. 케이블과 어댑터를 다시 연결한 뒤 다시 "
                              "실행하십시오.");
        break;
    }
    QString text = QStringLiteral("직렬 포트 %1 을(를) 열 수 없습니다: %2").arg(device, what);
    if (!detail.isEmpty())
        text += QStringLiteral(" (%1)").arg(detail);
    return text;
}

} // namespace PortDiagnosis
