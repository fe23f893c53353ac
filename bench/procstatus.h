#pragma once
// What the kernel says of this process's memory, for the benchmarks.

#include <QByteArray>
#include <QFile>

// A "Vm...:" field of /proc/self/status in KiB (e.g. "VmRSS", "VmHWM"); -1 where there is none.
inline long procStatusKiB(const QByteArray& field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray key = field + ':';
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith(key))
            return line.mid(key.size()).trimmed().split(' ').value(0).toLong();
    return -1;
}
