#pragma once
// PortClaim: the console's claim on its serial device, taken before the device is configured and held for
// the port's whole life, so that two programs never talk to the robot at once.
//
// Taking it, in order; each step refuses the port with a PortOpenError whose message names the device, the
// fault and (for a busy port) the process that holds it and how that was found:
//  1. The lock directory must take a lock file: one that is full, read-only or closed to this user is
//     named as such (else the port would be used with no lock that other programs can see).
//  2. Lock files. A lock file of the device (LCK..NAME in the system's lock directory, under the name given
//     and under the node it resolves to) is read without ever blocking or following a link: only a regular
//     file is opened (O_NOFOLLOW | O_NONBLOCK, checked again with fstat), and only its first kLockFileLimit
//     bytes. Its first line names the owner: a binary PID, the ASCII "%10d\n" of older tools, the common
//     "%10d NAME USER\n", or Qt's lines (PID, program, host).
//     - An owner that is alive refuses the port, however old the lock. Where the lock names a program and
//       the live process runs another one and does not have the device open, the PID was reused after
//       the owner ended: the lock is stale. So is a lock that names this very process while it does not
//       have the device open (left behind in another PID namespace).
//     - A stale lock is removed, so that the port is taken over; one that this user may not remove is
//       reported as such.
//     - Anything else in the lock's place (a pipe, a directory, a device, a link, a file too large or
//       naming no process, one this user may not read) refuses the port and is never removed: it is
//       named with its kind and owner, and who may remove it.
//  3. The device must exist as a character device and be a terminal; it is opened without becoming the
//     controlling terminal and without blocking. Nothing is written to it and its settings are untouched.
//  4. flock(LOCK_EX | LOCK_NB) on it; a flock held by another process refuses the port, naming the holder
//     from /proc/locks, or failing that a process that has the device open.
// The descriptor and its flock are kept until release() or destruction.

#include "link/portdiagnosis.h"

#include <QString>

#include <optional>

class PortClaim
{
public:
    // A lock is one line; anything larger is not a lock.
    static constexpr qint64 kLockFileLimit = 1024;

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

    // Throws the PortOpenError for a lock file that QSerialPort could not take after the claim was: the
    // live program whose lock appeared meanwhile, what stands in the lock's place, or else the lock
    // directory with the system's words `systemText`.
    [[noreturn]] void refuseLockFile(const QString& systemText) const;

private:
    void checkLockDirectory() const;
    void checkLockFiles() const;
    void openAndLock();
    [[noreturn]] void refuse(PortRefusal refusal) const;

    QString m_device;
    QString m_devicesRoot;
    int m_fd = -1;
};
