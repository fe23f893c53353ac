#include "link/apdcomport.h"

#include "link/portdiagnosis.h"
#include "link/portdiagnosis_win.h"

#include <QTimer>
#include <QWinEventNotifier>

#include <windows.h>

#include <algorithm>
#include <string>

namespace {

// A read waits for its first byte as long as it takes, and completes when the line pauses for
// kReadGapMs after it or the chunk is full: so a steady stream at 9600 bit/s reaches the screen at least every
// 67 ms. (The "return whatever has arrived" setting of the timeouts is not honoured under Wine.)
constexpr DWORD kReadChunk = 64;
constexpr DWORD kReadGapMs = 1;
// One write hands the driver at most this much of our queue, so that Stop's purge has little to abort.
constexpr qsizetype kWriteChunk = 256;

QString portPath(const QString& device)
{
    return QStringLiteral("\\\\.\\") + device;
}

[[noreturn]] void refuse(PortFault fault, const QString& device, DWORD error)
{
    throw PortOpenError(PortDiagnosis::message(fault, device, PortDiagnosis::win32ErrorText(error)).toStdString());
}

} // namespace

struct TApdComPort::Win32Io
{
    HANDLE handle = INVALID_HANDLE_VALUE;
    OVERLAPPED readOverlapped{};
    OVERLAPPED writeOverlapped{};
    QWinEventNotifier* readDone = nullptr;
    QWinEventNotifier* writeDone = nullptr;
    // Asks for the next read on the loop's next turn, when one could not even start.
    QTimer* readRetry = nullptr;
    QByteArray readBuffer = QByteArray(kReadChunk, '\0');
    bool reading = false;
    // Bytes put and not yet handed to the driver.
    QByteArray queue;
    // The bytes of the write in progress; they must stay where they are until it completes.
    QByteArray inFlight;
    bool writing = false;
    // How much of the write in progress counts as pending; 0 once Stop's purge has dropped it.
    qint64 inFlightPending = 0;
    // Line-error flags that ClearCommError reported and GetLineError has not yet passed on.
    DWORD seenErrors = 0;

    COMSTAT status()
    {
        COMSTAT comStat{};
        DWORD errors = 0;
        if (handle != INVALID_HANDLE_VALUE && ClearCommError(handle, &errors, &comStat) != 0)
            seenErrors |= errors;
        return comStat;
    }
};

QString TApdComPort::com1Device()
{
    return QStringLiteral(CONSOLE_COM1_DEVICE);
}

TApdComPort::TApdComPort(const QString& device, QObject* parent, LineCounterSource counters,
                         const QString& /*devicesRoot*/)
    : QObject(parent)
    , m_device(device)
    , m_counterSource(std::move(counters))
    , m_io(std::make_unique<Win32Io>())
{
    // Without sharing: Windows then refuses the port to every other program while we hold it, and refuses
    // it to us while another holds it. This open is the claim.
    const std::wstring path = portPath(device).toStdWString();
    const HANDLE handle = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_OVERLAPPED, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        refuse(PortDiagnosis::faultOfWin32(error), device, error);
    }
    m_io->handle = handle;

    DCB settings{};
    settings.DCBlength = sizeof settings;
    if (GetCommState(handle, &settings) == 0) {
        const DWORD error = GetLastError();
        closeHandle();
        refuse(PortFault::NotSerial, device, error);
    }
    settings.BaudRate = kBaudRate;
    settings.ByteSize = 8;
    settings.Parity = NOPARITY;
    settings.StopBits = ONESTOPBIT;
    settings.fBinary = TRUE;
    settings.fParity = FALSE;
    settings.fOutxCtsFlow = FALSE;
    settings.fOutxDsrFlow = FALSE;
    settings.fDtrControl = DTR_CONTROL_ENABLE;
    settings.fDsrSensitivity = FALSE;
    settings.fTXContinueOnXoff = TRUE;
    settings.fOutX = FALSE;
    settings.fInX = FALSE;
    settings.fErrorChar = FALSE;
    settings.fNull = FALSE;
    settings.fRtsControl = RTS_CONTROL_ENABLE;
    // A line error must not stop all further reads and writes until it is cleared.
    settings.fAbortOnError = FALSE;
    // No total timeouts: neither reads nor writes ever end for want of time.
    COMMTIMEOUTS timeouts{kReadGapMs, 0, 0, 0, 0};
    if (SetCommState(handle, &settings) == 0 || SetCommTimeouts(handle, &timeouts) == 0) {
        const DWORD error = GetLastError();
        closeHandle();
        refuse(PortFault::Other, device, error);
    }
    // What the driver counted before we opened it is not ours to report.
    m_io->status();
    m_io->seenErrors = 0;

    m_io->readOverlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    m_io->writeOverlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (m_io->readOverlapped.hEvent == nullptr || m_io->writeOverlapped.hEvent == nullptr) {
        const DWORD error = GetLastError();
        closeHandle();
        refuse(PortFault::Other, device, error);
    }
    m_sentReport = new QTimer(this);
    m_sentReport->setSingleShot(true);
    m_sentReport->setInterval(0);
    connect(m_sentReport, &QTimer::timeout, this, [this] {
        const qint64 count = m_sentDirectly;
        m_sentDirectly = 0;
        emit bytesSent(count);
    });
    m_io->readRetry = new QTimer(this);
    m_io->readRetry->setSingleShot(true);
    m_io->readRetry->setInterval(0);
    connect(m_io->readRetry, &QTimer::timeout, this, &TApdComPort::startRead);
    m_io->readDone = new QWinEventNotifier(m_io->readOverlapped.hEvent, this);
    m_io->writeDone = new QWinEventNotifier(m_io->writeOverlapped.hEvent, this);
    connect(m_io->readDone, &QWinEventNotifier::activated, this, &TApdComPort::onReadDone);
    connect(m_io->writeDone, &QWinEventNotifier::activated, this, &TApdComPort::onWriteDone);
    startRead();
}

TApdComPort::~TApdComPort()
{
    closeHandle();
}

void TApdComPort::closeHandle()
{
    if (m_io->readDone != nullptr)
        m_io->readDone->setEnabled(false);
    if (m_io->writeDone != nullptr)
        m_io->writeDone->setEnabled(false);
    if (m_io->handle != INVALID_HANDLE_VALUE) {
        // The driver writes into our buffers until a request completes: cancel both and wait for them.
        CancelIoEx(m_io->handle, nullptr);
        DWORD ignored = 0;
        if (m_io->reading)
            GetOverlappedResult(m_io->handle, &m_io->readOverlapped, &ignored, TRUE);
        if (m_io->writing)
            GetOverlappedResult(m_io->handle, &m_io->writeOverlapped, &ignored, TRUE);
        CloseHandle(m_io->handle);
        m_io->handle = INVALID_HANDLE_VALUE;
    }
    m_io->reading = false;
    m_io->writing = false;
    m_io->inFlightPending = 0;
    m_io->queue.clear();
    for (HANDLE* event : {&m_io->readOverlapped.hEvent, &m_io->writeOverlapped.hEvent}) {
        if (*event != nullptr)
            CloseHandle(*event);
        *event = nullptr;
    }
}

bool TApdComPort::isOpen() const
{
    return m_io->handle != INVALID_HANDLE_VALUE;
}

void TApdComPort::startRead()
{
    if (!isOpen() || m_io->reading)
        return;
    ResetEvent(m_io->readOverlapped.hEvent);
    m_io->reading = true;
    // Completed at once or pending, the event is set when it is done; onReadDone takes it from there.
    if (ReadFile(m_io->handle, m_io->readBuffer.data(), kReadChunk, nullptr, &m_io->readOverlapped) == 0
        && GetLastError() != ERROR_IO_PENDING) {
        const DWORD error = GetLastError();
        m_io->reading = false;
        if (error == ERROR_TIMEOUT) {
            // Wine ends a read whose pause came before any byte as timed out: nothing arrived, ask again.
            m_io->readRetry->start();
            return;
        }
        fail(QStringLiteral("직렬 포트 %1이(가) 응답하지 않아 닫았습니다 (%2). 케이블을 확인한 뒤 로봇 콘솔을 "
                            "다시 시작하십시오.")
                 .arg(m_device, PortDiagnosis::win32ErrorText(error)));
    }
}

void TApdComPort::onReadDone()
{
    if (!m_io->reading)
        return;
    DWORD got = 0;
    if (GetOverlappedResult(m_io->handle, &m_io->readOverlapped, &got, FALSE) == 0) {
        const DWORD error = GetLastError();
        if (error == ERROR_IO_INCOMPLETE)
            return;
        m_io->reading = false;
        // Wine ends a read whose pause came before any byte as timed out (real Windows as done, with
        // nothing): what it read, if anything, is kept, and the next read is asked for.
        if (error == ERROR_TIMEOUT) {
        } else if (error != ERROR_OPERATION_ABORTED) {
            fail(QStringLiteral("직렬 포트 %1이(가) 응답하지 않아 닫았습니다 (%2). 케이블을 확인한 뒤 로봇 콘솔을 "
                                "다시 시작하십시오.")
                     .arg(m_device, PortDiagnosis::win32ErrorText(error)));
            return;
        } else {
            got = 0;
        }
    }
    m_io->reading = false;
    const QByteArray bytes = m_io->readBuffer.left(static_cast<qsizetype>(got));
    startRead();
    if (!bytes.isEmpty())
        emit dataReceived(bytes);
}

void TApdComPort::startWrite()
{
    while (isOpen() && !m_io->writing && !m_io->queue.isEmpty()) {
        m_io->inFlight = m_io->queue.left(kWriteChunk);
        m_io->queue.remove(0, m_io->inFlight.size());
        m_io->inFlightPending = m_io->inFlight.size();
        m_io->writing = true;
        ResetEvent(m_io->writeOverlapped.hEvent);
        if (WriteFile(m_io->handle, m_io->inFlight.constData(), static_cast<DWORD>(m_io->inFlight.size()), nullptr,
                      &m_io->writeOverlapped)
            != 0) {
            // The driver took it at once: the next piece may follow at once too.
            DWORD written = 0;
            GetOverlappedResult(m_io->handle, &m_io->writeOverlapped, &written, FALSE);
            m_io->writing = false;
            m_io->inFlightPending = 0;
            m_io->inFlight.clear();
            // Reported as the completions of pending writes are: from the event loop, never inside the caller.
            m_sentDirectly += written;
            if (!m_sentReport->isActive())
                m_sentReport->start();
            continue;
        }
        const DWORD error = GetLastError();
        if (error == ERROR_IO_PENDING)
            return;
        m_io->writing = false;
        fail(QStringLiteral("직렬 포트 %1에 쓸 수 없습니다 (%2). 케이블을 확인한 뒤 로봇 콘솔을 다시 시작하십시오.")
                 .arg(m_device, PortDiagnosis::win32ErrorText(error)));
    }
}

void TApdComPort::onWriteDone()
{
    if (!m_io->writing)
        return;
    DWORD written = 0;
    if (GetOverlappedResult(m_io->handle, &m_io->writeOverlapped, &written, FALSE) == 0) {
        const DWORD error = GetLastError();
        if (error == ERROR_IO_INCOMPLETE)
            return;
        // Stop's purge aborted it: what it had written went out, the rest is dropped on purpose.
        if (error != ERROR_OPERATION_ABORTED) {
            m_io->writing = false;
            fail(QStringLiteral("직렬 포트 %1에 쓸 수 없습니다 (%2). 케이블을 확인한 뒤 로봇 콘솔을 다시 "
                                "시작하십시오.")
                     .arg(m_device, PortDiagnosis::win32ErrorText(error)));
            return;
        }
    }
    m_io->writing = false;
    m_io->inFlightPending = 0;
    m_io->inFlight.clear();
    startWrite();
    if (written > 0)
        emit bytesSent(written);
}

qint64 TApdComPort::driverOutputQueue() const
{
    if (!isOpen())
        return 0;
    return m_io->status().cbOutQue;
}

qint64 TApdComPort::pendingOutput() const
{
    if (!isOpen())
        return 0;
    // A write in progress is in the driver's queue too where the driver counts it there.
    return m_io->queue.size() + std::max(m_io->inFlightPending, driverOutputQueue());
}

void TApdComPort::PutString(const QByteArray& bytes)
{
    // A failed port is closed; what is put after that has nowhere to go, and GetLineError says why.
    if (!isOpen() || bytes.isEmpty())
        return;
    m_io->queue += bytes;
    // With no write in progress the bytes go to the driver now, inside this call; otherwise behind it.
    startWrite();
}

void TApdComPort::FlushOutBuffer()
{
    if (!isOpen())
        return;
    m_io->queue.clear();
    m_io->inFlightPending = 0;
    PurgeComm(m_io->handle, PURGE_TXABORT | PURGE_TXCLEAR);
    // A write still waiting for the line is cancelled too, where the purge has not done it.
    if (m_io->writing)
        CancelIoEx(m_io->handle, &m_io->writeOverlapped);
}

std::uint16_t TApdComPort::GetLineError()
{
    if (m_failed)
        return static_cast<std::uint16_t>(LineError::DeviceFailed);
    if (!isOpen())
        return 0;
    m_io->status();
    const DWORD errors = m_io->seenErrors;
    m_io->seenErrors = 0;
    std::uint16_t code = 0;
    if ((errors & CE_FRAME) != 0)
        code |= static_cast<std::uint16_t>(LineError::Framing);
    if ((errors & CE_RXPARITY) != 0)
        code |= static_cast<std::uint16_t>(LineError::Parity);
    if ((errors & (CE_OVERRUN | CE_RXOVER)) != 0)
        code |= static_cast<std::uint16_t>(LineError::Overrun);
    if ((errors & CE_BREAK) != 0)
        code |= static_cast<std::uint16_t>(LineError::Break);
    return code;
}

bool TApdComPort::setBaudRate(qint32 rate)
{
    DCB settings{};
    settings.DCBlength = sizeof settings;
    if (!isOpen() || rate <= 0 || GetCommState(m_io->handle, &settings) == 0)
        return false;
    settings.BaudRate = static_cast<DWORD>(rate);
    if (SetCommState(m_io->handle, &settings) == 0)
        return false;
    m_baudRate = rate;
    return true;
}

void TApdComPort::setLineCounterSource(LineCounterSource source)
{
    // The driver's error flags are read with ClearCommError; there are no counters to take instead.
    m_counterSource = std::move(source);
}

std::optional<LineCounters> TApdComPort::driverLineCounters(int fd)
{
    Q_UNUSED(fd);
    return std::nullopt;
}

void TApdComPort::fail(const QString& reason)
{
    if (m_failed)
        return;
    m_failed = true;
    m_failureReason = reason;
    closeHandle();
    emit failed(reason);
}
