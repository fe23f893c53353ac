#include "link/apdcomport.h"

#include <QFile>
#include <QSerialPort>

#include <cerrno>
#include <unistd.h>

#include <sys/ioctl.h>
#ifdef __linux__
#include <linux/serial.h>
#endif

#include <algorithm>

namespace {

QString openFailureReason(QSerialPort::SerialPortError error, const QString& device)
{
    switch (error) {
    case QSerialPort::DeviceNotFoundError:
        return QStringLiteral("장치가 없습니다. 케이블과 어댑터가 연결되어 있는지 확인하십시오");
    case QSerialPort::PermissionError:
        // Qt reports a device held by another program and one we may not open alike; tell them apart.
        if (::access(QFile::encodeName(device).constData(), R_OK | W_OK) != 0 && errno == EACCES)
            return QStringLiteral("접근 권한이 없습니다. 사용자를 dialout 그룹에 넣거나 장치의 권한을 확인하십시오");
        return QStringLiteral("다른 프로그램이 사용 중입니다. 그 프로그램을 닫은 뒤 다시 실행하십시오");
    case QSerialPort::UnsupportedOperationError:
        return QStringLiteral("직렬 포트가 아닙니다. 장치 이름을 확인하십시오");
    default:
        return QStringLiteral("포트를 열거나 설정할 수 없습니다");
    }
}

} // namespace

QString TApdComPort::com1Device()
{
#ifdef Q_OS_WIN
    return QStringLiteral("COM1");
#else
    return QStringLiteral("/dev/ttyS0");
#endif
}

TApdComPort::TApdComPort(const QString& device, QObject* parent, LineCounterSource counters)
    : QObject(parent)
    , m_port(new QSerialPort(this))
    , m_device(device)
    , m_counterSource(std::move(counters))
{
    m_port->setPortName(device);
    const bool opened = m_port->open(QIODevice::ReadWrite)
        && m_port->setBaudRate(kBaudRate) && m_port->setDataBits(QSerialPort::Data8)
        && m_port->setParity(QSerialPort::NoParity) && m_port->setStopBits(QSerialPort::OneStop)
        && m_port->setFlowControl(QSerialPort::NoFlowControl);
    if (!opened) {
        const QString message = QStringLiteral("직렬 포트 %1 을(를) 열 수 없습니다: %2 (%3).")
                                    .arg(device, openFailureReason(m_port->error(), device),
                                         m_port->errorString());
        m_port->close();
        throw PortOpenError(message.toStdString());
    }
    if (m_counterSource)
        m_lastCounters = m_counterSource(static_cast<int>(m_port->handle()));
    wire();
}

TApdComPort::~TApdComPort() = default;

void TApdComPort::wire()
{
    connect(m_port, &QSerialPort::readyRead, this, &TApdComPort::onReadyRead);
    connect(m_port, &QSerialPort::bytesWritten, this, &TApdComPort::bytesSent);
    connect(m_port, &QSerialPort::errorOccurred, this,
            [this](QSerialPort::SerialPortError error) { onError(error); });
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

std::uint16_t TApdComPort::GetOutBuffFree() const
{
    if (!m_port->isOpen())
        return 0;
    const qint64 room = qint64{kOutputCapacity} - pendingOutput();
    return static_cast<std::uint16_t>(std::clamp<qint64>(room, 0, kOutputCapacity));
}

void TApdComPort::PutChar(char c)
{
    PutString(QByteArray(1, c));
}

void TApdComPort::PutString(const QByteArray& bytes)
{
    // A failed device is closed; what is put after that has nowhere to go, and GetLineError says why.
    if (!m_port->isOpen() || bytes.isEmpty())
        return;
    if (m_port->write(bytes) != bytes.size())
        fail(QStringLiteral("직렬 포트 %1 에 쓸 수 없습니다 (%2).").arg(m_device, m_port->errorString()));
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
    const QByteArray bytes = m_port->readAll();
    if (!bytes.isEmpty())
        emit dataReceived(bytes);
}

void TApdComPort::onError(int error)
{
    switch (static_cast<QSerialPort::SerialPortError>(error)) {
    case QSerialPort::ResourceError:
    case QSerialPort::ReadError:
    case QSerialPort::WriteError:
        fail(QStringLiteral("직렬 포트 %1 이(가) 응답하지 않아 닫았습니다 (%2). 케이블을 확인한 뒤 프로그램을 "
                            "다시 실행하십시오.")
                 .arg(m_device, m_port->errorString()));
        break;
    default:
        break;
    }
}

void TApdComPort::fail(const QString& reason)
{
    if (m_failed)
        return;
    m_failed = true;
    m_failureReason = reason;
    // Left open, a vanished device keeps the read notifier firing and the process spins.
    m_port->close();
    emit failed(reason);
}
