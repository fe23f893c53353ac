#pragma once
// Port diagnosis: why the console's serial device could not be taken, in words that tell the operator what
// to do next, and who else holds it.
//
// Everything here looks at names, links, status, lock files and /proc only: it never opens a device that
// it reports on, since opening a serial device can change its lines and disturb another program's connection.
//
// Each message is one whole paragraph (no line breaks) that names the device, says what is wrong and what
// to do; a system error string, where there is one, follows only as a detail in parentheses.

#include <QList>
#include <QString>

#include <optional>

#include <sys/types.h>

// A process as /proc tells it.
struct PortHolder
{
    qint64 pid = 0;
    QString name;        // its command name (/proc/PID/comm); empty where /proc does not tell
    QString commandLine; // its arguments joined by spaces; empty where /proc does not tell
};

// A USB-serial adapter present on this machine: its stable udev name under /dev/serial/by-id (empty for a
// node that has none) and the node it stands for.
struct SerialAdapter
{
    QString byIdName;
    QString node;
};

enum class PortFault {
    Missing,
    NoPermission,
    Busy,
    StaleLock, // a lock file whose process has ended, that this user may not remove
    NotSerial,
    IoError,
    Other,
};

namespace PortDiagnosis {

// The USB-serial adapters under `root` (dev/serial/by-id/*, dev/ttyUSB*, dev/ttyACM*), by listing and
// reading links only; an empty `root` is the running machine's own "/". A node named by a by-id link
// appears once, with that name; nodes are given as the running machine would name them (without `root`).
QList<SerialAdapter> usbSerialAdapters(const QString& root);

// The live process `pid`; nullopt when there is none, or it has already ended (a zombie holds nothing).
std::optional<PortHolder> liveProcess(qint64 pid);

// "minicom (프로세스 1234: minicom -D /dev/ttyS0)": how a holder is named in messages.
QString describe(const PortHolder& holder);

// The process holding a flock() or record lock on the file (device, inode), from /proc/locks.
std::optional<PortHolder> lockHolderOf(dev_t device, ino_t inode);

// A process other than this one with `device` open, from /proc/*/fd (as far as this user may look).
std::optional<PortHolder> processUsing(const QString& device);

// The fault that an open(2) errno stands for.
PortFault faultOf(int error);

// The whole message for a fault of `device`. `holder` names the process that holds a busy port;
// `lockFile` the lock file that holds it where no process can be named, or the stale one. The adapters
// offered instead of a missing or failing device are looked for under `devicesRoot` (empty: the running
// machine; tests give a temporary tree with a fake dev/serial/by-id, so that no real device is listed).
QString message(PortFault fault, const QString& device, const QString& detail,
                const std::optional<PortHolder>& holder = std::nullopt, const QString& lockFile = {},
                const QString& devicesRoot = {});

} // namespace PortDiagnosis
