#include "app/endsignals.h"

#include <QSocketNotifier>

#include <array>
#include <cerrno>
#include <csignal>

#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr std::array kEndSignals{SIGTERM, SIGINT, SIGHUP};

// The pipe's ends while an EndSignals lives; the handler only ever writes to the second.
int g_pipe[2] = {-1, -1};

extern "C" void writeSignalToPipe(int signal)
{
    const int saved = errno;
    const unsigned char number = static_cast<unsigned char>(signal);
    // A full pipe already holds a signal waiting to be read: one is enough.
    [[maybe_unused]] const ssize_t written = ::write(g_pipe[1], &number, 1);
    errno = saved;
}

void setAction(int signal, void (*handler)(int))
{
    struct sigaction action = {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(signal, &action, nullptr);
}

} // namespace

EndSignals::EndSignals(QObject* parent) : QObject(parent)
{
    if (::pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        g_pipe[0] = g_pipe[1] = -1;
        return;
    }
    m_notifier = new QSocketNotifier(g_pipe[0], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &EndSignals::onSignal);
    for (const int signal : kEndSignals)
        setAction(signal, writeSignalToPipe);
}

EndSignals::~EndSignals()
{
    for (const int signal : kEndSignals)
        setAction(signal, SIG_DFL);
    for (int& end : g_pipe) {
        if (end >= 0)
            ::close(end);
        end = -1;
    }
}

void EndSignals::onSignal()
{
    unsigned char number = 0;
    while (::read(g_pipe[0], &number, 1) == 1)
        m_received = number;
    if (m_received == 0)
        return;
    m_notifier->setEnabled(false);
    for (const int signal : kEndSignals)
        setAction(signal, SIG_DFL);
    closeEverything();
}
