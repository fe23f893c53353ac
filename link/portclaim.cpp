#include "link/portclaim.h"

#include "link/portdiagnosis.h"
#include "link/portopenerror.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>

namespace {

// The process that a lock file names: a binary PID of the native int's size, or ASCII digits on the first
// line (with or without the leading spaces of "%10d\n"); nullopt when it names none.
std::optional<qint64> lockOwner(const QByteArray& content)
{
    const bool textual = std::all_of(content.cbegin(), content.cend(), [](char c) {
        return (c >= 0x20 && c < 0x7f) || c == '\n' || c == '\r' || c == '\t';
    });
    if (content.size() == static_cast<qsizetype>(sizeof(int)) && !textual) {
        int pid = 0;
        std::memcpy(&pid, content.constData(), sizeof pid);
        return pid > 0 ? std::optional<qint64>(pid) : std::nullopt;
    }
    bool ok = false;
    const qint64 pid = content.left(content.indexOf('\n')).trimmed().toLongLong(&ok);
    return ok && pid > 0 ? std::optional<qint64>(pid) : std::nullopt;
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
    checkLockFiles(device);
    openAndLock(device);
}

void PortClaim::refuse(PortFault fault, int error, const std::optional<PortHolder>& holder,
                       const QString& lockFile) const
{
    const QString detail = error != 0 ? QString::fromLocal8Bit(std::strerror(error)) : QString();
    throw PortOpenError(PortDiagnosis::message(fault, m_device, detail, holder, lockFile, m_devicesRoot).toStdString());
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

void PortClaim::checkLockFiles(const QString& device) const
{
    QStringList names{lockFileName(device)};
    const QString node = QFileInfo(device).canonicalFilePath();
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
            QFile lock(path);
            if (!lock.open(QIODevice::ReadOnly))
                continue;
            const std::optional<qint64> owner = lockOwner(lock.read(256));
            lock.close();
            if (!owner)
                continue;
            if (const std::optional<PortHolder> holder = PortDiagnosis::liveProcess(*owner))
                refuse(PortFault::Busy, 0, holder, path);
            // Its process has ended: the lock is stale and the port may be taken over.
            if (::unlink(QFile::encodeName(path).constData()) != 0 && errno != ENOENT) {
                const int error = errno;
                refuse(PortFault::StaleLock, error, std::nullopt, path);
            }
        }
    }
}

void PortClaim::openAndLock(const QString& device)
{
    const QByteArray path = QFile::encodeName(device);
    struct stat status{};
    if (::stat(path.constData(), &status) != 0) {
        const int error = errno;
        refuse(PortDiagnosis::faultOf(error), error);
    }
    // Only a character device is ever opened: a file or a pipe in its place is refused unread.
    if (!S_ISCHR(status.st_mode))
        refuse(PortFault::NotSerial, 0);
    m_fd = ::open(path.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (m_fd < 0) {
        const int error = errno;
        const PortFault fault = PortDiagnosis::faultOf(error);
        refuse(fault, error, fault == PortFault::Busy ? PortDiagnosis::processUsing(device) : std::nullopt);
    }
    if (::isatty(m_fd) == 0) {
        const int error = errno;
        release();
        refuse(PortFault::NotSerial, error);
    }
    if (::flock(m_fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        struct stat opened{};
        ::fstat(m_fd, &opened);
        release();
        if (error != EWOULDBLOCK)
            refuse(PortFault::Other, error);
        std::optional<PortHolder> holder = PortDiagnosis::lockHolderOf(opened.st_dev, opened.st_ino);
        if (!holder)
            holder = PortDiagnosis::processUsing(device);
        refuse(PortFault::Busy, 0, holder);
    }
}
