#pragma once
// Placeholder pane until the terminal emulation lands: shows nothing, sends nothing.

#include <QFrame>

class TApdComPort;

class TApdKeyboardEmulator : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;
};

class TApdTerminal : public QFrame
{
    Q_OBJECT

public:
    using QFrame::QFrame;
    void setComPort(TApdComPort* port) { m_port = port; }
    void setKeyboardEmulator(TApdKeyboardEmulator* emulator) { m_keyboard = emulator; }
    void ClearWindow() {}

private:
    TApdComPort* m_port = nullptr;
    TApdKeyboardEmulator* m_keyboard = nullptr;
};
