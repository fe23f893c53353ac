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
    void theScrollBackKeepsWhatLeavesTheScreenWithinItsBound_data();
    void theScrollBackKeepsWhatLeavesTheScreenWithinItsBound();
    void theSameBytesReadAsXtermShowsThem_data();
    void theSameBytesReadAsXtermShowsThem();
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

namespace {

QByteArray numberedLines(int first, int count)
{
    QByteArray out;
    for (int i = first; i < first + count; ++i)
        out += "L" + QByteArray::number(i) + "\r\n";
    return out;
}

} // namespace

void VtScreenTest::theScrollBackKeepsWhatLeavesTheScreenWithinItsBound_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<bool>("clear");
    QTest::addColumn<int>("lines");
    QTest::addColumn<QString>("oldest");
    QTest::addColumn<QString>("newest");
    // Twenty newlines take the cursor to the last row; each one after that pushes a line.
    QTest::newRow("one line scrolled off") << numberedLines(0, 21) << false << 1 << "L0" << "L0";
    QTest::newRow("the bound drops the oldest") << numberedLines(0, 1520) << false << VtScreen::kScrollbackLines
                                                << "L500" << "L1499";
    QTest::newRow("a clear keeps what it cleared") << QByteArray("one\r\ntwo") << true << 2 << "one" << "two";
    QTest::newRow("a clear keeps blank lines between text") << QByteArray("one\r\n\r\n   three") << true << 3
                                                            << "one" << "   three";
    QTest::newRow("a clear keeps Hangul") << QByteArray("\xb8\xde\xb8\xf0\xb8\xae ok") << true << 1
                                          << QStringLiteral("메모리 ok") << QStringLiteral("메모리 ok");
    QTest::newRow("a clear of an empty screen adds nothing") << QByteArray() << true << 0 << "" << "";
    QTest::newRow("a clear after scrolling keeps both") << numberedLines(0, 22) + "last" << true << 23 << "L0"
                                                        << "last";
    // A ring row that held line drawing (four bytes a character) taken by a line of ASCII (a byte), and back.
    QTest::newRow("line drawing's row taken by ASCII")
        << "\x1b(0qqq\x1b(B\r\n" + numberedLines(0, 1020) << false << VtScreen::kScrollbackLines << "L0"
        << "L999";
    QTest::newRow("an ASCII line's row taken by line drawing")
        << numberedLines(0, 1000) + "\x1b(0qqq\x1b(B\r\n" + numberedLines(1000, 20) << false
        << VtScreen::kScrollbackLines << "L1" << QStringLiteral("───");
    QTest::newRow("a scroll region inside the screen keeps nothing")
        << QByteArray("\x1b[5;10r\x1b[10;1H") + numberedLines(0, 30) << false << 0 << "" << "";
}

void VtScreenTest::theScrollBackKeepsWhatLeavesTheScreenWithinItsBound()
{
    QFETCH(QByteArray, input);
    QFETCH(bool, clear);
    QFETCH(int, lines);
    QFETCH(QString, oldest);
    QFETCH(QString, newest);
    VtScreen screen;
    QSignalSpy grew(&screen, &VtScreen::historyGrew);
    // In reads of 97 bytes, as a line delivers them, so that lines leave in more than one write.
    for (qsizetype at = 0; at < input.size(); at += 97)
        screen.write(input.mid(at, 97));
    if (clear)
        screen.clear();
    QVERIFY2(screen.historyLines() == lines,
             qPrintable(QStringLiteral("the scroll-back holds %1 lines, expected %2").arg(screen.historyLines()).arg(lines)));
    qint64 reported = 0;
    for (const QList<QVariant>& signal : grew)
        reported += signal.first().toInt();
    QVERIFY2(reported == static_cast<qint64>(screen.linesPushed()), "historyGrew did not report every pushed line");
    if (lines == 0)
        return;
    QCOMPARE(screen.lineText(-lines), oldest);
    QCOMPARE(screen.lineText(-1), newest);
    QVERIFY2(screen.lineText(-lines - 1).isEmpty(), "a line beyond the oldest has text");
}

void VtScreenTest::theSameBytesReadAsXtermShowsThem_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("afterClear"); // written after a clear of the screen; empty: no clear
    QTest::addColumn<int>("line");
    QTest::addColumn<QString>("text");
    QTest::addColumn<VtScreen::LineSize>("size");
    using Size = VtScreen::LineSize;
    QTest::newRow("line drawing after ESC 8")
        << QByteArray("\x1b(0\0337\x1b(B\0338qqq") << QByteArray() << 0 << QStringLiteral("───") << Size::Single;
    QTest::newRow("line drawing after mode 1049") << QByteArray("\x1b(0\x1b[?1049h\x1b(B\x1b[?1049lqqq") << QByteArray()
                                                  << 0 << QStringLiteral("───") << Size::Single;
    QTest::newRow("0x5F is a blank in line drawing")
        << QByteArray("\x1b(0_x_\x1b(B_") << QByteArray() << 0 << QStringLiteral(" │ _") << Size::Single;
    QTest::newRow("the control pictures")
        << QByteArray("\x1b(0bcdehi\x1b(B") << QByteArray() << 0 << QStringLiteral("␉␌␍␊␤␋") << Size::Single;
    QTest::newRow("the clear's reset leaves line drawing")
        << QByteArray("\x1b(0\0337") << QByteArray("ab\0338q") << 0 << QStringLiteral("qb") << Size::Single;
    QTest::newRow("a double-width line wraps at 31 columns")
        << "\x1b#6" + QByteArray(40, 'x') << QByteArray() << 0 << QString(31, QLatin1Char('x')) << Size::DoubleWidth;
    QTest::newRow("the line after it is single")
        << "\x1b#6" + QByteArray(40, 'x') << QByteArray() << 1 << QString(9, QLatin1Char('x')) << Size::Single;
    QTest::newRow("double-height halves") << QByteArray("\x1b#3top\r\n\x1b#4bottom") << QByteArray() << 1
                                          << QStringLiteral("bottom") << Size::DoubleBottom;
    QTest::newRow("a double-width line keeps its size in the scroll-back")
        << "\x1b#6wide\r\n" + numberedLines(0, 20) << QByteArray() << -1 << QStringLiteral("wide") << Size::DoubleWidth;
    QTest::newRow("Hangul and a change of colour in the scroll-back")
        << "\x1b[31m\xb8\xde\xb8\xf0\x1b[0m ok\r\n" + numberedLines(0, 20) << QByteArray() << -1
        << QStringLiteral("메모 ok") << Size::Single;
    QTest::newRow("a line in one colour in the scroll-back")
        << "\x1b[1;33mbright\r\n\x1b[0m" + numberedLines(0, 20) << QByteArray() << -1 << QStringLiteral("bright")
        << Size::Single;
    // 66 full lines and three cells, then a syllable whose two bytes lie on both sides of the 4096th.
    QTest::newRow("a long read cut inside a Hangul syllable")
        << QByteArray() << QByteArray(4095, 'x') + "\xb8\xde ok" << 20 << QStringLiteral("xxx메 ok") << Size::Single;
}

void VtScreenTest::theSameBytesReadAsXtermShowsThem()
{
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, afterClear);
    QFETCH(int, line);
    QFETCH(QString, text);
    QFETCH(VtScreen::LineSize, size);
    VtScreen screen;
    // Byte by byte, so that every sequence is split across reads.
    for (const char b : input)
        screen.write(QByteArrayView(&b, 1));
    if (!afterClear.isEmpty()) {
        screen.clear();
        screen.write(afterClear);
    }
    QCOMPARE(screen.lineText(line), text);
    QVERIFY2(screen.lineCell(line, 0).lineSize == size,
             qPrintable(QStringLiteral("line %1 is drawn at size %2, expected %3")
                            .arg(line)
                            .arg(int(screen.lineCell(line, 0).lineSize))
                            .arg(int(size))));
}

QTEST_APPLESS_MAIN(VtScreenTest)
#include "tst_vtscreen.moc"
