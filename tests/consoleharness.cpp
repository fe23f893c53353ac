// console-harness: the console's guarded start-up on a device of the test's choosing, in a process of its
// own, for tests of what happens between processes (a port held by another program, a port this user may
// not open).
//
// Usage: console-harness [--devices-root DIR] [DEVICE]
// Without DEVICE, COM1 is found as robot-console finds it (the desk's assignment, else the default).
// Prints "running" once the window is up, and every message box's text as "message: TEXT" with its line
// breaks written as \n (then closes the box). Exits with the console's own status. --devices-root makes the diagnosis of a failed start look
// for USB-serial adapters under DIR/dev instead of the machine's /dev.

#include "app/console.h"
#include "app/qtsetup.h"
#include "app/tform1.h"
#include "link/apdcomport.h"

#include <QApplication>
#include <QMessageBox>
#include <QTimer>

#include <cstdio>

int main(int argc, char** argv)
{
    QApplication application(argc, argv);
    setUpQtForConsole();
    QStringList arguments = QApplication::arguments().mid(1);
    QString devicesRoot;
    if (arguments.size() >= 2 && arguments.constFirst() == QStringLiteral("--devices-root")) {
        devicesRoot = arguments.at(1);
        arguments = arguments.mid(2);
    }
    if (arguments.size() > 1) {
        std::fprintf(stderr, "usage: console-harness [--devices-root DIR] [DEVICE]\n");
        return 2;
    }
    bool announced = false;
    QTimer watch;
    watch.callOnTimeout([&announced] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            QString text = box->text();
            text.replace(QLatin1Char('\n'), QStringLiteral("\\n"));
            std::printf("message: %s\n", qPrintable(text));
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
    if (arguments.isEmpty())
        return execConsole(&TApdComPort::com1Device, devicesRoot);
    return execConsole(arguments.constFirst(), devicesRoot);
}
