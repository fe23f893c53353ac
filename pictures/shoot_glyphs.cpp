// Pictures of the pane's lettering for the documentation, every one scaled 4x nearest-neighbour so that each
// screen pixel is a 4 x 4 block:   scripts/pictures   (or: shoot_glyphs DIR, on any Qt platform)
//
//   DIR/ascii-face.png          the printable ASCII set as the pane draws it, 16 cells to a row
//   DIR/help-screen-after.png   the simulated robot's help screen in the pane
//   DIR/line-drawing.png        a box in DEC line drawing, its symbols, double-width and double-height
//                               lines, and a line of reverse video with the cursor on it
//
// docs/ascii-face-before.png, help-screen-before.png and line-drawing-before.png were taken by this program
// while the pane still drew ASCII with a scalable font; they are kept for comparison.

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

} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    const QDir dir(argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("."));
    bool ok = true;

    // The set as the pane draws it: six lines of sixteen characters, the cursor hidden.
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
               dir.filePath(QStringLiteral("ascii-face.png")));

    // The help screen as the robot sends it in answer to h, with its banner and prompts.
    QByteArray said;
    RobotMonitor monitor([&said](const QByteArray& bytes) { said += bytes; });
    monitor.powerOn();
    monitor.receive('h');
    TApdTerminal helpPane;
    helpPane.setFixedSize(helpPane.sizeHint());
    helpPane.receive(said + "\x1b[?25l");
    const int rows = helpPane.screen().cursor().y() + 1;
    ok &= save(scaled(paneImage(helpPane, rows)), dir.filePath(QStringLiteral("help-screen-after.png")));

    // A box drawn as full-screen programs draw one, in DEC special graphics, the symbols of that set, the
    // set saved and restored with the cursor, double-width and double-height lines, and the screen reversed.
    const auto graphics = [](const QByteArray& codes) { return "\x1b(0" + codes + "\x1b(B"; };
    const auto padded = [](const QByteArray& text, int width) { return text + QByteArray(width - text.size(), ' '); };
    const QByteArray rule(19, 'q');
    TApdTerminal linesPane;
    linesPane.setFixedSize(linesPane.sizeHint());
    linesPane.receive(graphics("l" + rule + "q" + rule + "k") + "\r\n" + graphics("x")
                      + padded(" ROBOT MONITOR  0000-FFFF  64 KB", 39) + graphics("x") + "\r\n"
                      + graphics("t" + rule + "w" + rule + "u") + "\r\n" + graphics("x") + padded(" F B L R S", 19)
                      + graphics("x") + padded(" h m c d l r p q", 19) + graphics("x") + "\r\n"
                      + graphics("m" + rule + "v" + rule + "j") + "\r\n" + graphics("`abcdefghijklmnopqrstuvwxyz{|}~_")
                      + " DEC graphics 60-7E, 5F\r\n" + "\x1b(0\0337\x1b(Bsaved\0338qqqqq\x1b(B after ESC 8\r\n"
                      + "\x1b#6Double-width line\r\n\x1b#3Double height\r\n\x1b#4Double height\r\n"
                      + "\x1b[7mReverse video\x1b[0m, bold: \x1b[1mBOLD\x1b[0m \x1b[1;33mYELLOW\x1b[0m\r\n"
                      + "\x1b[?5hThe screen reversed, the cursor after this: ");
    const int linesRows = linesPane.screen().cursor().y() + 1;
    ok &= save(scaled(paneImage(linesPane, linesRows)), dir.filePath(QStringLiteral("line-drawing.png")));
    return ok ? 0 : 1;
}
