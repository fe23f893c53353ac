// console-shot: a picture of the console for its documentation, as the code draws it today.
//
// Usage: console-shot OUTPUT.png STATE
//   window            the window just after the simulated robot's power-on banner
//   session-help      the robot's help screen (F1)
//   session-download  a memory dump (F4), a port test (F7), load mode (F5) and tools/samples/blink.hex sent
//   terminal          the terminal pane alone: the help screen, then forward and stop from the direction pad
//   selection         dumps gone past, the pane one page back and four lines of it selected
//   menu              the pop-up menu with its command submenu open
//   hint              a hover hint in the status bar and a direction button's tool-tip
//   capture           a memory dump captured into APD.CAP, the pointer on the pane (its hint names the keys)
//   port-failure      the message for a line that went away, over the window
//   line-error        the line-error label once that message is closed
//
// The window is set up as robot-console sets it up (Qt's Korean texts, the UTF-8 character type, no
// settings) and talks to the simulated robot built into robot-console-demo over a pseudo-terminal, never to
// a serial device. scripts/pictures runs it for every picture on Qt's offscreen platform, so that the
// pictures depend on the code and the installed fonts only. The cursor is held steady (no blink) and every
// picture is taken once the line has been quiet long enough for the Tx/Rx lights to go out, so that the same
// code draws the same pixels.

#include "app/qtsetup.h"
#include "app/tform1.h"
#include "link/apdprotocol.h"
#include "link/apdterminal.h"
#include "tools/targetsim.h"

#include <QApplication>
#include <QCursor>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QMenu>
#include <QMessageBox>
#include <QPainter>
#include <QPixmap>
#include <QScreen>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace {

constexpr int kQuietMs = 500; // longer than the lights' hold and the pane's paint interval

[[noreturn]] void giveUp(const char* what)
{
    std::fprintf(stderr, "console-shot: %s\n", what);
    std::exit(1);
}

// Waits until the robot has said everything and taken everything, then a little more.
void settle(const TargetSimulator& robot)
{
    QElapsedTimer waited;
    waited.start();
    while (robot.pendingOutput() > 0 || robot.pendingInput() > 0) {
        if (waited.elapsed() > 30000)
            giveUp("the simulated robot never went quiet");
        QTest::qWait(20);
    }
    QTest::qWait(kQuietMs);
}

// A key pressed in the window as the operator presses it, and the robot's answer waited for.
void press(TForm1& form, const TargetSimulator& robot, Qt::Key key, Qt::KeyboardModifiers modifiers = {})
{
    const qsizetype before = robot.received().size();
    QTest::keyClick(form.windowHandle(), key, modifiers);
    QElapsedTimer waited;
    waited.start();
    while (robot.received().size() == before) {
        if (waited.elapsed() > 5000)
            giveUp("a key reached no robot");
        QTest::qWait(10);
    }
    settle(robot);
}

void click(QToolButton* button, const TargetSimulator& robot)
{
    QTest::mouseClick(button, Qt::LeftButton);
    settle(robot);
}

} // namespace

int main(int argc, char** argv)
{
    chooseQtPlatformSettings();
    QApplication application(argc, argv);
    setUpQtForConsole();
    // Fading and sliding would catch a pop-up half drawn.
    for (const auto effect : {Qt::UI_AnimateMenu, Qt::UI_FadeMenu, Qt::UI_AnimateTooltip, Qt::UI_FadeTooltip})
        QApplication::setEffectEnabled(effect, false);
    const QStringList args = QApplication::arguments();
    if (args.size() != 3) {
        std::fprintf(stderr, "usage: console-shot OUTPUT.png STATE (see pictures/consoleshot.cpp)\n");
        return 2;
    }
    const QString output = QFileInfo(args.at(1)).absoluteFilePath(); // before the working folder changes
    const QString& state = args.at(2);

    std::unique_ptr<TargetSimulator> robot;
    try {
        robot = std::make_unique<TargetSimulator>();
    } catch (const TargetSimError& error) {
        giveUp(error.what());
    }
    // The line goes by a name that is the same in every run (the pseudo-terminal's number is not), for the
    // pictures that show it: a link in a folder of this run's own, which is the working folder.
    QTemporaryDir folder;
    if (!folder.isValid() || !QDir::setCurrent(folder.path())
        || !QFile::link(robot->slavePath(), QStringLiteral("ttyUSB0")))
        giveUp("cannot make a link to the simulated robot's line");
    TForm1 form(QStringLiteral("./ttyUSB0"));
    Form1 = &form;
    form.ApdTerminal1->BlinkTime = 0;
    form.show();
    form.activateWindow();
    if (!QTest::qWaitForWindowActive(&form))
        giveUp("the window was never shown");
    robot->powerOn();
    settle(*robot);

    QRect area = form.geometry();
    if (state == QLatin1String("window")) {
    } else if (state == QLatin1String("session-help")) {
        press(form, *robot, Qt::Key_F1);
    } else if (state == QLatin1String("session-download")) {
        press(form, *robot, Qt::Key_F4);
        press(form, *robot, Qt::Key_F7);
        press(form, *robot, Qt::Key_F5);
        bool finished = false;
        QObject::connect(form.ApdProtocol1, &TApdProtocol::transferFinished, [&finished] { finished = true; });
        form.ApdProtocol1->SetFileName(QStringLiteral(CONSOLE_SAMPLES_DIR "/blink.hex"));
        form.ApdProtocol1->StartTransmit();
        if (!QTest::qWaitFor([&finished] { return finished; }, 30000))
            giveUp("blink.hex was never sent");
        settle(*robot);
    } else if (state == QLatin1String("terminal")) {
        press(form, *robot, Qt::Key_F1);
        click(form.SpeedButton1, *robot);
        click(form.SpeedButton5, *robot);
        area = QRect(form.ApdTerminal1->mapToGlobal(QPoint(0, 0)), form.ApdTerminal1->size());
    } else if (state == QLatin1String("selection")) {
        for (int dump = 0; dump < 3; ++dump)
            press(form, *robot, Qt::Key_F4);
        TApdTerminal* pane = form.ApdTerminal1;
        pane->setFocus();
        QTest::keyClick(pane, Qt::Key_PageUp, Qt::ShiftModifier);
        const auto cell = [](int column, int row) {
            return QPoint(column * TApdTerminal::kCellWidth + 4, row * TApdTerminal::kCellHeight + 6);
        };
        QTest::mousePress(pane, Qt::LeftButton, {}, cell(0, 9));
        QTest::mouseMove(pane, cell(20, 11));
        QTest::mouseMove(pane, cell(28, 12));
        QTest::mouseRelease(pane, Qt::LeftButton, {}, cell(28, 12));
        QTest::qWait(kQuietMs);
    } else if (state == QLatin1String("menu")) {
        const QPoint at(470, 120);
        QTest::mouseMove(form.windowHandle(), at);
        QTest::mouseClick(form.windowHandle(), Qt::RightButton, {}, at);
        QTest::qWait(300);
        form.PopupMenu1->setActiveAction(form.N3);
        form.N3Menu->popup(form.PopupMenu1->geometry().topRight()
                           + QPoint(0, form.PopupMenu1->actionGeometry(form.N3).top()));
        QTest::qWait(kQuietMs);
        area = area.united(form.PopupMenu1->geometry()).united(form.N3Menu->geometry());
    } else if (state == QLatin1String("hint")) {
        // A real pointer move, so that the tool-tip comes as it does for the operator.
        const QPoint on = form.SpeedButton5->mapToGlobal(form.SpeedButton5->rect().center());
        QCursor::setPos(on + QPoint(2, 2));
        QTest::qWait(100);
        QCursor::setPos(on);
        QTest::qWait(1500);
    } else if (state == QLatin1String("capture")) {
        QString error;
        if (!form.ApdTerminal1->startCapture(QDir::current().filePath(QStringLiteral("APD.CAP")), true, &error))
            giveUp(qPrintable(error));
        press(form, *robot, Qt::Key_F4);
        const QPoint on = form.ApdTerminal1->mapToGlobal(form.ApdTerminal1->rect().center());
        QCursor::setPos(on + QPoint(2, 2));
        QTest::qWait(100);
        QCursor::setPos(on);
        QTest::qWait(kQuietMs);
    } else if (state == QLatin1String("port-failure") || state == QLatin1String("line-error")) {
        // The far end goes away as a pulled cable does: the message first, then the error label once the
        // operator has closed it and the window is active again.
        robot.reset();
        QMessageBox* box = nullptr;
        if (!QTest::qWaitFor(
                [&form, &box] {
                    return (box = form.findChild<QMessageBox*>(QStringLiteral("PortFailure"))) != nullptr;
                },
                5000))
            giveUp("no failure message appeared");
        QTest::qWait(kQuietMs);
        if (state == QLatin1String("port-failure")) {
            area = area.united(box->frameGeometry());
        } else {
            box->accept();
            form.activateWindow();
            QTest::qWait(kQuietMs);
        }
    } else {
        std::fprintf(stderr, "console-shot: no state %s\n", qPrintable(state));
        return 2;
    }
    // Only what the console's windows draw is taken from the screen: the rest of the area (beside a menu or a
    // message box that reaches past the window, and the frames, which no window manager draws here) holds
    // whatever was drawn there last, and is left clear.
    const QPixmap screen = form.screen()->grabWindow(0, area.x(), area.y(), area.width(), area.height());
    QPixmap shot(screen.size());
    shot.fill(Qt::transparent);
    {
        QPainter painter(&shot);
        for (const QWidget* window : QApplication::topLevelWidgets()) {
            if (!window->isVisible())
                continue;
            const QRect covered = window->geometry().intersected(area).translated(-area.topLeft());
            painter.drawPixmap(covered, screen, covered);
        }
    }
    Form1 = nullptr;
    if (!shot.save(output)) {
        std::fprintf(stderr, "console-shot: cannot write %s\n", qPrintable(output));
        return 1;
    }
    return 0;
}
