#include "link/capturewriter.h"

#include "link/filename.h"

#include <QMetaObject>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef Q_OS_WIN
#include <QFileInfo>
#include <io.h>
#endif

namespace {

bool diskFull(int error)
{
#ifdef EDQUOT
    if (error == EDQUOT)
        return true;
#endif
    return error == ENOSPC;
}

// Opens the capture file for writing only, kept from child processes.
int openForWriting(const QString& path, const QByteArray& nativePath, bool append)
{
    const int how = append ? O_APPEND : O_TRUNC;
#ifdef Q_OS_WIN
    Q_UNUSED(nativePath);
    return ::_wopen(reinterpret_cast<const wchar_t*>(path.utf16()),
                    _O_WRONLY | _O_CREAT | _O_BINARY | _O_NOINHERIT | how, _S_IREAD | _S_IWRITE);
#else
    Q_UNUSED(path);
    return ::open(nativePath.constData(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOCTTY | how, 0666);
#endif
}

int flushToDisk(int fd)
{
#ifdef Q_OS_WIN
    return ::_commit(fd);
#else
    return ::fsync(fd);
#endif
}

QString systemError(int error)
{
    if (diskFull(error))
        return QStringLiteral("디스크에 빈 공간이 없습니다.");
    // A sentence, as the messages that quote it expect.
    QString text = QString::fromLocal8Bit(std::strerror(error));
    if (!text.endsWith(QLatin1Char('.')))
        text += QLatin1Char('.');
    return text;
}

} // namespace

struct CaptureWriter::Session
{
    std::mutex mutex;
    std::condition_variable wake;
    QByteArray queue; // guarded by mutex
    bool closing = false; // guarded by mutex
    bool failed = false; // guarded by mutex; set by either side, after which nothing more is queued
    QString path;
    QByteArray nativePath;
    int fd = -1;
    dev_t device = 0;
    ino_t inode = 0;
};

namespace {

// True while the session's path still names the file that it opened: the file and its folder were neither
// removed nor moved. Windows keeps no file numbers in stat, and removes neither while the file is open.
bool stillThere(const QString& path, const QByteArray& nativePath, dev_t device, ino_t inode)
{
#ifdef Q_OS_WIN
    Q_UNUSED(nativePath);
    Q_UNUSED(device);
    Q_UNUSED(inode);
    return QFileInfo::exists(path);
#else
    Q_UNUSED(path);
    struct stat status = {};
    return ::stat(nativePath.constData(), &status) == 0 && status.st_dev == device && status.st_ino == inode;
#endif
}

} // namespace

CaptureWriter::CaptureWriter(QObject* parent) : QObject(parent)
{
}

CaptureWriter::~CaptureWriter()
{
    close();
    if (m_worker.joinable())
        m_worker.join();
    for (std::thread& retired : m_retired)
        retired.join();
}

bool CaptureWriter::open(const QString& path, bool append, QString* error)
{
    close();
    if (m_worker.joinable())
        m_retired.push_back(std::move(m_worker));
    auto session = std::make_shared<Session>();
    session->path = path;
    session->nativePath = encodeFileName(path);
    session->fd = openForWriting(path, session->nativePath, append);
    if (session->fd < 0) {
        if (error != nullptr)
            *error = systemError(errno);
        return false;
    }
    struct stat status
    {
    };
    if (::fstat(session->fd, &status) == 0) {
        session->device = status.st_dev;
        session->inode = status.st_ino;
    }
    m_session = session;
    m_path = path;
    m_worker = std::thread([session, this] { run(session, this); });
    return true;
}

bool CaptureWriter::isOpen() const
{
    if (m_session == nullptr)
        return false;
    const std::lock_guard<std::mutex> lock(m_session->mutex);
    return !m_session->closing && !m_session->failed;
}

void CaptureWriter::write(QByteArrayView bytes)
{
    if (m_session == nullptr || bytes.isEmpty())
        return;
    Session& session = *m_session;
    {
        const std::lock_guard<std::mutex> lock(session.mutex);
        if (session.closing || session.failed)
            return;
        if (session.queue.size() + bytes.size() > kMaxPending) {
            // The worker sees the flag at its next wake and reports it; nothing more is taken meanwhile.
            session.failed = true;
            session.queue.clear();
        } else {
            session.queue.append(bytes.data(), bytes.size());
        }
    }
    session.wake.notify_one();
}

void CaptureWriter::close()
{
    if (m_session == nullptr)
        return;
    {
        const std::lock_guard<std::mutex> lock(m_session->mutex);
        m_session->closing = true;
    }
    m_session->wake.notify_one();
    m_session.reset();
}

qsizetype CaptureWriter::pending() const
{
    if (m_session == nullptr)
        return 0;
    const std::lock_guard<std::mutex> lock(m_session->mutex);
    return m_session->queue.size();
}

void CaptureWriter::run(const std::shared_ptr<Session>& session, CaptureWriter* owner)
{
    using Clock = std::chrono::steady_clock;
    const auto interval = std::chrono::milliseconds(kCheckIntervalMs);
    auto lastCheck = Clock::now();
    QString failure;
    bool closing = false;
    while (failure.isEmpty()) {
        QByteArray batch;
        {
            std::unique_lock<std::mutex> lock(session->mutex);
            session->wake.wait_for(lock, interval,
                                   [&] { return !session->queue.isEmpty() || session->closing || session->failed; });
            if (session->failed) {
                failure = QStringLiteral(
                              "디스크가 들어오는 속도를 따라가지 못해, 쓰기를 기다리는 내용이 %1 MB를 넘었습니다.")
                              .arg(kMaxPending / (qsizetype{1024} * 1024));
                break;
            }
            batch.swap(session->queue);
            closing = session->closing;
        }
        for (qsizetype done = 0; done < batch.size();) {
            const ssize_t n = ::write(session->fd, batch.constData() + done, static_cast<size_t>(batch.size() - done));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                failure = systemError(n < 0 ? errno : ENOSPC);
                break;
            }
            done += n;
        }
        if (!failure.isEmpty())
            break;
        if (closing || Clock::now() - lastCheck >= interval) {
            lastCheck = Clock::now();
            if (!stillThere(session->path, session->nativePath, session->device, session->inode)) {
                failure = QStringLiteral("파일이나 그 폴더가 지워졌거나 옮겨졌습니다.");
                break;
            }
        }
        if (closing) {
            // Devices and pipes take no flush to the disk; everything else must.
            if (flushToDisk(session->fd) != 0 && errno != EINVAL && errno != EROFS)
                failure = systemError(errno);
            break;
        }
    }
    ::close(session->fd);
    {
        const std::lock_guard<std::mutex> lock(session->mutex);
        session->failed = session->failed || !failure.isEmpty();
        session->queue.clear();
    }
    const QString path = session->path;
    QMetaObject::invokeMethod(
        owner,
        [owner, path, failure, closing] {
            if (!failure.isEmpty())
                emit owner->failed(path, failure);
            else if (closing)
                emit owner->finished();
        },
        Qt::QueuedConnection);
}
