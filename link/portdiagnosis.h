#pragma once
// Port diagnosis: why the console's serial device could not be taken, in words that tell the operator what
// to do next, and who else holds it.
//
// Everything here looks at names, links, status, lock files and /proc only: it never opens a device that
// it reports on, since opening a serial device can change its lines and disturb another program's connection.
//
// Each message is for the person who can act, one part per line: what happened, naming COM1 with its device;
// the cause; what to do (what only an administrator can do is asked of the administrator, with the exact
// command alone on the next line); then our own technical detail ("자세한 내용: ") and the system's own
// text ("시스템 메시지: "), last. Names from the disk or /proc are shown through printableText().

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
    QString executable; // the file it runs (/proc/PID/exe); empty where /proc does not tell this user
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
    StrangeLock, // something in the lock file's place that is not the lock of a live program
    LockDirectory, // the lock directory takes no lock file (full, read-only, closed to this user)
    NotSerial,
    IoError,
    Other,
};

// How an open port failed while the console ran.
enum class PortFailure {
    Vanished, // the device's node is gone (a USB adapter pulled out)
    HungUp, // reading found it hung up or failing while its node is still there
    WriteFailed, // writing to it failed
};

// What stands in a lock file's place when it is not a lock that can be read.
enum class LockFileKind {
    Fifo,
    Directory,
    Device,
    Socket,
    Symlink, // `detail`: where it points
    Oversized, // `detail`: its size in bytes
    Unparsable, // a regular file whose first line names no process
    Unreadable, // a file that this user may not read
};

// How the process named as the holder of a busy port was found.
enum class HolderEvidence {
    None,
    LockFile, // named by the device's lock file, alive and running the program that the lock names
    ProcLocks, // holds the device's flock, as /proc/locks tells by device and inode
    OpenDevice, // has the device open, from /proc/*/fd (the flock's holder could not be found)
};

// Everything that a refusal of the port can tell.
struct PortRefusal
{
    PortFault fault = PortFault::Other;
    QString device;
    QString systemText; // the system's own words (errno, Qt); shown last
    int systemError = 0; // the errno behind it, where there is one (systemText defaults to its words)
    std::optional<PortHolder> holder;
    HolderEvidence evidence = HolderEvidence::None;
    QString lockFile; // the lock file concerned, or the lock directory for LockDirectory
    LockFileKind lockKind = LockFileKind::Unparsable; // StrangeLock: what stands there
    QString lockDetail; // StrangeLock: see LockFileKind
    QString lockOwner; // StrangeLock: the user who owns it
    bool lockRemovableHere = false; // StrangeLock: this user may remove it
};

namespace PortDiagnosis {

// The USB-serial adapters under `root` (dev/serial/by-id/*, dev/ttyUSB*, dev/ttyACM*), by listing and
// reading links only; an empty `root` is the running machine's own "/". A node named by a by-id link
// appears once, with that name; nodes are given as the running machine would name them (without `root`).
QList<SerialAdapter> usbSerialAdapters(const QString& root);

// The live process `pid`; nullopt when there is none, or it has already ended (a zombie holds nothing).
std::optional<PortHolder> liveProcess(qint64 pid);

// "minicom(프로세스 1234: minicom -D /dev/ttyS0)": how a holder is named in messages, its words made
// printable.
QString describe(const PortHolder& holder);

// Whether `holder` may be running `program` (the name that a lock file gives): its command name, the file it
// runs or its first argument is that name. True where /proc tells nothing to compare, so that a lock is
// never taken from a process that cannot be told apart from its owner.
bool mayRun(const PortHolder& holder, const QString& program);

// Whether the live process `pid` has `device` open (from /proc/PID/fd).
bool hasOpen(qint64 pid, const QString& device);

// The process holding a flock() or record lock on the file (device, inode), from /proc/locks.
std::optional<PortHolder> lockHolderOf(dev_t device, ino_t inode);

// A process other than this one with `device` open, from /proc/*/fd (as far as this user may look).
std::optional<PortHolder> processUsing(const QString& device);

// The fault that an open(2) errno stands for.
PortFault faultOf(int error);

// The whole message for a refusal. The adapters offered instead of a missing or failing device are looked
// for under `devicesRoot` (see below).
QString message(const PortRefusal& refusal, const QString& devicesRoot = {});

// The whole message for a port that failed while the console ran and was closed: what happened, that
// nothing reaches the robot any more, what to do, and the system's own words last.
QString failureMessage(PortFailure failure, const QString& device, const QString& systemText);

// The whole message for a fault of `device`. `holder` names the process that holds a busy port;
// `lockFile` the lock file that holds it where no process can be named, or the stale one. The adapters
// offered instead of a missing or failing device are looked for under `devicesRoot` (empty: the running
// machine; tests give a temporary tree with a fake dev/serial/by-id, so that no real device is listed).
QString message(PortFault fault, const QString& device, const QString& detail,
                const std::optional<PortHolder>& holder = std::nullopt, const QString& lockFile = {},
                const QString& devicesRoot = {});

} // namespace PortDiagnosis
