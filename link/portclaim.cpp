#include "link/portclaim.h"

#include "link/portdiagnosis.h"
#include "link/portopenerror.h"

#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>

namespace {

// What stands at a lock file's place.
struct LockReading
{
    enum class State {
        Absent,
        Owned, // names the process `pid`, and the program `program` where it names one
        Strange, // not a lock that names a process: `kind`, `detail`
    };
    State state = State::Absent;
    qint64 pid = 0;
    QString program;
    LockFileKind kind = LockFileKind::Unparsable;
    QString detail;
    int error = 0;
    // Of what was judged, so that only that very file is ever removed.
    struct stat status
    {
    };
};

// The owner that a lock's first bytes name: a binary PID of the native int's size, or text whose first line
// starts with the PID, followed by the program's name on the same line ("%10d minicom user") or on the next
// (Qt's "PID\nprogram\nhost\n"). False where it names no process.
bool parseLock(const QByteArray& content, qint64* pid, QString* program)
{
    const bool textual = std::all_of(content.cbegin(), content.cend(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte >= 0x20 || c == '\n' || c == '\r' || c == '\t';
    });
    if (content.size() == static_cast<qsizetype>(sizeof(int)) && !textual) {
        int value = 0;
        std::memcpy(&value, content.constData(), sizeof value);
        *pid = value;
        return value > 0;
    }
    if (!textual)
        return false;
    const QList<QByteArray> lines = content.split('\n');
    const QList<QByteArray> words = lines.constFirst().simplified().split(' ');
    bool ok = false;
    *pid = words.constFirst().toLongLong(&ok);
    if (!ok || *pid <= 0)
        return false;
    if (words.size() > 1)
        *program = QString::fromLocal8Bit(words.at(1));
    else if (lines.size() > 1)
        *program = QString::fromLocal8Bit(lines.at(1).trimmed());
    return true;
}

std::optional<LockFileKind> kindOfMode(mode_t mode)
{
    if (S_ISREG(mode))
        return std::nullopt;
    if (S_ISFIFO(mode))
        return LockFileKind::Fifo;
    if (S_ISDIR(mode))
        return LockFileKind::Directory;
    if (S_ISSOCK(mode))
        return LockFileKind::Socket;
    if (S_ISLNK(mode))
        return LockFileKind::Symlink;
    return LockFileKind::Device;
}

LockReading strange(LockReading reading, LockFileKind kind, const QString& detail = {})
{
    reading.state = LockReading::State::Strange;
    reading.kind = kind;
    reading.detail = detail;
    return reading;
}

// Judges what stands at `path` without blocking, following a link or reading more than the limit: only a
// regular file is opened, and what was opened must be the file that was looked at.
LockReading readLock(const QString& path)
{
    const QByteArray native = QFile::encodeName(path);
    LockReading reading;
    if (::lstat(native.constData(), &reading.status) != 0) {
        if (errno == ENOENT || errno == ENOTDIR)
            return reading;
        reading.error = errno;
        return strange(reading, LockFileKind::Unreadable);
    }
    if (const std::optional<LockFileKind> kind = kindOfMode(reading.status.st_mode))
        return strange(reading, *kind, *kind == LockFileKind::Symlink ? QFileInfo(path).symLinkTarget() : QString());
    if (reading.status.st_size > PortClaim::kLockFileLimit)
        return strange(reading, LockFileKind::Oversized, QString::number(reading.status.st_size));
    const int fd = ::open(native.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT)
            return LockReading{};
        reading.error = errno;
        return strange(reading, errno == ELOOP ? LockFileKind::Symlink : LockFileKind::Unreadable);
    }
    struct stat opened
    {
    };
    QByteArray content(PortClaim::kLockFileLimit + 1, '\0');
    ssize_t got = -1;
    if (::fstat(fd, &opened) == 0) {
        // Replaced between the look and the open: judge what was opened, unread unless it is a regular file.
        reading.status = opened;
        if (S_ISREG(opened.st_mode)) {
            do {
                got = ::read(fd, content.data(), static_cast<size_t>(content.size()));
            } while (got < 0 && errno == EINTR);
        }
    }
    reading.error = got < 0 ? errno : 0;
    ::close(fd);
    if (const std::optional<LockFileKind> kind = kindOfMode(opened.st_mode))
        return strange(reading, *kind);
    if (got < 0)
        return strange(reading, LockFileKind::Unreadable);
    if (got > PortClaim::kLockFileLimit)
        return strange(reading, LockFileKind::Oversized, QString::number(std::max<qint64>(opened.st_size, got)));
    content.truncate(got);
    if (!parseLock(content, &reading.pid, &reading.program))
        return strange(reading, LockFileKind::Unparsable);
    reading.state = LockReading::State::Owned;
    return reading;
}

QString userNameOf(uid_t uid)
{
    if (const passwd* user = ::getpwuid(uid))
        return QString::fromLocal8Bit(user->pw_name);
    return QString::number(uid);
}

// Whether this user may remove `path` from its directory (write access to it, and the sticky bit's rule).
bool removableHere(const QString& path, const struct stat& file)
{
    const QByteArray directory = QFile::encodeName(QFileInfo(path).absolutePath());
    struct stat folder
    {
    };
    if (::stat(directory.constData(), &folder) != 0 || ::access(directory.constData(), W_OK | X_OK) != 0)
        return false;
    const uid_t me = ::geteuid();
    return (folder.st_mode & S_ISVTX) == 0 || me == 0 || me == file.st_uid || me == folder.st_uid;
}

} // namespace

QStringList PortClaim::lockDirectories()
{
    return {QStringLiteral("/run/lock"), QStringLiteral("/var/lock")};
}

QString PortClaim::lockFileName(const QString& device)
{
    QString name = device;
    if (name.startsWith(QStringLiteral("/dev/")))
        name.remove(0, 5);
    name.replace(QLatin1Char('/'), QLatin1Char('_'));
    return QStringLiteral("LCK..") + name;
}

PortClaim::PortClaim(const QString& device, const QString& devicesRoot) : m_device(device), m_devicesRoot(devicesRoot)
{
    checkLockDirectory();
    checkLockFiles();
    openAndLock();
}

void PortClaim::refuse(PortRefusal refusal) const
{
    refusal.device = m_device;
    throw PortOpenError(PortDiagnosis::message(refusal, m_devicesRoot).toStdString());
}

PortClaim::~PortClaim()
{
    release();
}

void PortClaim::release()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

void PortClaim::checkLockDirectory() const
{
    for (const QString& directory : lockDirectories()) {
        const QString canonical = QFileInfo(directory).canonicalFilePath();
        if (canonical.isEmpty())
            continue;
        // A nameless file, gone when closed: the directory is tried as a lock file would use it, and
        // nothing is left in it.
        const QByteArray native = QFile::encodeName(canonical);
        int error = 0;
        const int fd = ::open(native.constData(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0644);
        if (fd < 0) {
            error = errno;
        } else {
            const QByteArray line = QByteArray::number(static_cast<qint64>(::getpid())).rightJustified(10) + '\n';
            const ssize_t written = ::write(fd, line.constData(), static_cast<size_t>(line.size()));
            if (written != line.size())
                error = written < 0 ? errno : ENOSPC;
            ::close(fd);
        }
        // A file system without nameless files can only be asked whether it may be written.
        if (error == EOPNOTSUPP || error == EISDIR || error == EINVAL)
            error = ::access(native.constData(), W_OK | X_OK) == 0 ? 0 : errno;
        if (error != 0) {
            PortRefusal refusal;
            refusal.fault = PortFault::LockDirectory;
            refusal.lockFile = canonical;
            refusal.systemError = error;
            refuse(refusal);
        }
        return; // the first directory that exists is the one QSerialPort uses
    }
}

void PortClaim::checkLockFiles() const
{
    QStringList names{lockFileName(m_device)};
    const QString node = QFileInfo(m_device).canonicalFilePath();
    if (!node.isEmpty() && !names.contains(lockFileName(node)))
        names << lockFileName(node);
    QStringList seen;
    for (const QString& directory : lockDirectories()) {
        const QString canonical = QFileInfo(directory).canonicalFilePath();
        if (canonical.isEmpty() || seen.contains(canonical))
            continue;
        seen << canonical;
        for (const QString& name : names) {
            const QString path = canonical + QLatin1Char('/') + name;
            const LockReading reading = readLock(path);
            PortRefusal refusal;
            refusal.lockFile = path;
            switch (reading.state) {
            case LockReading::State::Absent:
                continue;
            case LockReading::State::Strange:
                refusal.fault = PortFault::StrangeLock;
                refusal.lockKind = reading.kind;
                refusal.lockDetail = reading.detail;
                refusal.lockOwner = userNameOf(reading.status.st_uid);
                refusal.lockRemovableHere = removableHere(path, reading.status);
                refusal.systemError = reading.error;
                refuse(refusal);
            case LockReading::State::Owned:
                break;
            }
            // A lock naming this process, which does not have the device open, was left behind in another PID
            // namespace.
            if (reading.pid != ::getpid() || PortDiagnosis::hasOpen(reading.pid, m_device)) {
                if (const std::optional<PortHolder> holder = PortDiagnosis::liveProcess(reading.pid)) {
                    const bool reused = !reading.program.isEmpty() && !PortDiagnosis::mayRun(*holder, reading.program)
                        && !PortDiagnosis::hasOpen(holder->pid, m_device);
                    if (!reused) {
                        refusal.fault = PortFault::Busy;
                        refusal.holder = holder;
                        refusal.evidence = HolderEvidence::LockFile;
                        refuse(refusal);
                    }
                }
            }
            // Stale: its process has ended, or its PID now runs another program. Removed only if it is still
            // the file that was read.
            struct stat now
            {
            };
            const QByteArray native = QFile::encodeName(path);
            if (::lstat(native.constData(), &now) != 0 || now.st_dev != reading.status.st_dev
                || now.st_ino != reading.status.st_ino)
                continue;
            if (::unlink(native.constData()) != 0 && errno != ENOENT) {
                refusal.fault = PortFault::StaleLock;
                refusal.systemError = errno;
                refuse(refusal);
            }
        }
    }
}

void PortClaim::refuseLockFile(const QString& systemText) const
{
    // Whatever stands there now decides: a live program's lock, or something else at its place, is
    // refused as checkLockFiles refuses it.
    checkLockFiles();
    PortRefusal refusal;
    refusal.fault = PortFault::LockDirectory;
    refusal.lockFile = QFileInfo(lockDirectories().constFirst()).canonicalFilePath();
    refusal.systemError = EACCES;
    refusal.systemText = systemText;
    refuse(refusal);
}

void PortClaim::openAndLock()
{
    const QByteArray path = QFile::encodeName(m_device);
    PortRefusal refusal;
    struct stat status{};
    if (::stat(path.constData(), &status) != 0) {
        refusal.systemError = errno;
        refusal.fault = PortDiagnosis::faultOf(refusal.systemError);
        refuse(refusal);
    }
    // Only a character device is ever opened: a file or a pipe in its place is refused unread.
    if (!S_ISCHR(status.st_mode)) {
        refusal.fault = PortFault::NotSerial;
        refuse(refusal);
    }
    m_fd = ::open(path.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (m_fd < 0) {
        refusal.systemError = errno;
        refusal.fault = PortDiagnosis::faultOf(refusal.systemError);
        if (refusal.fault == PortFault::Busy) {
            refusal.holder = PortDiagnosis::processUsing(m_device);
            refusal.evidence = refusal.holder ? HolderEvidence::OpenDevice : HolderEvidence::None;
        }
        refuse(refusal);
    }
    if (::isatty(m_fd) == 0) {
        refusal.systemError = errno;
        release();
        refusal.fault = PortFault::NotSerial;
        refuse(refusal);
    }
    if (::flock(m_fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        struct stat opened{};
        ::fstat(m_fd, &opened);
        release();
        if (error != EWOULDBLOCK) {
            refusal.fault = PortFault::Other;
            refusal.systemError = error;
            refuse(refusal);
        }
        refusal.fault = PortFault::Busy;
        refusal.holder = PortDiagnosis::lockHolderOf(opened.st_dev, opened.st_ino);
        refusal.evidence = HolderEvidence::ProcLocks;
        if (!refusal.holder) {
            refusal.holder = PortDiagnosis::processUsing(m_device);
            refusal.evidence = refusal.holder ? HolderEvidence::OpenDevice : HolderEvidence::None;
        }
        refuse(refusal);
    }
}
