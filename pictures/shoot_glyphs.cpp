// Pictures of the pane's lettering for the documentation, every one scaled 4x nearest-neighbour so that each
// screen pixel is a 4 x 4 block:   scripts/pictures   (or: shoot_glyphs DIR, on any Qt platform)
//
//   DIR/ascii-face.png          the printable ASCII set from AsciiFace, 16 cells to a row
//   DIR/ascii-face-before.png   the same set as the pane's painter draws it with its font
//   DIR/help-screen-before.png  the simulated robot's help screen in the pane as it draws it
//   DIR/help-screen-after.png   the same pane with every ASCII cell drawn from AsciiFace and the rest
//                               (Hangul) as the pane draws it: how the face sits beside the Hangul

#include "link/apdterminal.h"
#include "link/asciiface.h"
#include "tools/robotmonitor.h"

#include <QApplication>
#include <QDir>
#include <QImage>
#include <QPainter>

#include <cstdio>

namespace {

constexpr int kScale = 4;
constexpr int kPerRow = 16;
constexpr int kGap = 1; // screen pixels between the cells of a contact sheet, in the gap colour
const QColor kText(192, 192, 192);
const QColor kBackground(0, 0, 0);
const QColor kGapColour(0, 0, 96);

QImage scaled(const QImage& image)
{
    return image.scaled(image.size() * kScale, Qt::IgnoreAspectRatio, Qt::FastTransformation);
}

bool save(const QImage& image, const QString& path)
{
    const bool saved = image.save(path);
    std::printf("%s %s\n", saved ? "wrote" : "could not write", qPrintable(path));
    return saved;
}

// The 95 cells in rows of 16 on the gap colour, each cell taken by `cell(i)` from a picture of 8 x 12 cells.
template <typename CellSource>
QImage contactSheet(CellSource cell)
{
    const int rows = (AsciiFace::kCount + kPerRow - 1) / kPerRow;
    QImage sheet(kPerRow * (AsciiFace::kWidth + kGap) + kGap, rows * (AsciiFace::kHeight + kGap) + kGap,
                 QImage::Format_RGB32);
    sheet.fill(kGapColour);
    QPainter painter(&sheet);
    for (int i = 0; i < AsciiFace::kCount; ++i)
        painter.drawImage(
            QPoint(kGap + i % kPerRow * (AsciiFace::kWidth + kGap), kGap + i / kPerRow * (AsciiFace::kHeight + kGap)),
            cell(i));
    return sheet;
}

QImage paneImage(TApdTerminal& pane, int rows)
{
    return pane.grab().toImage().copy(0, 0, pane.width(), rows * TApdTerminal::kCellHeight);
}

// Draws every plain ASCII cell of the pane's screen again from the face, in the cell's own colours.
void redrawAsciiFromFace(QImage& image, const VtScreen& screen, int rows)
{
    QPainter painter(&image);
    for (int row = 0; row < rows; ++row) {
        for (int column = 0; column < VtScreen::kColumns; ++column) {
            const VtScreen::Cell cell = screen.cell(row, column);
            if (cell.width != 1 || cell.chars[1] != 0 || !AsciiFace::has(cell.chars[0]))
                continue;
            QColor ink = cell.foreground.isValid() ? cell.foreground : kText;
            QColor paper = cell.background.isValid() ? cell.background : kBackground;
            if (cell.reverse)
                std::swap(ink, paper);
            painter.drawImage(QPoint(column * AsciiFace::kWidth, row * AsciiFace::kHeight),
                              AsciiFace::atlas(ink, paper), AsciiFace::atlasRect(cell.chars[0]));
        }
    }
}

} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    const QDir dir(argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("."));
    bool ok = true;

    const QImage atlas = AsciiFace::atlas(kText, kBackground);
    ok &= save(scaled(contactSheet([&atlas](int i) {
                   return atlas.copy(AsciiFace::atlasRect(AsciiFace::kFirst + static_cast<char32_t>(i)));
               })),
               dir.filePath(QStringLiteral("ascii-face.png")));

    // The set as the pane draws it today: six lines of sixteen characters.
    TApdTerminal setPane;
    setPane.setFixedSize(setPane.sizeHint());
    QByteArray set;
    for (int i = 0; i < AsciiFace::kCount; ++i) {
        set += static_cast<char>(AsciiFace::kFirst + static_cast<char32_t>(i));
        if (i % kPerRow == kPerRow - 1)
            set += "\r\n";
    }
    setPane.receive(set + "\x1b[?25l");
    const QImage setImage = paneImage(setPane, 6);
    ok &= save(scaled(contactSheet([&setImage](int i) {
                   return setImage.copy(i % kPerRow * TApdTerminal::kCellWidth, i / kPerRow * TApdTerminal::kCellHeight,
                                        TApdTerminal::kCellWidth, TApdTerminal::kCellHeight);
               })),
               dir.filePath(QStringLiteral("ascii-face-before.png")));

    // The help screen as the robot sends it in answer to h, with its banner and prompts.
    QByteArray said;
    RobotMonitor monitor([&said](const QByteArray& bytes) { said += bytes; });
    monitor.powerOn();
    monitor.receive('h');
    TApdTerminal helpPane;
    helpPane.setFixedSize(helpPane.sizeHint());
    helpPane.receive(said + "\x1b[?25l");
    const int rows = helpPane.screen().cursor().y() + 1;
    QImage help = paneImage(helpPane, rows);
    ok &= save(scaled(help), dir.filePath(QStringLiteral("help-screen-before.png")));
    redrawAsciiFromFace(help, helpPane.screen(), rows);
    ok &= save(scaled(help), dir.filePath(QStringLiteral("help-screen-after.png")));
    return ok ? 0 : 1;
}
