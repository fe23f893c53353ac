#include "app/statusbar.h"

#include <QPainter>
#include <QStyleOptionFrame>

TStatusBar::TStatusBar(QWidget* parent) : QWidget(parent)
{
    setAttribute(Qt::WA_OpaquePaintEvent, false);
}

void TStatusBar::setPanelText(int index, const QString& text)
{
    if (index < 0 || index >= kPanelCount || m_texts.at(static_cast<size_t>(index)) == text)
        return;
    m_texts.at(static_cast<size_t>(index)) = text;
    update(panelRect(index));
}

QString TStatusBar::panelText(int index) const
{
    if (index < 0 || index >= kPanelCount)
        return {};
    return m_texts.at(static_cast<size_t>(index));
}

QRect TStatusBar::panelRect(int index) const
{
    int left = 0;
    for (int i = 0; i < index; ++i)
        left += kPanelWidths.at(static_cast<size_t>(i));
    const int panelWidth = index == kPanelCount - 1 ? std::max(width() - left, 0)
                                                    : kPanelWidths.at(static_cast<size_t>(index));
    return {left, 0, panelWidth, height()};
}

void TStatusBar::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    const QColor text = palette().color(QPalette::Active, QPalette::WindowText);
    for (int i = 0; i < kPanelCount; ++i) {
        const QRect outer = panelRect(i).adjusted(0, 2, -2, 0);
        QStyleOptionFrame frame;
        frame.initFrom(this);
        frame.rect = outer;
        frame.lineWidth = 1;
        frame.state = QStyle::State_Sunken;
        style()->drawPrimitive(QStyle::PE_Frame, &frame, &painter, this);
        painter.setPen(text);
        const QRect inner = outer.adjusted(2, 1, -1, -1);
        painter.drawText(inner, Qt::AlignVCenter | Qt::AlignLeft | Qt::TextSingleLine,
                         fontMetrics().elidedText(m_texts.at(static_cast<size_t>(i)), Qt::ElideRight, inner.width()));
    }
}
