#pragma once
// Every time limit of the device link and of the server link, in one place: how long the tool
// waits for the device and for the upgrade server, and how often it looks while it waits.
#include <chrono>
#include <cstdint>

namespace DeviceLimits {
using namespace std::chrono_literals;

} // namespace DeviceLimits

namespace ServerLimits {
using namespace std::chrono_literals;

// A receive or a connect that sees no byte for this long counts as a lost connection.
inline constexpr std::chrono::milliseconds kReceive = 30s;
// How long the workflow waits for the worker's result before it processes window messages again.
inline constexpr std::chrono::milliseconds kWorkerPoll = 20ms;
// The workflow's pause after "连接成功！", before the request goes to the server.
inline constexpr std::chrono::milliseconds kAfterConnect = 1000ms;
// The workflow's pause after an answer has been acted on (programmed, replacing, unknown kind).
inline constexpr std::chrono::milliseconds kAfterApply = 1000ms;
// The workflow's pause before the guided steps or the final "更新成功！".
inline constexpr std::chrono::milliseconds kBeforeFinish = 3000ms;

} // namespace ServerLimits
