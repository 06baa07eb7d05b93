#include "Deadline.h"

#include <thread>

int MillisLeft(std::chrono::steady_clock::time_point until) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        until - std::chrono::steady_clock::now());
    return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    // A short poll: what the tests wait for (a file, a process) gives no notification.
    constexpr auto kPoll = std::chrono::milliseconds(10);
    auto until = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= until)
            return false;
        std::this_thread::sleep_for(kPoll);
    }
    return true;
}
