#pragma once
// Ctrl-C for kestrel-cli (and SIGTERM on POSIX, Ctrl-Break on Windows). The handler does only
// what is safe there: it raises a flag and wakes the waits below. The program notices the flag at
// its next safe point (a device wait or the wait for the server exchange processes "window
// messages"; pauses and questions wait here), so the port is always closed and the server
// connection shut down by the normal code paths. After the first interrupt the default action
// is back: a second Ctrl-C ends the program at once.
// One file per platform: signals and a wake-up pipe on POSIX, the console control handler and
// an event on Windows.
#include <chrono>
#include <string>

namespace Interrupt {

// Installs the handlers (again after an interrupt has been handled) and lowers the flag.
void Install();
// True once an interrupt has arrived since Install.
bool Raised();
// Waits until `limit` has passed or an interrupt arrives; true when one has arrived.
bool WaitFor(std::chrono::milliseconds limit);

enum class TInput { Data, End, Interrupted };
// Waits for input on descriptor `input` (a terminal, a console, a pipe) and appends what one
// read brings to `into` (Data); End when the input has ended or failed; Interrupted as soon as
// an interrupt arrives.
TInput ReadInput(int input, std::string& into);

} // namespace Interrupt
