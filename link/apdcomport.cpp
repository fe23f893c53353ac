#include "link/apdcomport.h"

#include "link/com1assignment.h"
#include "link/portclaim.h"
#include "link/portdiagnosis.h"

#include <QFile>
#include <QSerialPort>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <cstring>
#include <termios.h>
#include <unistd.h>

#include <sys/ioctl.h>
#include <sys/stat.h>
#ifdef __linux__
#include <linux/serial.h>
#endif

#include <algorithm>

namespace {

// A failure of QSerialPort's own open after the claim was taken: its lock file contest, or a device that
// changed in between.
PortFault faultOf(QSerialPort::SerialPortError error)
{
    switch (error) {
    case QSerialPort::DeviceNotFoundError:
        return PortFault::Missing;
    case QSerialPort::PermissionError:
        return PortFault::Busy;
    case QSerialPort::UnsupportedOperationError:
        return PortFault::NotSerial;
    case QSerialPort::ResourceError:
        return PortFault::IoError;
    default:
        return PortFault::Other;
    }
}

} // namespace

QString TApdComPort::com1Device()
{
#ifdef Q_OS_WIN
    return QStringLiteral("COM1");
#else
    try {
        return Com1Assignment().com1Device(Com1Assignment::buildDefault());
    } catch (const Com1Error& error) {
        throw PortOpenError(error.what());
    }
#endif
}

TApdComPort::TApdComPort(const QString& device, QObject* parent, LineCounterSource counters, const QString& devicesRoot)
    : QObject(parent)
    , m_port(new QSerialPort(this))
    , m_device(device)
    , m_counterSource(std::move(counters))
{
    m_claim = std::make_unique<PortClaim>(device, devicesRoot);
    m_port->setPortName(device);
    const bool opened = m_port->open(QIODevice::ReadWrite)
        && m_port->setBaudRate(kBaudRate) && m_port->setDataBits(QSerialPort::Data8)
        && m_port->setParity(QSerialPort::NoParity) && m_port->setStopBits(QSerialPort::OneStop)
        && m_port->setFlowControl(QSerialPort::NoFlowControl);
    if (!opened) {
        const PortFault fault = faultOf(m_port->error());
        const QString systemText = m_port->errorString();
        m_port->close();
        // Qt refuses with a permission error where its own lock file could not be made or taken.
        if (fault == PortFault::Busy)
            m_claim->refuseLockFile(systemText);
        PortRefusal refusal;
        refusal.fault = fault;
        refusal.device = device;
        refusal.systemText = systemText;
        throw PortOpenError(PortDiagnosis::message(refusal, devicesRoot).toStdString());
    }
    if (m_counterSource)
        m_lastCounters = m_counterSource(static_cast<int>(m_port->handle()));
    wire();
}

TApdComPort::~TApdComPort()
{
    // Our notifier goes before the descriptor it watches, and the device's flock outlives the descriptor,
    // never the other way round.
    delete m_readNotifier;
    m_readNotifier = nullptr;
    delete m_port;
    m_port = nullptr;
}

void TApdComPort::wire()
{
    connect(m_port, &QSerialPort::readyRead, this, &TApdComPort::onReadyRead);
    connect(m_port, &QSerialPort::bytesWritten, this, &TApdComPort::bytesSent);
    m_sentReport = new QTimer(this);
    m_sentReport->setSingleShot(true);
    m_sentReport->setInterval(0);
    connect(m_sentReport, &QTimer::timeout, this, [this] {
        const qint64 count = m_sentDirectly;
        m_sentDirectly = 0;
        emit bytesSent(count);
    });
    connect(m_port, &QSerialPort::errorOccurred, this,
            [this](QSerialPort::SerialPortError error) { onError(error); });

    // The descriptor is read here, straight into the delivery, rather than into QSerialPort's buffer and out
    // again: a lone byte after a quiet spell is on the screen that much sooner. QSerialPort's own read
    // notifier (a child of it; it offers no other way to stop reading) is switched off for good. Where it
    // cannot be found, QSerialPort reads as usual and reading never pauses.
    const int descriptor = static_cast<int>(m_port->handle());
    for (QSocketNotifier* notifier : m_port->findChildren<QSocketNotifier*>()) {
        if (notifier->type() == QSocketNotifier::Read && notifier->socket() == descriptor)
            m_portNotifier = notifier;
    }
    if (m_portNotifier != nullptr) {
        m_portNotifier->setEnabled(false);
        m_readNotifier = new QSocketNotifier(descriptor, QSocketNotifier::Read, this);
        connect(m_readNotifier, &QSocketNotifier::activated, this, &TApdComPort::readPort);
    }
    m_readPause = new QTimer(this);
    m_readPause->setSingleShot(true);
    // Never early: a pause that ended before the pane's own repaint interval would wake it for nothing.
    m_readPause->setTimerType(Qt::PreciseTimer);
    m_readPause->setInterval(kReadPauseMs);
    connect(m_readPause, &QTimer::timeout, this, &TApdComPort::resumeReading);
}

bool TApdComPort::isOpen() const
{
    return m_port->isOpen();
}

qint64 TApdComPort::driverOutputQueue() const
{
    if (!m_port->isOpen())
        return 0;
    int queued = 0;
    if (::ioctl(static_cast<int>(m_port->handle()), TIOCOUTQ, &queued) != 0)
        return 0;
    return std::max(queued, 0);
}

qint64 TApdComPort::pendingOutput() const
{
    if (!m_port->isOpen())
        return 0;
    return m_port->bytesToWrite() + driverOutputQueue();
}

void TApdComPort::PutString(const QByteArray& bytes)
{
    // A failed device is closed; what is put after that has nowhere to go, and GetLineError says why.
    if (!m_port->isOpen() || bytes.isEmpty())
        return;
    const qint64 taken = writeAtOnce(bytes);
    if (taken == bytes.size())
        return;
    const QByteArray rest = taken > 0 ? bytes.mid(taken) : bytes;
    if (m_port->write(rest) != rest.size())
        fail(PortDiagnosis::failureMessage(PortFailure::WriteFailed, m_device, m_port->errorString()));
}

qint64 TApdComPort::writeAtOnce(const QByteArray& bytes)
{
    // Only with our queue empty: everything put before is with the driver already, so order holds.
    if (m_port->bytesToWrite() > 0)
        return 0;
    ssize_t written = -1;
    do {
        written = ::write(static_cast<int>(m_port->handle()), bytes.constData(), static_cast<size_t>(bytes.size()));
    } while (written < 0 && errno == EINTR);
    // A driver that is full (EAGAIN) or failing leaves everything to the queue, whose writer reports
    // failures as it always does.
    if (written <= 0)
        return 0;
    // Reported as the queue's writes are: later, from the event loop, never from inside the caller.
    m_sentDirectly += written;
    if (!m_sentReport->isActive())
        m_sentReport->start();
    return written;
}

void TApdComPort::FlushOutBuffer()
{
    // QSerialPort::clear empties its own queue and then calls tcflush(fd, TCOFLUSH).
    if (m_port->isOpen())
        m_port->clear(QSerialPort::Output);
}

std::uint16_t TApdComPort::GetLineError()
{
    if (m_failed)
        return static_cast<std::uint16_t>(LineError::DeviceFailed);
    if (!m_counterSource || !m_port->isOpen())
        return 0;
    const std::optional<LineCounters> now = m_counterSource(static_cast<int>(m_port->handle()));
    if (!now)
        return 0;
    const LineCounters before = m_lastCounters.value_or(LineCounters{});
    m_lastCounters = now;
    std::uint16_t code = 0;
    if (now->frame != before.frame)
        code |= static_cast<std::uint16_t>(LineError::Framing);
    if (now->parity != before.parity)
        code |= static_cast<std::uint16_t>(LineError::Parity);
    if (now->overrun != before.overrun)
        code |= static_cast<std::uint16_t>(LineError::Overrun);
    if (now->brk != before.brk)
        code |= static_cast<std::uint16_t>(LineError::Break);
    return code;
}

bool TApdComPort::setBaudRate(qint32 rate)
{
    if (!m_port->isOpen() || !m_port->setBaudRate(rate))
        return false;
    m_baudRate = rate;
    return true;
}

void TApdComPort::setLineCounterSource(LineCounterSource source)
{
    m_counterSource = std::move(source);
    m_lastCounters.reset();
    if (m_counterSource && m_port->isOpen())
        m_lastCounters = m_counterSource(static_cast<int>(m_port->handle()));
}

std::optional<LineCounters> TApdComPort::driverLineCounters(int fd)
{
#ifdef TIOCGICOUNT
    serial_icounter_struct counts{};
    if (fd < 0 || ::ioctl(fd, TIOCGICOUNT, &counts) != 0)
        return std::nullopt;
    return LineCounters{static_cast<std::uint32_t>(counts.frame), static_cast<std::uint32_t>(counts.parity),
                        static_cast<std::uint32_t>(counts.overrun + counts.buf_overrun),
                        static_cast<std::uint32_t>(counts.brk)};
#else
    Q_UNUSED(fd);
    return std::nullopt;
#endif
}

void TApdComPort::onReadyRead()
{
    // Only where QSerialPort reads: where reading is ours, what it may still have read is delivered all the
    // same, in its place in the stream (it is delivered the moment it is read), and its notifier, which
    // reading from it turns on again, goes off.
    const QByteArray bytes = m_port->readAll();
    if (m_portNotifier != nullptr)
        m_portNotifier->setEnabled(false);
    if (!bytes.isEmpty())
        deliver(bytes);
}

void TApdComPort::readPort()
{
    if (!m_port->isOpen())
        return;
    const int descriptor = static_cast<int>(m_port->handle());
    // Read into the buffer that the last read used, which keeps its size: a lone byte costs no allocation.
    m_received.resize(0);
    bool ended = false;
    // A read after a stall can find tens of kilobytes waiting: read until the driver has no more, up to
    // kMaxReadBytes a turn of the loop.
    char chunk[4096];
    while (m_received.size() < kMaxReadBytes) {
        const ssize_t got = ::read(descriptor, chunk, sizeof chunk);
        if (got > 0) {
            m_received.append(chunk, got);
            if (static_cast<std::size_t>(got) < sizeof chunk)
                break;
        } else if (got < 0 && errno == EINTR) {
            continue;
        } else {
            // Nothing more for now; or, on a descriptor that was just said to be readable, end of input (a
            // hang-up reads as nothing) or an error.
            ended = got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK);
            break;
        }
    }
    // What came before a failure is delivered first; the next read finds the failure again. The delivery
    // shares the buffer: a receiver that reads the port again (from a nested loop) or keeps the bytes makes
    // the next read take a buffer of its own.
    const QByteArray bytes = m_received;
    if (!bytes.isEmpty())
        deliver(bytes);
    else if (ended)
        failReading();
}

void TApdComPort::deliver(const QByteArray& bytes)
{
    const bool close = m_sinceRead.isValid() && m_sinceRead.elapsed() < kReadPauseMs;
    const bool slow = m_sinceDelivery.isValid()
        && static_cast<qint64>(bytes.size()) * 1000000000 < kStreamingRate * m_sinceDelivery.nsecsElapsed();
    // Two slow reads in a row: a fast source whose writer was held up once reads on without a pause.
    const bool streaming = close && slow && m_slowBefore;
    m_slowBefore = slow;
    emit dataReceived(bytes);
    m_sinceRead.start();
    m_sinceDelivery.start();
    // Paused after the delivery, so that the pause ends no sooner than the repaint that the delivery
    // scheduled allows the next one.
    if (streaming && m_readNotifier != nullptr && m_port->isOpen()) {
        m_readNotifier->setEnabled(false);
        m_readPause->start();
    }
}

void TApdComPort::resumeReading()
{
    if (m_readNotifier == nullptr || !m_port->isOpen())
        return;
    // What came during the pause is read on the loop's next turn, and counts as streaming: it follows this
    // moment closely. A line that went quiet meanwhile leaves the next byte to arrive at once.
    m_sinceRead.start();
    m_readNotifier->setEnabled(true);
}

void TApdComPort::onError(int error)
{
    switch (static_cast<QSerialPort::SerialPortError>(error)) {
    case QSerialPort::ResourceError:
    case QSerialPort::ReadError:
        failReading();
        break;
    case QSerialPort::WriteError:
        // Taken from errno right after the write that failed.
        fail(PortDiagnosis::failureMessage(PortFailure::WriteFailed, m_device, m_port->errorString()));
        break;
    default:
        break;
    }
}

void TApdComPort::failReading()
{
    // A hang-up reads as the end of input, which says nothing of why (QSerialPort words it after whatever
    // errno an earlier call left behind). The node's presence tells a vanished device from a hung-up one, and
    // the device's own answer is the system's word on it; a hung-up line that still answers has none.
    struct stat status
    {
    };
    termios settings{};
    const bool answered = ::stat(QFile::encodeName(m_device).constData(), &status) == 0
        && (!m_port->isOpen() || ::tcgetattr(static_cast<int>(m_port->handle()), &settings) == 0);
    const int cause = answered ? 0 : errno;
    const PortFailure failure = cause == ENOENT ? PortFailure::Vanished : PortFailure::HungUp;
    const QString systemText = cause != 0 ? QString::fromLocal8Bit(std::strerror(cause)) : QString();
    fail(PortDiagnosis::failureMessage(failure, m_device, systemText));
}

void TApdComPort::fail(const QString& reason)
{
    if (m_failed)
        return;
    m_failed = true;
    m_failureReason = reason;
    // Left open, a vanished device keeps the read notifier firing and the process spins; and a notifier left
    // on would watch a descriptor number that the system gives to the next file opened.
    if (m_readNotifier != nullptr)
        m_readNotifier->setEnabled(false);
    if (m_readPause != nullptr)
        m_readPause->stop();
    m_port->close();
    m_claim->release();
    emit failed(reason);
}
