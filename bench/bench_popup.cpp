// bench_popup: the heap that opening and closing the window's pop-up menu leaves behind. Run under Xvfb.
//
// Usage: bench_popup [OPENINGS]   (default 500)
// The console runs in this process on a pseudo-terminal. The menu is opened with a right click on the pane
// and closed with Escape, as a person would, through the X server. The heap in use (glibc's count of allocated bytes) is taken after 50 openings and after
// OPENINGS; the second less the first is what the later openings kept.

#include "app/tform1.h"
#include "bench/shownform.h"
#include "link/apdterminal.h"

#include <QApplication>
#include <QMenu>
#include <QTest>

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <fcntl.h>
#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr int kFirstOpenings = 50;

double heapKiB()
{
    // Only what is in use: freed blocks kept by the allocator are not the program's.
    const struct mallinfo2 info = ::mallinfo2();
    return static_cast<double>(info.uordblks + info.hblkhd) / 1024.0;
}

// Opens the menu with a right press on the pane and closes it with Escape, both as real input through the X
// server's XTEST extension, and waits each time until the menu is shown and gone.
bool openAndClose(TForm1& form, Display* display, const QPoint& at)
{
    QMenu* menu = form.PopupMenu1;
    XTestFakeMotionEvent(display, -1, at.x(), at.y(), CurrentTime);
    XTestFakeButtonEvent(display, 3, True, CurrentTime);
    XFlush(display);
    const bool opened = QTest::qWaitFor([menu] { return menu->isVisible(); }, 2000);
    // Closed while the button is still down: the menu opens under the pointer, and a release over its first
    // item would choose it.
    const KeyCode escape = XKeysymToKeycode(display, XK_Escape);
    XTestFakeKeyEvent(display, escape, True, CurrentTime);
    XTestFakeKeyEvent(display, escape, False, CurrentTime);
    XFlush(display);
    const bool closed = QTest::qWaitFor([menu] { return !menu->isVisible(); }, 2000);
    XTestFakeButtonEvent(display, 3, False, CurrentTime);
    XFlush(display);
    QTest::qWait(1);
    return opened && closed;
}

} // namespace

int main(int argc, char** argv)
{
    const int openings = argc >= 2 ? std::max(kFirstOpenings + 1, std::atoi(argv[1])) : 500;
    QApplication application(argc, argv);
    const ShownForm shown = showFormOnFreshPty("bench_popup");
    if (!shown.form)
        return 1;
    const int master = shown.master;
    TForm1& form = *shown.form;
    // Active, as the operator's window is: the pane's cursor blinks and the window follows activation.
    form.activateWindow();
    if (!QTest::qWaitForWindowActive(&form))
        std::fprintf(stderr, "bench_popup: the window did not become active\n");
    QTest::qWait(200);
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr)
        return 1;
    const QPoint at = form.ApdTerminal1->mapToGlobal(form.ApdTerminal1->rect().center());

    double first = 0;
    for (int i = 1; i <= openings; ++i) {
        if (!openAndClose(form, display, at)) {
            std::fprintf(stderr, "bench_popup: the menu did not open and close at opening %d\n", i);
            return 1;
        }
        if (std::getenv("BENCH_POPUP_TRACE") != nullptr)
            std::fprintf(stderr, "opening %d done\n", i);
        if (i == kFirstOpenings) {
            QTest::qWait(50);
            first = heapKiB();
        }
    }
    QTest::qWait(50);
    const double last = heapKiB();
    XCloseDisplay(display);
    std::printf("popup menu: heap in use %.1f KiB after %d openings, %.1f KiB after %d\n", first, kFirstOpenings,
                last, openings);
    std::printf("RESULT popup_heap_first_kib=%.1f popup_heap_last_kib=%.1f popup_heap_growth_kib=%.1f "
                "popup_openings=%d\n",
                first, last, last - first, openings);
    ::close(master);
    // No teardown: under a heap profiler, what the openings kept then shows as not freed.
    std::fflush(stdout);
    std::_Exit(0);
}
