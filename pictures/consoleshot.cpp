// console-shot: pictures of the console for its documentation.
//
// Usage: console-shot OUTPUT.png [window|menu|hint|failure|failure-message]
// Opens the main window on a pseudo-terminal of its own (never on a real serial device), puts it into the
// named state and saves what the screen shows around it. Run it on a real display or under xvfb-run.

#include "app/statusbar.h"
#include "app/tform1.h"

#include <QApplication>
#include <QCursor>
#include <QGroupBox>
#include <QMenu>
#include <QMessageBox>
#include <QScreen>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <QToolTip>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

int main(int argc, char** argv)
{
    QApplication application(argc, argv);
    const QStringList args = QApplication::arguments();
    if (args.size() < 2) {
        std::fprintf(stderr, "usage: console-shot OUTPUT.png [window|menu|hint|failure|failure-message]\n");
        return 2;
    }
    const QString output = args.at(1);
    const QString state = args.value(2, QStringLiteral("window"));

    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) {
        std::fprintf(stderr, "console-shot: no pseudo-terminal\n");
        return 1;
    }
    TForm1 form(QString::fromLocal8Bit(::ptsname(master)));
    Form1 = &form;
    form.show();
    if (!QTest::qWaitForWindowExposed(&form)) {
        std::fprintf(stderr, "console-shot: the window was never shown\n");
        return 1;
    }
    QTest::qWait(300);

    QRect area = form.frameGeometry();
    if (state == QStringLiteral("menu")) {
        const QPoint at = form.mapToGlobal(QPoint(470, 120));
        QTest::mouseMove(form.windowHandle(), QPoint(470, 120));
        QTest::mouseClick(form.windowHandle(), Qt::RightButton, {}, QPoint(470, 120));
        QTest::qWait(300);
        form.PopupMenu1->setActiveAction(form.N3);
        QTest::qWait(100);
        form.N3Menu->popup(form.PopupMenu1->geometry().topRight()
                           + QPoint(0, form.PopupMenu1->actionGeometry(form.N3).top()));
        QTest::qWait(300);
        area = area.united(form.PopupMenu1->geometry()).united(form.N3Menu->geometry());
        Q_UNUSED(at);
    } else if (state == QStringLiteral("hint")) {
        // A real pointer move, so that the tool-tip comes as it does for the operator.
        const QPoint on = form.SpeedButton5->mapToGlobal(form.SpeedButton5->rect().center());
        QCursor::setPos(on + QPoint(2, 2));
        QTest::qWait(100);
        QCursor::setPos(on);
        QTest::qWait(1500);
    } else if (state.startsWith(QStringLiteral("failure"))) {
        // The far end goes away as a pulled cable does: the message first, then the error label once the
        // operator has closed it and the window is active again.
        ::close(master);
        QTest::qWait(1000);
        auto* box = form.findChild<QMessageBox*>(QStringLiteral("PortFailure"));
        if (box == nullptr) {
            std::fprintf(stderr, "console-shot: no failure message appeared\n");
            return 1;
        }
        if (state == QStringLiteral("failure-message")) {
            area = area.united(box->frameGeometry());
        } else {
            box->accept();
            form.activateWindow();
            QTest::qWait(500);
        }
    }
    QTest::qWait(200);
    const QPixmap shot = form.screen()->grabWindow(0, area.x(), area.y(), area.width(), area.height());
    if (!shot.save(output)) {
        std::fprintf(stderr, "console-shot: cannot write %s\n", qPrintable(output));
        return 1;
    }
    Form1 = nullptr;
    if (!state.startsWith(QStringLiteral("failure")))
        ::close(master);
    return 0;
}
