#pragma once
// TStatusBar: the window's four-panel status bar.
//
// Holds one text per panel; every write replaces the panel's whole text. Panels keep their described
// widths, except the last, which runs to the bar's right edge so that the longest hint stays readable.
// The bar takes no input (it is disabled) yet draws its texts in the normal text colour.

#include <QString>
#include <QWidget>

#include <array>

class TStatusBar : public QWidget
{
    Q_OBJECT

public:
    static constexpr int kPanelCount = 4;
    static constexpr std::array<int, kPanelCount> kPanelWidths{195, 55, 150, 50};

    explicit TStatusBar(QWidget* parent = nullptr);

    void setPanelText(int index, const QString& text);
    QString panelText(int index) const;
    // The panel's rectangle in the bar's coordinates, as drawn.
    QRect panelRect(int index) const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    std::array<QString, kPanelCount> m_texts;
};
