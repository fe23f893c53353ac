#pragma once
// ClickBeforeRepaint: lets a command button's click go out before the window repaints anything for it.
//
// On the release that clicks it, a Qt button repaints itself at once, before it emits clicked; on X with
// shared-memory images that repaint first waits for the X server to finish with the pixels it showed the
// press in (a round trip), and in any case the click's byte would wait for a repaint that the operator
// cannot see yet. After the click, the window's paints for it (the button released, the status bar's
// text, the Tx light) would keep this thread busy for half a millisecond more, on the processor that the
// byte's delivery wakes up on (a pseudo-terminal's reader, a driver's worker), and so push that delivery
// to the other processor, which may be asleep.
//
// So, from the release of a button it watches, it holds the window's paints (the button's own among them)
// for kQuietMs: the click runs first, the thread sleeps, the byte is delivered, and the window paints
// everything that changed in one go right after. It changes nothing else of the button or the window.

#include <QAbstractButton>
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <QWidget>

class ClickBeforeRepaint : public QObject
{
    Q_OBJECT

public:
    // Far below a frame (16.7 ms), and well above the time a sleeping processor takes to wake.
    static constexpr int kQuietMs = 2;

    // Holds the paints of `window` (a top-level widget); watch() adds the buttons that bring a quiet.
    explicit ClickBeforeRepaint(QWidget* window, QObject* parent = nullptr);

    void watch(QAbstractButton* button);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void endQuiet();

    QPointer<QWidget> m_window;
    bool m_windowHeld = false; // the window asked to paint during the quiet
    QTimer m_quiet;
};
