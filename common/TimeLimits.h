#pragma once
// Every time limit of the tool, in one place: how long it waits for the device, the upgrade
// server, the window, the terminal and a new tool, and how often it looks while it waits.
#include <chrono>
#include <cstdint>

namespace DeviceLimits {
using namespace std::chrono_literals;

// After each byte of a command frame: the pace the device's receiver expects.
constexpr std::chrono::microseconds FrameByteGap = 10us;
// A DelayMs(n) lasts n plus this.
constexpr std::chrono::milliseconds DelayMsExtra = 1ms;
// A command's reply, from the end of its frame. The wait blocks until the port has input, so a
// loaded machine that is slow to run the tool does not shorten what the device is granted.
constexpr std::chrono::milliseconds ReplyWait = 1000ms;
// The probe's answer, before the scan moves on to the next port.
constexpr std::chrono::milliseconds ProbeWait = 100ms;
// While part of a reply is queued, the rest is looked for this often (a byte takes 20 us).
constexpr std::chrono::microseconds ReplyRestLook = 100us;
// After DTR is cleared on the device's freshly opened port, and instead of a refused discard.
constexpr std::chrono::milliseconds SettlePause = 100ms;
// After the reset command, before the device answers queries again.
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
// A wait for input on a Windows serial port looks at its queue at least this often.
constexpr std::chrono::microseconds PortInputLook = 250us;
// A short wait on Windows where no high-resolution timer can be made: the shortest Sleep.
constexpr std::chrono::milliseconds CoarseSleep = 1ms;

} // namespace DeviceLimits

namespace ServerLimits {
using namespace std::chrono_literals;

// A receive step (a whole line, or a whole block of data) not complete this long after it began,
// or a connect or a send that waits this long, counts as a lost connection.
constexpr std::chrono::milliseconds Receive = 30s;
// A whole session, from the connection to the last byte of data, may take SessionBase; beyond it
// only while the data received keeps up with SessionMinRate from the data's start, with a grace of
// SessionRateGrace bytes (TServerLink::SetSessionLimits has the formula). What is announced does
// not count: a server that answers each step, or sends each chunk, just inside Receive cannot hold
// the tool for long.
constexpr std::chrono::milliseconds SessionBase = 120s;
constexpr int64_t SessionMinRate = 1024; // bytes per second
// The chunk under way, whose bytes count once it is complete, and one more (two 8 KiB chunks).
constexpr int64_t SessionRateGrace = 16384; // bytes
// How long the workflow waits for the worker's result before it processes window messages again.
constexpr std::chrono::milliseconds WorkerPoll = 20ms;
// The workflow's pause after "连接成功！", before the request goes to the server.
constexpr std::chrono::milliseconds AfterConnect = 1000ms;
// The workflow's pause after an answer has been acted on (programmed, replacing, unknown kind).
constexpr std::chrono::milliseconds AfterApply = 1000ms;
// The workflow's pause before the guided steps or the final "更新成功！".
constexpr std::chrono::milliseconds BeforeFinish = 3000ms;

} // namespace ServerLimits

namespace WindowLimits {
using namespace std::chrono_literals;

// The automatic start (AG) comes this long after the main window was created, never sooner.
constexpr std::chrono::milliseconds AutoStart = 2000ms;
// A page that has not loaded this long after its load began counts as not answering.
constexpr std::chrono::milliseconds InfoPageAnswer = 15s;

} // namespace WindowLimits

namespace TerminalLimits {
using namespace std::chrono_literals;

// How long after the warning a further interrupt stops programming half-way.
constexpr std::chrono::seconds ConfirmStop = 2s;
// When standard error is no terminal, a progress line comes this often.
constexpr std::chrono::seconds ProgressLinePeriod = 5s;
// A bar whose percentage stays is redrawn at most this often, for its rate and time left.
constexpr std::chrono::milliseconds Redraw = 500ms;
// Before this much of a transfer has passed its rate means little and is not shown.
constexpr std::chrono::milliseconds RateAfter = 500ms;
// How often a wait for console input on Windows looks for a finished line: the console's handle
// is signalled by every key, mouse and focus event, not only by a whole line.
constexpr std::chrono::milliseconds ConsoleLook = 50ms;
// How often a wait for piped input on Windows looks for bytes: a pipe has no waitable "data
// arrived".
constexpr std::chrono::milliseconds PipeLook = 20ms;

} // namespace TerminalLimits

namespace ReplaceLimits {
using namespace std::chrono_literals;

// How long the new tool may take to answer --version before it counts as unable to run.
constexpr std::chrono::milliseconds VersionAnswer = 5s;
// The longest single wait for that trial's output or end, so that its pipe is emptied often;
// once its output has closed, its end is looked for every TrialEndLook (POSIX).
constexpr std::chrono::milliseconds TrialLook = 10ms;
constexpr std::chrono::milliseconds TrialEndLook = 5ms;
// After a trial that did not answer in time is terminated, how long its end is waited for.
constexpr std::chrono::milliseconds TrialEnd = 5000ms;
// How long the new tool, started on Windows to finish the replacement, may take to say that it
// takes it over before it counts as a build that cannot.
constexpr std::chrono::milliseconds TakeOver = 10s;
// Once the old tool has ended, how long its executable may stay in use (a virus scanner reading
// it) before the new tool gives up replacing it; it is tried again every ExecutableLook.
constexpr std::chrono::milliseconds ExecutableFree = 60s;
constexpr std::chrono::milliseconds ExecutableLook = 100ms;

} // namespace ReplaceLimits
