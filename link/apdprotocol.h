#pragma once
// TApdProtocol: the ASCII file sender attached to the console's serial port.
//
// It knows a file and a TApdComPort, never the window: progress and the end of every transfer (done, or
// failed with a reason that is a whole sentence) leave by signals. StartTransmit() only queues the file
// named by FileName at that moment and returns; the bytes are streamed from the event loop by a timer that
// runs only while something is queued or still on its way out. Downloads started while one runs follow it
// whole, in the order they were started, so two files never interleave on the line.
//
// What goes out: the file's bytes unchanged, line ends as they are, except that Ctrl-Z (0x1A) is never
// sent while AsciiSuppressCtrlZ is on. Memory does not grow with the file: it is read in small pieces.
//
// Pacing: while bytes remain the line is kept busy, yet no more than lead() bytes (64 at 9600 bit/s, the
// same line time at other rates, at most kMaxLeadBytes) are ever allowed to queue ahead of the line. The
// sender meters its own bytes at the port's rate (baudRate()/10 bytes per second, 8N1) and, where the port
// reports more still pending than the meter expects (our queue, or the driver's output queue where it
// tells), follows the port. A command character put during a download therefore waits behind at most
// lead() bytes, about 67 ms of line time, and never finds the port without room because of a download:
// the sender leaves kCommandRoom of the port's buffer free. Besides its timer, the sender tops up whenever
// the port hands bytes to the driver, so that at high rates the timer's period does not limit the pace.
//
// Safety of what is opened: the path is examined before it is opened, and only a regular file is opened,
// non-blocking and without becoming a controlling terminal, then examined again through the descriptor; a
// FIFO or device node is refused rather than read, and so is a file of /proc, /sys and their like, whose
// reported length is not what reading it gives. A file that vanishes, is replaced, shrinks, grows or is
// rewritten in place (its modification or change time moves) while it is being sent, a read error, and a
// port that fails all end the transfer as failed. Nothing is put on a
// port that has failed, and a transfer is reported done only once its last byte has left our queues.
//
// Stopping: CancelProtocol() ends the running transfer and drops the queued ones at once. The file's bytes
// still in our queue and in the driver's output queue are discarded, so that whatever is put next (the stop
// command) reaches the line before any further byte of a file, and no byte of a file follows it.

#include "link/apdcomport.h"
#include "link/sendfile.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QString>

#include <deque>

class QTimer;

class TApdProtocol : public QObject
{
    Q_OBJECT

public:
    enum class ProtocolType { Ascii };
    enum class BlockCheckMethod { None };

    // The console's line rate carries 960 bytes/s; 64 bytes of it is about 67 ms.
    static constexpr qint64 kLeadBytesAt9600 = 64;
    // At very high rates the lead stops growing, so that memory never depends on the rate either.
    static constexpr qint64 kMaxLeadBytes = 64 * 1024;
    // Room always left in the port's output buffer for command characters, whatever the rate.
    static constexpr qint64 kCommandRoom = TApdComPort::kCommandRoom;
    static constexpr int kTickMs = 5;
    static constexpr qint64 kMaxReadBytes = 16 * 1024;
    // One unit of StatusInterval.
    static constexpr int kStatusUnitMs = 50;

    explicit TApdProtocol(TApdComPort* port, QObject* parent = nullptr);
    ~TApdProtocol() override;

    TApdProtocol(const TApdProtocol&) = delete;
    TApdProtocol& operator=(const TApdProtocol&) = delete;

    void SetFileMask(const QString& mask) { m_fileMask = mask; }
    void SetFileName(const QString& name) { m_fileName = name; }
    QString fileMask() const { return m_fileMask; }
    QString fileName() const { return m_fileName; }
    // Queues the file named by FileName now; returns at once.
    void StartTransmit();
    // Ends the running transfer and every queued one, and discards their bytes not yet on the line.
    void CancelProtocol();

    // A transfer is running or queued.
    bool busy() const { return m_state != State::Idle || !m_queue.empty(); }
    // Bytes allowed ahead of the line at the port's present rate.
    qint64 lead() const;

    // Settings as the window sets them. The ASCII sender has no blocks or acknowledgements, so the block
    // check, handshake wait, overhead and Kermit pad character are kept but govern nothing here.
    ProtocolType protocolType = ProtocolType::Ascii;
    BlockCheckMethod blockCheckMethod = BlockCheckMethod::None;
    int handshakeWait = 1092;
    int overhead = 20;
    bool asciiSuppressCtrlZ = true;
    // Progress is reported at most once per StatusInterval x kStatusUnitMs, and at the start and end.
    int statusInterval = 10;
    char kermitPadCharacter = ' ';

signals:
    void transferStarted(const QString& path, qint64 total);
    // `sent` counts the file's bytes that have left our queues towards the line.
    void transferProgress(const QString& path, qint64 sent, qint64 total);
    void transferFinished(const QString& path, qint64 total);
    // `reason` says what went wrong and what to do, in whole sentences on lines of their own, the system's
    // own words (if any) last.
    void transferFailed(const QString& path, const QString& reason);
    // The transfer of `path` was stopped by CancelProtocol(), running or still queued.
    void transferCancelled(const QString& path);

private:
    enum class State { Idle, Sending, Draining };

    void tick();
    void ensureTicking();
    void advanceLineMeter();
    bool openNext();
    void sendSome();
    bool readAndPut(qint64 budget);
    bool fileStillThere();
    bool fileUnchanged();
    void finishCurrent();
    void failCurrent(const QString& reason);
    // Fails a transfer whose file was opened, for `trouble`: what happened, then what to do. Once any of its
    // bytes went out the robot holds part of a program (or a mixed one), so the operator is told to put it
    // into load mode again (F5) and send the file from its start. The system's own words, where there are
    // any, come last.
    void failMidTransfer(const FileTrouble& trouble);
    void failEverything(const QString& reason);
    void closeFile();
    void reportProgress(bool force);
    double bytesPerSecond() const;

    TApdComPort* m_port = nullptr;
    QTimer* m_timer = nullptr;
    QString m_fileMask = QStringLiteral("*.hex");
    QString m_fileName;

    std::deque<QString> m_queue;
    State m_state = State::Idle;
    QString m_path;
    SendFile m_file;
    qint64 m_total = 0;
    qint64 m_read = 0;
    qint64 m_reportedSent = -1;
    bool m_sentAny = false; // a byte of the current file was put on the port
    QElapsedTimer m_sinceReport;
    QByteArray m_buffer;
    bool m_putting = false;

    // Our bytes still ahead of the line, as metered at the line's rate since they were put.
    double m_ahead = 0;
    QElapsedTimer m_meterClock;
};
