// robot-console-demo: the console wired to the built-in simulated target instead of COM1.
//
// The same window as robot-console, on the far end of the simulator's pseudo-terminal, so that the console
// can be tried without a robot and without any rights on the machine's serial devices. It starts as
// robot-console does: without a display it says so and ends with status 1.

#include "app/console.h"
#include "link/portopenerror.h"
#include "tools/targetsim.h"

#include <QCoreApplication>

int main(int argc, char** argv)
{
    return runConsole(argc, argv, [] {
        // The application owns the simulator: it goes after the window and before Qt's event loop.
        TargetSimulator* target = nullptr;
        try {
            target = new TargetSimulator(TargetSimulator::kLineRate, QCoreApplication::instance());
        } catch (const TargetSimError& error) {
            throw PortOpenError(error.what());
        }
        target->powerOn();
        return target->slavePath();
    });
}
