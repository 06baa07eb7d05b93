// Programs a 256 KiB image into a simulated QX40 that emulates 500000 bit/s and compares the
// time of DownloadFirmware with the line-rate floor: the bytes of the start command, the data
// frames and their one-byte acknowledgements at 10 bits per byte. Also reports the process's
// processor time as a share of the elapsed time, and where the time beyond the floor went.
//
//   bench-program [--runs N] [--size BYTES] [--sim PATH | --port N]
//
// With --port the device is already there, at port N (started with --line-rate by whoever runs
// the benchmark): how the Windows build is measured under wine (bench/program/run-windows). The
// simulator and the pseudo-terminal floor are one file per platform (Host_posix.cpp,
// Host_win32.cpp).
#include "BenchHost.h"
#include "DeviceLink.h"
#include "SystemText.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace {
using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
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
} // namespace

int main(int argc, char** argv) {
    int runs = 3;
    long size = 256L * 1024;
    std::string sim = DefaultSimulator();
    int port = 0;
    const std::vector<std::string> args = ProgramArguments(argc, argv);
    for (size_t i = 1; i + 1 < args.size(); i += 2) {
        const std::string& a = args[i];
        if (a == "--runs")
            runs = std::max(1, std::stoi(args[i + 1]));
        else if (a == "--size")
            size = std::max(1L, std::stol(args[i + 1]));
        else if (a == "--sim")
            sim = args[i + 1];
        else if (a == "--port")
            port = std::stoi(args[i + 1]);
    }

    std::unique_ptr<TBenchDevice> device;
    if (port == 0) {
        device = StartSimulator(sim);
        if (!device) {
            std::fprintf(stderr, "bench-program: the simulator %s did not start\n", sim.c_str());
            return 1;
        }
    }
    TNullWindowLink window;
    TDeviceLink link(window);
    if (!link.ConnectDevice() || (port != 0 && link.IOPack.ComID.number != port)) {
        std::fprintf(stderr, "bench-program: device not found%s\n",
                     port != 0 ? " at the given port" : "");
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
        bool ok = link.DownloadFirmware(&bar, TypeFields(link.IOPack.TypeText).type, image,
                                        int32_t(size), 0, ImageKind::Firmware);
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
