#pragma once
// TApdComPort: the console's one serial port, an adapter on QSerialPort.
//
// Owns the device for its whole life: it opens it at construction (9600 bit/s, 8N1, no flow control) and
// releases it when destroyed. It is the only thing that reads the device; received bytes leave by the
// dataReceived signal, and every byte moved towards the line is reported by bytesSent.
//
// Input: every byte that arrives is delivered, in order, by dataReceived. A byte that comes after the line
// was quiet for kReadPauseMs leaves at once. While the line streams at about its rate (two reads in a row,
// each within kReadPauseMs of the one before and bringing less than kStreamingRate would since it),
// reading pauses for kReadPauseMs after each delivery, so that a line that brings one character every
// millisecond wakes the console about sixty times a second, not a thousand: what came meanwhile waits in the
// driver's buffer and leaves in one piece. No byte waits longer than kReadPauseMs, and input faster than
// kStreamingRate (a pseudo-terminal's flood) is read without pauses.
//
// Output: PutChar/PutString append to one ordered stream and never block. When nothing of ours is waiting,
// the bytes are handed to the driver at once, inside the call, so that a command is on its way before the
// caller repaints anything; what the driver cannot take at once waits in our queue behind them, and
// nothing put later overtakes anything put earlier. GetOutBuffFree() reports room
// against a fixed capacity (kOutputCapacity) minus everything still pending: our own queue and, where the
// driver tells (TIOCOUTQ), the kernel's. Callers that check it (command channel, download pacing) keep
// the line from falling more than about a second behind; bytes put beyond it are still queued, never lost.
//
// Failures: a device that cannot be taken raises PortOpenError naming the device, the fault and what to do
// (see PortClaim for what counts as held by another program, PortDiagnosis for the words). The first
// read or write error after that (adapter pulled, far end of a pty closed) closes the device at once, so
// that it cannot spin, is announced once by the failed signal, and is reported by every GetLineError()
// from then on. Framing, parity, overrun and break counts come from a LineCounterSource, by default the
// driver's TIOCGICOUNT; a pseudo-terminal has none, so tests inject their own.
//
// On Windows the port is the COM port of that name, opened exclusively (Windows lets one program at a time
// hold a COM port, so that open is the claim); the driver's output queue and line errors come from
// ClearCommError, and FlushOutBuffer purges the driver's output and aborts the write in progress. Reading
// never pauses there: a read completes when the line has paused after a byte or 64 bytes have come, so a
// streaming line wakes the console about fifteen times a second already.

#include "link/portopenerror.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

class PortClaim;
class QSerialPort;
class QSocketNotifier;
class QTimer;

// The driver's cumulative error counters for one device.
struct LineCounters
{
    std::uint32_t frame = 0;
    std::uint32_t parity = 0;
    std::uint32_t overrun = 0;
    std::uint32_t brk = 0;

    bool operator==(const LineCounters&) const = default;
};

// Reads the counters of an open device (its file descriptor); nullopt when the driver offers none.
using LineCounterSource = std::function<std::optional<LineCounters>(int fd)>;

// Line-error codes: bits, so that several kinds seen since the last query are all reported.
enum class LineError : std::uint16_t {
    None = 0,
    Framing = 0x0001,
    Parity = 0x0002,
    Overrun = 0x0004,
    Break = 0x0008,
    DeviceFailed = 0x8000,
};

class TApdComPort : public QObject
{
    Q_OBJECT

public:
    // One second of line time at 9600 bit/s 8N1 (960 bytes/s): a command is never put behind more than
    // about a second of older output, which for a moving target is the limit of useful.
    static constexpr std::uint16_t kOutputCapacity = 1024;
    // Room at the top of kOutputCapacity that only the command channel may use, so that Stop always finds
    // room: downloads and typed keys stop short of it.
    static constexpr std::uint16_t kCommandRoom = 64;
    static constexpr int kBaudRate = 9600;
    // The longest a received byte waits while the line streams: about a 60 Hz frame, which is as often as
    // the terminal pane repaints anyway, and 15 characters at the line's rate.
    static constexpr int kReadPauseMs = 15;
    // Bytes per second below which reads close together are the line streaming: four times what 9600 bit/s
    // 8N1 carries, so that the serial line always pauses and a faster source never does.
    static constexpr qint64 kStreamingRate = 4 * kBaudRate / 10;
    // The most that one turn of the event loop reads and delivers; the rest waits for the next turn.
    static constexpr qsizetype kMaxReadBytes = qsizetype{32} * 1024;

    // The device that COM1 names: the one the desk's administrator assigned, else the build-time default
    // (Com1Assignment). Throws PortOpenError where the assignment cannot be followed (its file unreadable, its
    // adapter not plugged in); never names another device instead. On Windows, the COM port the console was
    // built for (CONSOLE_COM1_DEVICE, COM1): Windows' device manager numbers the ports, so there is nothing to
    // assign.
    static QString com1Device();

    // Opens `device` at once; throws PortOpenError when it cannot, whose message offers the adapters found
    // under `devicesRoot` (see PortDiagnosis::message; empty: the running machine's; not used on Windows,
    // whose message offers the device manager's COM ports).
    explicit TApdComPort(const QString& device, QObject* parent = nullptr,
                         LineCounterSource counters = driverLineCounters, const QString& devicesRoot = {});
    ~TApdComPort() override;

    TApdComPort(const TApdComPort&) = delete;
    TApdComPort& operator=(const TApdComPort&) = delete;

    std::uint16_t GetOutBuffFree() const;
    // Room left for output other than commands: GetOutBuffFree() less kCommandRoom; zero or less when
    // none is left (as on a closed port). Downloads and typed keys put no more than this.
    qint64 roomOutsideCommands() const;
    // Whether `count` more bytes fit outside the room kept for commands.
    bool fitsOutsideCommandRoom(qint64 count) const { return count <= roomOutsideCommands(); }
    void PutChar(char c);
    void PutString(const QByteArray& bytes);
    // Drops every byte not yet on the line: our queue and the driver's output queue (TCOFLUSH). What is put
    // afterwards goes out next, behind nothing.
    void FlushOutBuffer();
    // Non-zero when the device failed, or the driver counted line errors since the previous query.
    std::uint16_t GetLineError();

    // Bytes still pending towards the line: our queue plus the driver's output queue where it reports one.
    qint64 pendingOutput() const;
    // The driver's output queue (TIOCOUTQ); 0 where it offers none, as on a pseudo-terminal.
    qint64 driverOutputQueue() const;

    QString device() const { return m_device; }
    bool isOpen() const;
    bool hasFailed() const { return m_failed; }
    QString failureReason() const { return m_failureReason; }

    // Changes the line rate of the open device (benchmarks only; the console always runs at kBaudRate).
    bool setBaudRate(qint32 rate);
    qint32 baudRate() const { return m_baudRate; }

    // Trace and log file names, kept as settings; the console never switches tracing or logging on.
    QString TraceName = QStringLiteral("APRO.TRC");
    QString LogName = QStringLiteral("APRO.LOG");

    static std::optional<LineCounters> driverLineCounters(int fd);
    // Replaces where the error counters come from; the counts read now become the baseline.
    void setLineCounterSource(LineCounterSource source);

signals:
    void dataReceived(const QByteArray& bytes);
    void bytesSent(qint64 count);
    // The device failed and was closed; `reason` is a whole sentence naming it.
    void failed(const QString& reason);

private:
    void wire();
    void onReadyRead();
    void readPort();
    void deliver(const QByteArray& bytes);
    void failReading();
    void resumeReading();
    void onError(int error);
    void fail(const QString& reason);
    qint64 writeAtOnce(const QByteArray& bytes);

#ifndef Q_OS_WIN
    // The device's lock files and flock (see PortClaim), held while the port is open.
    std::unique_ptr<PortClaim> m_claim;
#endif
    QSerialPort* m_port = nullptr;
    QString m_device;
    LineCounterSource m_counterSource;
    std::optional<LineCounters> m_lastCounters;
    qint32 m_baudRate = kBaudRate;
    bool m_failed = false;
    QString m_failureReason;
    // Bytes written straight to the driver, reported by bytesSent on the loop's next turn.
    QTimer* m_sentReport = nullptr;
    qint64 m_sentDirectly = 0;
    QByteArray m_received; // what the port's last read took
    // Our read notifier on the descriptor, switched off while reading pauses, and QSerialPort's own, off for
    // good (both null where QSerialPort's cannot be found: then it reads, and reading never pauses); the
    // pause's timer; the time since the last read or resume, and since the last delivery.
    QSocketNotifier* m_readNotifier = nullptr;
    QPointer<QSocketNotifier> m_portNotifier;
    QTimer* m_readPause = nullptr;
    QElapsedTimer m_sinceRead;
    QElapsedTimer m_sinceDelivery;
    bool m_slowBefore = false; // the previous read came slower than kStreamingRate
#ifdef Q_OS_WIN
    // Windows has no Qt Serial Port here: the port's exclusive handle and its overlapped reads and writes
    // (link/apdcomport_win.cpp).
    struct Win32Io;
    std::unique_ptr<Win32Io> m_io;
    void startRead();
    void onReadDone();
    void startWrite();
    void onWriteDone();
    void closeHandle();
#endif
};
