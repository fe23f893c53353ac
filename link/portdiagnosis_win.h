#pragma once
// Port diagnosis on Windows: the words for a COM port that cannot be taken, from a Win32 error, and the COM
// ports that the device manager lists (the registry's SERIALCOMM map, which Windows fills as ports appear).
// Nothing here opens a port. PortDiagnosis::message() (link/portdiagnosis.h) gives the whole message.

#include "link/portdiagnosis.h"

#include <QString>
#include <QStringList>

namespace PortDiagnosis {

// The fault that a Win32 error of CreateFile or of the port's configuration stands for. Windows opens a COM
// port for one program at a time: a port that another program holds answers ERROR_ACCESS_DENIED.
PortFault faultOfWin32(unsigned long error);

// The system's own text for a Win32 error, in the desk's language, with its number.
QString win32ErrorText(unsigned long error);

// The COM ports present, as the device manager names them (COM1, COM3, ...), in their numbers' order.
QStringList comPorts();

} // namespace PortDiagnosis
