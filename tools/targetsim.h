#pragma once
// TargetSimulator: the robot on the far end of a pseudo-terminal, for running the console without one.
//
// It creates its own pseudo-terminal pair and holds both ends for its whole life: the master, which it
// serves, and one descriptor of the slave, so that the line does not hang up while no console has it
// open. Another program opens slavePath() as its serial port; the slave is raw (no echo, no line
// editing), like a real line.
//
// The line is paced like 9600 bit/s 8N1: output leaves a queue no faster than the configured rate, and
// received bytes are taken in eagerly but handed to the monitor no faster than that rate either. All of
// it is event-driven (socket notifiers and a 10 ms pacing timer that runs only while there is work); it
// never blocks and never polls an idle line. What the target says is decided by RobotMonitor.
//
// Nothing is lost: output the console does not read waits in the queue (the pty's own buffer full means
// writing pauses until it drains), and input that arrives faster than the line rate waits in a bounded
// inbox, beyond which the simulator stops reading so that the sender is held back by the pty.

#include "tools/linepacer.h"
#include "tools/robotmonitor.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QString>

#include <stdexcept>

class QSocketNotifier;
class QTimer;

// The pseudo-terminal could not be created; the message says so and what to check, the system's words last.
class TargetSimError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

class TargetSimulator : public QObject
{
    Q_OBJECT

public:
    // 9600 bit/s with 8 data bits, a start and a stop bit.
    static constexpr int kLineRate = 960;
    static constexpr int kTickMs = 10;
    // Input taken ahead of the line rate; beyond it the sender waits in the pty.
    static constexpr qsizetype kInboxLimit = 4096;
    // Quiet on the line that ends the swallowing of a failed transfer.
    static constexpr int kQuietMs = 1000;
    static constexpr int kHeartbeatMs = 1000;
    static constexpr int kRetryMs = 250;

    using Motion = RobotMonitor::Motion;
    using LoadResult = RobotMonitor::LoadResult;

    // Creates the pty pair at once; throws TargetSimError when it cannot.
    explicit TargetSimulator(int bytesPerSecond = kLineRate, QObject* parent = nullptr);
    ~TargetSimulator() override;

    TargetSimulator(const TargetSimulator&) = delete;
    TargetSimulator& operator=(const TargetSimulator&) = delete;

    // The device another program opens as its serial port, e.g. "/dev/pts/3".
    QString slavePath() const { return m_slavePath; }

    void setBytesPerSecond(int bytesPerSecond);
    int bytesPerSecond() const { return static_cast<int>(m_outPacer.rate()); }

    // Sends the power-on banner and the first prompt.
    void powerOn();
    // Queues arbitrary bytes for the line, paced like everything the monitor says.
    void sendRaw(const QByteArray& bytes);

    // Every byte read from the console, in order, from the start.
    QByteArray received() const { return m_received; }
    // Bytes read but not yet taken by the monitor, and bytes queued but not yet on the line.
    qsizetype pendingInput() const { return m_inbox.size(); }
    qsizetype pendingOutput() const { return m_outbox.size(); }
    qint64 bytesSent() const { return m_bytesSent; }

    const RobotMonitor& monitor() const { return m_monitor; }
    RobotMonitor& monitor() { return m_monitor; }
    Motion motion() const { return m_monitor.motion(); }
    bool isRunning() const { return m_monitor.isRunning(); }
    bool inLoadMode() const { return m_monitor.mode() == RobotMonitor::Mode::Load; }
    int loadedByteCount() const { return m_monitor.loadedByteCount(); }
    LoadResult lastLoad() const { return m_monitor.lastLoad(); }
    QByteArray memory() const { return m_monitor.memory(); }

signals:
    // Bytes just read from the console (before pacing).
    void dataReceived(const QByteArray& bytes);
    // Bytes just written to the line.
    void dataSent(qint64 count);
    // The output queue became empty.
    void outputDrained();
    void motionChanged(TargetSimulator::Motion motion);
    void runningChanged(bool running);
    void loadFinished(const TargetSimulator::LoadResult& result);
    // Reading or writing the pty failed in a way other than "not now"; the simulator retries shortly.
    void lineFailed(const QString& reason);

private:
    void wire();
    void onReadable();
    void onWritable();
    void onTick();
    void kick();
    void takeInput(qint64 count);
    void sendDue(qint64 count);
    void enqueue(const QByteArray& bytes);
    void noteMonitorChanges();
    void updateTimers();
    void failLine(const QString& reason, bool reading);

    RobotMonitor m_monitor;
    LinePacer m_inPacer;
    LinePacer m_outPacer;

    int m_master = -1;
    int m_slave = -1;
    QString m_slavePath;
    QSocketNotifier* m_readNotifier = nullptr;
    QSocketNotifier* m_writeNotifier = nullptr;
    QTimer* m_tick = nullptr;
    QTimer* m_heartbeat = nullptr;
    QTimer* m_quiet = nullptr;
    QTimer* m_retry = nullptr;
    QElapsedTimer m_clock;
    qint64 m_lastTickNs = 0;
    bool m_inTick = false;
    bool m_writeBlocked = false;

    QByteArray m_received;
    QByteArray m_inbox;
    QByteArray m_outbox;
    qint64 m_bytesSent = 0;

    Motion m_lastMotion = Motion::Stop;
    bool m_lastRunning = false;
    int m_loadsSeen = 0;
};
