#pragma once
// The console's start-up and message loop, shared by the entry points.

#include <QString>

#include <functional>

// Exit status of a start-up that failed (the failure was shown to the operator).
inline constexpr int kStartupFailed = 1;

// Creates the main window on `portDevice`, shows it and runs the message loop until it closes. Any
// exception escaping start-up or the loop is shown in a message box with its message and written as one
// line on stderr, and the result is then kStartupFailed; otherwise the loop's own status. Needs an
// existing QApplication, set up by setUpQtForConsole (app/qtsetup.h). `devicesRoot` is handed to the
// window for the diagnosis of a port that cannot be opened (empty: this machine's; tests give a fake tree).
int execConsole(const QString& portDevice, const QString& devicesRoot = {});
// The same, with the device named by `portDevice()` inside the guard: a PortOpenError that it throws (COM1's
// assignment cannot be followed) is a failed start like any other.
int execConsole(const std::function<QString()>& portDevice, const QString& devicesRoot = {});

// Creates and sets up the application, then runs execConsole inside the same guard. Where no display can
// be found, says so in one line on stderr and returns kStartupFailed: before creating the application
// when no display is named at all, or by ending the process from Qt's fatal message when a named one
// cannot be reached (see console.cpp).
int runConsole(int& argc, char** argv, const std::function<QString()>& portDevice);
