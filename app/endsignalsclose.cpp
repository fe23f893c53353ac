#include "app/endsignals.h"

#include <QApplication>
#include <QWidget>

namespace {

// Bounds the closing of pop-ups, in case one refuses to go.
constexpr int kMaxPopups = 64;

} // namespace

void EndSignals::closeEverything()
{
    // Whatever is in front goes first: the pop-ups, then a modal dialog (its loop ends as if cancelled).
    for (int i = 0; i < kMaxPopups; ++i) {
        QWidget* popup = QApplication::activePopupWidget();
        if (popup == nullptr)
            break;
        if (!popup->close())
            popup->hide();
    }
    QApplication::closeAllWindows();
    QCoreApplication::exit(0);
}
