#pragma once
// Every time limit of the device link and of the server link, in one place: how long the tool
// waits for the device and for the upgrade server, and how often it looks while it waits.
#include <chrono>
#include <cstdint>

namespace DeviceLimits {
using namespace std::chrono_literals;

// After each byte of a command frame: the pace the device's receiver expects.
constexpr std::chrono::microseconds FrameByteGap = 10us;
// Looks at the input queue for a command's reply before it has timed out (about one second).
constexpr int ReplyPolls = 500;
// The DelayMs between two looks for a reply or a probe answer; DelayMs lasts 1 ms more: 2 ms.
constexpr std::chrono::milliseconds ReplyPollPause = 1ms;
// Looks for the answer to the port probe before the scan moves on (about 0.1 s a port).
constexpr int ProbePolls = 51;
// After DTR is cleared on the device's freshly opened port, and instead of a refused discard.
constexpr std::chrono::milliseconds SettlePause = 100ms;
// After command 0x0B, before the device answers queries again.
constexpr std::chrono::milliseconds ResetPause = 3000ms;
// For the one acknowledgement byte of a data frame: at least 2,000,001 polls 1 us apart.
constexpr std::chrono::microseconds BlockAckLimit = 2'000'001us;
// Longer waits sleep in slices of this and process window messages between them.
constexpr std::chrono::microseconds PumpSlice = 500us;
// Remainders of a wait shorter than this are spun away: a sleep would overshoot them.
constexpr std::chrono::microseconds SpinBelow = 60us;
// The longest a wait for input blocks before it processes window messages again.
constexpr std::chrono::microseconds InputSlice = 1000us;
// A write to a Windows serial port gives up after this, plus PortWritePerByte for each byte
// (a byte takes 20 us at 500000 bit/s): a port that takes nothing fails instead of hanging.
constexpr std::chrono::milliseconds PortWriteLimit = 2000ms;
constexpr std::chrono::milliseconds PortWritePerByte = 1ms;

} // namespace DeviceLimits

namespace ServerLimits {
using namespace std::chrono_literals;

// A receive step (a whole line, or a whole block of data) not complete this long after it began,
// or a connect or a send that waits this long, counts as a lost connection.
constexpr std::chrono::milliseconds Receive = 30s;
// A whole session, from the connection to the last byte of data, counts as lost once it has taken
// longer than SessionBase plus one second for every SessionMinRate bytes of data the server
// announced: a server that answers each step just inside Receive cannot hold the tool for long.
constexpr std::chrono::milliseconds SessionBase = 120s;
constexpr int64_t SessionMinRate = 1024; // bytes per second
// How long the workflow waits for the worker's result before it processes window messages again.
constexpr std::chrono::milliseconds WorkerPoll = 20ms;
// The workflow's pause after "连接成功！", before the request goes to the server.
constexpr std::chrono::milliseconds AfterConnect = 1000ms;
// The workflow's pause after an answer has been acted on (programmed, replacing, unknown kind).
constexpr std::chrono::milliseconds AfterApply = 1000ms;
// The workflow's pause before the guided steps or the final "更新成功！".
constexpr std::chrono::milliseconds BeforeFinish = 3000ms;

} // namespace ServerLimits
