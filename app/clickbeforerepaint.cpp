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
    // The window paints what changed meanwhile, the button released among it.
    if (m_windowHeld && m_window != nullptr)
        QCoreApplication::postEvent(m_window, new QEvent(QEvent::UpdateRequest), Qt::LowEventPriority);
    m_windowHeld = false;
}

bool ClickBeforeRepaint::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::UpdateRequest && watched == m_window && m_quiet.isActive()) {
        // Qt asks once for everything that is dirty (a button's immediate repaint on its release too) and
        // asks again only after this request is handled; the one posted at the quiet's end handles it.
        m_windowHeld = true;
        return true;
    }
    if (event->type() == QEvent::MouseButtonRelease) {
        // Seen before the button handles its release: the quiet begins before the button repaints.
        auto* button = qobject_cast<QAbstractButton*>(watched);
        if (button != nullptr && button->isDown())
            m_quiet.start();
    }
    return QObject::eventFilter(watched, event);
}
