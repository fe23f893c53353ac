#include "app/console.h"
#include "link/apdcomport.h"

int main(int argc, char** argv)
{
    return runConsole(argc, argv, &TApdComPort::com1Device);
}
