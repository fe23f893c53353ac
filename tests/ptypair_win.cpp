// PtyPair under Wine: the console's side of the line is COM1, which Wine maps to /dev/ttyS0, over which the
// test run binds a pseudo-terminal; its master is held on the Linux side by tests/windows/farend.py, which
// does for this process what PtyPair does with the master on Linux: read what is there, write, wait for
// input. ROBOT_CONSOLE_FAR_END names the relay's TCP port on 127.0.0.1. Each exchange is one request byte
// and its data; every answer is a 4-byte little-endian length and that many bytes.

#include "tests/ptypair.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QTest>

#include <winsock2.h>

namespace {

bool sendAll(SOCKET socket, const char* data, int size)
{
    while (size > 0) {
        const int n = ::send(socket, data, size, 0);
        if (n <= 0)
            return false;
        data += n;
        size -= n;
    }
    return true;
}

bool receiveAll(SOCKET socket, char* data, int size)
{
    while (size > 0) {
        const int n = ::recv(socket, data, size, 0);
        if (n <= 0)
            return false;
        data += n;
        size -= n;
    }
    return true;
}

QByteArray littleEndian(quint32 value)
{
    QByteArray bytes(4, '\0');
    for (int i = 0; i < 4; ++i)
        bytes[i] = static_cast<char>((value >> (8 * i)) & 0xff);
    return bytes;
}

} // namespace

PtyPair::PtyPair()
{
    bool ok = false;
    const int port = qEnvironmentVariableIntValue("ROBOT_CONSOLE_FAR_END", &ok);
    WSADATA wsa{};
    if (!ok || WSAStartup(MAKEWORD(2, 2), &wsa) != 0)
        return;
    const SOCKET socket = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (socket == INVALID_SOCKET)
        return;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<u_short>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::closesocket(socket);
        return;
    }
    m_farEnd = static_cast<qintptr>(socket);
    // A fresh line: what an earlier test left unread is gone.
    exchange('R');
    m_master = 0;
    m_slavePath = QStringLiteral("COM1");
}

PtyPair::~PtyPair()
{
    closeMaster();
}

QByteArray PtyPair::exchange(char request, const QByteArray& data)
{
    const auto socket = static_cast<SOCKET>(m_farEnd);
    if (m_farEnd == -1)
        return {};
    const QByteArray message = QByteArray(1, request) + littleEndian(static_cast<quint32>(data.size())) + data;
    char header[4];
    if (!sendAll(socket, message.constData(), static_cast<int>(message.size()))
        || !receiveAll(socket, header, sizeof header))
        return {};
    quint32 size = 0;
    for (int i = 3; i >= 0; --i)
        size = (size << 8) | static_cast<unsigned char>(header[i]);
    QByteArray answer(static_cast<qsizetype>(size), '\0');
    if (size > 0 && !receiveAll(socket, answer.data(), static_cast<int>(size)))
        return {};
    return answer;
}

void PtyPair::send(const QByteArray& bytes)
{
    exchange('W', bytes);
}

QByteArray PtyPair::readAvailable()
{
    return exchange('R');
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
    return exchange('P', littleEndian(static_cast<quint32>(ms))) == "1";
}

void PtyPair::closeMaster()
{
    if (m_farEnd != -1)
        ::closesocket(static_cast<SOCKET>(m_farEnd));
    m_farEnd = -1;
    m_master = -1;
}
