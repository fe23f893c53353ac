#pragma once
// CaptureWriter: text written to a file in the background, for the pane's capture and for saving what the
// pane holds.
//
// open() opens the file at once, in the caller's thread, and says why it could not: it is created where it
// is missing, and an existing one is appended to or emptied as the caller says. write() only queues the
// bytes: a worker thread writes what is queued as soon as it is there, so the file is never more than a
// moment behind (and at most kCheckIntervalMs), and the caller never waits for the disk. close() hands the
// rest to the worker, which writes it, flushes the file to the disk and closes it; finished() follows.
//
// Nothing is lost without a word. A write that fails (a full disk, an I/O error) and a file that is no
// longer where it was opened (its folder removed or renamed, checked every kCheckIntervalMs) end the
// session: failed() says why, in a sentence for the operator, what is still queued is dropped, and later
// writes are ignored until the next open(). So is a disk that does not keep up: when more than kMaxPending
// bytes wait, the session fails rather than let the memory grow with what comes in.
//
// A new open() may come while the worker of the last session still finishes; that worker goes on alone.
// The destructor closes the file and waits for every worker, so nothing queued is left unwritten at exit.

#include <QByteArray>
#include <QByteArrayView>
#include <QObject>
#include <QString>

#include <memory>
#include <thread>
#include <vector>

class CaptureWriter : public QObject
{
    Q_OBJECT

public:
    static constexpr qsizetype kMaxPending = qsizetype{8} * 1024 * 1024;
    static constexpr int kCheckIntervalMs = 1000;

    explicit CaptureWriter(QObject* parent = nullptr);
    ~CaptureWriter() override;

    CaptureWriter(const CaptureWriter&) = delete;
    CaptureWriter& operator=(const CaptureWriter&) = delete;

    // Opens `path` (in the form of decodeFileName(), link/filename.h) for a new session, closing the last
    // one; false with the reason in `error` when it cannot be opened.
    bool open(const QString& path, bool append, QString* error);
    // True between a successful open() and close() or a failure.
    bool isOpen() const;
    QString path() const { return m_path; }

    void write(QByteArrayView bytes);
    void close();

    // Bytes queued and not yet handed to the system (tests and benchmarks).
    qsizetype pending() const;

signals:
    // `path` is the session's file: a session that failed while finishing after a new open() names its own.
    void failed(const QString& path, const QString& reason);
    // After close(), once everything queued is in the file and the file is closed.
    void finished();

private:
    struct Session;
    static void run(const std::shared_ptr<Session>& session, CaptureWriter* owner);

    std::shared_ptr<Session> m_session;
    std::thread m_worker;
    std::vector<std::thread> m_retired;
    QString m_path;
};
