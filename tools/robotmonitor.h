#pragma once
// RobotMonitor: the target's monitor ROM as a pure state machine, without a line or a clock.
//
// It takes the received bytes one at a time and answers through the injected output callable, exactly as
// the ROM would answer on the line; pacing, the pseudo-terminal and timers belong to TargetSimulator.
// Time reaches it only through two calls: heartbeat() (one second of a running program) and lineIdle()
// (the input has gone quiet).
//
// Command mode: a command letter acts only as the first character of a line, so text that is not meant as
// a command (a hex file sent without the load command, a mistyped word) is echoed and answered with "?"
// at Enter, but never moves the robot. CR, LF and CRLF are each one Enter.
//
// Load mode (`l`): Intel HEX records into the 64 KiB RAM (0000-FFFF), with the extended segment (02) and
// extended linear (04) address records that a large program's file carries. Every record is checked
// whole before it is stored; a data or start address beyond the RAM fails the load, naming the address.
// A record is taken as soon as its declared length has arrived, so a file without a final line end still
// loads; line ends, blank lines and an end-of-file mark that trail the end record are the file's, not
// Enter presses. ESC or Ctrl-C abandons the load. After a bad record the monitor reports the line and
// then swallows the rest of the transfer (until an end record, ESC/Ctrl-C, or quiet on the line), so the
// hex digits that follow can never be taken as direction commands.

#include <QByteArray>

#include <cstdint>
#include <functional>
#include <optional>

class RobotMonitor
{
public:
    static constexpr int kMemorySize = 64 * 1024;
    static constexpr int kDumpBytes = 256;
    static constexpr int kMaxCommandLine = 40;
    static constexpr int kDotsPerRunLine = 50;
    // The memory test shows one dot per block, so that its line fits the console's pane.
    static constexpr int kTestDots = 32;

    using Output = std::function<void(const QByteArray&)>;

    enum class Motion { Stop, Forward, LeftTurn, RightTurn, Backward };
    enum class Mode {
        Command,
        Load,
        Discard, // a load failed; the rest of the transfer is swallowed
    };

    struct LoadResult
    {
        enum class Outcome { None, Loaded, Failed, Aborted };
        Outcome outcome = Outcome::None;
        int bytes = 0;                       // data bytes stored by this load
        std::optional<std::uint32_t> start;  // where `r` starts the program (Loaded only)
        int line = 0;                        // the bad line (Failed only), counted from the first record
        QByteArray message;                  // what the monitor said, e.g. "CHECKSUM ERROR AT LINE 3"
    };

    explicit RobotMonitor(Output output);

    // One byte from the line.
    void receive(char byte);
    // One second of run time: a running program shows it is alive.
    void heartbeat();
    // The line has been quiet for a while: ends the swallowing of a failed transfer with a prompt.
    void lineIdle();
    // The power-on banner and first prompt.
    void powerOn();

    Motion motion() const { return m_motion; }
    Mode mode() const { return m_mode; }
    bool isRunning() const { return m_running; }
    bool hasProgram() const { return m_programStart.has_value(); }
    std::optional<std::uint32_t> programStart() const { return m_programStart; }
    const LoadResult& lastLoad() const { return m_lastLoad; }
    // Counts loads that have ended (loaded, failed or aborted), so that two alike in a row are told apart.
    int loadsEnded() const { return m_loadsEnded; }
    int loadedByteCount() const { return m_lastLoad.outcome == LoadResult::Outcome::Loaded ? m_lastLoad.bytes : 0; }

    // RAM as the processor reads it (stuck bits applied).
    QByteArray memory() const;
    std::uint8_t read(std::uint32_t address) const;

    // A fault for the memory test to find: the bits in `mask` of the cell at `address` always read as in
    // `value`. A zero mask removes the fault.
    void setStuckBits(std::uint16_t address, std::uint8_t mask, std::uint8_t value);

    // The prompt that ends every answer.
    static QByteArray prompt();
    // The help screen exactly as sent (code page 949), for checking its size.
    static QByteArray helpText();

private:
    void receiveCommand(char byte);
    void receiveLoad(char byte);
    void endOfLine();
    void runCommand(char letter);
    void setMotion(Motion motion, const char* word);

    void help();
    void memoryTest();
    void memoryClear();
    void memoryDump();
    void startLoad();
    void run();
    void stop();
    void portTest();

    void loadCharacter(char byte);
    void loadLineEnd();
    void takeRecord();
    void failLoad(const QByteArray& reason);
    void finishLoad();
    void endLoad(LoadResult result);
    void leaveDiscard();

    void write(std::uint32_t address, std::uint8_t value);
    void say(const QByteArray& text);
    void answer(const QByteArray& text); // text on its own line, then the prompt

    Output m_output;
    QByteArray m_ram;
    std::uint16_t m_stuckAddress = 0;
    std::uint8_t m_stuckMask = 0;
    std::uint8_t m_stuckValue = 0;

    Motion m_motion = Motion::Stop;
    Mode m_mode = Mode::Command;
    bool m_afterCR = false;
    bool m_inFileTail = false; // after a load's end record, until other input or quiet
    QByteArray m_line;

    bool m_running = false;
    int m_runDots = 0;
    std::optional<std::uint32_t> m_programStart;
    std::uint32_t m_dumpFrom = 0;

    // The load in progress.
    QByteArray m_record;
    bool m_recordDone = false;    // the line's record is complete; only its line end may follow
    bool m_skipToLineEnd = false;
    int m_lineNumber = 0; // 0 until the first non-blank line
    std::uint32_t m_base = 0;
    int m_bytes = 0;
    std::optional<std::uint32_t> m_lowest;
    std::optional<std::uint32_t> m_start;
    LoadResult m_lastLoad;
    int m_loadsEnded = 0;
};
