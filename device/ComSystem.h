#pragma once
// The platform half of the serial port layer (COMFunAPI_posix.cpp or COMFunAPI_win32.cpp). It
// works on raw handles; the port object that owns one, the refusal rules and the waits are the
// portable half's (ComPort.h).
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

namespace comsys {

// The system's handle of an open port (a file descriptor on POSIX), or InvalidHandle.
using Handle = intptr_t;
constexpr Handle InvalidHandle = -1;

// Opens the serial device at `path` exclusively in raw mode with the speed and line format, and
// discards queued input (Windows also purges output). InvalidHandle when it cannot be opened,
// with errno telling why (ENOENT: no such device, EACCES: permission, EBUSY: another program
// holds it; Windows maps its error codes to these).
Handle Open(const std::string& path, int32_t baud, uint8_t lineCode);
bool Close(Handle h);
bool WriteBytes(Handle h, const uint8_t* data, size_t n);
bool ReadBytes(Handle h, uint8_t* into, size_t n);
// The number of waiting input bytes, or -1 when the query fails.
int32_t InCount(Handle h);
enum class Queue { Input, Output };
bool Purge(Handle h, Queue queue);
bool SetDtr(Handle h, bool on);

enum class WaitResult { Readable, TimedOut, Failed };
// Blocks until the handle has input, `limit` passes, or the line fails (hang-up, bad handle).
WaitResult WaitReadable(Handle h, std::chrono::microseconds limit);
// Sleeps about `d` (never less), for the waits' slices.
void SleepFor(std::chrono::microseconds d);
// The clock the waits measure against: std::chrono::steady_clock. The fuzz target's scripted
// port keeps a clock of its own, which its sleeps and waits move on without waiting.
std::chrono::steady_clock::time_point Now();

} // namespace comsys
