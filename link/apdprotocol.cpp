#include "link/apdprotocol.h"

#include "link/apdcomport.h"
#include "link/filename.h"

#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

namespace {

constexpr char kCtrlZ = '\x1A';
constexpr int kBitsPerByte = 10; // 8N1: start, eight data bits, stop

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
    struct statfs fs {};
    if (::fstatfs(fd, &fs) != 0)
        return false;
    switch (static_cast<unsigned long>(fs.f_type)) {
    case 0x9fa0UL:     // proc
    case 0x62656572UL: // sysfs
    case 0x64626720UL: // debugfs
    case 0x74726163UL: // tracefs
    case 0x73636673UL: // securityfs
    case 0x62656570UL: // configfs
    case 0x27e0ebUL:   // cgroup
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

// The start of the sentence that tells what to do before a file that failed after it was opened is sent again.
constexpr QStringView kAfterChecking = u"파일을 확인한 뒤";
constexpr QStringView kOnceSaved = u"파일 저장이 끝나면";

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

TApdProtocol::TApdProtocol(TApdComPort* port, QObject* parent)
    : QObject(parent), m_port(port), m_timer(new QTimer(this))
{
    m_timer->setTimerType(Qt::PreciseTimer);
    m_timer->setInterval(kTickMs);
    connect(m_timer, &QTimer::timeout, this, &TApdProtocol::tick);
    // A failing port ends the transfer at once, not at the next tick.
    connect(m_port, &TApdComPort::failed, this, [this](const QString& reason) {
        if (busy())
            failEverything(reason);
    });
    connect(m_port, &TApdComPort::bytesSent, this, [this] {
        // Not from inside our own put, should the port ever write at once.
        if (m_state != State::Sending || m_putting)
            return;
        advanceLineMeter();
        sendSome();
    });
    m_meterClock.start();
}

TApdProtocol::~TApdProtocol()
{
    closeFile();
}

void TApdProtocol::StartTransmit()
{
    m_queue.push_back(m_fileName);
    ensureTicking();
}

void TApdProtocol::CancelProtocol()
{
    m_timer->stop();
    const bool current = m_state != State::Idle;
    const QString path = m_path;
    std::deque<QString> waiting;
    waiting.swap(m_queue);
    closeFile();
    m_state = State::Idle;
    m_ahead = 0;
    if (current || !waiting.empty())
        m_port->FlushOutBuffer();
    if (current)
        emit transferCancelled(path);
    for (const QString& queued : waiting)
        emit transferCancelled(queued);
}

void TApdProtocol::ensureTicking()
{
    if (!m_timer->isActive()) {
        // The meter ran down while idle; no idle time may be banked as credit.
        advanceLineMeter();
        m_timer->start();
    }
}

double TApdProtocol::bytesPerSecond() const
{
    return std::max(1.0, static_cast<double>(m_port->baudRate()) / kBitsPerByte);
}

qint64 TApdProtocol::lead() const
{
    constexpr double kConsoleBytesPerSecond = double{TApdComPort::kBaudRate} / kBitsPerByte;
    const double scaled = kLeadBytesAt9600 * bytesPerSecond() / kConsoleBytesPerSecond;
    return std::clamp(static_cast<qint64>(scaled), kLeadBytesAt9600, kMaxLeadBytes);
}

void TApdProtocol::advanceLineMeter()
{
    const double seconds = static_cast<double>(m_meterClock.nsecsElapsed()) / 1e9;
    m_meterClock.restart();
    m_ahead = std::max(0.0, m_ahead - seconds * bytesPerSecond());
    // The meter assumes the line never stalls; what the port still holds is the truth when it is more.
    m_ahead = std::max(m_ahead, static_cast<double>(m_port->pendingOutput()));
}

void TApdProtocol::tick()
{
    advanceLineMeter();
    if (m_port->hasFailed() || !m_port->isOpen()) {
        failEverything(
            m_port->failureReason().isEmpty()
                ? QStringLiteral("COM1(%1)이 닫혀 있어 파일을 보낼 수 없습니다.\n로봇 콘솔을 다시 시작하십시오.")
                      .arg(m_port->device())
                : m_port->failureReason());
        return;
    }
    if (m_state == State::Idle) {
        if (m_queue.empty()) {
            m_timer->stop();
            return;
        }
        if (!openNext())
            return; // its failure is reported; the next one waits for the next tick
    }
    if (m_state == State::Sending)
        sendSome();
    if (m_state == State::Draining && m_port->pendingOutput() == 0 && m_ahead < 1.0)
        finishCurrent();
    else if (m_state != State::Idle)
        reportProgress(false);
}

bool TApdProtocol::openNext()
{
    m_path = m_queue.front();
    m_queue.pop_front();
    m_total = 0;
    m_read = 0;
    m_reportedSent = -1;
    m_sentAny = false;
    if (m_path.isEmpty()) {
        m_state = State::Sending;
        failCurrent(QStringLiteral("보낼 파일이 정해지지 않았습니다.\n파일을 선택한 뒤 다시 보내십시오."));
        return false;
    }
    const QByteArray native = encodeFileName(m_path);
    m_state = State::Sending; // so that a failure below is reported against this path

    // Look before opening: opening a FIFO or a terminal may block, or never end.
    struct stat before {};
    if (::stat(native.constData(), &before) != 0) {
        failCurrent(openFailure(errno));
        return false;
    }
    if (const QString refused = refusal(before); !refused.isEmpty()) {
        failCurrent(refused);
        return false;
    }
    m_fd = ::open(native.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (m_fd < 0) {
        failCurrent(openFailure(errno));
        return false;
    }
    // The path may have been swapped for something else between the look and the open.
    struct stat opened {};
    if (::fstat(m_fd, &opened) != 0) {
        failCurrent(openFailure(errno));
        return false;
    }
    if (const QString refused = refusal(opened); !refused.isEmpty()) {
        failCurrent(refused);
        return false;
    }
    if (opened.st_dev != before.st_dev || opened.st_ino != before.st_ino) {
        failCurrent(QStringLiteral("여는 도중에 파일이 다른 파일로 바뀌었습니다.\n파일을 확인한 뒤 다시 보내십시오."));
        return false;
    }
    if (isSynthetic(m_fd)) {
        failCurrent(QStringLiteral("읽을 때마다 내용이 새로 만들어지는 시스템 파일이어서 보낼 수 없습니다.\n"
                                   "내용을 일반 파일로 저장한 뒤 그 파일을 보내십시오.\n"
                                   "자세한 내용: /proc, /sys 같은 특수 파일은 길이를 미리 알 수 없습니다."));
        return false;
    }
    m_device = opened.st_dev;
    m_inode = opened.st_ino;
    m_modified = opened.st_mtim;
    m_changed = opened.st_ctim;
    m_total = opened.st_size;
    m_sinceReport.start();
    emit transferStarted(m_path, m_total);
    reportProgress(true);
    return true;
}

void TApdProtocol::sendSome()
{
    const qint64 room = std::min(lead() - static_cast<qint64>(m_ahead), m_port->roomOutsideCommands());
    if (room > 0 && m_read < m_total) {
        if (!fileStillThere())
            return;
        qint64 budget = room;
        while (budget > 0 && m_read < m_total) {
            const qint64 before = m_read;
            // Never past the length it had at the start: a growing file must not send what it grew by.
            if (!readAndPut(std::min({budget, kMaxReadBytes, m_total - m_read})))
                return;
            budget -= m_read - before;
        }
    }
    if (m_read < m_total)
        return;
    // Every byte it had at the start is out; it must still be the same file, untouched since it was opened.
    if (!fileUnchanged())
        return;
    closeFile();
    m_state = State::Draining;
}

bool TApdProtocol::fileStillThere()
{
    struct stat now {};
    if (::stat(encodeFileName(m_path).constData(), &now) != 0 || now.st_dev != m_device || now.st_ino != m_inode) {
        failMidTransfer(QStringLiteral("보내는 도중에 파일이 지워졌거나 다른 파일로 바뀌었습니다."), kAfterChecking);
        return false;
    }
    return fileUnchanged();
}

bool TApdProtocol::fileUnchanged()
{
    // Checked before every read and after the last, so that no byte written after the start goes out unnoticed:
    // a file rewritten in place keeps its length and inode, but not its modification and change times.
    // After the last read the robot has had every byte that the file held at the start.
    const bool allRead = m_read >= m_total;
    struct stat now {};
    if (::fstat(m_fd, &now) != 0) {
        const QString detail = errnoText(errno);
        failMidTransfer(QStringLiteral("보내는 도중에 파일을 확인할 수 없게 되었습니다."), kAfterChecking, detail,
                        allRead ? QStringLiteral("로봇에 전달된 내용이 온전한지 알 수 없으니") : QString());
        return false;
    }
    const QString robotHasTheOldFile = allRead ? QStringLiteral("로봇에는 바뀌기 전의 파일이 전달되었으니") : QString();
    if (now.st_size < m_total) {
        failMidTransfer(QStringLiteral("보내는 도중에 파일이 짧아졌습니다."), kOnceSaved, {}, robotHasTheOldFile);
        return false;
    }
    if (now.st_size > m_total) {
        failMidTransfer(QStringLiteral("보내는 도중에 파일의 길이가 바뀌었습니다."), kOnceSaved, {},
                        robotHasTheOldFile);
        return false;
    }
    if (!sameTime(now.st_mtim, m_modified) || !sameTime(now.st_ctim, m_changed)) {
        failMidTransfer(QStringLiteral("보내는 도중에 파일의 내용이 바뀌었습니다."), kOnceSaved, {},
                        QStringLiteral("로봇에는 바뀌기 전과 후의 내용이 섞여 전달되었을 수 있으니"));
        return false;
    }
    return true;
}

bool TApdProtocol::readAndPut(qint64 budget)
{
    m_buffer.resize(budget);
    const ssize_t got = ::read(m_fd, m_buffer.data(), static_cast<size_t>(budget));
    if (got < 0) {
        if (errno == EINTR || errno == EAGAIN)
            return false; // try again at the next tick
        const QString detail = errnoText(errno);
        failMidTransfer(QStringLiteral("파일을 읽는 도중에 오류가 발생하였습니다."), kAfterChecking, detail);
        return false;
    }
    if (got == 0) {
        failMidTransfer(QStringLiteral("보내는 도중에 파일이 짧아졌습니다."), kOnceSaved);
        return false;
    }
    m_buffer.resize(got);
    m_read += got;
    if (asciiSuppressCtrlZ)
        m_buffer.removeIf([](char c) { return c == kCtrlZ; });
    if (!m_buffer.isEmpty()) {
        m_ahead += static_cast<double>(m_buffer.size());
        m_sentAny = true;
        m_putting = true;
        m_port->PutString(m_buffer);
        m_putting = false;
    }
    // PutString may have found the port failing; its signal has already ended this transfer.
    return m_state == State::Sending;
}

void TApdProtocol::reportProgress(bool force)
{
    // What is still ahead of the line has not gone out yet.
    const qint64 sent = m_state == State::Draining
        ? std::max<qint64>(0, m_total - static_cast<qint64>(m_ahead))
        : std::max<qint64>(0, m_read - static_cast<qint64>(m_ahead));
    const qint64 shown = std::max(sent, m_reportedSent);
    if (shown == m_reportedSent && !force)
        return;
    if (!force && m_sinceReport.elapsed() < qint64{statusInterval} * kStatusUnitMs)
        return;
    m_reportedSent = shown;
    m_sinceReport.restart();
    emit transferProgress(m_path, shown, m_total);
}

void TApdProtocol::finishCurrent()
{
    const QString path = m_path;
    const qint64 total = m_total;
    if (m_reportedSent != total) {
        m_reportedSent = total;
        emit transferProgress(path, total, total);
    }
    closeFile();
    m_state = State::Idle;
    emit transferFinished(path, total);
}

void TApdProtocol::failCurrent(const QString& reason)
{
    const QString path = m_path;
    closeFile();
    m_state = State::Idle;
    emit transferFailed(path, reason);
}

void TApdProtocol::failMidTransfer(const QString& cause, QStringView fix, const QString& systemMessage,
                                   const QString& robotHolds)
{
    QString reason = cause + u'\n';
    if (!m_sentAny)
        reason += QStringLiteral("%1 다시 보내십시오.").arg(fix);
    else
        reason += QStringLiteral("%1, %2 F5를 눌러 로봇을 프로그램 받을 상태로 만들고 처음부터 다시 보내십시오.")
                      .arg(robotHolds.isEmpty() ? QStringLiteral("로봇에는 파일의 앞부분만 전달되었으니") : robotHolds,
                           fix);
    if (!systemMessage.isEmpty())
        reason += QStringLiteral("\n시스템 메시지: ") + systemMessage;
    failCurrent(reason);
}

void TApdProtocol::failEverything(const QString& reason)
{
    m_timer->stop();
    const bool current = m_state != State::Idle;
    std::deque<QString> waiting;
    waiting.swap(m_queue);
    if (current)
        failCurrent(reason);
    for (const QString& path : waiting)
        emit transferFailed(path, reason);
}

void TApdProtocol::closeFile()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}
