#pragma once
// Ctrl-C for kestrel-cli (and SIGTERM on POSIX, Ctrl-Break on Windows). The handler raises a
// flag, wakes the waits below and tells the user at once what the interrupt does; the program
// notices the flag at its next safe point (a device wait or the wait for the server exchange
// processes "window messages"; pauses and questions wait here), so the port is closed and the
// server connection shut down by the normal code paths.
//
// What an interrupt does (TCounter):
// - outside programming, the first one ends the command after its current step (a running
//   server exchange is cancelled at once), and a second one stops the program at once;
// - while the device is being programmed (SetProgramming), the first one only says that
//   programming continues until the image is complete; the second says what stopping now means
//   and asks for a third within ConfirmStop (TerminalLimits); that third stops the program at
//   once (status 130). Once ConfirmStop has passed without it, the next interrupt warns again.
// Every interrupt is answered with a line: the user is never left without a word.
//
// One file per platform: signals and a wake-up pipe on POSIX, the console control handler and
// an event on Windows.
#include "TimeLimits.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

namespace Interrupt {

// The exit status of a program stopped by an interrupt.
constexpr int StoppedStatus = 130;

// What one interrupt does.
enum class TAction {
    Defer,              // end after the current step
    StopNow,            // a second one outside programming: stop at once
    ProgrammingGoesOn,  // the first one while programming
    WarnHalfProgrammed, // the second one (or a later one after ConfirmStop) while programming
    StopHalfProgrammed, // one within ConfirmStop of the warning: stop at once
};
// The line the user sees for an action (without line end).
const char* ActionText(TAction action);
// True for the actions that end the program at once.
inline bool Stops(TAction action) {
    return action == TAction::StopNow || action == TAction::StopHalfProgrammed;
}

// Counts interrupts and decides each one's action. Lock-free: a signal handler uses it.
class TCounter {
public:
    using Clock = std::chrono::steady_clock;
    TAction Next(bool programming, Clock::time_point now);
    // Programming begins: its count starts from nothing.
    void StartProgramming() { programmingCount_.store(0); }
    void Reset();

private:
    std::atomic<int> count_{0};            // interrupts outside programming
    std::atomic<int> programmingCount_{0}; // interrupts since programming began
    std::atomic<int64_t> warnedAt_{0};     // Clock ticks of the last warning
};

// The cause a command stopped half-way through programming reports (its --json object).
inline constexpr const char* HalfProgrammedCause =
    "stopped during programming: the device is half-programmed and must be programmed again "
    "(kestrel-cli flash FILE, or kestrel-cli update) before it starts";

// Installs the handlers (again after an interrupt has been handled), lowers the flag and starts
// the count afresh.
void Install();
// Where the handler writes its lines (a descriptor: standard error by default), and a flag that
// is set while the last output there left a line open (a progress bar, a question), so that the
// handler first ends that line. The flag is the caller's and must outlive the handlers.
void SetOutput(int fd, std::atomic<bool>* openLine);
// While set, the device is being programmed (see above).
void SetProgramming(bool programming);
// What the program writes on standard output when an interrupt stops it at once (the `--json`
// object of a stopped command); empty: nothing. Set before the interrupt can come.
void SetStopOutput(const std::string& text);
// True once an interrupt has arrived since Install.
bool Raised();
// Waits until `limit` has passed or an interrupt arrives; true when one has arrived.
bool WaitFor(std::chrono::milliseconds limit);

enum class TInput { Data, End, Interrupted };
// Waits for input on descriptor `input` (a terminal, a console, a pipe) and appends what one
// read brings to `into` (Data); End when the input has ended or failed; Interrupted as soon as
// an interrupt arrives.
TInput ReadInput(int input, std::string& into);

// ---- Shared by the platform files ----
namespace Detail {
// Decides, writes the lines and, for a stop, the stop output, else raises the flag; returns the
// action. The platform handler then exits with StoppedStatus when Stops(action), else wakes the
// waits.
TAction Handle();
// Lowers the flag and resets the count (Install).
void ResetState();
// Writes `size` bytes to `fd` from a handler (platform file).
void WriteRaw(int fd, const char* bytes, size_t size);
// Waits until `limit` has passed or the handler wakes the waits; may end early (platform file).
void WaitForWake(std::chrono::milliseconds limit);
} // namespace Detail

} // namespace Interrupt
