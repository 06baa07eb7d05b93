#pragma once
// The server's log: one line per session on standard output, written whole and flushed.
#include <chrono>
#include <string>
#include <string_view>

// Writes one line (a newline is added) atomically with respect to other threads.
void WriteLogLine(const std::string& line);
// A client-supplied value as a single log token: "-" when empty or never received, bytes outside
// '!'..'~' and the backslash as \xHH, at most 64 bytes of the value.
std::string LogValue(std::string_view value);
// UTC time with milliseconds, e.g. 2026-12-07T19:52:03.120Z.
std::string LogTime(std::chrono::system_clock::time_point when);
