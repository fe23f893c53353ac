// The emulated screen: what arrives is shown, double-width where it should be, changes are reported once per
// read, and a clear loses nothing that arrives after it. (That the target's requests are never answered is
// checked on a real line, in the pane's tests.)

#include "link/vtscreen.h"

#include <QSignalSpy>
#include <QTest>

namespace {

// A reply of the target as it comes off the line, in pieces that each complete one character or sequence.
const QList<QByteArray> kTokens = {
    QByteArray("H"),        QByteArray("i"),         QByteArray("\x1b[1m"), QByteArray("\xb8\xde"),
    QByteArray("\xb8\xf0"), QByteArray("\xb8\xae"),  QByteArray("\x1b[0m"), QByteArray("\r"),
    QByteArray("\n"),       QByteArray("O"),         QByteArray("\x1b[3;5H"), QByteArray("\xb0\xa1"),
    QByteArray("Z"),        QByteArray("\x1b[38;5;2m"), QByteArray("e"),    QByteArray("n"),
    QByteArray("d"),
};
constexpr int kColourToken = 13;

QString screenText(const VtScreen& screen)
{
    QStringList rows;
    for (int row = 0; row < VtScreen::kRows; ++row)
        rows << screen.rowText(row);
    while (!rows.isEmpty() && rows.last().isEmpty())
        rows.removeLast();
    return rows.join(QLatin1Char('|'));
}

} // namespace

class VtScreenTest : public QObject
{
    Q_OBJECT

private slots:
    void aClearDuringTheStreamLosesNothingThatArrivesAfterIt_data();
    void aClearDuringTheStreamLosesNothingThatArrivesAfterIt();
    void aHangulSyllableTakesOneDoubleWidthCell();
    void changedCellsAreReportedOncePerRead();
    void theScreenIsTwentyOneRowsOfSixtyTwoColumns();
};

void VtScreenTest::aClearDuringTheStreamLosesNothingThatArrivesAfterIt_data()
{
    QTest::addColumn<int>("token");
    QTest::addColumn<int>("offset");
    for (int t = 0; t < kTokens.size(); ++t)
        for (int offset = 0; offset < kTokens[t].size(); ++offset)
            QTest::addRow("token %d byte %d", t, offset) << t << offset;
}

void VtScreenTest::aClearDuringTheStreamLosesNothingThatArrivesAfterIt()
{
    QFETCH(int, token);
    QFETCH(int, offset);

    QByteArray before;
    QByteArray after;
    for (int t = 0; t < kTokens.size(); ++t) {
        if (t < token)
            before += kTokens[t];
        else if (t == token) {
            before += kTokens[t].left(offset);
            after += kTokens[t].mid(offset);
        } else {
            after += kTokens[t];
        }
    }
    VtScreen cleared;
    cleared.write(before);
    cleared.clear();
    cleared.write(after);

    // What the clear must leave: the screen as if the stream had started with the piece in flight.
    VtScreen reference;
    for (int t = token; t < kTokens.size(); ++t)
        reference.write(kTokens[t]);

    QVERIFY2(screenText(cleared) == screenText(reference),
             qPrintable(QStringLiteral("after a clear inside token %1 at byte %2 the screen reads '%3', expected '%4'")
                            .arg(token).arg(offset).arg(screenText(cleared), screenText(reference))));
    QVERIFY2(cleared.cursor() == reference.cursor(), "the cursor ended elsewhere than after the same bytes on a clean screen");
    if (token <= kColourToken) {
        // "end" is the last thing written, so its 'e' stands three columns left of the cursor.
        const VtScreen::Cell coloured = cleared.cell(cleared.cursor().y(), cleared.cursor().x() - 3);
        QVERIFY2(coloured.chars[0] == U'e' && coloured.foreground.isValid(),
                 "the colour sequence that arrived after the clear did not take effect");
    }
}

void VtScreenTest::aHangulSyllableTakesOneDoubleWidthCell()
{
    VtScreen screen;
    screen.write("\xb0\xa1");
    screen.write("A");
    const VtScreen::Cell left = screen.cell(0, 0);
    QVERIFY2(left.chars[0] == U'가' && left.width == 2, "the syllable is not one double-width cell");
    QVERIFY2(screen.cell(0, 1).width == 0, "the cell right of the syllable is not its right half");
    QVERIFY2(screen.cell(0, 2).chars[0] == U'A', "the letter after the syllable is not two columns on");
    QVERIFY2(screen.cursor() == QPoint(3, 0), "the cursor did not advance three columns");
    QVERIFY2(screen.rowText(0) == QStringLiteral("가A"), qPrintable(screen.rowText(0)));
}

void VtScreenTest::changedCellsAreReportedOncePerRead()
{
    VtScreen screen;
    QSignalSpy changed(&screen, &VtScreen::cellsChanged);
    QSignalSpy moved(&screen, &VtScreen::cursorMoved);
    screen.write("\x1b[5;10Habc");
    QVERIFY2(changed.size() == 1, qPrintable(QStringLiteral("%1 change reports for one read").arg(changed.size())));
    const QRect cells = changed.first().first().toRect();
    QVERIFY2(cells == QRect(9, 4, 3, 1), qPrintable(QStringLiteral("reported %1,%2 %3x%4 instead of the three cells")
                                                       .arg(cells.x()).arg(cells.y()).arg(cells.width()).arg(cells.height())));
    QVERIFY2(moved.size() == 1 && moved.first().first().toPoint() == QPoint(12, 4),
             "the cursor move was not reported once, at its final place");
    screen.write("");
    QVERIFY2(changed.size() == 1 && moved.size() == 1, "an empty read reported a change");
}

void VtScreenTest::theScreenIsTwentyOneRowsOfSixtyTwoColumns()
{
    VtScreen screen;
    screen.write("\x1b[99;99H");
    QVERIFY2(screen.cursor() == QPoint(61, 20), "the far corner is not row 21, column 62");
    QByteArray lines;
    for (int i = 0; i < 30; ++i)
        lines += "line " + QByteArray::number(i) + "\r\n";
    screen.write(lines);
    QVERIFY2(screen.rowText(19) == QStringLiteral("line 29"), "scrolling did not keep the last 20 lines above the cursor");
}

QTEST_APPLESS_MAIN(VtScreenTest)
#include "tst_vtscreen.moc"
