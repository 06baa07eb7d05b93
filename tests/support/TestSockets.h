#pragma once
// Plain TCP sockets for the peers of the tests, the same on every platform (one file per
// platform: POSIX sockets, Winsock). A socket is an integer; NoSocket is none.
#include <chrono>
#include <cstdint>
#include <string>

using TTestSocket = intptr_t;
constexpr TTestSocket NoSocket = -1;

// A socket listening on `address` at `port`, or when `port` is empty at a port the system picks
// (its number into `port`). Throws when it cannot listen.
TTestSocket ListenOn(const std::string& address, std::string& port);
// The next connection to `listener`, or NoSocket when none comes within `limit`.
TTestSocket AcceptWithin(TTestSocket listener, std::chrono::milliseconds limit);
// Sends all bytes; false when the connection fails.
bool SendAll(TTestSocket socket, const std::string& bytes);
// One receive into `into` by `until`: the count appended, 0 once the other end has closed (or
// the socket failed), -1 when `until` passed first.
int ReceiveBy(TTestSocket socket, std::string& into, std::chrono::steady_clock::time_point until);
void CloseSocket(TTestSocket socket);
