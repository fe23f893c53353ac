#include "tests/ptypair.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QTest>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

PtyPair::PtyPair()
{
    m_master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (m_master < 0)
        return;
    // Not inherited: a process that a test starts must not have the line open unless it opens it itself.
    ::fcntl(m_master, F_SETFD, FD_CLOEXEC);
    if (::grantpt(m_master) != 0 || ::unlockpt(m_master) != 0) {
        closeMaster();
        return;
    }
    m_slavePath = QString::fromLocal8Bit(::ptsname(m_master));
    m_slaveHold = ::open(m_slavePath.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    termios raw{};
    if (m_slaveHold >= 0 && ::tcgetattr(m_slaveHold, &raw) == 0) {
        ::cfmakeraw(&raw);
        ::tcsetattr(m_slaveHold, TCSANOW, &raw);
    }
}

PtyPair::~PtyPair()
{
    closeMaster();
    if (m_slaveHold >= 0)
        ::close(m_slaveHold);
}

void PtyPair::send(const QByteArray& bytes)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(m_master, bytes.constData() + done, static_cast<size_t>(bytes.size() - done));
        if (n > 0) {
            done += n;
        } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
            return;
        } else {
            QCoreApplication::processEvents();
        }
    }
}

QByteArray PtyPair::readAvailable()
{
    QByteArray out;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(m_master, buffer, sizeof buffer);
        if (n <= 0)
            break;
        out.append(buffer, n);
    }
    return out;
}

QByteArray PtyPair::waitForBytes(qsizetype count, int timeoutMs)
{
    QByteArray out;
    const QDeadlineTimer deadline(timeoutMs);
    while (out.size() < count && !deadline.hasExpired()) {
        QTest::qWait(5);
        out += readAvailable();
    }
    return out;
}

QByteArray PtyPair::waitForExactly(qsizetype count, int timeoutMs)
{
    QByteArray out = waitForBytes(count, timeoutMs);
    out += collectFor(50);
    return out;
}

QByteArray PtyPair::collectFor(int ms)
{
    QByteArray out;
    const QDeadlineTimer deadline(ms);
    while (!deadline.hasExpired()) {
        QTest::qWait(5);
        out += readAvailable();
    }
    return out;
}

bool PtyPair::waitReadable(int ms)
{
    pollfd ready{m_master, POLLIN, 0};
    return ::poll(&ready, 1, ms) == 1;
}

void PtyPair::closeMaster()
{
    if (m_master >= 0)
        ::close(m_master);
    m_master = -1;
}
