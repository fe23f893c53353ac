#include "app/clickbeforerepaint.h"

#include <QCoreApplication>
#include <QEvent>

ClickBeforeRepaint::ClickBeforeRepaint(QWidget* window, QObject* parent) : QObject(parent), m_window(window)
{
    m_quiet.setSingleShot(true);
    m_quiet.setInterval(kQuietMs);
    connect(&m_quiet, &QTimer::timeout, this, &ClickBeforeRepaint::endQuiet);
    window->installEventFilter(this);
}

void ClickBeforeRepaint::watch(QAbstractButton* button)
{
    button->installEventFilter(this);
}

void ClickBeforeRepaint::endQuiet()
{
    // Updates come back with a repaint of the buttons, and the window paints what changed meanwhile.
    for (const QPointer<QAbstractButton>& button : std::as_const(m_held)) {
        if (button != nullptr)
            button->setUpdatesEnabled(true);
    }
    m_held.clear();
    if (m_windowHeld && m_window != nullptr)
        QCoreApplication::postEvent(m_window, new QEvent(QEvent::UpdateRequest), Qt::LowEventPriority);
    m_windowHeld = false;
}

bool ClickBeforeRepaint::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::UpdateRequest && watched == m_window && m_quiet.isActive()) {
        // Qt asks once for everything that is dirty and asks again only after this request is handled;
        // the one posted at the quiet's end handles it.
        m_windowHeld = true;
        return true;
    }
    if (event->type() == QEvent::MouseButtonRelease) {
        auto* button = qobject_cast<QAbstractButton*>(watched);
        if (button != nullptr && button->isDown() && button->updatesEnabled()) {
            button->setUpdatesEnabled(false);
            m_held.append(button);
            m_quiet.start();
        }
    }
    return QObject::eventFilter(watched, event);
}
