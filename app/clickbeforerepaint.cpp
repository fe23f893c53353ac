#include "app/clickbeforerepaint.h"

#include <QAbstractButton>
#include <QEvent>
#include <QMetaObject>
#include <QPointer>

bool ClickBeforeRepaint::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::MouseButtonRelease) {
        auto* button = qobject_cast<QAbstractButton*>(watched);
        if (button != nullptr && button->isDown() && button->updatesEnabled()) {
            button->setUpdatesEnabled(false);
            // Updates come back (with a repaint of the button) once the release and its click are done.
            QMetaObject::invokeMethod(
                button, [button] { button->setUpdatesEnabled(true); }, Qt::QueuedConnection);
        }
    }
    return QObject::eventFilter(watched, event);
}
