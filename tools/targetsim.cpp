#include "tools/targetsim.h"

#include <QSocketNotifier>
#include <QTimer>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

namespace {

QString systemError(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

void closeQuietly(int& fd)
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

} // namespace

TargetSimulator::TargetSimulator(int bytesPerSecond, QObject* parent)
    : QObject(parent)
    , m_monitor([this](const QByteArray& bytes) { enqueue(bytes); })
    , m_inPacer(bytesPerSecond)
    , m_outPacer(bytesPerSecond)
{
    const auto fail = [this](const char* step) {
        const int error = errno;
        closeQuietly(m_slave);
        closeQuietly(m_master);
        throw TargetSimError(QStringLiteral("모의 로봇을 연결할 가상 직렬 포트를 만들 수 없습니다.\n"
                                            "/dev/ptmx를 읽고 쓸 수 있는지 확인하십시오.\n"
                                            "시스템 메시지: %1: %2")
                                 .arg(QLatin1String(step), systemError(error))
                                 .toStdString());
    };

    m_master = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (m_master < 0)
        fail("posix_openpt");
    if (::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK) < 0
        || ::fcntl(m_master, F_SETFD, FD_CLOEXEC) < 0)
        fail("fcntl");
    if (::grantpt(m_master) < 0)
        fail("grantpt");
    if (::unlockpt(m_master) < 0)
        fail("unlockpt");
    std::array<char, 128> name{};
    if (::ptsname_r(m_master, name.data(), name.size()) != 0)
        fail("ptsname");
    m_slavePath = QString::fromLocal8Bit(name.data());

    // Held for the simulator's life: while one slave descriptor is open the master never sees a hang-up,
    // however often consoles come and go.
    m_slave = ::open(name.data(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (m_slave < 0)
        fail("open slave");
    termios tio{};
    if (::tcgetattr(m_slave, &tio) < 0)
        fail("tcgetattr");
    ::cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    ::cfsetispeed(&tio, B9600);
    ::cfsetospeed(&tio, B9600);
    if (::tcsetattr(m_slave, TCSANOW, &tio) < 0)
        fail("tcsetattr");

    m_readNotifier = new QSocketNotifier(m_master, QSocketNotifier::Read, this);
    m_writeNotifier = new QSocketNotifier(m_master, QSocketNotifier::Write, this);
    m_writeNotifier->setEnabled(false);
    m_tick = new QTimer(this);
    m_tick->setTimerType(Qt::PreciseTimer);
    m_tick->setInterval(kTickMs);
    m_heartbeat = new QTimer(this);
    m_heartbeat->setInterval(kHeartbeatMs);
    m_quiet = new QTimer(this);
    m_quiet->setSingleShot(true);
    m_quiet->setInterval(kQuietMs);
    m_retry = new QTimer(this);
    m_retry->setSingleShot(true);
    m_retry->setInterval(kRetryMs);
    m_clock.start();
    wire();
}

TargetSimulator::~TargetSimulator()
{
    // Notifiers must let go of the descriptor before it is closed.
    delete m_readNotifier;
    delete m_writeNotifier;
    closeQuietly(m_slave);
    closeQuietly(m_master);
}

void TargetSimulator::wire()
{
    connect(m_readNotifier, &QSocketNotifier::activated, this, &TargetSimulator::onReadable);
    connect(m_writeNotifier, &QSocketNotifier::activated, this, &TargetSimulator::onWritable);
    connect(m_tick, &QTimer::timeout, this, &TargetSimulator::onTick);
    connect(m_heartbeat, &QTimer::timeout, this, [this] {
        m_monitor.heartbeat();
        noteMonitorChanges();
    });
    connect(m_quiet, &QTimer::timeout, this, [this] {
        m_monitor.lineIdle();
        noteMonitorChanges();
    });
    connect(m_retry, &QTimer::timeout, this, [this] {
        m_writeBlocked = false;
        m_readNotifier->setEnabled(m_inbox.size() < kInboxLimit);
        kick();
    });
}

void TargetSimulator::setBytesPerSecond(int bytesPerSecond)
{
    m_inPacer.setRate(bytesPerSecond);
    m_outPacer.setRate(bytesPerSecond);
}

void TargetSimulator::powerOn()
{
    m_monitor.powerOn();
}

void TargetSimulator::sendRaw(const QByteArray& bytes)
{
    enqueue(bytes);
}

void TargetSimulator::enqueue(const QByteArray& bytes)
{
    if (bytes.isEmpty())
        return;
    if (m_outbox.isEmpty())
        m_outPacer.restart();
    m_outbox.append(bytes);
    kick();
}

void TargetSimulator::onReadable()
{
    const qsizetype room = kInboxLimit - m_inbox.size();
    if (room <= 0) {
        m_readNotifier->setEnabled(false);
        return;
    }
    std::array<char, kInboxLimit> buffer{};
    const ssize_t n = ::read(m_master, buffer.data(), static_cast<size_t>(room));
    if (n > 0) {
        const QByteArray bytes(buffer.data(), n);
        if (m_inbox.isEmpty())
            m_inPacer.restart();
        m_inbox.append(bytes);
        m_received.append(bytes);
        if (m_inbox.size() >= kInboxLimit)
            m_readNotifier->setEnabled(false);
        emit dataReceived(bytes);
        kick();
        return;
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return;
    // EIO or end of file: no slave is open. The held descriptor prevents it, but a level-triggered
    // notifier left on would spin, so reading pauses and is retried.
    failLine(QStringLiteral("Reading the simulated line %1 failed (%2); retrying shortly.")
                 .arg(m_slavePath, n == 0 ? QStringLiteral("hang-up") : systemError(errno)),
             true);
}

void TargetSimulator::onWritable()
{
    m_writeNotifier->setEnabled(false);
    m_writeBlocked = false;
    kick();
}

void TargetSimulator::kick()
{
    if (m_inTick)
        return; // the running tick handles the new work before it ends
    if (!m_tick->isActive()) {
        m_lastTickNs = m_clock.nsecsElapsed();
        m_tick->start();
    }
    onTick();
}

void TargetSimulator::onTick()
{
    m_inTick = true;
    const qint64 now = m_clock.nsecsElapsed();
    const qint64 elapsed = now - m_lastTickNs;
    m_lastTickNs = now;
    if (!m_inbox.isEmpty())
        takeInput(m_inPacer.advance(elapsed));
    if (!m_outbox.isEmpty() && !m_writeBlocked)
        sendDue(m_outPacer.advance(elapsed));
    m_inTick = false;
    updateTimers();
}

void TargetSimulator::takeInput(qint64 count)
{
    const qsizetype n = std::min<qsizetype>(count, m_inbox.size());
    if (n <= 0)
        return;
    const QByteArray bytes = m_inbox.left(n);
    m_inbox.remove(0, n);
    m_inPacer.consume(n);
    for (const char byte : bytes) {
        m_monitor.receive(byte);
        noteMonitorChanges();
    }
    m_quiet->start();
    if (!m_readNotifier->isEnabled() && m_inbox.size() < kInboxLimit && !m_retry->isActive())
        m_readNotifier->setEnabled(true);
}

void TargetSimulator::sendDue(qint64 count)
{
    const qsizetype n = std::min<qsizetype>(count, m_outbox.size());
    if (n <= 0)
        return;
    const ssize_t written = ::write(m_master, m_outbox.constData(), static_cast<size_t>(n));
    if (written > 0) {
        m_outbox.remove(0, written);
        m_outPacer.consume(written);
        m_bytesSent += written;
        emit dataSent(written);
        if (m_outbox.isEmpty())
            emit outputDrained();
        return;
    }
    if (written < 0 && errno == EINTR)
        return;
    if (written < 0 && errno == EAGAIN) {
        // Nobody is reading the slave and its buffer is full: wait to be told there is room.
        m_writeBlocked = true;
        m_writeNotifier->setEnabled(true);
        return;
    }
    failLine(QStringLiteral("Writing to the simulated line %1 failed (%2); the output is kept and retried.")
                 .arg(m_slavePath, systemError(errno)),
             false);
}

void TargetSimulator::failLine(const QString& reason, bool reading)
{
    if (reading)
        m_readNotifier->setEnabled(false);
    else
        m_writeBlocked = true;
    m_retry->start();
    emit lineFailed(reason);
}

void TargetSimulator::updateTimers()
{
    const bool work = !m_inbox.isEmpty() || (!m_outbox.isEmpty() && !m_writeBlocked);
    if (!work)
        m_tick->stop();
}

void TargetSimulator::noteMonitorChanges()
{
    if (m_monitor.motion() != m_lastMotion) {
        m_lastMotion = m_monitor.motion();
        emit motionChanged(m_lastMotion);
    }
    if (m_monitor.isRunning() != m_lastRunning) {
        m_lastRunning = m_monitor.isRunning();
        if (m_lastRunning)
            m_heartbeat->start();
        else
            m_heartbeat->stop();
        emit runningChanged(m_lastRunning);
    }
    if (m_monitor.loadsEnded() != m_loadsSeen) {
        m_loadsSeen = m_monitor.loadsEnded();
        emit loadFinished(m_monitor.lastLoad());
    }
}
