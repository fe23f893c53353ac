// Code page 949: the stream decoder keeps its footing across reads and over bad bytes; typed text encodes.

#include "link/cp949.h"

#include <QRandomGenerator>
#include <QTest>

namespace {

QString decodeAll(const QList<QByteArray>& reads)
{
    Cp949Decoder decoder;
    std::u32string out;
    for (const QByteArray& read : reads)
        decoder.decode(read, out);
    return QString::fromStdU32String(out);
}

QString show(const QString& text)
{
    QString shown;
    for (const char32_t c : text.toStdU32String())
        shown += QStringLiteral("U+%1 ").arg(static_cast<uint>(c), 4, 16, QLatin1Char('0'));
    return shown;
}

} // namespace

class Cp949Test : public QObject
{
    Q_OBJECT

private slots:
    void aHangulSyllableSplitAtEveryPointBetweenReadsIsOneCharacter_data();
    void aHangulSyllableSplitAtEveryPointBetweenReadsIsOneCharacter();
    void invalidSequencesGiveOneReplacementAndNeverSwallowWhatFollows_data();
    void invalidSequencesGiveOneReplacementAndNeverSwallowWhatFollows();
    void randomSplitsOfAMixedReplyDecodeLikeOneRead();
    void everyCodeOfTheTableRoundTripsThroughTheEncoder();
    void typedTextEncodes_data();
    void typedTextEncodes();
};

void Cp949Test::aHangulSyllableSplitAtEveryPointBetweenReadsIsOneCharacter_data()
{
    QTest::addColumn<QByteArray>("stream");
    QTest::addColumn<QString>("expected");

    // "메모리 OK" then ESC [ 0 m, "가" (KS X 1001) and "갂" (only in the extension), and a CRLF.
    const QByteArray stream = QByteArray("\xb8\xde\xb8\xf0\xb8\xae OK\x1b[0m\xb0\xa1\x81\x41\r\n");
    const QString expected = QStringLiteral("메모리 OK\x1b[0m가갂\r\n");
    for (qsizetype split = 0; split <= stream.size(); ++split)
        QTest::addRow("split at %lld", static_cast<long long>(split)) << stream << expected;
}

void Cp949Test::aHangulSyllableSplitAtEveryPointBetweenReadsIsOneCharacter()
{
    QFETCH(QByteArray, stream);
    QFETCH(QString, expected);
    for (qsizetype split = 0; split <= stream.size(); ++split) {
        const QString decoded = decodeAll({stream.left(split), stream.mid(split)});
        QVERIFY2(decoded == expected, qPrintable(QStringLiteral("split at %1 decoded to %2 instead of %3")
                                                     .arg(split).arg(show(decoded), show(expected))));
    }
    // Byte by byte too.
    QList<QByteArray> bytes;
    for (const char b : stream)
        bytes.append(QByteArray(1, b));
    QVERIFY2(decodeAll(bytes) == expected, "the stream fed one byte at a time decoded differently");
}

void Cp949Test::invalidSequencesGiveOneReplacementAndNeverSwallowWhatFollows_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("expected");

    QTest::newRow("0x80 alone") << QByteArray("A\x80" "B") << QStringLiteral("A\uFFFDB");
    QTest::newRow("0xFF alone") << QByteArray("A\xff" "B") << QStringLiteral("A\uFFFDB");
    QTest::newRow("lead then ESC keeps the escape") << QByteArray("\xb0\x1b[1mX")
                                                    << QStringLiteral("\uFFFD\x1b[1mX");
    QTest::newRow("lead then CR LF") << QByteArray("\xb0\r\n") << QStringLiteral("\uFFFD\r\n");
    QTest::newRow("lead then digit") << QByteArray("\xb0" "1") << QStringLiteral("\uFFFD" "1");
    QTest::newRow("lead then 0x80 is one replacement") << QByteArray("\xb0\x80Z") << QStringLiteral("\uFFFDZ");
    QTest::newRow("lead then 0xFF is one replacement") << QByteArray("\xb0\xffZ") << QStringLiteral("\uFFFDZ");
    QTest::newRow("unmapped pair with ASCII trail rereads the trail")
        << QByteArray("\xc9\x41!") << QStringLiteral("\uFFFDA!");
    QTest::newRow("unmapped pair with high trail is one replacement") << QByteArray("\xc9\xa1!")
                                                                      << QStringLiteral("\uFFFD!");
    QTest::newRow("0xFF then a valid pair") << QByteArray("\xff\xb0\xa1") << QStringLiteral("\uFFFD가");
    QTest::newRow("NUL and DEL pass") << QByteArray("\x00\x7f", 2) << QString::fromLatin1("\x00\x7f", 2);
}

void Cp949Test::invalidSequencesGiveOneReplacementAndNeverSwallowWhatFollows()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, expected);
    const QString decoded = decodeAll({bytes});
    QVERIFY2(decoded == expected, qPrintable(QStringLiteral("decoded to %1 instead of %2").arg(show(decoded), show(expected))));
}

void Cp949Test::randomSplitsOfAMixedReplyDecodeLikeOneRead()
{
    constexpr quint32 kSeed = 949;
    QRandomGenerator random(kSeed);
    QByteArray stream;
    for (int i = 0; i < 4000; ++i)
        stream.append(static_cast<char>(random.bounded(256)));
    const QString whole = decodeAll({stream});
    for (int round = 0; round < 200; ++round) {
        QList<QByteArray> reads;
        qsizetype at = 0;
        while (at < stream.size()) {
            const qsizetype length = 1 + random.bounded(7);
            reads.append(stream.mid(at, length));
            at += length;
        }
        QVERIFY2(decodeAll(reads) == whole,
                 qPrintable(QStringLiteral("random reads (seed %1, round %2) decoded differently from one read")
                                .arg(kSeed).arg(round)));
    }
}

void Cp949Test::everyCodeOfTheTableRoundTripsThroughTheEncoder()
{
    int codes = 0;
    for (int lead = 0x81; lead <= 0xFE; ++lead) {
        for (int trail = 0x41; trail <= 0xFE; ++trail) {
            const char32_t c = Cp949Decoder::lookup(static_cast<unsigned char>(lead), static_cast<unsigned char>(trail));
            if (c == 0)
                continue;
            ++codes;
            const QByteArray encoded = cp949Encode(QString::fromUcs4(&c, 1));
            QByteArray code;
            code.append(static_cast<char>(lead)).append(static_cast<char>(trail));
            QVERIFY2(encoded == code, qPrintable(QStringLiteral("U+%1 from %2 encodes as %3")
                                                     .arg(static_cast<uint>(c), 4, 16, QLatin1Char('0'))
                                                     .arg(QString::fromLatin1(code.toHex()),
                                                          QString::fromLatin1(encoded.toHex()))));
        }
    }
    QVERIFY2(codes == 17048, qPrintable(QStringLiteral("the table holds %1 codes, not the 17048 of code page 949").arg(codes)));
}

void Cp949Test::typedTextEncodes_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("bytes");

    QTest::newRow("ASCII") << QStringLiteral("h\r") << QByteArray("h\r");
    QTest::newRow("Hangul") << QStringLiteral("가나") << QByteArray("\xb0\xa1\xb3\xaa");
    QTest::newRow("extension syllable") << QStringLiteral("갂") << QByteArray("\x81\x41");
    QTest::newRow("unmappable") << QStringLiteral("a\u0E01b") << QByteArray("a?b");
    QTest::newRow("outside the first plane is one ?") << QStringLiteral("x😀y") << QByteArray("x?y");
    QTest::newRow("lone surrogate") << QString(QChar(0xD800)) << QByteArray("?");
}

void Cp949Test::typedTextEncodes()
{
    QFETCH(QString, text);
    QFETCH(QByteArray, bytes);
    const QByteArray encoded = cp949Encode(text);
    QVERIFY2(encoded == bytes, qPrintable(QStringLiteral("encoded as %1, expected %2")
                                              .arg(QString::fromLatin1(encoded.toHex()), QString::fromLatin1(bytes.toHex()))));
}

QTEST_APPLESS_MAIN(Cp949Test)
#include "tst_cp949.moc"
