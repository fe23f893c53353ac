#pragma once
// ClickBeforeRepaint: lets a command button's click go out before the button repaints itself released.
//
// On the release that clicks it, a Qt button repaints itself at once, before it emits clicked; on X with
// shared-memory images that repaint first waits for the X server to finish with the pixels it showed the
// press in (a round trip), so the click's byte would wait for a repaint the operator cannot see yet. Over
// the buttons it watches, it holds their repaints from the release until the loop's next turn: the click
// runs first and the button repaints released right after it. It changes nothing else of the button.

#include <QObject>

class ClickBeforeRepaint : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
};
