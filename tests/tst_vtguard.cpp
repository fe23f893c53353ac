// The guard in front of libvterm: ordinary sequences pass byte for byte; the known-fatal ones are defused,
// and the emulator survives them with its screen intact.

#include "link/vtguard.h"
#include "link/vtscreen.h"

#include <QTest>

#include <optional>

namespace {

std::string guarded(const QByteArray& utf8)
{
    VtGuard guard;
    std::string out;
    guard.filter(QString::fromUtf8(utf8).toStdU32String(), out);
    return out;
}

// The same, with the text arriving in two reads cut after `cut` characters.
std::string guardedInTwo(const QByteArray& utf8, std::size_t cut)
{
    const std::u32string text = QString::fromUtf8(utf8).toStdU32String();
    VtGuard guard;
    std::string out;
    guard.filter(std::u32string_view(text).substr(0, cut), out);
    guard.filter(std::u32string_view(text).substr(cut), out);
    return out;
}

// The first cut, if any, at which the guard's output differs from `expected`.
std::optional<std::size_t> firstBadCut(const QByteArray& utf8, const std::string& expected)
{
    const std::size_t length = QString::fromUtf8(utf8).toStdU32String().size();
    for (std::size_t cut = 1; cut < length; ++cut)
        if (guardedInTwo(utf8, cut) != expected)
            return cut;
    return std::nullopt;
}

QByteArray seventeenArguments()
{
    QByteArray sequence("\x1b[");
    for (int i = 0; i < 17; ++i)
        sequence += i == 0 ? "1" : ";1";
    return sequence + "m";
}

QString hex(const std::string& bytes)
{
    return QString::fromLatin1(QByteArray::fromStdString(bytes).toHex(' '));
}

} // namespace

class VtGuardTest : public QObject
{
    Q_OBJECT

private slots:
    void ordinarySequencesPassByteForByte_data();
    void ordinarySequencesPassByteForByte();
    void theSequencesThatLibvtermMishandlesAreMended_data();
    void theSequencesThatLibvtermMishandlesAreMended();
    void theEmulatorSurvivesTheFatalSequencesAndShowsWhatFollows_data();
    void theEmulatorSurvivesTheFatalSequencesAndShowsWhatFollows();
    void aTwoMegabyteReadIsFedInChunksAndShown();
    void aStrayStringOpenerDoesNotHideTheTextThatFollows_data();
    void aStrayStringOpenerDoesNotHideTheTextThatFollows();
};

void VtGuardTest::ordinarySequencesPassByteForByte_data()
{
    QTest::addColumn<QByteArray>("input");

    QTest::newRow("plain text") << QByteArray("Hello, robot 0123456789 ~!@#$%^&*()");
    QTest::newRow("Hangul") << QByteArray("메모리 테스트 완료");
    QTest::newRow("CR LF BS TAB BEL") << QByteArray("a\r\nb\x08\tc\x07");
    QTest::newRow("SGR colours") << QByteArray("\x1b[0;1;31;44mred\x1b[0m");
    QTest::newRow("SGR 256 and RGB with subparameters") << QByteArray("\x1b[38;5;208m\x1b[38:2::1:2:3m");
    QTest::newRow("cursor moves") << QByteArray("\x1b[10;20H\x1b[A\x1b[2B\x1b[C\x1b[3D\x1b[H");
    QTest::newRow("erase") << QByteArray("\x1b[2J\x1b[K\x1b[1K\x1b[0J");
    QTest::newRow("private modes") << QByteArray("\x1b[?25l\x1b[?25h\x1b[?7l\x1b[?1049h");
    QTest::newRow("sixteen arguments") << QByteArray("\x1b[1;2;3;4;5;6;7;8;9;10;11;12;13;14;15;16m");
    QTest::newRow("scroll region and index") << QByteArray("\x1b[2;20r\x1b" "D\x1b" "M\x1b" "E");
    QTest::newRow("charset designation") << QByteArray("\x1b(0qqq\x1b(B");
    QTest::newRow("save restore cursor") << QByteArray("\x1b" "7\x1b" "8\x1b[s\x1b[u");
    QTest::newRow("queries") << QByteArray("\x1b[c\x1b[5n\x1b[6n\x1b[>c");
    QTest::newRow("REP after a character") << QByteArray("x\x1b[5b");
    QTest::newRow("REP after a Latin letter") << QByteArray("\xc3\xa9\x1b[3b");
    QTest::newRow("REP with a huge count after a character") << QByteArray("x\x1b[99999999999999999999b");
    QTest::newRow("OSC title with BEL") << QByteArray("\x1b]0;robot\x07text");
    QTest::newRow("OSC with ST") << QByteArray("\x1b]2;t\x1b\\after");
    QTest::newRow("control inside CSI") << QByteArray("\x1b[1\r\n;2H");
    QTest::newRow("cancelled CSI") << QByteArray("\x1b[1;2\x18" "after\x1b[3\x1a");
    QTest::newRow("NUL and DEL") << QByteArray("a\x00\x7f" "b", 4);
    QTest::newRow("replacement character") << QByteArray("\xef\xbf\xbd");
    QTest::newRow("reset") << QByteArray("\x1b" "c");
}

void VtGuardTest::ordinarySequencesPassByteForByte()
{
    QFETCH(QByteArray, input);
    const std::string out = guarded(input);
    QVERIFY2(out == input.toStdString(),
             qPrintable(QStringLiteral("changed %1 into %2").arg(hex(input.toStdString()), hex(out))));
    const std::optional<std::size_t> cut = firstBadCut(input, input.toStdString());
    QVERIFY2(!cut, qPrintable(QStringLiteral("changed the input when it was cut after character %1").arg(cut.value_or(0))));
}

void VtGuardTest::theSequencesThatLibvtermMishandlesAreMended_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("CSI with 17 arguments is cancelled at the 17th")
        << seventeenArguments() + "ok" << QByteArray("\x1b[1;1;1;1;1;1;1;1;1;1;1;1;1;1;1;1\x18ok");
    QTest::newRow("17 empty arguments") << QByteArray("\x1b[;;;;;;;;;;;;;;;;mok")
                                        << QByteArray("\x1b[;;;;;;;;;;;;;;;\x18ok");
    QTest::newRow("17 subparameters") << QByteArray("\x1b[1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:1mok")
                                      << QByteArray("\x1b[1:1:1:1:1:1:1:1:1:1:1:1:1:1:1:1\x18ok");
    QTest::newRow("control inside a dropped CSI still acts")
        << QByteArray("\x1b[;;;;;;;;;;;;;;;;1\r2mok") << QByteArray("\x1b[;;;;;;;;;;;;;;;\x18\rok");
    QTest::newRow("REP before any character") << QByteArray("\x1b[bok") << QByteArray("\x1b[\x18ok");
    QTest::newRow("REP with count before any character") << QByteArray("\x1b[5bok") << QByteArray("\x1b[5\x18ok");
    QTest::newRow("REP after a double-width character") << QByteArray("1가\x1b[99b")
                                                         << QByteArray("1가\x1b[99\x18");
    QTest::newRow("REP after a lone combining mark") << QByteArray("\xcc\x81\x1b[b") << QByteArray("\xcc\x81\x1b[\x18");
    QTest::newRow("status request ended by ST") << QByteArray("\x1bP$ql\x1b\\ok") << QByteArray("\x1b\x18ok");
    QTest::newRow("status request ended by BEL") << QByteArray("\x1bP$qm\x07ok") << QByteArray("\x1b\x18ok");
    QTest::newRow("controls inside a DCS still act") << QByteArray("\x1bP1;2|\t\bdata\x1b\\ok")
                                                     << QByteArray("\x1b\x18\t\bok");
    QTest::newRow("a DCS ends at a line end") << QByteArray("\x1bPnoise\r\nok") << QByteArray("\x1b\x18\r\nok");
    QTest::newRow("a DCS ends at a bare LF") << QByteArray("\x1bPno\x1b\nok") << QByteArray("\x1b\x18\nok");
    QTest::newRow("an OSC ends at a line end") << QByteArray("\x1b]noise\r\nok")
                                               << QByteArray("\x1b]noise\x18\r\nok");
    QTest::newRow("an OSC ends at a line end after its ESC") << QByteArray("\x1b]no\x1b\rok")
                                                             << QByteArray("\x1b]no\x1b\x18\rok");
    const QByteArray longest(VtGuard::kMaxStringLength, 'x');
    QTest::newRow("a DCS longer than the longest string") << "\x1bP" + longest + "ok" << QByteArray("\x1b\x18ok");
    QTest::newRow("an OSC longer than the longest string")
        << "\x1b]" + longest + "ok" << "\x1b]" + longest + "\x18ok";
    QTest::newRow("the longest OSC is kept whole") << "\x1b]" + longest.left(longest.size() - 1) + "\x07ok"
                                                   << "\x1b]" + longest.left(longest.size() - 1) + "\x07ok";
    QTest::newRow("ESC inside a DCS starts a new sequence") << QByteArray("\x1bPxx\x1b[1mok")
                                                            << QByteArray("\x1b\x18\x1b[1mok");
    QTest::newRow("CAN ends a DCS") << QByteArray("\x1bPxx\x18ok") << QByteArray("\x1b\x18\x18ok");
    QTest::newRow("C1 control as text") << QByteArray("\xc2\x80" "a") << QByteArray("\xef\xbf\xbd" "a");
    // Where libvterm shows the same bytes otherwise than xterm.
    QTest::newRow("ESC 8 restores the line-drawing set")
        << QByteArray("\x1b(0\0337\x1b(Bok\0338q") << QByteArray("\x1b(0\0337\x1b(Bok\0338\x1b(0q");
    QTest::newRow("ESC 8 restores G1 and the shift out to it")
        << QByteArray("\x1b)0\x0e\0337\x0f\x1b)Bok\0338q") << QByteArray("\x1b)0\x0e\0337\x0f\x1b)Bok\0338\x1b)0\x0eq");
    QTest::newRow("ESC 8 restores a locking shift to G3")
        << QByteArray("\x1b+0\x1bo\0337\x0f\0338q") << QByteArray("\x1b+0\x1bo\0337\x0f\0338\x1boq");
    QTest::newRow("ESC 8 with nothing saved gives the ASCII set")
        << QByteArray("\x1b(0q\0338q") << QByteArray("\x1b(0q\0338\x1b(Bq");
    QTest::newRow("ESC 8 after the same sets adds nothing")
        << QByteArray("\x1b(0\0337ok\0338q") << QByteArray("\x1b(0\0337ok\0338q");
    QTest::newRow("mode 1049 restores the line-drawing set")
        << QByteArray("\x1b(0\x1b[?1049h\x1b(B\x1b[?1049lq") << QByteArray("\x1b(0\x1b[?1049h\x1b(B\x1b[?1049l\x1b(0q");
    QTest::newRow("mode 1048 among others restores it") << QByteArray("\x1b(0\x1b[?25;1048h\x1b(B\x1b[?1048;7lq")
                                                        << QByteArray("\x1b(0\x1b[?25;1048h\x1b(B\x1b[?1048;7l\x1b(0q");
    QTest::newRow("mode 1049 without its leader is no save")
        << QByteArray("\x1b(0\x1b[1049h\x1b(B\0338q") << QByteArray("\x1b(0\x1b[1049h\x1b(B\0338q");
    QTest::newRow("a reset forgets the saved sets") << QByteArray("\x1b(0\0337\x1b"
                                                                  "c\0338q")
                                                    << QByteArray("\x1b(0\0337\x1b"
                                                                  "c\0338q");
    QTest::newRow("a soft reset forgets them too")
        << QByteArray("\x1b(0\0337\x1b[!p\0338q") << QByteArray("\x1b(0\0337\x1b[!p\0338q");
    QTest::newRow("an unknown set is no designation")
        << QByteArray("\x1b(0\0337\x1b(<\0338_") << QByteArray("\x1b(0\0337\x1b(<\0338 ");
    QTest::newRow("0x5F is the line-drawing set's blank")
        << QByteArray("\x1b(0q_q__\x1b(B_") << QByteArray("\x1b(0q q  \x1b(B_");
    QTest::newRow("0x5F by a single shift to G2") << QByteArray("\x1b*0\x1bN__") << QByteArray("\x1b*0\x1bN _");
    QTest::newRow("SO inside a CSI still shifts")
        << QByteArray("\x1b)0\x1b[1\x0em_") << QByteArray("\x1b)0\x1b[1\x0em ");
}

void VtGuardTest::theSequencesThatLibvtermMishandlesAreMended()
{
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, expected);
    const std::string out = guarded(input);
    QVERIFY2(out == expected.toStdString(),
             qPrintable(QStringLiteral("guarded %1 into %2, expected %3")
                            .arg(hex(input.toStdString()), hex(out), hex(expected.toStdString()))));
    const std::optional<std::size_t> cut = firstBadCut(input, expected.toStdString());
    QVERIFY2(!cut, qPrintable(QStringLiteral("guarded it otherwise when it was cut after character %1").arg(cut.value_or(0))));
}

void VtGuardTest::theEmulatorSurvivesTheFatalSequencesAndShowsWhatFollows_data()
{
    QTest::addColumn<QByteArray>("input");

    QTest::newRow("17 arguments") << seventeenArguments();
    QTest::newRow("REP before any character") << QByteArray("\x1b[b");
    QTest::newRow("REP with a huge count before any character") << QByteArray("\x1b[99999999b");
    QTest::newRow("REP of a double-width character from an odd column") << QByteArray("1\xb0\xa1\x1b[99b\r\n");
}

void VtGuardTest::theEmulatorSurvivesTheFatalSequencesAndShowsWhatFollows()
{
    QFETCH(QByteArray, input);
    VtScreen screen;
    // Byte by byte, so that the guard has to follow the sequence across reads.
    for (const char b : input)
        screen.write(QByteArrayView(&b, 1));
    screen.write("after");
    const QString row = screen.rowText(screen.cursor().y());
    QVERIFY2(row.endsWith(QStringLiteral("after")),
             qPrintable(QStringLiteral("the cursor's row reads '%1', without what followed").arg(row)));
}

void VtGuardTest::aTwoMegabyteReadIsFedInChunksAndShown()
{
    VtScreen screen;
    QByteArray big(2 * 1024 * 1024, 'A');
    big += "\r\nend";
    screen.write(big);
    QVERIFY2(screen.rowText(VtScreen::kRows - 1) == QStringLiteral("end"),
             qPrintable(QStringLiteral("the last row reads '%1' after 2 MB in one read").arg(screen.rowText(VtScreen::kRows - 1))));
}

void VtGuardTest::aStrayStringOpenerDoesNotHideTheTextThatFollows_data()
{
    QTest::addColumn<QByteArray>("noise");
    QTest::addColumn<bool>("clear");
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("shown");

    const QByteArray reply("OK\r\nready");
    const QByteArray unbroken(200, 'y');
    for (const char* opener : {"\x1bP", "\x1b]", "\x1bP1;2|", "\x1b]0;"}) {
        const QByteArray noise(opener);
        // What the string swallows before it is taken for noise: the longest string, less what the opener
        // already put in it.
        const int kept = int(unbroken.size()) - (int(VtGuard::kMaxStringLength) - int(noise.size() - 2));
        const QString wrapped = QString(VtScreen::kColumns, QLatin1Char('y')) + QLatin1Char('|')
            + QString(kept - VtScreen::kColumns, QLatin1Char('y'));
        const QString name = QString::fromLatin1(noise.mid(1)).replace(QChar(0x1b), QStringLiteral("ESC "));
        QTest::addRow("ESC %s, then a reply", qPrintable(name)) << noise << false << reply << QStringLiteral("|ready");
        QTest::addRow("ESC %s, Del, then a reply", qPrintable(name)) << noise << true << reply << QStringLiteral("OK|ready");
        QTest::addRow("ESC %s, then text without a line end", qPrintable(name))
            << noise << false << unbroken << wrapped;
    }
    QTest::newRow("Del inside a colour sequence keeps it") << QByteArray("\x1b[3") << true << QByteArray("1mOK")
                                                          << QStringLiteral("OK");
}

void VtGuardTest::aStrayStringOpenerDoesNotHideTheTextThatFollows()
{
    QFETCH(QByteArray, noise);
    QFETCH(bool, clear);
    QFETCH(QByteArray, text);
    QFETCH(QString, shown);

    VtScreen screen;
    screen.write(noise);
    if (clear)
        screen.clear();
    // Byte by byte, as a slow line delivers it.
    for (const char b : text)
        screen.write(QByteArrayView(&b, 1));
    QStringList rows;
    for (int row = 0; row <= screen.cursor().y(); ++row)
        rows << screen.rowText(row);
    const QString screenText = rows.join(QLatin1Char('|'));
    QVERIFY2(screenText == shown, qPrintable(QStringLiteral("the screen reads '%1', expected '%2'").arg(screenText, shown)));
}

QTEST_APPLESS_MAIN(VtGuardTest)
#include "tst_vtguard.moc"
