#pragma once
// Com1Assignment: which device is COM1 on this computer.
//
// The desk's administrator assigns COM1 with robot-console-com1; where nothing is assigned, COM1 is the
// device the console was built with (buildDefault(), /dev/ttyS0 unless a distribution chose otherwise).
// The assignment is one file owned by root, kFile, whose one setting names the device by a path that does
// not depend on plug order or USB socket: an adapter's stable udev name under /dev/serial/by-id/, or the
// node of a port built into the computer. kRule, written beside it, gives that device's node to the
// operators' group (kOperatorGroup) whenever udev sees it plugged in.
//
// Everything is looked up under a root folder: "/" on a running machine; tests give a temporary tree with
// its own dev/, sys/dev/char/ and etc/. Paths given and returned are as the running machine names them
// ("/dev/ttyUSB0"), never with the root in front.
//
// Devices are judged by names, links, stat() and sysfs only. No device is ever opened here: opening a serial
// device changes its modem lines, and that resets some boards.
//
// Nothing here falls back to another device. A file that cannot be read or says anything but exactly one
// device, and an assigned device that is not there, are errors that name the file or the device.

#include <QList>
#include <QString>

#include <stdexcept>

// A start that must end before any device is opened. The message is whole, one part per line: what
// happened (naming COM1), the cause, what to do, what to ask of the administrator with the command on the
// next line, and the system's own text last.
class Com1Error : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// What the assignment file says.
struct Com1Reading
{
    enum class State {
        Unassigned, // there is no file
        Assigned, // `device` is assigned
        Unreadable, // the file exists but cannot be read (`systemError`)
        Malformed, // the file does not name exactly one device (`line`: the first line not understood, or 0
            // where no line names one)
    };
    State state = State::Unassigned;
    QString device;
    int line = 0;
    QString systemError;
};

// What a device is, judged without opening it.
enum class DeviceKind {
    SerialPort, // a terminal with hardware behind it, as sysfs lists it
    Missing, // nothing by that name
    RegularFile,
    Directory,
    OtherFile, // a pipe, a socket, a block device
    NotSerialPort, // a character device that sysfs does not list as a terminal with hardware behind it
        // (a pseudo-terminal, a virtual console, any other driver)
    NoUart, // a built-in port whose chip the kernel did not find
};

// A serial port present on this computer.
struct SerialPortEntry
{
    QString stableName; // its /dev/serial/by-id/ path; empty for a port that has none
    QString node; // its node, "/dev/ttyUSB0"
    bool usb = false; // on a USB bus, where node numbers follow plug order
};

// A device argument of `robot-console-com1 assign`, judged.
struct Com1Candidate
{
    DeviceKind kind = DeviceKind::Missing;
    QString given; // the path that the argument stands for ("/dev/ttyUSB1" for "ttyUSB1")
    QString device; // what the assignment is to name: the stable name where there is one, else the node
    QString node; // the node it stands for
    bool usbWithoutStableName = false; // a USB adapter that udev has not named: refused
    bool nameUnfitForRule = false; // a name that a udev rule cannot match as written: refused

    bool acceptable() const { return kind == DeviceKind::SerialPort && !usbWithoutStableName && !nameUnfitForRule; }
};

class Com1Assignment
{
public:
    static constexpr const char* kFile = "/etc/robot-console/com1";
    static constexpr const char* kRule = "/etc/udev/rules.d/70-robot-console-com1.rules";
    static constexpr const char* kOperatorGroup = "dialout";
    static constexpr const char* kStableNames = "/dev/serial/by-id/";

    // The device COM1 names where nothing is assigned, fixed when the console is built.
    static QString buildDefault();

    explicit Com1Assignment(const QString& root = QStringLiteral("/"));

    Com1Reading read() const;

    // COM1's device for the console: the assigned one, else `unassigned`. Throws Com1Error where the file
    // cannot be followed or the assigned device is not there.
    QString com1Device(const QString& unassigned) const;

    // The serial ports present: every stable name, then the nodes (ttyUSB*, ttyACM*, ttyS*, ttyAMA*) that no
    // stable name stands for. What sysfs does not list as a serial port is left out.
    QList<SerialPortEntry> serialPorts() const;

    DeviceKind kindOf(const QString& device) const;
    // Whether two paths name the same device (by device number, links followed).
    bool sameDevice(const QString& a, const QString& b) const;

    // `argument` as given to assign: a stable name with or without /dev/serial/by-id/, or a node.
    Com1Candidate judge(const QString& argument) const;

    // Writes the assignment, then its udev rule: each replaced whole, 0644, in folders made 0755. Returns
    // the failure (the file and the system's text), or an empty string.
    QString assign(const QString& device) const;
    // Removes both files. Returns the failure as assign() does; `removedAny` tells whether there were any.
    QString reset(bool* removedAny) const;
    // The udev rule for `device`, as assign() writes it.
    static QString ruleFor(const QString& device);

    // Whether udev is running (its control socket exists).
    bool udevRunning() const;

private:
    QString at(const QString& path) const;
    QString asRunning(const QString& path) const;
    bool onUsb(const QString& device) const;

    QString m_root;
};
