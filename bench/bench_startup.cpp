// bench_startup: start-up to first paint, and resident memory then, for the console against a bare Qt
// window of the same size, in the same run. Run under Xvfb (bench/window needs a real display).
//
// Usage: bench_startup [RUNS]          measures both, RUNS fresh processes each (default 15)
//        bench_startup --bare T0       one bare window   (internal: T0 is the parent's clock at exec)
//        bench_startup --console T0    one console on a pseudo-terminal of its own (internal)
// A child prints "first-paint-ms RSS-KiB" when its window's first paint has ended, then quits.

#include "app/tform1.h"

#include "bench/oneshot.h"
#include "bench/procstatus.h"

#include <QApplication>
#include <QFile>
#include <QProcess>
#include <QTimer>

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

double monotonicMs()
{
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

// Reports once, after the watched window's first paint has been handled.
class FirstPaint : public QObject
{
public:
    explicit FirstPaint(double t0) : m_t0(t0) {}

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Paint && !m_done) {
            m_done = true;
            startOnce(m_report, 0, [this] {
                std::printf("%.3f %ld\n", monotonicMs() - m_t0, procStatusKiB("VmRSS"));
                std::fflush(stdout);
                QCoreApplication::quit();
            });
        }
        return QObject::eventFilter(watched, event);
    }

private:
    double m_t0;
    bool m_done = false;
    QTimer m_report;
};

int child(int argc, char** argv, bool console)
{
    const double t0 = std::atof(argv[2]);
    QApplication application(argc, argv);
    FirstPaint probe(t0);
    if (!console) {
        QWidget window;
        window.setFixedSize(737, 348);
        window.installEventFilter(&probe);
        window.show();
        return QApplication::exec();
    }
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0)
        return 1;
    TForm1 form(QString::fromLocal8Bit(::ptsname(master)));
    form.installEventFilter(&probe);
    form.show();
    const int status = QApplication::exec();
    ::close(master);
    return status;
}

struct Sample
{
    double ms = 0;
    long kib = 0;
};

std::vector<Sample> measure(const QString& mode, int runs)
{
    std::vector<Sample> samples;
    for (int i = 0; i < runs; ++i) {
        QProcess process;
        const double t0 = monotonicMs();
        process.start(QCoreApplication::applicationFilePath(), {mode, QString::number(t0, 'f', 3)});
        process.waitForFinished(30000);
        const QList<QByteArray> fields = process.readAllStandardOutput().trimmed().split(' ');
        if (fields.size() == 2)
            samples.push_back({fields[0].toDouble(), fields[1].toLong()});
    }
    std::sort(samples.begin(), samples.end(), [](const Sample& a, const Sample& b) { return a.ms < b.ms; });
    return samples;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc >= 3 && std::string(argv[1]) == "--bare")
        return child(argc, argv, false);
    if (argc >= 3 && std::string(argv[1]) == "--console")
        return child(argc, argv, true);

    QCoreApplication application(argc, argv);
    const int runs = argc >= 2 ? std::max(3, std::atoi(argv[1])) : 15;
    // Alternate nothing: each kind runs its own series, after one unmeasured start of each to warm caches.
    measure(QStringLiteral("--bare"), 1);
    measure(QStringLiteral("--console"), 1);
    const std::vector<Sample> bare = measure(QStringLiteral("--bare"), runs);
    const std::vector<Sample> console = measure(QStringLiteral("--console"), runs);
    if (bare.empty() || console.empty()) {
        std::fprintf(stderr, "bench_startup: no window painted (is there a display?)\n");
        return 1;
    }
    const auto median = [](const std::vector<Sample>& s) { return s[s.size() / 2]; };
    std::vector<long> bareKiB;
    std::vector<long> consoleKiB;
    for (const Sample& s : bare)
        bareKiB.push_back(s.kib);
    for (const Sample& s : console)
        consoleKiB.push_back(s.kib);
    std::sort(bareKiB.begin(), bareKiB.end());
    std::sort(consoleKiB.begin(), consoleKiB.end());
    const double bareMs = median(bare).ms;
    const double consoleMs = median(console).ms;
    const long bareRss = bareKiB[bareKiB.size() / 2];
    const long consoleRss = consoleKiB[consoleKiB.size() / 2];
    std::printf("start-up to first paint, median of %d: bare window %.1f ms, console %.1f ms (%.2fx)\n", runs,
                bareMs, consoleMs, consoleMs / bareMs);
    std::printf("resident memory at first paint, median: bare window %ld KiB, console %ld KiB (+%ld KiB)\n", bareRss,
                consoleRss, consoleRss - bareRss);
    std::printf("RESULT startup_ms=%.1f startup_bare_ms=%.1f startup_ratio=%.2f rss_over_bare_kib=%ld\n", consoleMs,
                bareMs, consoleMs / bareMs, consoleRss - bareRss);
    return 0;
}
