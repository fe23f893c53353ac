// The simulated target: its monitor as a pure state machine, its Intel HEX reader, its line pacing, and
// the whole simulator through a real pseudo-terminal opened the way a console opens its serial port.

#include "link/cp949.h"
#include "tools/intelhex.h"
#include "tools/linepacer.h"
#include "tools/robotmonitor.h"
#include "tools/targetsim.h"

#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QSocketNotifier>
#include <QTest>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <memory>

using Motion = RobotMonitor::Motion;
using Outcome = RobotMonitor::LoadResult::Outcome;

namespace {

constexpr int kFastRate = 100'000;
constexpr int kWaitMs = 5000;

// The far end as a console sees it: the slave opened raw and non-blocking, read by a notifier.
class Console
{
public:
    explicit Console(const QString& path)
    {
        m_fd = ::open(path.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (m_fd < 0)
            return;
        termios tio{};
        ::tcgetattr(m_fd, &tio);
        ::cfmakeraw(&tio);
        ::tcsetattr(m_fd, TCSANOW, &tio);
        m_reader = std::make_unique<QSocketNotifier>(m_fd, QSocketNotifier::Read);
        QObject::connect(m_reader.get(), &QSocketNotifier::activated, [this] { readAll(); });
        m_writer = std::make_unique<QSocketNotifier>(m_fd, QSocketNotifier::Write);
        m_writer->setEnabled(false);
        QObject::connect(m_writer.get(), &QSocketNotifier::activated, [this] { flush(); });
    }
    ~Console()
    {
        m_reader.reset();
        m_writer.reset();
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Console(const Console&) = delete;
    Console& operator=(const Console&) = delete;

    bool isOpen() const { return m_fd >= 0; }
    const QByteArray& data() const { return m_data; }
    // What arrived since the last mark().
    QByteArray sinceMark() const { return m_data.mid(m_mark); }
    void mark() { m_mark = m_data.size(); }

    void send(const QByteArray& bytes)
    {
        m_pending += bytes;
        flush();
    }
    bool sent() const { return m_pending.isEmpty(); }

    // Waits until `needle` has arrived since the last mark.
    bool waitFor(const QByteArray& needle, int timeoutMs = kWaitMs)
    {
        return QTest::qWaitFor([&] { return m_data.indexOf(needle, m_mark) >= 0; }, timeoutMs);
    }
    // Waits for the `count`-th prompt since the last mark.
    bool waitForPrompts(int count, int timeoutMs = kWaitMs)
    {
        return QTest::qWaitFor([&] { return sinceMark().count(RobotMonitor::prompt()) >= count; }, timeoutMs);
    }

private:
    void readAll()
    {
        char buffer[4096];
        ssize_t n = 0;
        while ((n = ::read(m_fd, buffer, sizeof buffer)) > 0)
            m_data.append(buffer, n);
    }
    void flush()
    {
        while (!m_pending.isEmpty()) {
            const ssize_t n = ::write(m_fd, m_pending.constData(), static_cast<size_t>(m_pending.size()));
            if (n <= 0)
                break;
            m_pending.remove(0, n);
        }
        m_writer->setEnabled(!m_pending.isEmpty());
    }

    int m_fd = -1;
    std::unique_ptr<QSocketNotifier> m_reader;
    std::unique_ptr<QSocketNotifier> m_writer;
    QByteArray m_data;
    QByteArray m_pending;
    qsizetype m_mark = 0;
};

// A monitor with a recorder for what it says.
struct Bench
{
    QByteArray said;
    RobotMonitor monitor{[this](const QByteArray& bytes) { said += bytes; }};

    void feed(QByteArrayView bytes)
    {
        for (const char b : bytes)
            monitor.receive(b);
    }
};

// An Intel HEX record built independently of the reader under test.
QByteArray record(int type, int address, const QByteArray& data)
{
    QByteArray bytes;
    bytes += static_cast<char>(data.size());
    bytes += static_cast<char>(address >> 8);
    bytes += static_cast<char>(address);
    bytes += static_cast<char>(type);
    bytes += data;
    int sum = 0;
    for (const char b : bytes)
        sum += static_cast<unsigned char>(b);
    bytes += static_cast<char>(-sum);
    return ':' + bytes.toHex().toUpper();
}

QByteArray blinkHex()
{
    QFile file(QStringLiteral(TARGETSIM_SAMPLES_DIR "/blink.hex"));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QList<QByteArray> blinkLines()
{
    QList<QByteArray> lines = blinkHex().split('\n');
    for (QByteArray& line : lines)
        line = line.trimmed();
    lines.removeAll(QByteArray());
    return lines;
}

// A program image of `size` bytes, the same in every run.
QByteArray programImage(int size)
{
    QRandomGenerator random(2560);
    QByteArray image(size, '\0');
    for (char& b : image)
        b = static_cast<char>(random.bounded(256));
    return image;
}

// An image as the file of a large part's program carries it: an extended linear address record ahead of
// every 64 KB, data records of 16 bytes, CRLF line ends.
QByteArray largeProgramHex(const QByteArray& image)
{
    QByteArray hex;
    for (qsizetype at = 0; at < image.size(); at += 16) {
        if (at % 0x10000 == 0)
            hex += record(4, 0, QByteArray::fromHex(QByteArray::number(at >> 16, 16).rightJustified(4, '0'))) + "\r\n";
        hex += record(0, static_cast<int>(at & 0xFFFF), image.mid(at, 16)) + "\r\n";
    }
    return hex + ":00000001FF\r\n";
}

// The program bytes of blink.hex, as its author wrote them.
const QByteArray kBlinkCode = QByteArray::fromHex("7590FFB29012010A80F97F007E00DEFEDFFA22");
const QByteArray kBlinkText = QByteArray("ROBOT BLINK DEMO V1.0\0", 22);

} // namespace

class TstTargetSim : public QObject
{
    Q_OBJECT

private slots:
    // Pure pieces.
    void theHelpScreenReadsBackThroughTheConsolesDecoder();
    void theHelpScreenFitsThePaneAndIsAllEncoded();
    void aRecordIsCheckedWhole_data();
    void aRecordIsCheckedWhole();
    void eachLineEndIsOneEnter_data();
    void eachLineEndIsOneEnter();
    void lettersAreCommandsOnlyAtTheStartOfALine();
    void aHexFileLoads_data();
    void aHexFileLoads();
    void aBadRecordReportsItsLineAndTheRestIsSwallowed_data();
    void aBadRecordReportsItsLineAndTheRestIsSwallowed();
    void swallowingEndsWhenTheLineGoesQuiet();
    void escOrCtrlCAbandonsALoad_data();
    void escOrCtrlCAbandonsALoad();
    void memoryTestFindsAStuckBitAndSparesTheProgram();
    void memoryClearAndDump();
    void memoryCommandsWaitForAStoppedProgram_data();
    void memoryCommandsWaitForAStoppedProgram();
    void portTestShowsTheMotorBits_data();
    void portTestShowsTheMotorBits();
    void thePacerKeepsTheLineRate_data();
    void thePacerKeepsTheLineRate();

    // Through the pseudo-terminal.
    void aDirectionLetterReportsItsMotion_data();
    void aDirectionLetterReportsItsMotion();
    void helpArrivesInCp949();
    void aHexFileLoadsOverTheLine_data();
    void aHexFileLoadsOverTheLine();
    void lettersInsideALoadAreNotCommands();
    void aProgramRunsUntilStopped();
    void everyByteReadIsLoggedInOrder();
    void rawOutputLongerThanThePtyBufferArrivesWhole();
    void theLineSurvivesTheConsoleClosingAndReopening();
    void outputIsNeverFasterThanTheLine();
};

void TstTargetSim::theHelpScreenReadsBackThroughTheConsolesDecoder()
{
    // The simulator encodes with the console's own codec; what it says must decode to the same Hangul.
    std::u32string decoded;
    Cp949Decoder decoder;
    decoder.decode(RobotMonitor::helpText(), decoded);
    const QString text = QString::fromStdU32String(decoded);
    QVERIFY2(!text.contains(QChar(Cp949Decoder::kReplacement)), qPrintable(text));
    for (const QString& word : {QStringLiteral("전진"), QStringLiteral("좌회전"), QStringLiteral("우회전"),
                                QStringLiteral("후진"), QStringLiteral("정지")})
        QVERIFY2(text.contains(word), qPrintable(QStringLiteral("the help screen lost %1: %2").arg(word, text)));
}

void TstTargetSim::theHelpScreenFitsThePaneAndIsAllEncoded()
{
    const QByteArray help = RobotMonitor::helpText();
    QVERIFY2(!help.contains('?'), "a help line holds a syllable the encoder does not know");
    const QList<QByteArray> lines = help.split('\n');
    QVERIFY2(lines.size() + 2 <= 19, qPrintable(QStringLiteral("help takes %1 lines").arg(lines.size())));
    for (QByteArray line : lines) {
        line = line.chopped(line.endsWith('\r') ? 1 : 0);
        // In code page 949 a Hangul syllable is two bytes and two columns, so bytes are columns.
        QVERIFY2(line.size() <= 62, qPrintable(QStringLiteral("help line is %1 columns wide").arg(line.size())));
    }
}

void TstTargetSim::aRecordIsCheckedWhole_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("error");
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("address");
    QTest::addColumn<QByteArray>("data");
    using intelhex::Error;
    const auto row = [](const char* name, const QByteArray& text, Error e, int type = 0, int address = 0,
                        const QByteArray& data = {}) {
        QTest::newRow(name) << text << static_cast<int>(e) << type << address << data;
    };
    row("data", ":03011000DFFA22F1", Error::None, 0, 0x0110, QByteArray::fromHex("DFFA22"));
    row("lower-case digits", ":03011000dffa22f1", Error::None, 0, 0x0110, QByteArray::fromHex("DFFA22"));
    row("end of file", ":00000001FF", Error::None, 1, 0);
    row("end of file at another address", record(1, 0x0100, {}), Error::None, 1, 0x0100);
    row("extended linear address", ":020000040001F9", Error::None, 4, 0, QByteArray::fromHex("0001"));
    row("start linear address", record(5, 0, QByteArray::fromHex("00000100")), Error::None, 5, 0,
        QByteArray::fromHex("00000100"));
    row("checksum off by one", ":03011000DFFA22F2", Error::Checksum);
    row("no start code", "03011000DFFA22F1", Error::Format);
    row("not a hex digit", ":03011000DFGA22F1", Error::Format);
    row("empty record", ":", Error::Format);
    row("declared longer than present", ":04011000DFFA22F1", Error::Length);
    row("declared shorter than present", ":02011000DFFA22F1", Error::Length);
    row("odd digit count", ":03011000DFFA22F", Error::Length);
    row("unknown type", record(6, 0, {}), Error::RecordType);
    row("end of file with data", record(1, 0, QByteArray(1, '\0')), Error::Record);
    row("short extended address", record(4, 0, QByteArray(1, '\0')), Error::Record);
    row("extended address with an address field", record(2, 0x10, QByteArray(2, '\0')), Error::Record);
}

void TstTargetSim::aRecordIsCheckedWhole()
{
    QFETCH(QByteArray, text);
    QFETCH(int, error);
    const intelhex::ParseResult result = intelhex::parseRecord(text);
    QVERIFY2(static_cast<int>(result.error) == error,
             qPrintable(QStringLiteral("%1 gave error %2, expected %3")
                            .arg(QString::fromLatin1(text)).arg(static_cast<int>(result.error)).arg(error)));
    if (error != static_cast<int>(intelhex::Error::None))
        return;
    QFETCH(int, type);
    QFETCH(int, address);
    QFETCH(QByteArray, data);
    QCOMPARE(static_cast<int>(result.record.type), type);
    QCOMPARE(static_cast<int>(result.record.address), address);
    QCOMPARE(result.record.data, data);
}

void TstTargetSim::eachLineEndIsOneEnter_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<int>("prompts");
    QTest::newRow("CR") << QByteArray("\r") << 1;
    QTest::newRow("LF") << QByteArray("\n") << 1;
    QTest::newRow("CRLF") << QByteArray("\r\n") << 1;
    QTest::newRow("CR CR") << QByteArray("\r\r") << 2;
    QTest::newRow("LF CR") << QByteArray("\n\r") << 2;
    QTest::newRow("CRLF CRLF") << QByteArray("\r\n\r\n") << 2;
    QTest::newRow("CR LF LF") << QByteArray("\r\n\n") << 2;
}

void TstTargetSim::eachLineEndIsOneEnter()
{
    QFETCH(QByteArray, input);
    QFETCH(int, prompts);
    Bench bench;
    bench.feed(input);
    QVERIFY2(bench.said == RobotMonitor::prompt().repeated(prompts),
             qPrintable(QStringLiteral("answered %1").arg(QString::fromLatin1(bench.said.toHex(' ')))));
}

void TstTargetSim::lettersAreCommandsOnlyAtTheStartOfALine()
{
    Bench bench;
    bench.feed("xF");
    QVERIFY2(bench.monitor.motion() == Motion::Stop, "an F typed after other text moved the robot");
    QCOMPARE(bench.said, QByteArray("xF"));
    bench.feed("\b\b");
    QCOMPARE(bench.said, QByteArray("xF\b \b\b \b"));
    bench.said.clear();
    bench.feed("zz\r");
    QCOMPARE(bench.said, "zz\r\n?" + RobotMonitor::prompt());
    bench.said.clear();
    bench.feed("F");
    QVERIFY2(bench.monitor.motion() == Motion::Forward, "an F at the start of a line did not move the robot");
    QCOMPARE(bench.said, "F\r\nFORWARD" + RobotMonitor::prompt());
}

void TstTargetSim::aHexFileLoads_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<int>("start");
    QTest::addColumn<int>("offset"); // where the program lands, counted from where its records place it
    const QList<QByteArray> lines = blinkLines();
    QVERIFY2(lines.size() == 5, "tools/samples/blink.hex is missing or changed");
    QTest::newRow("CRLF") << lines.join("\r\n") + "\r\n" << 0x0100 << 0;
    QTest::newRow("LF") << lines.join("\n") + "\n" << 0x0100 << 0;
    QTest::newRow("CR") << lines.join("\r") + "\r" << 0x0100 << 0;
    QTest::newRow("no final line end") << lines.join("\r\n") << 0x0100 << 0;
    QTest::newRow("lower case") << lines.join("\n").toLower() + "\n" << 0x0100 << 0;
    QByteArray spaced = "\r\n\r\n";
    for (const QByteArray& line : lines)
        spaced += "  " + line.left(3) + ' ' + line.mid(3) + "\t\r\n\r\n";
    spaced += "\x1A";
    QTest::newRow("blank lines and whitespace") << spaced << 0x0100 << 0;
    QTest::newRow("address and start records") << record(4, 0, QByteArray(2, '\0')) + "\r\n"
            + record(5, 0, QByteArray::fromHex("00000120")) + "\r\n" + lines.join("\r\n")
            + "\r\n" << 0x0120 << 0;
    QTest::newRow("segment address and start records") << record(2, 0, QByteArray::fromHex("0010")) + '\n'
            + record(0, 0x0000, kBlinkCode.left(16)) + '\n' + record(3, 0, QByteArray::fromHex("00100004")) + '\n'
            + record(2, 0, QByteArray(2, '\0')) + '\n' + lines.mid(1).join("\n")
            + '\n' << 0x0104 << 0;
    QTest::newRow("segment address at the top of the RAM") << record(2, 0, QByteArray::fromHex("0F00")) + "\r\n"
            + lines.join("\r\n") + "\r\n" << 0xF100 << 0xF000;
    QTest::newRow("linear address record 0000 ahead of each part") << record(4, 0, QByteArray(2, '\0')) + "\r\n"
            + lines.mid(0, 2).join("\r\n") + "\r\n" + record(4, 0, QByteArray(2, '\0')) + "\r\n"
            + lines.mid(2).join("\r\n") + "\r\n" << 0x0100 << 0;
}

void TstTargetSim::aHexFileLoads()
{
    QFETCH(QByteArray, file);
    QFETCH(int, start);
    QFETCH(int, offset);
    Bench bench;
    bench.feed("l");
    QVERIFY2(bench.monitor.mode() == RobotMonitor::Mode::Load, "l did not enter load mode");
    bench.said.clear();
    bench.feed(file);
    const RobotMonitor::LoadResult& result = bench.monitor.lastLoad();
    QVERIFY2(result.outcome == Outcome::Loaded, qPrintable("load did not finish: " + bench.said));
    QCOMPARE(result.bytes, kBlinkCode.size() + kBlinkText.size());
    QCOMPARE(result.start.value_or(0), static_cast<std::uint32_t>(start));
    QCOMPARE(bench.said, "\r\nLOADED 41 BYTES, START " + QByteArray::number(start, 16).toUpper().rightJustified(4, '0')
                             + RobotMonitor::prompt());
    const QByteArray memory = bench.monitor.memory();
    QCOMPARE(memory.mid(offset + 0x0100, kBlinkCode.size()), kBlinkCode);
    QCOMPARE(memory.mid(offset + 0x0120, kBlinkText.size()), kBlinkText);
    QVERIFY2(bench.monitor.mode() == RobotMonitor::Mode::Command, "still in load mode after the end record");
}

void TstTargetSim::aBadRecordReportsItsLineAndTheRestIsSwallowed_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<int>("line");
    QList<QByteArray> lines = blinkLines();
    const QByteArray eof = lines.takeLast();
    const auto with = [&](int index, const QByteArray& replacement) {
        QList<QByteArray> copy = lines;
        copy[index] = replacement;
        return copy.join("\r\n") + "\r\n" + eof + "\r\n";
    };
    QByteArray badSum = lines[2];
    badSum.back() = badSum.back() == '0' ? '1' : '0';
    QTest::newRow("checksum") << with(2, badSum) << QByteArray("CHECKSUM ERROR") << 3;
    QTest::newRow("blank lines before the file are not counted")
        << "\r\n\n" + with(2, badSum) << QByteArray("CHECKSUM ERROR") << 3;
    QTest::newRow("blank lines inside the file are counted")
        << lines[0] + "\r\n\r\n" + with(1, badSum).mid(lines[0].size() + 2) << QByteArray("CHECKSUM ERROR") << 3;
    QTest::newRow("no start code") << with(1, lines[1].mid(1)) << QByteArray("FORMAT ERROR") << 2;
    QTest::newRow("letter that is not a digit") << with(1, ":0301100QDFFA22F1") << QByteArray("FORMAT ERROR") << 2;
    QTest::newRow("line ends inside the record") << with(1, lines[1].chopped(2)) << QByteArray("LENGTH ERROR") << 2;
    QTest::newRow("two records on a line") << with(0, lines[0] + lines[1]) << QByteArray("FORMAT ERROR") << 1;
    QTest::newRow("unknown record type") << with(3, record(6, 0, {})) << QByteArray("RECORD TYPE ERROR") << 4;
    QTest::newRow("past the end of RAM") << with(3, record(0, 0xFFF8, QByteArray(16, 'x')))
                                         << QByteArray("ADDRESS FFF8-10007 BEYOND FFFF") << 4;
    QTest::newRow("extended linear address beyond RAM")
        << with(0, record(4, 0, QByteArray::fromHex("0001"))) << QByteArray("ADDRESS 10110-10112 BEYOND FFFF") << 2;
    QTest::newRow("extended segment address beyond RAM")
        << with(0, record(2, 0, QByteArray::fromHex("1000"))) << QByteArray("ADDRESS 10110-10112 BEYOND FFFF") << 2;
    // The last byte's address does not fit 32 bits: it must not wrap round into the RAM.
    QTest::newRow("data at the top of the address space") << record(4, 0, QByteArray::fromHex("FFFF")) + "\r\n"
            + record(0, 0xFFF8, QByteArray(16, 'x')) + "\r\n" + eof + "\r\n"
                                                          << QByteArray("ADDRESS FFFFFFF8-100000007 BEYOND FFFF") << 2;
    QTest::newRow("start address beyond RAM")
        << with(3, record(5, 0, QByteArray::fromHex("00010000"))) << QByteArray("START ADDRESS 10000 BEYOND FFFF") << 4;
}

void TstTargetSim::aBadRecordReportsItsLineAndTheRestIsSwallowed()
{
    QFETCH(QByteArray, file);
    QFETCH(QByteArray, message);
    QFETCH(int, line);
    Bench bench;
    bench.feed("l");
    bench.said.clear();
    bench.feed(file);
    const RobotMonitor::LoadResult& result = bench.monitor.lastLoad();
    const QByteArray expected = message + " AT LINE " + QByteArray::number(line);
    QVERIFY2(result.outcome == Outcome::Failed && result.message == expected && result.line == line,
             qPrintable("expected " + expected + ", the monitor said " + bench.said));
    // The rest of the file up to its end record is swallowed: no echo, no "?", no motion.
    QCOMPARE(bench.said, "\r\n" + expected + RobotMonitor::prompt());
    QVERIFY2(bench.monitor.motion() == Motion::Stop, "hex digits after a bad record moved the robot");
    QVERIFY2(bench.monitor.mode() == RobotMonitor::Mode::Command, "the end record did not end the failed load");
    QVERIFY2(!bench.monitor.hasProgram(), "a failed load left a program to run");
    bench.said.clear();
    bench.feed("F");
    QCOMPARE(bench.said, "F\r\nFORWARD" + RobotMonitor::prompt());
}

void TstTargetSim::swallowingEndsWhenTheLineGoesQuiet()
{
    Bench bench;
    bench.feed("l:0201000012F");
    bench.feed("\r\nFBFB\r\n");
    QVERIFY2(bench.monitor.mode() == RobotMonitor::Mode::Discard, "a failed load is not swallowing the rest");
    QVERIFY2(bench.monitor.motion() == Motion::Stop, "letters after a bad record moved the robot");
    bench.said.clear();
    bench.monitor.lineIdle();
    QCOMPARE(bench.said, RobotMonitor::prompt());
    bench.feed("B");
    QVERIFY2(bench.monitor.motion() == Motion::Backward, "commands do not work after the line went quiet");
}

void TstTargetSim::escOrCtrlCAbandonsALoad_data()
{
    QTest::addColumn<char>("key");
    QTest::newRow("ESC") << '\x1B';
    QTest::newRow("Ctrl-C") << '\x03';
}

void TstTargetSim::escOrCtrlCAbandonsALoad()
{
    QFETCH(char, key);
    Bench bench;
    bench.feed("l" + blinkLines().first() + "\r\n:0301");
    bench.said.clear();
    bench.feed(QByteArray(1, key));
    QCOMPARE(bench.said, "\r\nLOAD ABORTED" + RobotMonitor::prompt());
    QVERIFY2(bench.monitor.lastLoad().outcome == Outcome::Aborted, "the abandoned load is not recorded as aborted");
    QVERIFY2(!bench.monitor.hasProgram(), "a half-loaded program can be run");
    bench.feed("L");
    QVERIFY2(bench.monitor.motion() == Motion::LeftTurn, "commands do not work after an abandoned load");
}

void TstTargetSim::memoryTestFindsAStuckBitAndSparesTheProgram()
{
    Bench bench;
    bench.feed("l" + blinkHex());
    const QByteArray before = bench.monitor.memory();
    bench.said.clear();
    bench.feed("m");
    QVERIFY2(bench.said.contains("\r\nMEMORY TEST OK" + RobotMonitor::prompt()), qPrintable(bench.said));
    QCOMPARE(bench.said.count('.'), RobotMonitor::kTestDots);
    for (const QByteArray& line : bench.said.split('\n'))
        QVERIFY2(line.trimmed().size() <= 62, qPrintable("memory test line too wide for the pane: " + line));
    QVERIFY2(bench.monitor.memory() == before, "the memory test changed the memory");

    bench.monitor.setStuckBits(0x0123, 0x02, 0x02);
    bench.said.clear();
    bench.feed("m");
    QVERIFY2(bench.said.contains("\r\nMEMORY ERROR AT 0123: WROTE 55 READ 57" + RobotMonitor::prompt()),
             qPrintable("a stuck bit at 0123 was reported as: " + bench.said));
}

void TstTargetSim::memoryClearAndDump()
{
    Bench bench;
    bench.feed("c");
    QVERIFY2(bench.monitor.memory() == QByteArray(RobotMonitor::kMemorySize, '\0'), "c left memory uncleared");
    bench.feed("l" + blinkHex());
    bench.said.clear();
    bench.feed("d");
    const QList<QByteArray> lines = bench.said.split('\n');
    QVERIFY2(bench.said.contains("\r\n0100: 7590FFB2 9012010A 80F97F00 7E00DEFE  u...........~...\r\n"),
             qPrintable("the dump of the loaded program reads: " + bench.said));
    QVERIFY2(bench.said.contains("0120: 524F424F 5420424C 494E4B20 44454D4F  ROBOT BLINK DEMO\r\n"),
             qPrintable(bench.said));
    QCOMPARE(lines.size(), 1 + 1 + RobotMonitor::kDumpBytes / 16 + 1);
    for (const QByteArray& line : lines)
        QVERIFY2(line.trimmed().size() <= 62, qPrintable("dump line too wide: " + line));
}

void TstTargetSim::memoryCommandsWaitForAStoppedProgram_data()
{
    QTest::addColumn<char>("command");
    QTest::newRow("memory test") << 'm';
    QTest::newRow("memory clear") << 'c';
    QTest::newRow("load") << 'l';
}

void TstTargetSim::memoryCommandsWaitForAStoppedProgram()
{
    QFETCH(char, command);
    Bench bench;
    bench.feed("l" + blinkHex() + "r");
    QVERIFY2(bench.monitor.isRunning(), "the loaded program did not run");
    const QByteArray memory = bench.monitor.memory();
    bench.said.clear();
    bench.feed(QByteArray(1, command));
    QCOMPARE(bench.said, command + QByteArray("\r\nPROGRAM RUNNING, q TO STOP") + RobotMonitor::prompt());
    QVERIFY2(bench.monitor.memory() == memory && bench.monitor.mode() == RobotMonitor::Mode::Command,
             "a memory command acted under a running program");
}

void TstTargetSim::portTestShowsTheMotorBits_data()
{
    QTest::addColumn<QByteArray>("commands");
    QTest::addColumn<QByteArray>("p1");
    QTest::newRow("stopped") << QByteArray("S") << QByteArray("00");
    QTest::newRow("forward") << QByteArray("F") << QByteArray("05");
    QTest::newRow("backward") << QByteArray("B") << QByteArray("0A");
    QTest::newRow("left") << QByteArray("L") << QByteArray("06");
    QTest::newRow("right") << QByteArray("FR") << QByteArray("09");
}

void TstTargetSim::portTestShowsTheMotorBits()
{
    QFETCH(QByteArray, commands);
    QFETCH(QByteArray, p1);
    Bench bench;
    bench.feed(commands);
    bench.said.clear();
    bench.feed("p");
    QCOMPARE(bench.said, "p\r\nPORT TEST: P0=FF P1=" + p1 + " P2=00 P3=A5 OK" + RobotMonitor::prompt());
}

void TstTargetSim::thePacerKeepsTheLineRate_data()
{
    QTest::addColumn<int>("rate");
    QTest::addColumn<int>("tickUs");
    QTest::addColumn<int>("ticks");
    QTest::addColumn<int>("expected");
    // One byte may start at once; after that exactly the rate, fractions carried from tick to tick.
    QTest::newRow("960 B/s, 10 ms ticks, 1 s") << 960 << 10'000 << 100 << 961;
    QTest::newRow("960 B/s, 3 ms ticks, 0.3 s") << 960 << 3'000 << 100 << 289;
    QTest::newRow("960 B/s, 1 ms ticks, 1 s") << 960 << 1'000 << 1000 << 961;
    QTest::newRow("100000 B/s, 10 ms ticks, 1 s") << 100'000 << 10'000 << 100 << 100'001;
    // A tick 200 ms late catches up at most 50 ms of the line: idle time is never saved up.
    QTest::newRow("960 B/s, one late tick") << 960 << 200'000 << 1 << 1 + 48;
}

void TstTargetSim::thePacerKeepsTheLineRate()
{
    QFETCH(int, rate);
    QFETCH(int, tickUs);
    QFETCH(int, ticks);
    QFETCH(int, expected);
    LinePacer pacer(rate);
    pacer.restart();
    qint64 total = pacer.due();
    pacer.consume(total);
    for (int i = 0; i < ticks; ++i) {
        const qint64 due = pacer.advance(qint64(tickUs) * 1000);
        pacer.consume(due);
        total += due;
    }
    QVERIFY2(total == expected, qPrintable(QStringLiteral("%1 bytes passed, expected %2").arg(total).arg(expected)));
}

void TstTargetSim::aDirectionLetterReportsItsMotion_data()
{
    QTest::addColumn<char>("letter");
    QTest::addColumn<QByteArray>("report");
    QTest::addColumn<int>("motion");
    QTest::newRow("F") << 'F' << QByteArray("FORWARD") << static_cast<int>(Motion::Forward);
    QTest::newRow("L") << 'L' << QByteArray("LEFT TURN") << static_cast<int>(Motion::LeftTurn);
    QTest::newRow("R") << 'R' << QByteArray("RIGHT TURN") << static_cast<int>(Motion::RightTurn);
    QTest::newRow("B") << 'B' << QByteArray("BACKWARD") << static_cast<int>(Motion::Backward);
    QTest::newRow("S after F") << 'S' << QByteArray("STOP") << static_cast<int>(Motion::Stop);
}

void TstTargetSim::aDirectionLetterReportsItsMotion()
{
    QFETCH(char, letter);
    QFETCH(QByteArray, report);
    QFETCH(int, motion);
    TargetSimulator sim(kFastRate);
    Console console(sim.slavePath());
    QVERIFY2(console.isOpen(), qPrintable("cannot open the simulator's line " + sim.slavePath()));
    QSignalSpy motions(&sim, &TargetSimulator::motionChanged);
    if (letter == 'S') {
        console.send("F");
        QVERIFY2(console.waitFor("FORWARD"), "no answer to F");
        console.mark();
    }
    console.send(QByteArray(1, letter));
    const QByteArray expected = letter + QByteArray("\r\n") + report + RobotMonitor::prompt();
    QVERIFY2(console.waitFor(expected), qPrintable("expected " + report + ", got: " + console.sinceMark()));
    QCOMPARE(static_cast<int>(sim.motion()), motion);
    QVERIFY2(!motions.isEmpty() && motions.last().at(0).value<Motion>() == sim.motion(),
             "motionChanged did not report the new motion");
    QCOMPARE(sim.received().right(1), QByteArray(1, letter));
}

void TstTargetSim::helpArrivesInCp949()
{
    TargetSimulator sim(kFastRate);
    Console console(sim.slavePath());
    console.send("h");
    QVERIFY2(console.waitForPrompts(1), qPrintable("no prompt after the help screen: " + console.data()));
    // "h : 도움말" and "m : 메모리 테스트" as the system converter writes them.
    QVERIFY2(console.data().contains(QByteArray::fromHex("68203a20b5b5bff2b8bb")), "the help entry for h is missing");
    QVERIFY2(console.data().contains(QByteArray::fromHex("6d203a20b8deb8f0b8ae20c5d7bdbac6ae")),
             "the help entry for m is missing");
}

void TstTargetSim::aHexFileLoadsOverTheLine_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<int>("bytes"); // data bytes loaded (0 when the load failed)
    QTest::addColumn<int>("at"); // where `image` must stand in the RAM afterwards
    QTest::addColumn<QByteArray>("image");
    const QList<QByteArray> lines = blinkLines();
    const QByteArray blink("LOADED 41 BYTES, START 0100");
    QTest::newRow("CRLF") << lines.join("\r\n") + "\r\n" << blink << 41 << 0x0100 << kBlinkCode;
    QTest::newRow("LF") << lines.join("\n") + "\n" << blink << 41 << 0x0100 << kBlinkCode;
    QTest::newRow("no final line end") << lines.join("\r\n") << blink << 41 << 0x0100 << kBlinkCode;
    // 184 KB of text that fills the RAM.
    const QByteArray full = programImage(RobotMonitor::kMemorySize);
    QTest::newRow("a large part's program filling the RAM")
        << largeProgramHex(full) << QByteArray("LOADED 65536 BYTES, START 0000") << RobotMonitor::kMemorySize << 0
        << full;
    // 207 KB of text: the RAM holds what came before the first record beyond it, and the rest (hex digits,
    // F and B among them) is swallowed. Line 1 is the address record, 2..4097 the first 64 KB, 4098 the next
    // address record.
    const QByteArray over = programImage(RobotMonitor::kMemorySize + 8192);
    QTest::newRow("a program larger than the RAM")
        << largeProgramHex(over) << QByteArray("ADDRESS 10000-1000F BEYOND FFFF AT LINE 4099") << 0 << 0
        << over.left(RobotMonitor::kMemorySize);
}

void TstTargetSim::aHexFileLoadsOverTheLine()
{
    QFETCH(QByteArray, file);
    QFETCH(QByteArray, reply);
    QFETCH(int, bytes);
    QFETCH(int, at);
    QFETCH(QByteArray, image);
    TargetSimulator sim(kFastRate);
    Console console(sim.slavePath());
    QSignalSpy loads(&sim, &TargetSimulator::loadFinished);
    console.send("l");
    QVERIFY2(console.waitFor("ESC TO ABORT\r\n"), "l did not announce load mode");
    QVERIFY2(sim.inLoadMode(), "l did not enter load mode");
    console.mark();
    console.send(file);
    // The line takes the file at its rate, with room for a loaded machine.
    const int timeoutMs = kWaitMs + static_cast<int>(file.size() * 4000 / kFastRate);
    QVERIFY2(console.waitFor("\r\n" + reply + RobotMonitor::prompt(), timeoutMs),
             qPrintable("the load ended with: " + console.sinceMark().right(200)));
    QCOMPARE(sim.loadedByteCount(), bytes);
    QVERIFY2(sim.memory().mid(at, image.size()) == image, "the RAM does not hold the program's bytes");
    QCOMPARE(loads.size(), 1);
    QVERIFY2(sim.motion() == Motion::Stop, "the file's letters moved the robot");
    QVERIFY2(sim.received() == "l" + file, "the simulator's log differs from what was sent");
}

void TstTargetSim::lettersInsideALoadAreNotCommands()
{
    TargetSimulator sim(kFastRate);
    Console console(sim.slavePath());
    // Data full of the direction letters F and B, and of the digits of every command's line.
    const QByteArray file = record(0, 0x0200, QByteArray::fromHex("FBFBFBFBBFBFBFBF")) + "\r\n"
        + record(0, 0x0208, QByteArray::fromHex("FFFFBBBB")) + "\r\n:00000001FF\r\n";
    console.send("l" + file);
    QVERIFY2(console.waitFor("LOADED 12 BYTES, START 0200"), qPrintable(console.data()));
    QVERIFY2(sim.motion() == Motion::Stop, "hex digits inside a load moved the robot");
    QVERIFY2(!console.data().contains("FORWARD") && !console.data().contains("BACKWARD"),
             "hex digits inside a load were answered as commands");
}

void TstTargetSim::aProgramRunsUntilStopped()
{
    TargetSimulator sim(kFastRate);
    Console console(sim.slavePath());
    QSignalSpy running(&sim, &TargetSimulator::runningChanged);
    console.send("r");
    QVERIFY2(console.waitFor("NO PROGRAM"), "r without a program was not refused");
    console.send("l" + blinkHex());
    QVERIFY2(console.waitFor("LOADED"), "blink.hex did not load");
    console.mark();
    console.send("r");
    QVERIFY2(console.waitFor("r\r\nRUN AT 0100" + RobotMonitor::prompt()), qPrintable(console.sinceMark()));
    QVERIFY2(sim.isRunning(), "the program is not running after r");
    console.mark();
    QVERIFY2(console.waitFor(".", 3 * TargetSimulator::kHeartbeatMs), "a running program shows no sign of life");
    console.send("L");
    QVERIFY2(console.waitFor("LEFT TURN"), "direction letters do not work while a program runs");
    console.mark();
    console.send("q");
    QVERIFY2(console.waitFor("q\r\nSTOPPED" + RobotMonitor::prompt()), qPrintable(console.sinceMark()));
    QVERIFY2(!sim.isRunning(), "the program still runs after q");
    QCOMPARE(running.size(), 2);
}

void TstTargetSim::everyByteReadIsLoggedInOrder()
{
    constexpr quint32 kSeed = 20240611;
    QRandomGenerator random(kSeed);
    QByteArray input(5 * TargetSimulator::kInboxLimit, '\0');
    for (char& b : input)
        b = static_cast<char>(random.bounded(256));
    TargetSimulator sim(kFastRate);
    Console console(sim.slavePath());
    console.send(input);
    const bool all = QTest::qWaitFor([&] { return sim.received().size() >= input.size(); }, 4 * kWaitMs);
    QVERIFY2(all && sim.received() == input,
             qPrintable(QStringLiteral("random input (seed %1): %2 of %3 bytes logged, %4")
                            .arg(kSeed).arg(sim.received().size()).arg(input.size())
                            .arg(sim.received() == input.left(sim.received().size()) ? "in order" : "out of order")));
}

void TstTargetSim::rawOutputLongerThanThePtyBufferArrivesWhole()
{
    QByteArray bytes;
    for (int i = 0; i < 40'000; ++i)
        bytes += static_cast<char>(i * 7);
    TargetSimulator sim(1'000'000);
    // Nobody reads at first: the pty fills and the simulator must wait, not drop.
    sim.sendRaw(bytes);
    QTest::qWait(100);
    Console console(sim.slavePath());
    const bool all = QTest::qWaitFor([&] { return console.data().size() >= bytes.size(); }, 4 * kWaitMs);
    QVERIFY2(all && console.data() == bytes,
             qPrintable(QStringLiteral("%1 of %2 raw bytes arrived%3").arg(console.data().size()).arg(bytes.size())
                            .arg(console.data() == bytes.left(console.data().size()) ? "" : ", corrupted")));
    QCOMPARE(sim.bytesSent(), bytes.size());
}

void TstTargetSim::theLineSurvivesTheConsoleClosingAndReopening()
{
    TargetSimulator sim(kFastRate);
    QSignalSpy failures(&sim, &TargetSimulator::lineFailed);
    {
        Console first(sim.slavePath());
        first.send("F");
        QVERIFY2(first.waitFor("FORWARD" + RobotMonitor::prompt()), "no answer to the first console");
    }
    QTest::qWait(50);
    Console second(sim.slavePath());
    second.send("L");
    QVERIFY2(second.waitFor("LEFT TURN"), qPrintable("no answer to the second console: " + second.data()));
    QVERIFY2(failures.isEmpty(), qPrintable("the line failed: " + failures.value(0).value(0).toString()));
}

void TstTargetSim::outputIsNeverFasterThanTheLine()
{
    // Pacing exists: at the default rate output cannot outrun 9600 bit/s. Only the upper bound is held;
    // how close a loaded machine comes to the line rate is a figure for the benchmarks, printed here.
    TargetSimulator sim;
    Console console(sim.slavePath());
    sim.sendRaw(QByteArray(4 * TargetSimulator::kLineRate, 'U'));
    QVERIFY2(console.waitFor("U"), "no paced output arrived");
    QElapsedTimer clock;
    clock.start();
    const qsizetype first = console.data().size();
    QTest::qWait(1000);
    const qsizetype bytes = console.data().size() - first;
    const double seconds = static_cast<double>(clock.nsecsElapsed()) / 1e9;
    const double rate = static_cast<double>(bytes) / seconds;
    qInfo("paced output: %lld bytes in %.3f s = %.0f B/s (line rate %d)", static_cast<long long>(bytes), seconds,
          rate, TargetSimulator::kLineRate);
    // A 50 ms burst allowance is all the credit the pacer ever holds.
    QVERIFY2(bytes <= 1100 * seconds + 0.05 * TargetSimulator::kLineRate + 1,
             qPrintable(QStringLiteral("%1 B/s is faster than the line allows").arg(rate)));
}

QTEST_GUILESS_MAIN(TstTargetSim)
#include "tst_targetsim.moc"
