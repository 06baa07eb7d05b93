// bench-program on Windows: the device is started by whoever runs the benchmark (--port); no
// pseudo-terminals.
#include "BenchHost.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

std::string DefaultSimulator() {
    return {};
}

std::unique_ptr<TBenchDevice> StartSimulator(const std::string&) {
    return nullptr;
}

double CpuSeconds() {
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user))
        return 0;
    auto seconds = [](const FILETIME& t) {
        return double((uint64_t(t.dwHighDateTime) << 32) | t.dwLowDateTime) * 1e-7;
    };
    return seconds(kernel) + seconds(user);
}

std::vector<double> PtyRoundTrips(int) {
    return {};
}
