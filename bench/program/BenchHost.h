#pragma once
// What bench-program needs of the system it runs on (Host_posix.cpp, Host_win32.cpp).
#include <memory>
#include <string>
#include <vector>

// A device the benchmark started; it goes away with the object.
class TBenchDevice {
public:
    virtual ~TBenchDevice() = default;
};

// The simulator's path as built beside the benchmark (empty where there is none).
std::string DefaultSimulator();
// The simulator at `path`, started at the emulated line rate, with the tool's port 1 pointed at
// it; nullptr when it did not start (or cannot be started here).
std::unique_ptr<TBenchDevice> StartSimulator(const std::string& path);
// The processor time of this process so far, in seconds.
double CpuSeconds();
// The floor below the device link: one-byte round trips, in seconds, over a bare
// pseudo-terminal between two threads; none where the system has no pseudo-terminals.
std::vector<double> PtyRoundTrips(int count);
