#pragma once
// FirstClick: the operator's first click on the window acts, whatever else is open.
//
// Two things would otherwise spend it:
//  - An open pop-up menu (the window's own or its submenu, or one inside a dialog). On X11, Qt spends a
//    press outside a pop-up on closing it and does not hand it on. Here a left press on the main window
//    outside every pop-up closes them all and clicks the button under the pointer at once, as the press
//    itself; a press elsewhere on the window only closes them, as before.
//  - A modal window in front of the main window (the open-file dialog, a message box of its own). Qt drops
//    every input event to a window that a modal window blocks before any widget sees it. One control, the
//    stop button, must stay live through that: its presses are taken from the window system's own event
//    stream and click it at once. Nothing else of the blocked window becomes reachable.
//
// Neither path sends anything by itself: the button does what a click on it does. A press on a control
// that is disabled or hidden, or outside the main window, is left to Qt.

#include <QAbstractNativeEventFilter>
#include <QObject>
#include <QPointer>

#include <cstdint>

class QAbstractButton;
class QMouseEvent;
class QWidget;

class FirstClick : public QObject, public QAbstractNativeEventFilter
{
    Q_OBJECT

public:
    // Watches for the life of `window`; `stop` is the control kept live through a modal window.
    FirstClick(QWidget* window, QAbstractButton* stop);
    ~FirstClick() override;

    FirstClick(const FirstClick&) = delete;
    FirstClick& operator=(const FirstClick&) = delete;

    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    bool pressOutsidePopup(QWidget* popup, const QMouseEvent* press);
    // A press at `position` (in the window's own logical pixels) while a modal window blocks it.
    bool blockedPress(QPointF position);
    bool isBlockedByModal() const;
    bool stopTakes(QPoint inWindow) const;

    QPointer<QWidget> m_window;
    QPointer<QAbstractButton> m_stop;
    // The X input extension's opcode, where the pointer's events come through it.
    std::uint8_t m_xinputOpcode = 0;
};
