#pragma once
// The platform half of the serial port layer (COMFunAPI_posix.cpp or COMFunAPI_win32.cpp). It
// works on raw handles; the handle table, the refusal rules and the waits are the portable half's.
#include <chrono>
#include <cstddef>
#include <cstdint>

namespace comsys {

// A handle table entry: EmptyHandle after a close, InvalidHandle after a failed open, otherwise
// the system's handle (a file descriptor of 3 or above on POSIX). The system calls made with the
// empty handle fail.
using Handle = intptr_t;
constexpr Handle EmptyHandle = 0;
constexpr Handle InvalidHandle = -1;

// Opens the device of port `port` exclusively in raw mode with the speed and line format, and
// discards queued input (Windows also purges output). InvalidHandle when it cannot be opened,
// with errno telling why (ENOENT: no such device, EACCES: permission, EBUSY: another program
// holds it; Windows maps its error codes to these).
Handle Open(int32_t port, int32_t baud, uint8_t lineCode);
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
