#include "link/apdcomport.h"

#include <algorithm>

// What the port computes alike on every platform, from the figures that its platform's side gives.

std::uint16_t TApdComPort::GetOutBuffFree() const
{
    if (!isOpen())
        return 0;
    const qint64 room = qint64{kOutputCapacity} - pendingOutput();
    return static_cast<std::uint16_t>(std::clamp<qint64>(room, 0, kOutputCapacity));
}

qint64 TApdComPort::roomOutsideCommands() const
{
    return qint64{GetOutBuffFree()} - kCommandRoom;
}

void TApdComPort::PutChar(char c)
{
    PutString(QByteArray(1, c));
}
