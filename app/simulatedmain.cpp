// robot-console-demo: the console wired to the built-in simulated target instead of COM1.
//
// The same window as robot-console, on the far end of the simulator's pseudo-terminal, so that the console
// can be tried without a robot and without any rights on the machine's serial devices.

#include "app/console.h"
#include "app/qtsetup.h"
#include "tools/targetsim.h"

#include <QApplication>
#include <QMessageBox>

#include <memory>

int main(int argc, char** argv)
{
    chooseQtPlatformSettings();
    QApplication application(argc, argv);
    setUpQtForConsole();
    std::unique_ptr<TargetSimulator> target;
    try {
        target = std::make_unique<TargetSimulator>();
    } catch (const TargetSimError& error) {
        QMessageBox::critical(nullptr, QStringLiteral("그래 잘가라!"), QString::fromUtf8(error.what()));
        return kStartupFailed;
    }
    target->powerOn();
    return execConsole(target->slavePath());
}
