// console-harness: the console's guarded start-up on a device of the test's choosing, in a process of its
// own, for tests of what happens between processes (a port held by another program, a port this user may
// not open).
//
// Usage: console-harness DEVICE
// Prints "running" once the window is up, and every message box's text as "message: TEXT" (then closes
// the box). Exits with the console's own status.

#include "app/console.h"
#include "app/tform1.h"

#include <QApplication>
#include <QMessageBox>
#include <QTimer>

#include <cstdio>

int main(int argc, char** argv)
{
    QApplication application(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: console-harness DEVICE\n");
        return 2;
    }
    bool announced = false;
    QTimer watch;
    watch.callOnTimeout([&announced] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            std::printf("message: %s\n", qPrintable(box->text()));
            std::fflush(stdout);
            box->done(QMessageBox::Ok);
        }
        if (!announced && Form1 != nullptr && Form1->isVisible()) {
            announced = true;
            std::printf("running\n");
            std::fflush(stdout);
        }
    });
    watch.start(10);
    return execConsole(QString::fromLocal8Bit(argv[1]));
}
