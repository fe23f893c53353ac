#pragma once
// PortClaim: the console's claim on its serial device, taken before the device is configured and held for
// the port's whole life, so that two programs never talk to the robot at once.
//
// Taking it, in order; each step refuses the port with a PortOpenError whose message names the device, the
// fault and (for a busy port) the process that holds it:
//  1. Lock files. A lock file of the device (LCK..NAME in the system's lock directory, under the name given
//     and under the node it resolves to) whose process is alive refuses the port, whatever the file's
//     format (a binary PID, the ASCII "%10d\n" of older tools, or Qt's own lines) and however old it is.
//     A lock whose process has ended is removed, so that the port is taken over (one that this user may
//     not remove is reported as such). A lock that names no process at all is left to QSerialPort's own
//     locking.
//  2. The device must exist as a character device and be a terminal; it is opened without becoming the
//     controlling terminal and without blocking. Nothing is written to it and its settings are untouched.
//  3. flock(LOCK_EX | LOCK_NB) on it; a flock held by another process refuses the port.
// The descriptor and its flock are kept until release() or destruction.

#include "link/portdiagnosis.h"

#include <QString>

#include <optional>

class PortClaim
{
public:
    // The system's lock directories, as QSerialPort looks for them.
    static QStringList lockDirectories();
    // "LCK..ttyS0" for /dev/ttyS0, "LCK..serial_by-id_usb-X" for /dev/serial/by-id/usb-X.
    static QString lockFileName(const QString& device);

    // Takes the claim; throws PortOpenError when it cannot. `devicesRoot` is where the diagnosis of a
    // refusal looks for the machine's adapters (see PortDiagnosis::message).
    explicit PortClaim(const QString& device, const QString& devicesRoot = {});
    ~PortClaim();

    PortClaim(const PortClaim&) = delete;
    PortClaim& operator=(const PortClaim&) = delete;

    // Gives the device up (the port failed and was closed); idempotent.
    void release();

private:
    void checkLockFiles(const QString& device) const;
    void openAndLock(const QString& device);
    [[noreturn]] void refuse(PortFault fault, int error, const std::optional<PortHolder>& holder = std::nullopt,
                             const QString& lockFile = {}) const;

    QString m_device;
    QString m_devicesRoot;
    int m_fd = -1;
};
