#include "app/clickbeforerepaint.h"

#include <QEvent>

ClickBeforeRepaint::ClickBeforeRepaint(QObject* parent) : QObject(parent)
{
    m_nextTurn.setSingleShot(true);
    m_nextTurn.setInterval(0);
    connect(&m_nextTurn, &QTimer::timeout, this, [this] {
        // Updates come back with a repaint of the button, once the release and its click are done.
        for (const QPointer<QAbstractButton>& button : std::as_const(m_held)) {
            if (button != nullptr)
                button->setUpdatesEnabled(true);
        }
        m_held.clear();
    });
}

bool ClickBeforeRepaint::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::MouseButtonRelease) {
        auto* button = qobject_cast<QAbstractButton*>(watched);
        if (button != nullptr && button->isDown() && button->updatesEnabled()) {
            button->setUpdatesEnabled(false);
            m_held.append(button);
            m_nextTurn.start();
        }
    }
    return QObject::eventFilter(watched, event);
}
