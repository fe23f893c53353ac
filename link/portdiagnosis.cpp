#include "link/portdiagnosis.h"

#include "link/filename.h"

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
#include <cstring>
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
        names << (adapter.byIdName.isEmpty()
                      ? printableText(adapter.node)
                      : QStringLiteral("%1(%2)").arg(printableText(adapter.byIdName), printableText(adapter.node)));
    return names.join(QStringLiteral(", "));
}

// What to do when COM1 is not there but adapters are: the administrator assigns COM1 to the robot's adapter.
// The command names the adapter only where one alone has a stable name; the administrator still chooses.
QString adapterRecipe(const QList<SerialAdapter>& adapters)
{
    QStringList stableNames;
    for (const SerialAdapter& adapter : adapters)
        if (!adapter.byIdName.isEmpty())
            stableNames << QStringLiteral("/dev/serial/by-id/") + printableText(adapter.byIdName);
    const QString command = stableNames.size() == 1
        ? QStringLiteral("sudo robot-console-com1 assign ") + stableNames.constFirst()
        : QStringLiteral("sudo robot-console-com1 list");
    return QStringLiteral("로봇이 그 어댑터에 연결되어 있다면 관리자에게 그 어댑터를 COM1로 지정하도록 "
                          "요청하십시오:\n%1")
        .arg(command);
}

// The cause and what to do for a device that this user may not open, as lines.
QString permissionAdvice(const QString& device)
{
    const QString user = printableText(userName());
    struct stat status{};
    if (::stat(QFile::encodeName(device).constData(), &status) != 0)
        return QStringLiteral("이 사용자(%1)에게는 COM1을 열 권한이 없습니다.\n관리자에게 COM1의 권한을 "
                              "확인하도록 요청하십시오:\nsudo robot-console-com1 list")
            .arg(user);
    const group* owner = ::getgrgid(status.st_gid);
    const QString groupName
        = printableText(owner != nullptr ? QString::fromLocal8Bit(owner->gr_name) : QString::number(status.st_gid));
    if ((status.st_mode & (S_IRGRP | S_IWGRP)) != (S_IRGRP | S_IWGRP))
        return QStringLiteral("COM1은 그룹 %2의 사용자에게도 열려 있지 않아, 이 사용자(%1)는 COM1을 열 수 "
                              "없습니다.\n관리자에게 COM1을 로봇 콘솔의 사용자가 쓸 수 있게 지정하도록 "
                              "요청하십시오:\nsudo robot-console-com1 assign %4\n자세한 내용: 장치의 권한은 %3입니다.")
            .arg(user, groupName, QString::number(status.st_mode & 07777, 8).rightJustified(4, QLatin1Char('0')),
                 printableText(device));
    if (owner != nullptr && userIsListedIn(userName(), owner) && !processHasGroup(status.st_gid))
        return QStringLiteral("사용자 %1은(는) 이미 COM1의 그룹 %2에 들어 있지만, 로그인한 뒤에 들어가서 아직 적용되지 "
                              "않았습니다.\n로그아웃했다가 다시 로그인한 뒤 로봇 콘솔을 다시 시작하십시오.")
            .arg(user, groupName);
    return QStringLiteral("COM1은 그룹 %2의 사용자만 열 수 있는데, 이 사용자(%1)는 그 그룹에 들어 있지 "
                          "않습니다.\n관리자에게 사용자 %1을(를) 그룹 %2에 넣도록 요청한 뒤, 로그아웃했다가 다시 "
                          "로그인하십시오:\nsudo usermod -aG %2 %1")
        .arg(user, groupName);
}

QString kindOf(const QString& device)
{
    struct stat status{};
    if (::stat(QFile::encodeName(device).constData(), &status) != 0)
        return QStringLiteral("직렬 포트가 아닌 것");
    if (S_ISREG(status.st_mode))
        return QStringLiteral("일반 파일");
    if (S_ISDIR(status.st_mode))
        return QStringLiteral("디렉터리");
    return QStringLiteral("직렬 포트가 아닌 장치");
}

// What stands in a lock file's place, in words.
QString lockKindText(LockFileKind kind, const QString& detail)
{
    switch (kind) {
    case LockFileKind::Fifo:
        return QStringLiteral("파이프(FIFO)");
    case LockFileKind::Directory:
        return QStringLiteral("디렉터리");
    case LockFileKind::Device:
        return QStringLiteral("장치 파일");
    case LockFileKind::Socket:
        return QStringLiteral("소켓");
    case LockFileKind::Symlink:
        return QStringLiteral("%1을(를) 가리키는 심볼릭 링크").arg(printableText(detail));
    case LockFileKind::Oversized:
        return QStringLiteral("크기가 %1바이트인 파일").arg(detail);
    case LockFileKind::Unparsable:
        return QStringLiteral("프로세스 번호가 적혀 있지 않은 파일");
    case LockFileKind::Unreadable:
        break; // said apart
    }
    return {};
}

// How the holder was found, as the detail line says it.
QString evidenceText(const PortRefusal& refusal)
{
    switch (refusal.evidence) {
    case HolderEvidence::LockFile:
        return QStringLiteral("잠금 파일 %1에 적힌 프로세스이며, 그 프로세스가 잠금 파일에 적힌 프로그램을 실행하고 "
                              "있습니다.")
            .arg(printableText(refusal.lockFile));
    case HolderEvidence::ProcLocks:
        return QStringLiteral("장치의 flock을 쥔 프로세스를 /proc/locks에서 장치와 inode로 찾았습니다.");
    case HolderEvidence::OpenDevice:
        return QStringLiteral("장치의 flock을 쥔 프로세스가 /proc/locks에 보이지 않아, 장치를 열어 둔 프로세스를 "
                              "/proc/*/fd에서 찾았습니다. flock을 쥔 것이 다른 프로세스일 수도 있습니다.");
    case HolderEvidence::None:
        break;
    }
    if (!refusal.lockFile.isEmpty())
        return QStringLiteral("잠금 파일 %1이(가) 있지만, 그 프로세스를 알 수 없습니다.")
            .arg(printableText(refusal.lockFile));
    return QStringLiteral("장치에 flock이 걸려 있지만, /proc/locks와 /proc/*/fd에서 그 프로세스를 찾지 "
                          "못했습니다.");
}

QString lockDirectoryText(const PortRefusal& refusal, int error)
{
    const QString directory = printableText(refusal.lockFile);
    if (error == ENOSPC || error == EDQUOT)
        return QStringLiteral("잠금 파일을 두는 디렉터리 %1이(가) 가득 차서, COM1을 잠글 잠금 파일을 만들 수 "
                              "없습니다.\n관리자에게 %1의 빈 공간을 확보하도록 요청하십시오.")
            .arg(directory);
    if (error == EROFS)
        return QStringLiteral("잠금 파일을 두는 디렉터리 %1이(가) 읽기 전용이라, COM1을 잠글 잠금 파일을 "
                              "만들 수 없습니다.\n관리자에게 %1을(를) 쓸 수 있게 하도록 "
                              "요청하십시오.")
            .arg(directory);
    return QStringLiteral("이 사용자(%1)는 잠금 파일을 두는 디렉터리 %2에 파일을 만들 수 없어, COM1을 잠글 수 "
                          "없습니다.\n관리자에게 모든 사용자가 %2에 잠금 파일을 만들 수 있게 "
                          "하도록 요청하십시오:\nsudo chmod 1777 %2")
        .arg(printableText(userName()), directory);
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
    holder.executable = QFileInfo(proc + QStringLiteral("exe")).symLinkTarget();
    return holder;
}

QString describe(const PortHolder& holder)
{
    const QString pid = QString::number(holder.pid);
    if (holder.name.isEmpty())
        return QStringLiteral("프로세스 %1").arg(pid);
    if (holder.commandLine.isEmpty())
        return QStringLiteral("%1(프로세스 %2)").arg(printableText(holder.name), pid);
    // One multi-argument arg: a "%2" inside a name or an argument is text, not a place for the next value.
    return QStringLiteral("%1(프로세스 %2: %3)")
        .arg(printableText(holder.name), pid, printableText(holder.commandLine));
}

bool mayRun(const PortHolder& holder, const QString& program)
{
    const QString wanted = QFileInfo(program).fileName();
    if (wanted.isEmpty() || (holder.name.isEmpty() && holder.commandLine.isEmpty() && holder.executable.isEmpty()))
        return true;
    // The kernel keeps a command name to its first 15 bytes.
    // Names are compared regardless of case: a program may give its lock a capitalised name of itself.
    const auto same = [&wanted](const QString& name) { return name.compare(wanted, Qt::CaseInsensitive) == 0; };
    if (!holder.name.isEmpty()
        && (same(holder.name) || (holder.name.size() >= 15 && wanted.startsWith(holder.name, Qt::CaseInsensitive))))
        return true;
    QString executable = holder.executable;
    executable.remove(QStringLiteral(" (deleted)"));
    if (!executable.isEmpty() && same(QFileInfo(executable).fileName()))
        return true;
    const QString firstArgument = holder.commandLine.section(QLatin1Char(' '), 0, 0);
    return !firstArgument.isEmpty() && same(QFileInfo(firstArgument).fileName());
}

bool hasOpen(qint64 pid, const QString& device)
{
    struct stat wanted
    {
    };
    if (pid <= 0 || ::stat(QFile::encodeName(device).constData(), &wanted) != 0)
        return false;
    const QString fdDir = QStringLiteral("/proc/%1/fd").arg(pid);
    const QStringList descriptors = QDir(fdDir).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
    for (const QString& fd : descriptors) {
        // stat() follows the descriptor's link to the node's own status; nothing is opened.
        struct stat seen
        {
        };
        if (::stat(QFile::encodeName(fdDir + QLatin1Char('/') + fd).constData(), &seen) == 0
            && seen.st_dev == wanted.st_dev && seen.st_ino == wanted.st_ino)
            return true;
    }
    return false;
}

std::optional<PortHolder> lockHolderOf(dev_t device, ino_t inode)
{
    // Lines such as "3: FLOCK  ADVISORY  WRITE 1234 00:19:5 0 EOF"; "->" lines are waiters, not holders.
    const QString wanted = QStringLiteral("%1:%2:%3")
                               .arg(major(device), 2, 16, QLatin1Char('0'))
                               .arg(minor(device), 2, 16, QLatin1Char('0'))
                               .arg(inode);
    // /proc/locks tells no size and reads in pieces: read to its end, bounded all the same.
    QFile locks(QStringLiteral("/proc/locks"));
    if (!locks.open(QIODevice::ReadOnly))
        return std::nullopt;
    constexpr qint64 kLimit = qint64{16} * 1024 * 1024;
    QByteArray table;
    for (QByteArray piece = locks.read(65536); !piece.isEmpty() && table.size() < kLimit; piece = locks.read(65536))
        table += piece;
    for (const QByteArray& line : table.split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() < 6 || fields.at(1) == "->")
            continue;
        if (QString::fromLatin1(fields.at(5)) != wanted)
            continue;
        const qint64 pid = fields.at(4).toLongLong();
        if (pid == ::getpid())
            continue;
        if (auto holder = liveProcess(pid))
            return holder;
    }
    return std::nullopt;
}

std::optional<PortHolder> processUsing(const QString& device)
{
    const QStringList processes = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString& entry : processes) {
        bool isPid = false;
        const qint64 pid = entry.toLongLong(&isPid);
        if (!isPid || pid == ::getpid())
            continue;
        if (hasOpen(pid, device))
            if (auto holder = liveProcess(pid))
                return holder;
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

QString message(const PortRefusal& refusal, const QString& devicesRoot)
{
    const QString device = printableText(refusal.device);
    const QString lockFile = printableText(refusal.lockFile);
    QString body;
    QString detail;
    switch (refusal.fault) {
    case PortFault::Missing: {
        const QList<SerialAdapter> adapters = usbSerialAdapters(devicesRoot);
        body = adapters.isEmpty()
            ? QStringLiteral("장치 %1이(가) 이 컴퓨터에 없고, 연결된 USB 직렬 어댑터도 없습니다.\n로봇의 케이블과 USB "
                             "직렬 어댑터를 컴퓨터에 연결한 뒤 로봇 콘솔을 다시 시작하십시오.")
                  .arg(device)
            : QStringLiteral("장치 %1은(는) 이 컴퓨터에 없지만, USB 직렬 어댑터가 있습니다: %2.\n%3")
                  .arg(device, adapterList(adapters), adapterRecipe(adapters));
        break;
    }
    case PortFault::NoPermission:
        body = permissionAdvice(refusal.device);
        break;
    case PortFault::Busy:
        if (refusal.holder)
            body = QStringLiteral("다른 프로그램 %1이(가) COM1을 사용하고 있습니다.\n그 프로그램을 끝낸 뒤 로봇 콘솔을 "
                                  "다시 시작하십시오.")
                       .arg(describe(*refusal.holder));
        else
            body = QStringLiteral("다른 프로그램이 COM1을 사용하고 있지만, 어느 프로그램인지 알 수 없습니다.\nCOM1을 "
                                  "쓰는 프로그램을 끝낸 뒤 로봇 콘솔을 다시 시작하십시오.");
        detail = evidenceText(refusal);
        break;
    case PortFault::StaleLock:
        body = QStringLiteral("이미 끝난 프로그램의 잠금 파일 %1이(가) 남아 있는데, 이 사용자(%2)는 그 파일을 지울 수 "
                              "없습니다.\n관리자에게 그 파일을 지우도록 요청하십시오:\nsudo rm %1")
                   .arg(lockFile, printableText(userName()));
        break;
    case PortFault::StrangeLock: {
        const QString owner = printableText(refusal.lockOwner);
        const QString remove
            = refusal.lockKind == LockFileKind::Directory ? QStringLiteral("rm -r ") : QStringLiteral("rm ");
        // What cannot be read cannot be told from a live program's lock: that is all that is said of it.
        body = refusal.lockKind == LockFileKind::Unreadable
            ? QStringLiteral(
                  "잠금 파일 %1은(는) 사용자 %2의 파일인데, 로봇 콘솔이 읽을 수 없어서 COM1을 쓰는 프로그램이 "
                  "있는지 알 수 없습니다.\n")
                  .arg(lockFile, owner)
            : QStringLiteral("잠금 파일 %1은(는) 실행 중인 프로그램의 잠금이 아니라 사용자 %2의 %3입니다.\n")
                  .arg(lockFile, owner, lockKindText(refusal.lockKind, refusal.lockDetail));
        body += refusal.lockRemovableHere
            ? QStringLiteral("로봇 콘솔은 알 수 없는 파일을 지우지 않으니, 확인하고 지운 뒤 로봇 콘솔을 다시 "
                             "시작하십시오:\n%1%2")
                  .arg(remove, lockFile)
            : QStringLiteral("사용자 %1 또는 관리자만 지울 수 있으니, 관리자에게 확인하고 지우도록 요청하십시오:\n"
                             "sudo %2%3")
                  .arg(owner, remove, lockFile);
        break;
    }
    case PortFault::LockDirectory:
        body = lockDirectoryText(refusal, refusal.systemError);
        break;
    case PortFault::NotSerial:
        body = QStringLiteral("COM1로 정해진 %1은(는) 직렬 포트가 아니라 %2입니다.\n관리자에게 로봇이 연결된 직렬 "
                              "포트를 COM1로 지정하도록 요청하십시오:\nsudo robot-console-com1 list")
                   .arg(device, kindOf(refusal.device));
        break;
    case PortFault::IoError: {
        body = QStringLiteral("어댑터가 빠지는 중이거나 고장 났거나 이 이름의 직렬 포트가 실제로는 없어서, COM1을 여는 "
                              "중 입출력 오류가 발생하였습니다.\n어댑터를 뽑았다가 다시 꽂은 뒤 로봇 콘솔을 다시 "
                              "시작하십시오.");
        const QList<SerialAdapter> adapters = usbSerialAdapters(devicesRoot);
        if (!adapters.isEmpty())
            body += QLatin1Char('\n') + adapterRecipe(adapters);
        break;
    }
    case PortFault::Other:
        body = QStringLiteral("COM1을 열거나 설정하지 못했습니다.\n케이블과 어댑터를 다시 연결한 뒤 로봇 콘솔을 다시 "
                              "시작하십시오.");
        break;
    }
    QString text = QStringLiteral("COM1(%1)을 열 수 없습니다.\n%2").arg(device, body);
    if (!detail.isEmpty())
        text += QStringLiteral("\n자세한 내용: ") + detail;
    const QString system = !refusal.systemText.isEmpty() ? refusal.systemText
        : refusal.systemError != 0                       ? QString::fromLocal8Bit(std::strerror(refusal.systemError))
                                                         : QString();
    if (!system.isEmpty())
        text += QStringLiteral("\n시스템 메시지: ") + printableText(system);
    return text;
}

QString failureMessage(PortFailure failure, const QString& device, const QString& systemText)
{
    const QString name = printableText(device);
    QString text;
    switch (failure) {
    case PortFailure::Vanished:
        text = QStringLiteral("COM1(%1)이 이 컴퓨터에서 사라져, 로봇 콘솔이 COM1을 닫았습니다.\n"
                              "USB 직렬 어댑터가 뽑혔거나 고장 나서, 로봇에는 더 이상 아무것도 전달되지 않습니다.\n"
                              "어댑터를 다시 꽂은 뒤 로봇 콘솔을 다시 시작하십시오.")
                   .arg(name);
        break;
    case PortFailure::HungUp:
        text = QStringLiteral("COM1(%1)의 연결이 끊어져, 로봇 콘솔이 COM1을 닫았습니다.\n"
                              "어댑터가 뽑혔거나 장치가 멈추어서, 로봇에는 더 이상 아무것도 전달되지 않습니다.\n"
                              "케이블과 어댑터를 다시 연결한 뒤 로봇 콘솔을 다시 시작하십시오.")
                   .arg(name);
        break;
    case PortFailure::WriteFailed:
        text = QStringLiteral("COM1(%1)로 보내는 중 오류가 발생하여, 로봇 콘솔이 COM1을 닫았습니다.\n"
                              "마지막 명령이 로봇에 전달되지 않았을 수 있고, 이제는 아무것도 전달되지 않습니다.\n"
                              "케이블과 어댑터를 확인한 뒤 로봇 콘솔을 다시 시작하십시오.")
                   .arg(name);
        break;
    }
    if (!systemText.isEmpty())
        text += QStringLiteral("\n시스템 메시지: ") + printableText(systemText);
    return text;
}

QString message(PortFault fault, const QString& device, const QString& detail, const std::optional<PortHolder>& holder,
                const QString& lockFile, const QString& devicesRoot)
{
    PortRefusal refusal;
    refusal.fault = fault;
    refusal.device = device;
    refusal.systemText = detail;
    refusal.holder = holder;
    refusal.lockFile = lockFile;
    return message(refusal, devicesRoot);
}

} // namespace PortDiagnosis
