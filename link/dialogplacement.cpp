#include "link/dialogplacement.h"

#include <QScreen>
#include <QWidget>

#include <algorithm>

void placeBeside(QWidget& dialog, const QWidget* keep)
{
    if (keep == nullptr || !keep->isVisible() || keep->screen() == nullptr)
        return;
    constexpr int kGap = 8;
    const QRect area = keep->screen()->availableGeometry();
    const QRect kept(keep->mapToGlobal(QPoint(0, 0)), keep->size());
    const QSize wanted = dialog.sizeHint();
    const int narrowest = std::max(dialog.minimumSizeHint().width(), dialog.minimumWidth());
    const int height = std::min(wanted.height(), area.height());
    const int top
        = std::clamp(keep->window()->geometry().center().y() - height / 2, area.top(), area.bottom() + 1 - height);
    const int roomRight = area.right() + 1 - (kept.right() + 1 + kGap);
    const int roomLeft = kept.left() - kGap - area.left();
    if (roomRight >= narrowest) {
        const int width = std::min(wanted.width(), roomRight);
        dialog.setGeometry(kept.right() + 1 + kGap, top, width, height);
    } else if (roomLeft >= narrowest) {
        const int width = std::min(wanted.width(), roomLeft);
        dialog.setGeometry(kept.left() - kGap - width, top, width, height);
    }
}
