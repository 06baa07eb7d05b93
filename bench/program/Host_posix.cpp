// bench-program on POSIX: the simulator as a child process, the pseudo-terminal floor.
#include "BenchHost.h"
#include "ChildProcess.h"

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {
using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

class TSimProcess : public TBenchDevice {
public:
    explicit TSimProcess(const std::string& path) : process_({path, "--line-rate"}) {}
    ChildProcess& Process() { return process_; }

private:
    ChildProcess process_;
};
} // namespace

std::string DefaultSimulator() {
    return KESTREL_PATH_QX40_SIM;
}

std::unique_ptr<TBenchDevice> StartSimulator(const std::string& path) {
    auto sim = std::make_unique<TSimProcess>(path);
    std::string serialEnd = sim->Process().ReadLine().value_or("");
    if (serialEnd.empty())
        return nullptr;
    setenv("KESTREL_PORTS", serialEnd.c_str(), 1);
    return sim;
}

double CpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

std::vector<double> PtyRoundTrips(int count) {
    std::vector<double> times;
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
        return times;
    int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
    termios t{};
    tcgetattr(slave, &t);
    cfmakeraw(&t);
    tcsetattr(slave, TCSANOW, &t);
    std::thread echo([&] {
        uint8_t c = 0;
        for (int i = 0; i < count; ++i) {
            pollfd p{master, POLLIN, 0};
            poll(&p, 1, -1);
            if (read(master, &c, 1) != 1 || write(master, &c, 1) != 1)
                return;
        }
    });
    for (int i = 0; i < count; ++i) {
        uint8_t c = 0x5A;
        auto t0 = Clock::now();
        if (write(slave, &c, 1) != 1)
            break;
        pollfd p{slave, POLLIN, 0};
        poll(&p, 1, -1);
        if (read(slave, &c, 1) != 1)
            break;
        times.push_back(Seconds(Clock::now() - t0));
        usleep(1000);
    }
    echo.join();
    close(slave);
    close(master);
    return times;
}
