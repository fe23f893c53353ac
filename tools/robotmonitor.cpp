#include "tools/robotmonitor.h"

#include "link/cp949.h"
#include "tools/intelhex.h"

#include <QString>

#include <algorithm>
#include <array>

namespace {

constexpr char kEscape = 0x1B;
constexpr char kCtrlC = 0x03;
constexpr char kCtrlZ = 0x1A;
constexpr char kBackspace = 0x08;
constexpr char kDelete = 0x7F;
constexpr char kBell = 0x07;
constexpr int kDumpRowBytes = 16;
constexpr int kTestBlock = RobotMonitor::kMemorySize / RobotMonitor::kTestDots;
constexpr std::array<std::uint8_t, 4> kTestPatterns{0x55, 0xAA, 0x00, 0xFF};

// Power-on RAM is not blank on the real board; a fixed generator makes every run start alike.
QByteArray powerOnNoise()
{
    QByteArray ram(RobotMonitor::kMemorySize, '\0');
    std::uint32_t state = 0x2F6B'1D03u;
    for (char& cell : ram) {
        state = state * 1'664'525u + 1'013'904'223u;
        cell = static_cast<char>(state >> 24);
    }
    return ram;
}

QByteArray hex(std::uint64_t value, int digits = 4)
{
    return QByteArray::number(value, 16).toUpper().rightJustified(digits, '0');
}

bool isCommandLetter(char c)
{
    return QByteArrayView("FLRBShmcdlrpq").contains(c);
}

// The help screen, one entry per line. It must fit the console's 62-column pane (a Hangul syllable takes
// two columns) and, with its prompt, the pane's 21 rows.
constexpr std::array<const char16_t*, 13> kHelpLines{
    u"ROBOT MONITOR V1.3  RAM 0000-FFFF (64 KB)",
    u" F : 전진      L : 좌회전    R : 우회전",
    u" B : 후진      S : 정지",
    u" h : 도움말",
    u" m : 메모리 테스트",
    u" c : 메모리 클리어",
    u" d : 메모리 덤프",
    u" l : 프로그램 다운로딩 (ESC, Ctrl-C : 취소)",
    u"     Intel HEX 레코드 00-05, 확장 주소 02/04, 0000-FFFF",
    u" r : 프로그램 실행",
    u" p : 포트 테스트",
    u" q : 프로그램 실행 정지",
    u" Enter : 새 프롬프트",
};

} // namespace

RobotMonitor::RobotMonitor(Output output)
    : m_output(std::move(output))
    , m_ram(powerOnNoise())
{
}

QByteArray RobotMonitor::prompt()
{
    return QByteArrayLiteral("\r\nROBOT> ");
}

QByteArray RobotMonitor::helpText()
{
    static const QByteArray text = [] {
        QByteArray out;
        for (const char16_t* line : kHelpLines) {
            if (!out.isEmpty())
                out += "\r\n";
            // A character without a code shows as '?', which the tests catch.
            out += cp949Encode(QStringView(line));
        }
        return out;
    }();
    return text;
}

void RobotMonitor::say(const QByteArray& text)
{
    if (m_output)
        m_output(text);
}

void RobotMonitor::answer(const QByteArray& text)
{
    say("\r\n" + text + prompt());
}

void RobotMonitor::powerOn()
{
    answer(QByteArrayLiteral("ROBOT MONITOR V1.3"));
}

QByteArray RobotMonitor::memory() const
{
    QByteArray out = m_ram;
    if (m_stuckMask != 0)
        out[m_stuckAddress] = static_cast<char>(read(m_stuckAddress));
    return out;
}

std::uint8_t RobotMonitor::read(std::uint32_t address) const
{
    const auto cell = static_cast<std::uint8_t>(m_ram.at(address));
    if (address != m_stuckAddress || m_stuckMask == 0)
        return cell;
    return static_cast<std::uint8_t>((cell & ~m_stuckMask) | (m_stuckValue & m_stuckMask));
}

void RobotMonitor::write(std::uint32_t address, std::uint8_t value)
{
    m_ram[address] = static_cast<char>(value);
}

void RobotMonitor::setStuckBits(std::uint16_t address, std::uint8_t mask, std::uint8_t value)
{
    m_stuckAddress = static_cast<std::uint16_t>(address % kMemorySize);
    m_stuckMask = mask;
    m_stuckValue = value;
}

void RobotMonitor::receive(char byte)
{
    const bool secondHalfOfCrLf = byte == '\n' && m_afterCR;
    m_afterCR = byte == '\r';
    if (m_inFileTail) {
        // The end record completed the load before the file's last line end, trailing blank lines or
        // end-of-file mark arrived: those belong to the file, not to the operator.
        if (byte == '\r' || byte == '\n' || byte == ' ' || byte == '\t' || byte == kCtrlZ)
            return;
        m_inFileTail = false;
    }
    if (secondHalfOfCrLf)
        return;
    if (m_mode == Mode::Command)
        receiveCommand(byte);
    else
        receiveLoad(byte);
}

void RobotMonitor::receiveCommand(char byte)
{
    switch (byte) {
    case '\r':
    case '\n':
        endOfLine();
        return;
    case kEscape:
    case kCtrlC:
        if (!m_line.isEmpty()) {
            m_line.clear();
            say(prompt());
        }
        return;
    case kBackspace:
    case kDelete:
        if (!m_line.isEmpty()) {
            m_line.chop(1);
            say(QByteArrayLiteral("\b \b"));
        }
        return;
    default:
        break;
    }
    if (byte < 0x20 || byte > 0x7E)
        return;
    if (m_line.isEmpty() && isCommandLetter(byte)) {
        say(QByteArray(1, byte));
        runCommand(byte);
        return;
    }
    if (m_line.size() >= kMaxCommandLine) {
        say(QByteArray(1, kBell));
        return;
    }
    m_line.append(byte);
    say(QByteArray(1, byte));
}

void RobotMonitor::endOfLine()
{
    if (m_line.isEmpty()) {
        say(prompt());
        return;
    }
    m_line.clear();
    answer(QByteArrayLiteral("?"));
}

void RobotMonitor::runCommand(char letter)
{
    switch (letter) {
    case 'F': setMotion(Motion::Forward, "FORWARD"); break;
    case 'L': setMotion(Motion::LeftTurn, "LEFT TURN"); break;
    case 'R': setMotion(Motion::RightTurn, "RIGHT TURN"); break;
    case 'B': setMotion(Motion::Backward, "BACKWARD"); break;
    case 'S': setMotion(Motion::Stop, "STOP"); break;
    case 'h': help(); break;
    case 'm': memoryTest(); break;
    case 'c': memoryClear(); break;
    case 'd': memoryDump(); break;
    case 'l': startLoad(); break;
    case 'r': run(); break;
    case 'p': portTest(); break;
    case 'q': stop(); break;
    default: break;
    }
}

void RobotMonitor::setMotion(Motion motion, const char* word)
{
    m_motion = motion;
    answer(word);
}

void RobotMonitor::help()
{
    answer(helpText());
}

void RobotMonitor::memoryTest()
{
    if (m_running) {
        answer(QByteArrayLiteral("PROGRAM RUNNING, q TO STOP"));
        return;
    }
    // Non-destructive: every cell gets its own value back, so a loaded program survives the test.
    QByteArray out = "\r\nMEMORY TEST 0000-" + hex(kMemorySize - 1, 4) + ' ';
    for (std::uint32_t address = 0; address < kMemorySize; ++address) {
        const char saved = m_ram.at(address);
        for (const std::uint8_t pattern : kTestPatterns) {
            write(address, pattern);
            const std::uint8_t seen = read(address);
            if (seen != pattern) {
                m_ram[address] = saved;
                say(out + "\r\nMEMORY ERROR AT " + hex(address, 4) + ": WROTE " + hex(pattern, 2) + " READ "
                    + hex(seen, 2) + prompt());
                return;
            }
        }
        m_ram[address] = saved;
        if ((address + 1) % kTestBlock == 0)
            out += '.';
    }
    say(out + "\r\nMEMORY TEST OK" + prompt());
}

void RobotMonitor::memoryClear()
{
    if (m_running) {
        answer(QByteArrayLiteral("PROGRAM RUNNING, q TO STOP"));
        return;
    }
    m_ram.fill('\0');
    m_programStart.reset();
    answer("MEMORY CLEARED 0000-" + hex(kMemorySize - 1, 4) + " (00)");
}

void RobotMonitor::memoryDump()
{
    const std::uint32_t from = std::min<std::uint32_t>(m_dumpFrom & ~0xFu, kMemorySize - kDumpBytes);
    QByteArray out = "\r\nMEMORY DUMP " + hex(from, 4) + '-' + hex(from + kDumpBytes - 1, 4);
    // "0100: 02010A75 ...  ...." is 59 columns: byte pairs without spaces keep the ASCII column in the
    // console's 62-column pane.
    for (std::uint32_t row = from; row < from + kDumpBytes; row += kDumpRowBytes) {
        out += "\r\n" + hex(row, 4) + ':';
        QByteArray ascii;
        for (std::uint32_t i = 0; i < kDumpRowBytes; ++i) {
            if (i % 4 == 0)
                out += ' ';
            const std::uint8_t b = read(row + i);
            out += hex(b, 2);
            ascii += (b >= 0x20 && b < 0x7F) ? static_cast<char>(b) : '.';
        }
        out += "  " + ascii;
    }
    say(out + prompt());
}

void RobotMonitor::portTest()
{
    // P1 drives the two motors: bits 0/1 left forward/back, bits 2/3 right forward/back.
    std::uint8_t motors = 0;
    switch (m_motion) {
    case Motion::Stop: motors = 0x00; break;
    case Motion::Forward: motors = 0x05; break;
    case Motion::Backward: motors = 0x0A; break;
    case Motion::LeftTurn: motors = 0x06; break;
    case Motion::RightTurn: motors = 0x09; break;
    }
    answer("PORT TEST: P0=FF P1=" + hex(motors, 2) + " P2=00 P3=A5 OK");
}

void RobotMonitor::run()
{
    if (m_running) {
        answer("ALREADY RUNNING AT " + hex(*m_programStart, 4));
        return;
    }
    if (!m_programStart) {
        answer(QByteArrayLiteral("NO PROGRAM, LOAD ONE WITH l"));
        return;
    }
    m_running = true;
    m_runDots = 0;
    answer("RUN AT " + hex(*m_programStart, 4));
}

void RobotMonitor::stop()
{
    if (!m_running) {
        answer(QByteArrayLiteral("NOT RUNNING"));
        return;
    }
    m_running = false;
    answer(QByteArrayLiteral("STOPPED"));
}

void RobotMonitor::heartbeat()
{
    if (!m_running)
        return;
    say(QByteArrayLiteral("."));
    if (++m_runDots % kDotsPerRunLine == 0)
        say(QByteArrayLiteral("\r\n"));
}

void RobotMonitor::startLoad()
{
    if (m_running) {
        answer(QByteArrayLiteral("PROGRAM RUNNING, q TO STOP"));
        return;
    }
    m_mode = Mode::Load;
    m_record.clear();
    m_recordDone = false;
    m_skipToLineEnd = false;
    m_lineNumber = 0;
    m_base = 0;
    m_bytes = 0;
    m_lowest.reset();
    m_start.reset();
    say(QByteArrayLiteral("\r\nLOAD INTEL HEX, ESC TO ABORT\r\n"));
}

void RobotMonitor::receiveLoad(char byte)
{
    switch (byte) {
    case kEscape:
    case kCtrlC:
        if (m_mode == Mode::Load) {
            endLoad({LoadResult::Outcome::Aborted, m_bytes, std::nullopt, 0, "LOAD ABORTED"});
            m_mode = Mode::Command;
            answer(m_lastLoad.message);
        } else {
            leaveDiscard();
        }
        return;
    case '\r':
    case '\n':
        loadLineEnd();
        return;
    case ' ':
    case '\t':
    case kCtrlZ:
        return;
    default:
        loadCharacter(byte);
        return;
    }
}

void RobotMonitor::loadCharacter(char byte)
{
    if (m_skipToLineEnd)
        return;
    if (m_lineNumber == 0)
        m_lineNumber = 1;
    const bool discarding = m_mode == Mode::Discard;
    const bool fits = m_record.isEmpty() ? byte == ':' : intelhex::hexDigit(byte) >= 0;
    if (m_recordDone || !fits) {
        if (discarding)
            m_skipToLineEnd = true;
        else
            failLoad(intelhex::errorText(intelhex::Error::Format));
        return;
    }
    m_record.append(byte);
    if (m_record.size() >= 3) {
        const int dataLength = intelhex::hexDigit(m_record[1]) * 16 + intelhex::hexDigit(m_record[2]);
        if (m_record.size() == intelhex::recordChars(dataLength))
            takeRecord();
    }
}

void RobotMonitor::loadLineEnd()
{
    if (!m_record.isEmpty() && m_mode == Mode::Load) {
        // The line ended before the record's declared length arrived.
        failLoad(intelhex::errorText(intelhex::parseRecord(m_record).error));
    }
    m_record.clear();
    m_recordDone = false;
    m_skipToLineEnd = false;
    if (m_lineNumber > 0)
        ++m_lineNumber;
}

void RobotMonitor::takeRecord()
{
    using intelhex::RecordType;
    const intelhex::ParseResult parsed = intelhex::parseRecord(m_record);
    m_record.clear();
    m_recordDone = true;
    const intelhex::Record& record = parsed.record;

    if (m_mode == Mode::Discard) {
        if (parsed.error == intelhex::Error::None && record.type == RecordType::EndOfFile) {
            m_inFileTail = true;
            leaveDiscard();
        }
        return;
    }
    if (parsed.error != intelhex::Error::None) {
        failLoad(intelhex::errorText(parsed.error));
        return;
    }
    switch (record.type) {
    case RecordType::Data: {
        // In 64 bits: a base near the top of the 32-bit space must not wrap round into the RAM.
        const std::uint64_t first = std::uint64_t{m_base} + record.address;
        const std::uint64_t end = first + static_cast<std::uint64_t>(record.data.size());
        if (!record.data.isEmpty() && end > kMemorySize) {
            failLoad("ADDRESS " + hex(first) + '-' + hex(end - 1) + " BEYOND " + hex(kMemorySize - 1));
            return;
        }
        const auto address = static_cast<std::uint32_t>(first);
        // The old program is being overwritten: it can no longer be run.
        m_programStart.reset();
        for (qsizetype i = 0; i < record.data.size(); ++i)
            write(address + static_cast<std::uint32_t>(i), static_cast<std::uint8_t>(record.data[i]));
        m_bytes += static_cast<int>(record.data.size());
        if (!record.data.isEmpty())
            m_lowest = std::min(m_lowest.value_or(address), address);
        return;
    }
    case RecordType::EndOfFile:
        m_inFileTail = true;
        finishLoad();
        return;
    case RecordType::ExtendedSegmentAddress:
        m_base = record.value() * 16;
        return;
    case RecordType::ExtendedLinearAddress:
        m_base = record.value() << 16;
        return;
    case RecordType::StartSegmentAddress:
    case RecordType::StartLinearAddress: {
        const std::uint32_t value = record.value();
        const std::uint32_t start = record.type == RecordType::StartLinearAddress
            ? value
            : (value >> 16) * 16 + (value & 0xFFFF);
        if (start >= kMemorySize) {
            failLoad("START ADDRESS " + hex(start) + " BEYOND " + hex(kMemorySize - 1));
            return;
        }
        m_start = start;
        return;
    }
    }
}

void RobotMonitor::failLoad(const QByteArray& reason)
{
    endLoad({LoadResult::Outcome::Failed, m_bytes, std::nullopt, m_lineNumber,
             reason + " AT LINE " + QByteArray::number(m_lineNumber)});
    m_mode = Mode::Discard;
    m_record.clear();
    m_skipToLineEnd = true;
    say("\r\n" + m_lastLoad.message);
}

void RobotMonitor::endLoad(LoadResult result)
{
    m_lastLoad = std::move(result);
    ++m_loadsEnded;
}

void RobotMonitor::leaveDiscard()
{
    m_mode = Mode::Command;
    m_record.clear();
    say(prompt());
}

void RobotMonitor::lineIdle()
{
    // The file is over; the operator's next Enter is a command again.
    m_inFileTail = false;
    if (m_mode == Mode::Discard)
        leaveDiscard();
}

void RobotMonitor::finishLoad()
{
    m_mode = Mode::Command;
    const std::optional<std::uint32_t> start = m_start ? m_start : m_lowest;
    LoadResult result{LoadResult::Outcome::Loaded, m_bytes, start, 0,
                      "LOADED " + QByteArray::number(m_bytes) + " BYTES"};
    if (start) {
        m_programStart = start;
        m_dumpFrom = m_lowest.value_or(*start);
        result.message += ", START " + hex(*start, 4);
    }
    endLoad(std::move(result));
    answer(m_lastLoad.message);
}
