#pragma once
// The serial port layer: the only code that touches the serial ports. Ports are numbered 1 to
// 256 (PortNames.h maps a number to a device); each number has one entry in a process-wide handle
// table. Every operation reports failure through its result and never raises. Only the window's
// thread calls this layer.
#include <chrono>
#include <cstdint>

constexpr int32_t ComPortCount = 256;

// Shared by all ports: OpenCom sets it to 1, the one CloseCom it allows raises it to 2. So at
// most one close succeeds after each open, whichever port it names.
extern uint8_t ComOpenCount;

// The line format handed to the port setup, laid out like a UART line-control register:
// bits 1-0 data bits 5..8, bit 2 two stop bits, bits 5-3 parity (000 none, 001 odd, 011 even,
// 101 mark, 111 space, anything else leaves the port's parity alone). OpenCom always uses 3 (8N1).
constexpr uint8_t ComLineCode = 3;

// Opens port `port` exclusively in raw mode at `baud` bit/s, 8N1, and discards queued input. True
// when the device opened (setting the speed and format is not checked). A failed open leaves the
// invalid marker in the port's entry; a port number outside 1..256 leaves the table untouched.
bool OpenCom(int32_t port, int32_t baud);
// Closes the port's handle and empties its entry, only while ComOpenCount is 1.
bool CloseCom(int32_t port);
// State 0 clears DTR, 1 sets it, anything else does nothing. The outcome is not reported.
void SetComDTR(int32_t port, int32_t state);
// Writes one byte.
bool WriteComByte(int32_t port, uint8_t value);
// The byte read (0..255), blocking until one arrives; 0 when the read fails; -1 for a refused
// port (number outside 1..256 or a failed open).
int32_t ReadComByte(int32_t port);
// Writes buf[0] .. buf[last] (last + 1 bytes) back to back; false as soon as a byte cannot be
// written; a negative `last` writes nothing and returns true.
bool WriteComBuf(int32_t port, const uint8_t* buf, int32_t last);
// Reads `count` bytes into buf, blocking until they arrived; false at the first failed read;
// count <= 0 reads nothing and returns true. Callers ask ComInCount first.
bool ReadComBuf(int32_t port, uint8_t* buf, int32_t count);
// The number of received bytes waiting; 0 for a refused port or a failed query.
int32_t ComInCount(int32_t port);
// Kind 0 discards queued input, 1 queued output, 2 both (input first), others nothing. True for
// every port that is not refused, whether or not a purge took effect.
bool ClearCom(int32_t port, int32_t kind);

// Waits at least ms + 1 milliseconds, processing the window's pending messages while waiting
// unless noPump is set. Sleeps in short slices, so a long wait costs almost no processor time.
void DelayMs(uint32_t ms, bool noPump = false);
// Waits at least us microseconds (0 returns at once, without processing messages).
void DelayUs(uint32_t us, bool noPump = false);

// Waits until the port has received input or `limit` has passed, processing window messages
// between short slices unless noPump is set. True when input is waiting; false at the limit, for
// a refused or closed port, or when the line hung up without data.
bool WaitComInput(int32_t port, std::chrono::microseconds limit, bool noPump = false);
