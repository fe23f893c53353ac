#pragma once
// PtyPair: a pseudo-terminal pair standing in for a serial line in tests.
//
// The console opens slavePath() as its port; the test plays the far end through the master. The slave's
// line discipline is made raw at once, so nothing the test writes is echoed or translated, and a slave
// descriptor is held open so that the line never hangs up between users. Closing the master makes the
// line vanish, as a pulled USB adapter does.

#include <QByteArray>
#include <QString>
#include <QtGlobal>

class PtyPair
{
public:
    PtyPair();
    ~PtyPair();

    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    bool isValid() const { return m_master >= 0; }
    QString slavePath() const { return m_slavePath; }
    int masterFd() const { return m_master; }

    // Writes to the far end of the line (what the target sends).
    void send(const QByteArray& bytes);
    // Everything the console has sent so far that the test has not read yet; never blocks.
    QByteArray readAvailable();
    // Runs the event loop until at least `count` bytes arrived or `timeoutMs` passed; returns what came.
    QByteArray waitForBytes(qsizetype count, int timeoutMs = 3000);
    // Waits for `count` bytes, then a little longer, so that a byte beyond those expected is caught too.
    QByteArray waitForExactly(qsizetype count, int timeoutMs = 3000);
    // Runs the event loop for `ms` and returns what arrived meanwhile.
    QByteArray collectFor(int ms);
    // Waits up to `ms` for a byte from the console, without running the event loop; nothing is read.
    bool waitReadable(int ms);
    // The far end goes away.
    void closeMaster();

private:
    int m_master = -1;
    int m_slaveHold = -1;
    QString m_slavePath;
#ifdef Q_OS_WIN
    // Under Wine the line is COM1, a pseudo-terminal whose master a relay on the Linux side holds
    // (tests/windows/farend.py); this is the connection to it (tests/ptypair_win.cpp).
    qintptr m_farEnd = -1;
    QByteArray exchange(char request, const QByteArray& data = {});
#endif
};
