#pragma once
// ClickBeforeRepaint: lets a command button's click go out before the button repaints itself released.
//
// On the release that clicks it, a Qt button repaints itself at once, before it emits clicked; on X with
// shared-memory images that repaint first waits for the X server to finish with the pixels it showed the
// press in (a round trip), and in any case the click's byte would wait for a repaint that the operator
// cannot see yet. Over the buttons it watches, it holds their repaints from the release until the loop's
// next turn: the click runs first and the button repaints released right after it. It changes nothing
// else of the button.

#include <QAbstractButton>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QTimer>

class ClickBeforeRepaint : public QObject
{
    Q_OBJECT

public:
    explicit ClickBeforeRepaint(QObject* parent = nullptr);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QList<QPointer<QAbstractButton>> m_held; // buttons whose repaints wait for the loop's next turn
    QTimer m_nextTurn;
};
