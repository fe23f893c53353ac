#include "app/endsignals.h"

#include <QApplication>
#include <QSessionManager>

#include <csignal>

// A Windows program with a window has no console and gets no SIGTERM, SIGINT or SIGHUP; what asks it to end
// is the session's end (log-off, shut-down, restart). Windows asks every program first (WM_QUERYENDSESSION,
// which Qt hands on as commitDataRequest) and may end the process as soon as it has been told that the
// session ends (WM_ENDSESSION), without a return to the event loop. So the windows are closed at the
// question, which ends a download at once; the loop's end is asked for too, and where Windows ends the
// process first, COM1's open ends with it. A plain request to close (WM_CLOSE, as taskkill without /F
// sends) is a close of the window, which Qt already makes of it.

EndSignals::EndSignals(QObject* parent) : QObject(parent)
{
    auto* application = qobject_cast<QGuiApplication*>(QCoreApplication::instance());
    if (application == nullptr)
        return;
    connect(application, &QGuiApplication::commitDataRequest, this,
            [this](QSessionManager& /*manager*/) { onSignal(); });
}

EndSignals::~EndSignals() = default;

void EndSignals::onSignal()
{
    // Once only: a second question (Windows may ask again) finds the windows closing already.
    if (m_received != 0)
        return;
    // The session's end stands for the signals that end the console elsewhere.
    m_received = SIGTERM;
    closeEverything();
}
