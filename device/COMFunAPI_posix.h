#pragma once
// Terminal settings of the POSIX serial backend, separate so they can be checked on their own.
#include <cstdint>
#include <termios.h>

namespace comsys {

// Raw mode: every byte passes untouched both ways (no echo, no signals, no CR/NL translation,
// no software flow control), the receiver on, modem control lines ignored, reads block until at
// least one byte has arrived. Hardware flow control stays as the port had it.
void MakeRaw(termios& t);
// Decodes a UART-style line-control byte into CSIZE, CSTOPB, PARENB, PARODD and CMSPAR.
void ApplyLineCode(termios& t, uint8_t lineCode);
// The termios speed constant for `baud` bit/s, or B0 when the system has none.
speed_t SpeedOf(int32_t baud);

} // namespace comsys
