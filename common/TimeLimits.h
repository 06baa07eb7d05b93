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

} // namespace ServerLimits
