#pragma once
// Line settings of the Windows serial backend, separate so they can be checked on their own.
#include <cstdint>
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

namespace comsys {

// Every field of the line set for raw binary data, whatever the port held before (another
// program, or the driver, may have left software flow control or error replacement on): binary
// mode, the speed, no parity checking or replacement, no XON/XOFF either way, no CTS/DSR flow
// control or DSR sensitivity, no null stripping, no abort on error, DTR and RTS on (the device
// link drives DTR itself). Data bits, stop bits and parity come from the line code.
void MakeRawDcb(DCB& dcb, int32_t baud, uint8_t lineCode);
// Decodes a UART-style line-control byte into the DCB's data bits, stop bits and parity.
void ApplyLineCode(DCB& dcb, uint8_t lineCode);
// The port's time-outs: a read returns once all its bytes arrived (callers read only what is
// queued), a write gives up after the named write limit.
COMMTIMEOUTS PortTimeouts();

} // namespace comsys
