#include "link/sendfile.h"

#include "link/filename.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

namespace {

QString errnoText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// Why `status` cannot be sent, or an empty string when it is a regular file.
QString refusal(const struct stat& status)
{
    if (S_ISREG(status.st_mode))
        return {};
    if (S_ISDIR(status.st_mode))
        return QStringLiteral("폴더는 보낼 수 없습니다.\n폴더 안의 .hex 파일을 선택하십시오.");
    if (S_ISFIFO(status.st_mode))
        return QStringLiteral("파이프(FIFO)는 끝이 정해져 있지 않아 보낼 수 없습니다.\n일반 파일을 선택하십시오.");
    if (S_ISCHR(status.st_mode) || S_ISBLK(status.st_mode))
        return QStringLiteral("장치 파일은 보낼 수 없습니다.\n일반 파일을 선택하십시오.");
    return QStringLiteral("일반 파일이 아니어서 보낼 수 없습니다.\n일반 파일을 선택하십시오.");
}

// True for the file systems whose files are made up as they are read, so that the length they report (0,
// or a whole page) is not the length that reading gives.
bool isSynthetic(int fd)
{
    struct statfs fs = {};
    if (::fstatfs(fd, &fs) != 0)
        return false;
    switch (static_cast<unsigned long>(fs.f_type)) {
    case 0x9fa0UL: // proc
    case 0x62656572UL: // sysfs
    case 0x64626720UL: // debugfs
    case 0x74726163UL: // tracefs
    case 0x73636673UL: // securityfs
    case 0x62656570UL: // configfs
    case 0x27e0ebUL: // cgroup
    case 0x63677270UL: // cgroup2
    case 0x6165676cUL: // pstore
    case 0xde5e81e4UL: // efivarfs
        return true;
    default:
        return false;
    }
}

bool sameTime(const struct timespec& a, const struct timespec& b)
{
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

QString openFailure(int error)
{
    switch (error) {
    case ENOENT:
    case ENOTDIR:
        return QStringLiteral("파일이 없습니다.\n파일 이름과 위치를 확인한 뒤 다시 선택하십시오.");
    case EACCES:
    case EPERM:
        return QStringLiteral("파일을 읽을 권한이 없습니다.\n파일의 권한을 확인한 뒤 다시 보내십시오.");
    default:
        return QStringLiteral("파일을 열 수 없습니다.\n파일을 확인한 뒤 다시 보내십시오.\n시스템 메시지: %1")
            .arg(errnoText(error));
    }
}

} // namespace

SendFile::~SendFile()
{
    close();
}

bool SendFile::isOpen() const
{
    return m_fd >= 0;
}

QString SendFile::open(const QString& path)
{
    close();
    m_size = 0;
    const QByteArray native = encodeFileName(path);
    // Look before opening: opening a FIFO or a terminal may block, or never end.
    struct stat before = {};
    if (::stat(native.constData(), &before) != 0)
        return openFailure(errno);
    if (QString refused = refusal(before); !refused.isEmpty())
        return refused;
    m_fd = ::open(native.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (m_fd < 0)
        return openFailure(errno);
    // The path may have been swapped for something else between the look and the open.
    struct stat opened = {};
    QString refused;
    if (::fstat(m_fd, &opened) != 0)
        refused = openFailure(errno);
    else
        refused = refusal(opened);
    if (refused.isEmpty() && (opened.st_dev != before.st_dev || opened.st_ino != before.st_ino))
        refused = QStringLiteral("여는 도중에 파일이 다른 파일로 바뀌었습니다.\n파일을 확인한 뒤 다시 보내십시오.");
    if (refused.isEmpty() && isSynthetic(m_fd))
        refused = QStringLiteral("읽을 때마다 내용이 새로 만들어지는 시스템 파일이어서 보낼 수 없습니다.\n"
                                 "내용을 일반 파일로 저장한 뒤 그 파일을 보내십시오.\n"
                                 "자세한 내용: /proc, /sys 같은 특수 파일은 길이를 미리 알 수 없습니다.");
    if (!refused.isEmpty()) {
        close();
        return refused;
    }
    m_device = opened.st_dev;
    m_inode = opened.st_ino;
    m_modified = opened.st_mtim;
    m_changed = opened.st_ctim;
    m_size = opened.st_size;
    return {};
}

qint64 SendFile::read(char* into, qint64 budget, FileTrouble& trouble)
{
    const ssize_t got = ::read(m_fd, into, static_cast<size_t>(budget));
    if (got < 0) {
        if (errno == EINTR || errno == EAGAIN)
            return 0; // try again at the next tick
        trouble = {FileTrouble::Kind::ReadError, errnoText(errno)};
        return -1;
    }
    if (got == 0) {
        trouble = {FileTrouble::Kind::Shrank, {}};
        return -1;
    }
    return got;
}

FileTrouble SendFile::stillThere(const QString& path)
{
    struct stat now = {};
    if (::stat(encodeFileName(path).constData(), &now) != 0 || now.st_dev != m_device || now.st_ino != m_inode)
        return {FileTrouble::Kind::Gone, {}};
    return unchanged();
}

FileTrouble SendFile::unchanged()
{
    // Checked before every read and after the last, so that no byte written after the start goes out unnoticed:
    // a file rewritten in place keeps its length and inode, but not its modification and change times.
    struct stat now = {};
    if (::fstat(m_fd, &now) != 0)
        return {FileTrouble::Kind::Unverifiable, errnoText(errno)};
    if (now.st_size < m_size)
        return {FileTrouble::Kind::Shrank, {}};
    if (now.st_size > m_size)
        return {FileTrouble::Kind::Grew, {}};
    if (!sameTime(now.st_mtim, m_modified) || !sameTime(now.st_ctim, m_changed))
        return {FileTrouble::Kind::Rewritten, {}};
    return {};
}

void SendFile::close()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}
