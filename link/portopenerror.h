#pragma once
// PortOpenError: why the console's serial port could not be opened, as one whole message that names the
// device, the fault and what to do (worded by PortDiagnosis). Raised by PortClaim and TApdComPort.

#include <stdexcept>

class PortOpenError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};
