// Figures for the terminal pane (not a test; it prints, it does not judge):
//   1. throughput per input: raw libvterm, the emulation (decoder + guard + libvterm), a bare
//      pseudo-terminal read with nothing done, the emulation fed by the port adapter from a real
//      pseudo-terminal, and the pane with painting, fed the same way;
//   2. latency from a byte written by the far end to the paint that shows it (p50, p99, max);
//   3. CPU of the console process while the far end sends text at 960 bytes/s (the line's full rate);
//   4. wakeups while idle with the window inactive (timer events, voluntary context switches).
// Run it offscreen and under Xvfb:  QT_QPA_PLATFORM=offscreen bench_terminal;  xvfb-run -a bench_terminal
// With an input's key (plain, scrolling, hexdump, colour) it measures the throughput of that input alone;
// with "latency" or "cpu", that figure alone.

#include "bench/oneshot.h"
#include "link/apdcomport.h"
#include "link/apdterminal.h"
#include "link/vtscreen.h"
#include "tests/ptypair.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QGuiApplication>
#include <QTimer>

#include <vterm.h>

#include <sys/resource.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Input
{
    const char* name;
    const char* key;
    QByteArray bytes;
};

QByteArray repeatTo(const QByteArray& unit, qsizetype size)
{
    QByteArray out;
    out.reserve(size + unit.size());
    while (out.size() < size)
        out += unit;
    return out;
}

std::vector<Input> makeInputs(qsizetype size)
{
    QByteArray plain;
    for (int line = 0; line < 40; ++line) {
        QByteArray text;
        for (int c = 0; c < 60; ++c)
            text += static_cast<char>('!' + (line * 7 + c * 3) % 90);
        plain += text + "\r\n";
    }
    QByteArray shortLines;
    for (int i = 0; i < 200; ++i)
        shortLines += "ok " + QByteArray::number(i % 97) + "\r\n";
    QByteArray hex;
    for (int line = 0; line < 64; ++line) {
        QByteArray text = QByteArray::number(0x8000 + line * 16, 16).toUpper() + ": ";
        QByteArray ascii;
        for (int b = 0; b < 16; ++b) {
            const int value = (line * 37 + b * 11) & 0xFF;
            text += QByteArray::number(value + 0x100, 16).right(2).toUpper() + ' ';
            ascii += value >= 0x20 && value < 0x7F ? static_cast<char>(value) : '.';
        }
        hex += text + ascii + "\r\n";
    }
    QByteArray colour;
    for (int i = 0; i < 100; ++i) {
        colour += "\x1b[" + QByteArray::number(1 + i % 21) + ";" + QByteArray::number(1 + (i * 7) % 50) + "H";
        colour += "\x1b[1;3" + QByteArray::number(i % 8) + ";4" + QByteArray::number((i + 3) % 8) + "mSTATUS "
            + QByteArray::number(i) + "\x1b[0m\x1b[K";
    }
    return {{"plain 60-column text", "plain", repeatTo(plain, size)},
            {"short scrolling lines", "scrolling", repeatTo(shortLines, size)},
            {"hex dump lines", "hexdump", repeatTo(hex, size)},
            {"colour and cursor moves", "colour", repeatTo(colour, size)}};
}

// Runs the event loop for `ms`, sleeping while there is nothing to do.
void runFor(int ms)
{
    QEventLoop loop;
    QTimer end;
    startOnce(end, ms, [&loop] { loop.quit(); });
    loop.exec();
}

double mbPerSecond(qsizetype bytes, double seconds)
{
    return static_cast<double>(bytes) / seconds / 1e6;
}

double rawLibvterm(const QByteArray& input)
{
    VTerm* vt = vterm_new(VtScreen::kRows, VtScreen::kColumns);
    vterm_set_utf8(vt, 1);
    VTermScreen* screen = vterm_obtain_screen(vt);
    static const VTermScreenCallbacks callbacks = {
        .damage = [](VTermRect, void*) { return 1; },
        .moverect = nullptr,
        .movecursor = [](VTermPos, VTermPos, int, void*) { return 1; },
        .settermprop = nullptr, .bell = nullptr, .resize = nullptr, .sb_pushline = nullptr, .sb_popline = nullptr,
    };
    vterm_screen_set_callbacks(screen, &callbacks, nullptr);
    vterm_screen_reset(screen, 1);
    const auto start = Clock::now();
    for (qsizetype at = 0; at < input.size(); at += 4096)
        vterm_input_write(vt, input.constData() + at, static_cast<size_t>(std::min<qsizetype>(4096, input.size() - at)));
    vterm_screen_flush_damage(screen);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    vterm_free(vt);
    return mbPerSecond(input.size(), seconds);
}

double emulationOnly(const QByteArray& input)
{
    VtScreen screen;
    const auto start = Clock::now();
    for (qsizetype at = 0; at < input.size(); at += 4096)
        screen.write(QByteArrayView(input.constData() + at, std::min<qsizetype>(4096, input.size() - at)));
    return mbPerSecond(input.size(), std::chrono::duration<double>(Clock::now() - start).count());
}

// The far end writes `input` as fast as the pseudo-terminal takes it, from its own thread.
void writeAll(int fd, const QByteArray& input)
{
    qsizetype done = 0;
    while (done < input.size()) {
        const ssize_t n = ::write(fd, input.constData() + done, static_cast<size_t>(input.size() - done));
        if (n > 0) {
            done += n;
            continue;
        }
        pollfd p{fd, POLLOUT, 0};
        ::poll(&p, 1, 100);
    }
}

// The pseudo-terminal alone: the far end writes `input`, this end reads it with plain read() and does
// nothing with it. The ceiling of every path that comes through the pseudo-terminal on this machine.
double barePty(const QByteArray& input)
{
    PtyPair line;  // its line discipline is raw already
    const int fd = ::open(qPrintable(line.slavePath()), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return 0;
    std::vector<char> buffer(65536);
    qsizetype received = 0;
    const auto start = Clock::now();
    std::thread writer(writeAll, line.masterFd(), input);
    while (received < input.size()) {
        pollfd p{fd, POLLIN, 0};
        ::poll(&p, 1, 1000);
        const ssize_t n = ::read(fd, buffer.data(), buffer.size());
        if (n > 0)
            received += n;
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    writer.join();
    ::close(fd);
    return mbPerSecond(input.size(), seconds);
}

// Through the port adapter into `sink` (an emulation, or the pane); returns MB/s from the first write to
// the last byte taken (and, for the pane, its last paint).
double throughPort(const QByteArray& input, TApdTerminal* pane)
{
    PtyPair line;
    TApdComPort port(line.slavePath());
    VtScreen screen;
    qsizetype received = 0;
    QEventLoop loop;
    if (pane != nullptr)
        pane->setComPort(&port);
    else
        QObject::connect(&port, &TApdComPort::dataReceived, &screen, [&screen](const QByteArray& b) { screen.write(b); });
    QObject::connect(&port, &TApdComPort::dataReceived, &loop, [&](const QByteArray& bytes) {
        received += bytes.size();
        if (received >= input.size())
            loop.quit();
    });
    const auto start = Clock::now();
    std::thread writer(writeAll, line.masterFd(), input);
    loop.exec();
    if (pane != nullptr) {
        // The damage still waiting for its paint is part of the cost; the throttle lets it out within a frame.
        while (pane->hasPendingPaint())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        QCoreApplication::processEvents();
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    writer.join();
    if (pane != nullptr)
        pane->setComPort(nullptr);
    return mbPerSecond(input.size(), seconds);
}

// Counts paints of the pane and timer events anywhere in the application.
class Watcher : public QObject
{
public:
    std::function<void()> onPaint;
    quint64 timers = 0;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Timer || event->type() == QEvent::ZeroTimerEvent)
            ++timers;
        if (event->type() == QEvent::Paint && onPaint && watched->inherits("TApdTerminal")) {
            // Let the paint happen first, then take the time.
            static_cast<QWidget*>(watched)->removeEventFilter(this);
            QCoreApplication::sendEvent(watched, event);
            static_cast<QWidget*>(watched)->installEventFilter(this);
            onPaint();
            return true;
        }
        return false;
    }
};

void latency(TApdTerminal* pane, Watcher& watcher)
{
    PtyPair line;
    TApdComPort port(line.slavePath());
    constexpr int kSamples = 300;
    std::vector<Clock::time_point> sentAt(kSamples);
    std::vector<double> latencies;
    std::atomic<int> sent{0};
    qsizetype received = 0;
    int painted = 0;
    // Counted before the pane takes the bytes: a piece read after a quiet spell is painted within its delivery.
    QObject::connect(&port, &TApdComPort::dataReceived, pane, [&](const QByteArray& bytes) { received += bytes.size(); });
    pane->setComPort(&port);
    pane->installEventFilter(&watcher);
    watcher.onPaint = [&] {
        const auto now = Clock::now();
        for (; painted < received && painted < kSamples; ++painted)
            latencies.push_back(std::chrono::duration<double, std::milli>(now - sentAt[static_cast<size_t>(painted)]).count());
    };
    std::thread writer([&] {
        for (int i = 0; i < kSamples; ++i) {
            sentAt[static_cast<size_t>(i)] = Clock::now();
            const char c = static_cast<char>('a' + i % 26);
            (void)::write(line.masterFd(), &c, 1);
            sent = i + 1;
            std::this_thread::sleep_for(std::chrono::milliseconds(i % 3 == 0 ? 1 : 9));
        }
    });
    QEventLoop loop;
    const auto paintedAll = watcher.onPaint;
    watcher.onPaint = [&] {
        paintedAll();
        if (painted >= kSamples)
            loop.quit();
    };
    QTimer giveUp;
    startOnce(giveUp, 20000, [&loop] { loop.quit(); });
    loop.exec();
    writer.join();
    watcher.onPaint = nullptr;
    pane->removeEventFilter(&watcher);
    pane->setComPort(nullptr);
    std::sort(latencies.begin(), latencies.end());
    if (latencies.empty()) {
        std::printf("  latency: no paints seen\n");
        return;
    }
    auto at = [&](double q) { return latencies[std::min(latencies.size() - 1, static_cast<size_t>(q * latencies.size()))]; };
    std::printf("  byte-to-screen latency over %zu bytes: p50 %.2f ms, p99 %.2f ms, max %.2f ms (goal p99 <= 17 ms)\n",
                latencies.size(), at(0.5), at(0.99), latencies.back());
    std::printf("RESULT latency_p50_ms=%.2f latency_p99_ms=%.2f\n", at(0.5), at(0.99));
}

double cpuSeconds(int who)
{
    rusage usage{};
    getrusage(who, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
        + static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

void cpuAtLineRate(TApdTerminal* pane)
{
    PtyPair line;
    TApdComPort port(line.slavePath());
    pane->setComPort(&port);
    constexpr int kSeconds = 10;
    std::atomic<bool> stop{false};
    double writerCpu = 0;
    const QByteArray text = makeInputs(4096)[0].bytes;
    const quint64 paintsBefore = pane->paintCount();
    const double before = cpuSeconds(RUSAGE_SELF);
    std::thread writer([&] {
        // One byte per 1.0417 ms, as 9600 bit/s 8N1 delivers them.
        const auto start = Clock::now();
        for (qsizetype i = 0; !stop; ++i) {
            std::this_thread::sleep_until(start + std::chrono::microseconds(i * 1041667 / 1000));
            (void)::write(line.masterFd(), text.constData() + i % text.size(), 1);
        }
        writerCpu = cpuSeconds(RUSAGE_THREAD);
    });
    QElapsedTimer elapsed;
    elapsed.start();
    runFor(kSeconds * 1000);
    stop = true;
    writer.join();
    const double used = cpuSeconds(RUSAGE_SELF) - before - writerCpu;
    std::printf("  CPU while receiving 960 bytes/s for %d s: %.1f%% of one core (goal <= 12%%), %llu paints (%.1f/s)\n",
                kSeconds, 100.0 * used / (static_cast<double>(elapsed.elapsed()) / 1000.0),
                static_cast<unsigned long long>(pane->paintCount() - paintsBefore),
                static_cast<double>(pane->paintCount() - paintsBefore) / kSeconds);
    std::printf("RESULT cpu_pct=%.1f\n", 100.0 * used / (static_cast<double>(elapsed.elapsed()) / 1000.0));
    pane->setComPort(nullptr);
}

long voluntarySwitches()
{
    QFile status(QStringLiteral("/proc/thread-self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("voluntary_ctxt_switches:"))
            return line.mid(24).trimmed().toLong();
    return -1;
}

void idle(TApdTerminal* pane, Watcher& watcher)
{
    PtyPair line;
    TApdComPort port(line.slavePath());
    pane->setComPort(&port);
    QWidget other;
    other.resize(100, 100);
    other.show();
    other.activateWindow();
    QApplication::setActiveWindow(&other);
    runFor(500);

    constexpr int kSeconds = 3;
    qApp->installEventFilter(&watcher);
    watcher.timers = 0;
    const long switchesBefore = voluntarySwitches();
    const quint64 paintsBefore = pane->paintCount();
    runFor(kSeconds * 1000);
    const long switches = voluntarySwitches() - switchesBefore;
    qApp->removeEventFilter(&watcher);
    // The run's own end-of-idle timer accounts for one timer event and one or two switches.
    std::printf("  idle %d s, window inactive (pane blinking: %s): %llu timer events, %ld voluntary context switches "
                "of the GUI thread, %llu paints\n",
                kSeconds, pane->isBlinking() ? "yes" : "no", static_cast<unsigned long long>(watcher.timers), switches,
                static_cast<unsigned long long>(pane->paintCount() - paintsBefore));
    std::printf("RESULT idle_wakeups=%llu idle_paints=%llu\n",
                static_cast<unsigned long long>(watcher.timers > 0 ? watcher.timers - 1 : 0),
                static_cast<unsigned long long>(pane->paintCount() - paintsBefore));
    pane->setComPort(nullptr);
}

} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QFont::insertSubstitutions(QStringLiteral("Terminal"), {QStringLiteral("NanumGothicCoding")});
    std::printf("terminal pane figures, platform %s\n", qPrintable(QGuiApplication::platformName()));

    TApdTerminal pane;
    pane.setFixedSize(496, 252);
    pane.show();
    pane.activateWindow();
    QApplication::setActiveWindow(&pane);
    QCoreApplication::processEvents();

    std::printf("throughput in MB/s (pane share = pane / raw libvterm, goal >= 60%%):\n");
    std::printf("  %-26s %9s %9s %9s %9s %9s %7s\n", "input", "raw", "emulation", "bare pty", "via port", "pane",
                "share");
    // An input's key as the argument measures that input alone, for profiling.
    const QString only = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString();
    for (const Input& input : makeInputs(16 * 1024 * 1024)) {
        if (!only.isEmpty() && only != QLatin1String(input.key))
            continue;
        double raw = 0, emulation = 0, pty = 0, port = 0, painted = 0;
        for (int round = 0; round < 3; ++round) {
            raw = std::max(raw, rawLibvterm(input.bytes));
            emulation = std::max(emulation, emulationOnly(input.bytes));
            pty = std::max(pty, barePty(input.bytes));
            port = std::max(port, throughPort(input.bytes, nullptr));
            painted = std::max(painted, throughPort(input.bytes, &pane));
        }
        std::printf("  %-26s %9.2f %9.2f %9.2f %9.2f %9.2f %6.0f%%\n", input.name, raw, emulation, pty, port, painted,
                    100.0 * painted / raw);
        std::printf("RESULT share_%s=%.0f\n", input.key, 100.0 * painted / raw);
    }

    Watcher watcher;
    // "latency" or "cpu" measures that figure alone.
    if (only == QLatin1String("latency"))
        latency(&pane, watcher);
    if (only == QLatin1String("cpu"))
        cpuAtLineRate(&pane);
    if (!only.isEmpty())
        return 0;
    latency(&pane, watcher);
    cpuAtLineRate(&pane);
    idle(&pane, watcher);
    return 0;
}
