// bench_soak: the console under steady traffic for a long time, checked byte for byte both ways.
//
// Usage: bench_soak SECONDS HEXFILE
// The far end, a child process on the master side of a pseudo-terminal, sends numbered text lines at
// 960 bytes/s and reads at 960 bytes/s. The console (this process, a real TForm1 on the screen) issues a
// command every 300 ms and downloads HEXFILE every minute. At the end both sides check what they got:
// the console that the numbered text arrived whole and in order, the far end that the commands arrived
// in the order issued and every download whole. Prints resident memory, open descriptors and CPU of the
// console at start (after a warm-up) and end.

#include "app/tform1.h"
#include "link/apdcomport.h"
#include "link/apdprotocol.h"

#include "bench/oneshot.h"
#include "bench/procstatus.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QThreadPool>
#include <QTimer>

#include <sys/resource.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

namespace {

constexpr int kLineRate = 960;
// Command bytes that never occur in an Intel HEX file, so the far end can tell them from the file's.
constexpr char kCommands[] = {'h', 'm', 'c', 'd', 'p', 'q', 'L', 'R', 'S'};

// The numbered text the far end sends: line n is "n padded to 8 digits, then a fixed sentence, CR LF".
QByteArray textLine(quint64 n)
{
    return QByteArray::number(n).rightJustified(8, '0') + " the quick brown fox jumps over the lazy dog\r\n";
}

// The process's open descriptors, each as "number -> what it is".
QStringList openDescriptors()
{
    QStringList open;
    const QDir fds(QStringLiteral("/proc/self/fd"));
    for (const QString& name : fds.entryList(QDir::Files | QDir::System | QDir::NoDotAndDotDot)) {
        char buffer[256] = {};
        const ssize_t length = ::readlink(qPrintable(fds.filePath(name)), buffer, sizeof buffer - 1);
        const QString target = length > 0 ? QString::fromLocal8Bit(buffer, length) : QString();
        if (!target.isEmpty())  // the descriptor of the listing itself is gone by now
            open << name + QStringLiteral(" -> ") + target;
    }
    return open;
}

double cpuSeconds()
{
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
        + static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// The far end: paced both ways; checks what the console sent against the commands and the file. Runs
// until `seconds` have passed and the console's output has stopped, then exits 0 when all was whole.
[[noreturn]] void farEnd(int master, double seconds, const QByteArray& file, int goPipe, int resultPipe)
{
    using Clock = std::chrono::steady_clock;
    // Nothing goes on the line before the console has its port open.
    char go = 0;
    [[maybe_unused]] const ssize_t started = ::read(goPipe, &go, 1);
    const auto start = Clock::now();
    QByteArray outbox;
    quint64 nextLine = 0;
    qint64 sent = 0;
    qint64 readTotal = 0;
    QByteArray fileBytes;
    qint64 commandsSeen = 0;
    bool commandsInOrder = true;
    qint64 downloadsWhole = 0;
    bool filesWhole = true;
    auto quietSince = Clock::now();
    for (;;) {
        const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
        const bool sending = elapsed < seconds;
        // Send what the line would have carried by now.
        const qint64 due = static_cast<qint64>(elapsed * kLineRate);
        while (sending && sent < due) {
            if (outbox.isEmpty())
                outbox = textLine(nextLine++);
            const ssize_t n = ::write(master, outbox.constData(), 1);
            if (n != 1)
                break;
            outbox.remove(0, 1);
            ++sent;
        }
        // Read no faster than the line.
        const qint64 allowed = due + 64 - readTotal;
        if (allowed > 0) {
            char buffer[256];
            const ssize_t n = ::read(master, buffer, static_cast<size_t>(std::min<qint64>(allowed, sizeof buffer)));
            if (n > 0) {
                quietSince = Clock::now();
                readTotal += n;
                for (ssize_t i = 0; i < n; ++i) {
                    const char byte = buffer[i];
                    if (std::find(std::begin(kCommands), std::end(kCommands), byte) != std::end(kCommands)) {
                        commandsInOrder &= byte == kCommands[commandsSeen % std::size(kCommands)];
                        ++commandsSeen;
                        continue;
                    }
                    fileBytes.append(byte);
                    if (fileBytes.size() == file.size()) {
                        filesWhole &= fileBytes == file;
                        ++downloadsWhole;
                        fileBytes.clear();
                    }
                }
            }
        }
        if (!sending && Clock::now() - quietSince > std::chrono::seconds(3))
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    const bool whole = commandsInOrder && filesWhole && fileBytes.isEmpty();
    const std::string report = "far end: received " + std::to_string(readTotal) + " bytes: " + std::to_string(commandsSeen)
        + " commands " + (commandsInOrder ? "in order" : "OUT OF ORDER OR LOST") + ", " + std::to_string(downloadsWhole)
        + " downloads " + (filesWhole ? "whole" : "CORRUPTED") + (fileBytes.isEmpty() ? "" : ", a partial file left over")
        + "; sent " + std::to_string(sent) + " bytes of text\n";
    [[maybe_unused]] const ssize_t n = ::write(resultPipe, report.data(), report.size());
    ::_exit(whole ? 0 : 1);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: bench_soak SECONDS HEXFILE\n");
        return 2;
    }
    const double seconds = std::atof(argv[1]);
    QFile hex(QString::fromLocal8Bit(argv[2]));
    if (seconds <= 0 || !hex.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "bench_soak: need a positive duration and a readable hex file\n");
        return 2;
    }
    QByteArray file = hex.readAll();
    file.replace('\x1a', QByteArray());

    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0)
        return 1;
    const QString slave = QString::fromLocal8Bit(::ptsname(master));
    int results[2];
    int go[2];
    if (::pipe(results) != 0 || ::pipe(go) != 0)
        return 1;
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(results[0]);
        ::close(go[1]);
        farEnd(master, seconds, file, go[0], results[1]);
    }
    ::close(results[1]);
    ::close(go[0]);
    ::close(master);

    QApplication application(argc, argv);
    // Qt's pooled worker threads each hold an event descriptor and end after 30 s idle, so the count
    // would move with their timing. Kept alive, they leave the count to what the console opens.
    QThreadPool::globalInstance()->setExpiryTimeout(-1);
    TForm1 form(slave);
    Form1 = &form;
    form.show();
    [[maybe_unused]] const ssize_t started = ::write(go[1], "g", 1);

    quint64 expectedLine = 0;
    QByteArray pending;
    qint64 textReceived = 0;
    bool textWhole = true;
    QObject::connect(form.ApdComPort1, &TApdComPort::dataReceived, &form, [&](const QByteArray& bytes) {
        textReceived += bytes.size();
        pending += bytes;
        for (;;) {
            const QByteArray expected = textLine(expectedLine);
            if (pending.size() < expected.size())
                break;
            textWhole &= pending.startsWith(expected);
            pending.remove(0, expected.size());
            ++expectedLine;
        }
    });

    qint64 commandsIssued = 0;
    QTimer commands;
    commands.callOnTimeout([&] {
        if (form.ApdComPort1->GetOutBuffFree() == 0)
            return;  // would be dropped by design; the far end counts only what was put
        form.ApdComPort1->PutChar(kCommands[commandsIssued % std::size(kCommands)]);
        ++commandsIssued;
    });
    commands.start(300);

    QTemporaryDir folder;
    const QString hexPath = folder.filePath(QStringLiteral("soak.hex"));
    QFile copy(hexPath);
    if (!copy.open(QIODevice::WriteOnly) || copy.write(file) != file.size())
        return 1;
    copy.close();
    qint64 downloads = 0;
    const auto startDownload = [&] {
        form.ApdProtocol1->SetFileMask(hexPath);
        form.ApdProtocol1->SetFileName(hexPath);
        form.ApdProtocol1->StartTransmit();
        ++downloads;
    };
    QTimer download;
    download.callOnTimeout(startDownload);
    download.start(60000);
    QTimer firstDownload;
    startOnce(firstDownload, 5000, startDownload);

    long startRss = 0;
    QStringList startFds;
    double startCpu = 0;
    double startedAt = 0;
    QElapsedTimer clock;
    clock.start();
    const double warmUp = std::min(60.0, seconds / 10);
    // Both ends are measured between downloads: a transfer holds its file open. True when `measure` was
    // put off for a moment because a download runs.
    const auto putOffWhileDownloading = [&form](QTimer& measure) {
        if (!form.ApdProtocol1->busy())
            return false;
        measure.start(200);
        return true;
    };
    QTimer warmedUp;
    startOnce(warmedUp, static_cast<int>(warmUp * 1000), [&] {
        if (putOffWhileDownloading(warmedUp))
            return;
        startRss = procStatusKiB("VmRSS");
        startFds = openDescriptors();
        startCpu = cpuSeconds();
        startedAt = clock.elapsed() / 1000.0;
        std::printf("after %.0f s warm-up: resident %ld KiB, %lld descriptors\n", startedAt, startRss,
                    static_cast<long long>(startFds.size()));
        std::fflush(stdout);
    });
    // The end is measured while the line still runs; then the far end finishes its checks and hangs up.
    double measured = 0;
    double cpu = 0;
    long endRss = 0;
    QStringList endFds;
    QTimer measureEnd;
    QTimer end;
    startOnce(measureEnd, static_cast<int>(seconds * 1000), [&] {
        if (putOffWhileDownloading(measureEnd))
            return;
        commands.stop();
        download.stop();
        measured = clock.elapsed() / 1000.0 - startedAt;
        cpu = (cpuSeconds() - startCpu) / measured * 100;
        endRss = procStatusKiB("VmRSS");
        endFds = openDescriptors();
        startOnce(end, 6000, &QApplication::quit);
    });
    QApplication::exec();
    int status = 0;
    ::waitpid(child, &status, 0);
    char report[512] = {};
    [[maybe_unused]] const ssize_t n = ::read(results[0], report, sizeof report - 1);
    Form1 = nullptr;

    std::printf("console: %lld commands, %lld downloads issued; received %lld bytes of text, %llu lines %s\n",
                static_cast<long long>(commandsIssued), static_cast<long long>(downloads),
                static_cast<long long>(textReceived), static_cast<unsigned long long>(expectedLine),
                textWhole && pending.size() < 64 ? "whole and in order" : "LOST OR REORDERED");
    std::printf("%s", report);
    std::printf("resident memory: %ld KiB -> %ld KiB (%+ld KiB; goal at most +1024)\n", startRss, endRss,
                endRss - startRss);
    std::printf("open descriptors: %lld -> %lld (goal: constant)\n", static_cast<long long>(startFds.size()),
                static_cast<long long>(endFds.size()));
    for (const QString& gone : startFds)
        if (!endFds.contains(gone))
            std::printf("  closed since the start: %s\n", qPrintable(gone));
    for (const QString& opened : endFds)
        if (!startFds.contains(opened))
            std::printf("  opened since the start: %s\n", qPrintable(opened));
    std::printf("CPU: %.2f%% of one core over %.0f s (goal at most 12%%)\n", cpu, measured);
    const bool ok = textWhole && WIFEXITED(status) && WEXITSTATUS(status) == 0 && endRss - startRss <= 1024
        && startFds.size() == endFds.size() && cpu <= 12;
    std::printf("soak: %s\n", ok ? "all goals hold" : "A GOAL DOES NOT HOLD");
    return ok ? 0 : 1;
}
