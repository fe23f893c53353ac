// Download pacing benchmark: prints figures, asserts nothing.
//
// The far end of a pseudo-terminal plays a 9600 bit/s 8N1 line: a reader thread takes exactly the bytes that
// are due at 960 bytes/s, no more, and counts the time it wanted a byte and found none (line idle). A pty
// has no rate of its own, so this reader is the line.
//
//   bench_download [line-bytes=15000 [stop-tries=20 [big-bytes=64MiB [big-rate=40000000]]]]
//   (a zero skips that part)
//
// 1. Paced download of a line-bytes hex file through the window's protocol, with a monitor command (help,
//    'h') clicked stop-tries times meanwhile: line busy fraction, total time against N/960 x 1.01 + 0.2 s,
//    how long a command takes to reach the far end during a download.
// 2. The same file written to the port at once, as the comparison, with the command clicked the same way.
// 3. Stop, clicked stop-tries times, each in a download of its own at a different point: how long `S` takes
//    to reach the far end, and how many file bytes arrived after it (none may).
// 4. Peak memory (VmHWM) of a fresh process sending 64 KiB and one sending big-bytes, at big-rate bit/s
//    with a far end that reads as fast as it can, and the throughput of each.

#include "app/tform1.h"
#include "link/apdcomport.h"
#include "link/apdprotocol.h"
#include "tests/ptypair.h"

#include "bench/procstatus.h"

#include <QApplication>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <poll.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr double kLineBytesPerSecond = 960.0;

double secondsBetween(Clock::time_point from, Clock::time_point to)
{
    return std::chrono::duration<double>(to - from).count();
}

QByteArray hexText(qint64 size)
{
    QByteArray out;
    out.reserve(size);
    for (qint64 line = 0; out.size() < size; ++line)
        out += ':' + QByteArray::number(line * 16 % 0x10000, 16).toUpper().rightJustified(6, '0')
            + "00112233445566778899AABBCCDDEEFF" + QByteArray::number(line % 256, 16).toUpper().rightJustified(2, '0')
            + "\r\n";
    out.truncate(size);
    return out;
}

// Writes `size` bytes of hex text to `path` in pieces, so that the writer never holds the whole file.
bool writeHexFile(const QString& path, qint64 size)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    const QByteArray piece = hexText(64 * 1024);
    for (qint64 done = 0; done < size;) {
        const qint64 n = std::min<qint64>(piece.size(), size - done);
        if (file.write(piece.constData(), n) != n)
            return false;
        done += n;
    }
    return true;
}

// The line: takes what is due at `rate` bytes/s from the pty master; records idle time and when each
// `marker` (a command byte that hex text never holds) arrived.
class LineReader
{
public:
    LineReader(int fd, double rate, qint64 expected, char marker)
        : m_fd(fd), m_rate(rate), m_expected(expected), m_marker(marker)
    {
    }

    void start() { m_thread = std::thread([this] { run(); }); }
    void join()
    {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
    }
    bool done() const { return m_done; }
    // A command that was dropped will not arrive.
    void expectFewer() { --m_expected; }

    QByteArray received;
    std::vector<Clock::time_point> stopArrivals;
    Clock::time_point first;
    Clock::time_point last;
    double idleSeconds = 0; // between the first and the last byte

private:
    void run()
    {
        std::vector<char> buffer(1 << 16);
        Clock::time_point previous = Clock::now();
        double credit = 0;
        double idleSinceFirst = 0;
        bool started = false;
        auto next = previous;
        while (!m_stop && received.size() < m_expected) {
            next += std::chrono::milliseconds(1);
            std::this_thread::sleep_until(next);
            const Clock::time_point now = Clock::now();
            credit += m_rate * secondsBetween(previous, now);
            previous = now;
            const auto want = static_cast<qint64>(credit);
            if (want <= 0)
                continue;
            const ssize_t n = ::read(m_fd, buffer.data(), static_cast<size_t>(std::min<qint64>(want, qint64(buffer.size()))));
            const qint64 got = std::max<ssize_t>(n, 0);
            credit -= static_cast<double>(got);
            if (got > 0) {
                if (!started) {
                    started = true;
                    first = now;
                }
                for (qint64 i = 0; i < got; ++i)
                    if (buffer[size_t(i)] == m_marker)
                        stopArrivals.push_back(now);
                received.append(buffer.data(), got);
                last = now;
                idleSeconds = idleSinceFirst;
            }
            if (got < want) {
                // The line wanted bytes and had none: it idles, and idle time cannot be made up later.
                if (started)
                    idleSinceFirst += static_cast<double>(want - got) / m_rate;
                credit -= static_cast<double>(want - got);
            }
        }
        m_done = true;
    }

    int m_fd;
    double m_rate;
    std::atomic<qint64> m_expected;
    char m_marker;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_done{false};
};

struct LineRun
{
    double seconds = 0;
    double busy = 0;
    bool whole = false;
    int dropped = 0;
    std::vector<double> stopLatencies;
};

// Runs one download at the line rate, clicking help (`h`) `tries` times while it runs. `atOnce` writes the whole
// file into the port in one go instead of using the protocol.
LineRun runAtLineRate(const QString& path, const QByteArray& content, int tries, bool atOnce)
{
    LineRun result;
    PtyPair line;
    TForm1 form(line.slavePath());
    const double fileSeconds = static_cast<double>(content.size()) / kLineBytesPerSecond;
    LineReader reader(line.masterFd(), kLineBytesPerSecond, content.size() + tries, 'h');
    reader.start();

    std::vector<Clock::time_point> clicks;
    QTimer clicker;
    // Spread over the middle of the transfer.
    const double firstAt = std::min(1.0, fileSeconds * 0.1);
    const double spacing = (fileSeconds * 0.85 - firstAt) / std::max(1, tries);
    int clicked = 0;
    const Clock::time_point begin = Clock::now();
    QObject::connect(&clicker, &QTimer::timeout, &form, [&] {
        if (clicked >= tries) {
            clicker.stop();
            return;
        }
        if (secondsBetween(begin, Clock::now()) < firstAt + spacing * clicked)
            return;
        ++clicked;
        if (form.ApdComPort1->GetOutBuffFree() == 0) {
            ++result.dropped;
            reader.expectFewer();
            return;
        }
        clicks.push_back(Clock::now());
        form.H1Click(nullptr);
    });
    clicker.start(1);

    if (atOnce) {
        form.ApdComPort1->PutString(content);
    } else {
        form.ApdProtocol1->SetFileName(path);
        form.ApdProtocol1->StartTransmit();
    }
    const qint64 expected = content.size() + tries;
    QTimer watch;
    QEventLoop loop;
    QObject::connect(&watch, &QTimer::timeout, &loop, [&] {
        if (reader.done() || secondsBetween(begin, Clock::now()) > fileSeconds * 3 + 10)
            loop.quit();
    });
    watch.start(20);
    loop.exec();
    reader.join();

    result.seconds = secondsBetween(begin, reader.last);
    const double span = secondsBetween(reader.first, reader.last);
    result.busy = span > 0 ? 1.0 - reader.idleSeconds / span : 0;
    QByteArray file = reader.received;
    file.replace("h", "");
    result.whole = file == content && reader.received.size() == expected - result.dropped;
    for (size_t i = 0; i < clicks.size() && i < reader.stopArrivals.size(); ++i)
        result.stopLatencies.push_back(secondsBetween(clicks[i], reader.stopArrivals[i]) * 1000.0);
    return result;
}

double percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const auto index = static_cast<size_t>(std::ceil(p * static_cast<double>(values.size()))) - 1;
    return values[std::min(index, values.size() - 1)];
}

void printLineRun(const char* name, const char* key, const LineRun& run, qint64 size)
{
    const double bound = static_cast<double>(size) / kLineBytesPerSecond * 1.01 + 0.2;
    std::printf("%s: %lld bytes in %.3f s (bound %.3f s, ideal %.3f s), line busy %.2f %%, file %s\n", name,
                static_cast<long long>(size), run.seconds, bound, static_cast<double>(size) / kLineBytesPerSecond,
                run.busy * 100.0, run.whole ? "whole" : "NOT WHOLE");
    std::printf("%s: command latency over %zu tries: median %.1f ms, p99 %.1f ms, worst %.1f ms; %d dropped for lack of room\n",
                name, run.stopLatencies.size(), percentile(run.stopLatencies, 0.5), percentile(run.stopLatencies, 0.99),
                percentile(run.stopLatencies, 1.0), run.dropped);
    std::printf("RESULT %s_seconds=%.3f %s_bound_seconds=%.3f %s_busy_pct=%.2f %s_whole=%d %s_command_median_ms=%.1f "
                "%s_command_p99_ms=%.1f %s_command_worst_ms=%.1f %s_command_dropped=%d\n",
                key, run.seconds, key, bound, key, run.busy * 100.0, key, run.whole ? 1 : 0, key,
                percentile(run.stopLatencies, 0.5), key, percentile(run.stopLatencies, 0.99), key,
                percentile(run.stopLatencies, 1.0), key, run.dropped);
}

// Clicks Stop `tries` times, each in a download of its own, at points spread over the first eighth of the
// file. Prints the latency of `S` at a far end draining at the line rate, and the file bytes that arrived
// after it. On a pseudo-terminal the bytes already handed to the far end stay there, so `S` waits behind
// the protocol's lead of about 64 bytes.
void runStops(const QString& path, const QByteArray& content, int tries)
{
    PtyPair line;
    TForm1 form(line.slavePath());
    const double fileSeconds = static_cast<double>(content.size()) / kLineBytesPerSecond;
    std::vector<double> latencies;
    qint64 bytesAfter = 0;
    int wrongPrefix = 0;
    for (int i = 0; i < tries; ++i) {
        LineReader reader(line.masterFd(), kLineBytesPerSecond, content.size() + 1, 'S');
        reader.start();
        const double stopAt = 0.05 + (fileSeconds - 1.0) * i / std::max(1, tries - 1) / 8;
        Clock::time_point clicked;
        QEventLoop loop;
        QTimer::singleShot(static_cast<int>(stopAt * 1000), &loop, [&] {
            clicked = Clock::now();
            form.SpeedButton5Click(nullptr);
            // Whatever might still be on its way.
            QTimer::singleShot(300, &loop, &QEventLoop::quit);
        });
        form.ApdProtocol1->SetFileName(path);
        form.ApdProtocol1->StartTransmit();
        loop.exec();
        reader.join();
        const qsizetype at = reader.received.indexOf('S');
        if (at < 0 || reader.stopArrivals.empty()) {
            ++wrongPrefix;
            continue;
        }
        latencies.push_back(secondsBetween(clicked, reader.stopArrivals.front()) * 1000.0);
        bytesAfter += reader.received.size() - at - 1;
        if (!content.startsWith(reader.received.left(at)))
            ++wrongPrefix;
    }
    std::printf("stop: %zu Stops each in a download of its own: S after median %.1f ms, p99 %.1f ms, worst %.1f ms; "
                "%lld file bytes after S; %d runs without S or with altered bytes\n",
                latencies.size(), percentile(latencies, 0.5), percentile(latencies, 0.99), percentile(latencies, 1.0),
                static_cast<long long>(bytesAfter), wrongPrefix);
    std::printf("RESULT stop_median_ms=%.1f stop_p99_ms=%.1f stop_worst_ms=%.1f stop_bytes_after=%lld stop_bad_runs=%d\n",
                percentile(latencies, 0.5), percentile(latencies, 0.99), percentile(latencies, 1.0),
                static_cast<long long>(bytesAfter), wrongPrefix);
}

// In a fresh process: sends `path` at `rate` bit/s to a far end that reads as fast as it can; prints
// "bytes seconds peak-KiB ok".
int memoryChild(const QString& path, qint32 rate)
{
    PtyPair line;
    TForm1 form(line.slavePath());
    if (!form.ApdComPort1->setBaudRate(rate)) {
        std::printf("0 0 0 rate-refused\n");
        return 1;
    }
    const qint64 size = QFileInfo(path).size();
    std::atomic<qint64> received{0};
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        std::vector<char> buffer(1 << 16);
        pollfd watched{line.masterFd(), POLLIN, 0};
        while (!stop && received < size) {
            if (::poll(&watched, 1, 20) <= 0)
                continue;
            const ssize_t n = ::read(line.masterFd(), buffer.data(), buffer.size());
            if (n > 0)
                received += n;
        }
    });
    bool ok = false;
    QEventLoop loop;
    QObject::connect(form.ApdProtocol1, &TApdProtocol::transferFinished, &loop, [&] {
        ok = true;
        loop.quit();
    });
    QObject::connect(form.ApdProtocol1, &TApdProtocol::transferFailed, &loop, [&] { loop.quit(); });
    const Clock::time_point begin = Clock::now();
    form.ApdProtocol1->SetFileName(path);
    form.ApdProtocol1->StartTransmit();
    loop.exec();
    while (received < size && ok && secondsBetween(begin, Clock::now()) < 600)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const double seconds = secondsBetween(begin, Clock::now());
    stop = true;
    reader.join();
    std::printf("%lld %.3f %lld %s\n", static_cast<long long>(received.load()), seconds,
                static_cast<long long>(procStatusKiB("VmHWM")), ok && received == size ? "ok" : "failed");
    return 0;
}

struct MemoryRun
{
    qint64 bytes = 0;
    double seconds = 0;
    qint64 peak = 0;
    bool ok = false;
};

MemoryRun runMemoryChild(const QString& path, qint32 rate)
{
    QProcess child;
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    child.start(QCoreApplication::applicationFilePath(),
                {QStringLiteral("--memory-child"), path, QString::number(rate)});
    child.waitForFinished(-1);
    const QList<QByteArray> fields = child.readAllStandardOutput().trimmed().split(' ');
    MemoryRun run;
    if (fields.size() == 4) {
        run.bytes = fields[0].toLongLong();
        run.seconds = fields[1].toDouble();
        run.peak = fields[2].toLongLong();
        run.ok = fields[3] == "ok";
    }
    return run;
}

} // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    const QStringList args = QCoreApplication::arguments().mid(1);
    if (args.value(0) == QLatin1String("--memory-child"))
        return memoryChild(args.value(1), args.value(2).toInt());

    const qint64 lineBytes = args.value(0, QStringLiteral("15000")).toLongLong();
    const int tries = args.value(1, QStringLiteral("20")).toInt();
    const qint64 bigBytes = args.value(2, QString::number(64LL * 1024 * 1024)).toLongLong();
    const qint32 bigRate = args.value(3, QStringLiteral("40000000")).toInt();

    QTemporaryDir dir;
    const QString linePath = dir.filePath(QStringLiteral("line.hex"));
    const QByteArray content = hexText(lineBytes);
    if (!writeHexFile(linePath, lineBytes)) {
        std::fprintf(stderr, "could not write %s\n", qPrintable(linePath));
        return 1;
    }

    if (lineBytes > 0) {
        std::printf("far end drains the pty at %.0f bytes/s (9600 bit/s 8N1)\n", kLineBytesPerSecond);
        printLineRun("paced", "paced", runAtLineRate(linePath, content, tries, false), lineBytes);
        std::fflush(stdout);
        printLineRun("whole file at once", "at_once", runAtLineRate(linePath, content, tries, true), lineBytes);
        std::fflush(stdout);
        runStops(linePath, content, tries);
        std::fflush(stdout);
    }

    if (bigBytes > 0) {
        const qint64 smallBytes = 64 * 1024;
        const QString smallPath = dir.filePath(QStringLiteral("small.hex"));
        const QString bigPath = dir.filePath(QStringLiteral("big.hex"));
        if (!writeHexFile(smallPath, smallBytes) || !writeHexFile(bigPath, bigBytes)) {
            std::fprintf(stderr, "could not write the memory test files\n");
            return 1;
        }
        const MemoryRun small = runMemoryChild(smallPath, bigRate);
        const MemoryRun big = runMemoryChild(bigPath, bigRate);
        for (const auto& [name, run] : {std::pair{"64 KiB", small}, std::pair{"big", big}})
            std::printf("memory, %s file at %d bit/s: %lld bytes in %.3f s (%.0f KB/s), peak %lld KiB, %s\n", name,
                        bigRate, static_cast<long long>(run.bytes), run.seconds,
                        run.seconds > 0 ? static_cast<double>(run.bytes) / run.seconds / 1000.0 : 0.0,
                        static_cast<long long>(run.peak), run.ok ? "sent whole" : "FAILED");
        std::printf("memory: the %lld-byte file peaked %lld KiB above the 64 KiB one (limit 2048 KiB)\n",
                    static_cast<long long>(bigBytes), static_cast<long long>(big.peak - small.peak));
        std::printf("RESULT memory_small_kib=%lld memory_big_kib=%lld memory_delta_kib=%lld memory_big_bytes=%lld "
                    "memory_rate=%d memory_big_kbs=%.0f memory_whole=%d\n",
                    static_cast<long long>(small.peak), static_cast<long long>(big.peak),
                    static_cast<long long>(big.peak - small.peak), static_cast<long long>(bigBytes), bigRate,
                    big.seconds > 0 ? static_cast<double>(big.bytes) / big.seconds / 1000.0 : 0.0,
                    small.ok && big.ok ? 1 : 0);
    }
    return 0;
}
