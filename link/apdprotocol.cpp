#include "link/apdprotocol.h"

#include "link/apdcomport.h"

#include <QTimer>

#include <algorithm>

namespace {

constexpr char kCtrlZ = '\x1A';
constexpr int kBitsPerByte = 10; // 8N1: start, eight data bits, stop

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
    m_state = State::Sending; // so that a failure below is reported against this path
    if (const QString refused = m_file.open(m_path); !refused.isEmpty()) {
        failCurrent(refused);
        return false;
    }
    m_total = m_file.size();
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
    if (const FileTrouble trouble = m_file.stillThere(m_path)) {
        failMidTransfer(trouble);
        return false;
    }
    return true;
}

bool TApdProtocol::fileUnchanged()
{
    if (const FileTrouble trouble = m_file.unchanged()) {
        failMidTransfer(trouble);
        return false;
    }
    return true;
}

bool TApdProtocol::readAndPut(qint64 budget)
{
    m_buffer.resize(budget);
    FileTrouble trouble;
    const qint64 got = m_file.read(m_buffer.data(), budget, trouble);
    if (got < 0) {
        failMidTransfer(trouble);
        return false;
    }
    if (got == 0)
        return false; // try again at the next tick
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

void TApdProtocol::failMidTransfer(const FileTrouble& trouble)
{
    using Kind = FileTrouble::Kind;
    // After the last read the robot has had every byte that the file held at the start.
    const bool allRead = m_read >= m_total;
    const QString partOnly = QStringLiteral("로봇에는 파일의 앞부분만 전달되었으니");
    const QString oldFile = allRead ? QStringLiteral("로봇에는 바뀌기 전의 파일이 전달되었으니") : partOnly;
    QString cause;
    QString fix = QStringLiteral("파일을 확인한 뒤");
    QString robotHolds = partOnly;
    switch (trouble.kind) {
    case Kind::None:
        return;
    case Kind::Gone:
        cause = QStringLiteral("보내는 도중에 파일이 지워졌거나 다른 파일로 바뀌었습니다.");
        break;
    case Kind::Unverifiable:
        cause = QStringLiteral("보내는 도중에 파일을 확인할 수 없게 되었습니다.");
        if (allRead)
            robotHolds = QStringLiteral("로봇에 전달된 내용이 온전한지 알 수 없으니");
        break;
    case Kind::ReadError:
        cause = QStringLiteral("파일을 읽는 도중에 오류가 발생하였습니다.");
        break;
    case Kind::Shrank:
        cause = QStringLiteral("보내는 도중에 파일이 짧아졌습니다.");
        fix = QStringLiteral("파일 저장이 끝나면");
        robotHolds = oldFile;
        break;
    case Kind::Grew:
        cause = QStringLiteral("보내는 도중에 파일의 길이가 바뀌었습니다.");
        fix = QStringLiteral("파일 저장이 끝나면");
        robotHolds = oldFile;
        break;
    case Kind::Rewritten:
        cause = QStringLiteral("보내는 도중에 파일의 내용이 바뀌었습니다.");
        fix = QStringLiteral("파일 저장이 끝나면");
        robotHolds = QStringLiteral("로봇에는 바뀌기 전과 후의 내용이 섞여 전달되었을 수 있으니");
        break;
    }
    QString reason = cause + u'\n';
    if (!m_sentAny)
        reason += QStringLiteral("%1 다시 보내십시오.").arg(fix);
    else
        reason += QStringLiteral("%1, %2 F5를 눌러 로봇을 프로그램 받을 상태로 만들고 처음부터 다시 보내십시오.")
                      .arg(robotHolds, fix);
    if (!trouble.systemMessage.isEmpty())
        reason += QStringLiteral("\n시스템 메시지: ") + trouble.systemMessage;
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
    m_file.close();
}
