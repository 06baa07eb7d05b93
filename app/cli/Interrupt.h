#pragma once
// Ctrl-C (SIGINT) and SIGTERM for kestrel-cli. The signal handler does only what is safe in a
// signal handler: it raises a flag and writes one byte into a pipe. The program notices the flag
// at its next safe point (a device wait or the wait for the server exchange processes "window
// messages"; plain pauses and questions wait on the pipe), so the port is always closed and the
// server connection shut down by the normal code paths. After the first signal the default
// action is back: a second Ctrl-C ends the program at once.
namespace Interrupt {

// Installs the handlers for SIGINT and SIGTERM (again after a signal has been handled).
void Install();
// True once a signal has arrived since Install.
bool Raised();
// Readable once a signal has arrived: poll it beside other descriptors to wake up at once.
int WakeFd();

} // namespace Interrupt
