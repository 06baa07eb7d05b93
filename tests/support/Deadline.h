#pragma once
// Waiting in tests: for an event another thread or process brings about, never longer than a
// generous limit, so that a slow machine passes and a broken product fails instead of hanging.
#include <chrono>
#include <functional>

// Milliseconds from now until `until`, 0 once it has passed (a poll time-out).
int MillisLeft(std::chrono::steady_clock::time_point until);

// Checks `condition` every few milliseconds until it holds (true) or `limit` has passed (false).
bool WaitUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds limit = std::chrono::seconds(60));
