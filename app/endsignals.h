#pragma once
// EndSignals: SIGTERM, SIGINT and SIGHUP end the console as its exit button does.
//
// A desktop logging out, Ctrl+C in the terminal that started it and a closed terminal all ask the program to
// end. Without this they would kill it where it stands: a download's remaining bytes cut mid-record by the
// kernel, the port's lock file left behind. While an EndSignals lives, each of them instead closes every
// window from the event loop (a dialog or pop-up in front first, then the main window, which ends a running
// download as closing it always does) and ends the loop with status 0, so that the window and its port are
// destroyed on the normal path and COM1 is released. A second signal of these while that runs takes the
// default action: an operator who presses Ctrl+C twice means it.
//
// The handler itself only writes the signal's number to a pipe, which is all a signal handler may safely do;
// the event loop reads it. Needs an existing QApplication. Only one may live at a time.
//
// On Windows (app/endsignals_win.cpp) a program with a window gets none of these signals; the session's end
// (log-off, shut-down) is what asks it to end, and closes the windows in the same way.

#include <QObject>

class QSocketNotifier;

class EndSignals : public QObject
{
    Q_OBJECT

public:
    explicit EndSignals(QObject* parent = nullptr);
    ~EndSignals() override;

    EndSignals(const EndSignals&) = delete;
    EndSignals& operator=(const EndSignals&) = delete;

    // The signal that arrived, or 0 while none has; on Windows SIGTERM once the session's end was announced.
    int received() const { return m_received; }

private:
    void onSignal();
    // Closes every window as the exit button does, what is in front first, and ends the event loop with 0.
    static void closeEverything();

    QSocketNotifier* m_notifier = nullptr;
    int m_received = 0;
};
