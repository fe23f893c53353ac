// bench_click: how long from a pointer click on a command button, as the X server sees it, to the
// command's byte at the far end of the line. Run under Xvfb.
//
// Usage: bench_click [CLICKS]   (default 200)
// The console runs in this process on a pseudo-terminal, in the application's own event loop (exec()), as
// the real binary does; a second thread plays the operator through the XTEST extension (press and release
// on the forward button) and the far end: it stamps the release, then waits for the byte on the master
// side, and ends the loop when it is done.

#include "app/tform1.h"
#include "bench/shownform.h"

#include <QApplication>
#include <QTest>
#include <QToolButton>

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

#include <fcntl.h>
#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

namespace {

double monotonicMs()
{
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

} // namespace

int main(int argc, char** argv)
{
    const int clicks = argc >= 2 ? std::max(10, std::atoi(argv[1])) : 200;
    QApplication application(argc, argv);
    const ShownForm shown = showFormOnFreshPty("bench_click");
    if (!shown.form)
        return 1;
    const int master = shown.master;
    TForm1& form = *shown.form;
    QTest::qWait(300);
    const QPoint target = form.SpeedButton1->mapToGlobal(form.SpeedButton1->rect().center());

    std::vector<double> latencies;
    int failures = 0;
    std::thread operatorAndFarEnd([&] {
        Display* display = XOpenDisplay(nullptr);
        if (display == nullptr) {
            QMetaObject::invokeMethod(qApp, &QCoreApplication::quit, Qt::QueuedConnection);
            return;
        }
        XTestFakeMotionEvent(display, -1, target.x(), target.y(), CurrentTime);
        XFlush(display);
        ::usleep(200000);
        char drain[256];
        for (int i = 0; i < clicks; ++i) {
            while (::read(master, drain, sizeof drain) > 0) {
            }
            XTestFakeButtonEvent(display, 1, True, CurrentTime);
            XFlush(display);
            ::usleep(50000);  // a hand holds the button for a moment
            XTestFakeButtonEvent(display, 1, False, CurrentTime);
            XFlush(display);
            const double released = monotonicMs();
            pollfd ready{master, POLLIN, 0};
            if (::poll(&ready, 1, 1000) == 1 && ::read(master, drain, 1) == 1 && drain[0] == 'F')
                latencies.push_back(monotonicMs() - released);
            else
                ++failures;
            ::usleep(20000);
        }
        XCloseDisplay(display);
        QMetaObject::invokeMethod(qApp, &QCoreApplication::quit, Qt::QueuedConnection);
    });
    QApplication::exec();
    operatorAndFarEnd.join();

    if (latencies.empty()) {
        std::fprintf(stderr, "bench_click: no click reached the line\n");
        return 1;
    }
    std::sort(latencies.begin(), latencies.end());
    const auto at = [&](double q) { return latencies[std::min(latencies.size() - 1, static_cast<size_t>(q * latencies.size()))]; };
    std::printf("click to byte over %zu clicks (%d lost): median %.3f ms, 99th percentile %.3f ms, worst %.3f ms\n",
                latencies.size(), failures, at(0.5), at(0.99), latencies.back());
    std::printf("RESULT click_median_ms=%.3f click_p99_ms=%.3f click_lost=%d\n", at(0.5), at(0.99), failures);
    ::close(master);
    return 0;
}
