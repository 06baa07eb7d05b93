// Programs a 256 KiB image into a simulated QX40 that emulates 500000 bit/s and compares the
// time of DownloadFirmware with the line-rate floor: the bytes of the start command, the data
// frames and their one-byte acknowledgements at 10 bits per byte. Also reports the process's
// processor time as a share of the elapsed time, and where the time beyond the floor went.
//
//   bench-program [--runs N] [--size BYTES] [--sim PATH]
#include "COMFunAPI.h"
#include "ChildProcess.h"
#include "UPCommFun.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {
using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

double CpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

// Notes when each block was handed over: the gaps between them are the blocks' round trips.
class TTimingBar : public TProgressBar {
public:
    void SetMax(int) override { stamps.clear(); }
    void SetPosition(int position) override {
        if (position > 0)
            stamps.push_back(Clock::now());
    }
    std::vector<Clock::time_point> stamps;
};

double Percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[std::min(v.size() - 1, size_t(p * double(v.size())))];
}
// The floor below the device link: one-byte round trips over a bare pseudo-terminal between
// two threads, at about the pace of the acknowledgements.
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
} // namespace

int main(int argc, char** argv) {
    int runs = 3;
    long size = 256 * 1024;
    std::string sim = KESTREL_PATH_QX40_SIM;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string a = argv[i];
        if (a == "--runs")
            runs = std::max(1, std::atoi(argv[i + 1]));
        else if (a == "--size")
            size = std::max(1L, std::atol(argv[i + 1]));
        else if (a == "--sim")
            sim = argv[i + 1];
    }

    ChildProcess device({sim, "--line-rate"});
    std::string path = device.ReadLine().value_or("");
    if (path.empty()) {
        std::fprintf(stderr, "bench-program: the simulator did not start\n");
        return 1;
    }
    setenv("KESTREL_PORTS", path.c_str(), 1);
    if (!ConnectDevice()) {
        std::fprintf(stderr, "bench-program: device not found\n");
        return 1;
    }

    std::vector<uint8_t> bytes(static_cast<size_t>(size));
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = uint8_t(i * 7 + i / 256);
    TMemoryStream image;
    image.Write(bytes.data(), bytes.size());

    const long padded = (size + 511) / 512 * 512;
    const long frames = padded / 256;
    const double byteTime = 10.0 / 500000.0;
    const double floor = double(12 + 1 + frames * (260 + 1)) * byteTime;
    const double frameFloor = 261 * byteTime;
    std::printf("image %ld bytes, %ld data frames; line-rate floor %.3f s (%.1f us per frame)\n",
                size, frames, floor, frameFloor * 1e6);

    std::vector<double> rt = PtyRoundTrips(1000);
    double rtSum = 0;
    for (double x : rt)
        rtSum += x;
    if (!rt.empty())
        std::printf("bare pseudo-terminal round trip: median %.1f us, mean %.1f, p99 %.1f, "
                    "max %.1f\n",
                    Percentile(rt, 0.5) * 1e6, rtSum / double(rt.size()) * 1e6,
                    Percentile(rt, 0.99) * 1e6, Percentile(rt, 1.0) * 1e6);

    for (int run = 1; run <= runs; ++run) {
        TTimingBar bar;
        double cpu0 = CpuSeconds();
        auto t0 = Clock::now();
        bool ok = DownloadFirmware(&bar, IOPack.TypeText.substr(0, 4), image, int32_t(size), 0, 3);
        auto t1 = Clock::now();
        double cpu = CpuSeconds() - cpu0;
        double elapsed = Seconds(t1 - t0);
        if (!ok || bar.stamps.size() != size_t(frames)) {
            std::fprintf(stderr, "bench-program: run %d failed\n", run);
            return 1;
        }
        // Before the first block: open, DTR pause, identity bytes, key, start command.
        double setup = Seconds(bar.stamps.front() - t0);
        // Every block but the last: from one hand-over to the next.
        std::vector<double> gaps;
        for (size_t i = 1; i < bar.stamps.size(); ++i)
            gaps.push_back(Seconds(bar.stamps[i] - bar.stamps[i - 1]));
        double blocks = Seconds(bar.stamps.back() - bar.stamps.front());
        double tail = Seconds(t1 - bar.stamps.back());
        double mean = blocks / double(gaps.size());
        std::printf("run %d: %.3f s, ratio %.4f to the floor, CPU %.3f s = %.1f%% of elapsed\n",
                    run, elapsed, elapsed / floor, cpu, 100 * cpu / elapsed);
        std::printf("  before the first block %.1f ms; blocks %.3f s (%.1f us per block, "
                    "median %.1f, p99 %.1f, max %.1f; %.1f us over the frame's line time); "
                    "last block and 0x0B %.1f ms\n",
                    setup * 1e3, blocks, mean * 1e6, Percentile(gaps, 0.5) * 1e6,
                    Percentile(gaps, 0.99) * 1e6, Percentile(gaps, 1.0) * 1e6,
                    (mean - frameFloor) * 1e6, tail * 1e3);
    }
    return 0;
}
