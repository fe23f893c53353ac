#pragma once
// The console's start-up and message loop, shared by the entry points.

#include <QString>

#include <functional>

// Exit status of a start-up that failed (the failure was shown to the operator).
inline constexpr int kStartupFailed = 1;

// Sets Qt up (app/qtsetup.h), creates the main window on `portDevice`, shows it and runs the message
// loop until it closes. Any exception escaping start-up or the loop is shown in a message box with its
// message and written as one line on stderr, and the result is then kStartupFailed; otherwise the loop's
// own status. Needs an existing QApplication.
int execConsole(const QString& portDevice);
// The same, with the device named by `portDevice()` once Qt is set up, inside the guard: a PortOpenError
// that it throws is a failed start like any other.
int execConsole(const std::function<QString()>& portDevice);

// Initialises the application and runs execConsole inside the same guard. Where no display can be found
// (no platform plugin starts), says so in one line on stderr and ends the process with kStartupFailed.
int runConsole(int& argc, char** argv, const std::function<QString()>& portDevice);
