// One whole upgrade as the start button runs it, with the workflow controller in this process
// and a front end that shows nothing: discovery of a simulated QX40 that emulates 500000 bit/s
// (qx40-sim --line-rate), the exchange with the reference upgrade server on a loopback address,
// programming of the received image (256 KiB by default), and the workflow's own pauses. Prints
// the elapsed time, the processor time of this process (the tool: both of its threads) and its
// share of the elapsed time, overall and for each phase, and the processor time of the
// simulator and the server. With --cli the same upgrade runs once more as `kestrel-cli update`
// in a child process, whose processor time then includes its terminal output.
//
//   bench-upgrade [--runs N] [--size BYTES] [--cli]
#include "ChildProcess.h"
#include "Signing.h"
#include "Workflow.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <string>
#include <sys/resource.h>
#include <thread>
#include <vector>

namespace {
using Clock = std::chrono::steady_clock;

double CpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

double ChildrenCpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_CHILDREN, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-6;
}

// A front end that shows nothing and notes when each status text, pause and the guided steps
// came, with the processor time used so far.
class TQuietUI : public TWorkflowUI, public TProgressBar {
public:
    struct TMark {
        std::string what;
        Clock::time_point at;
        double cpu;
    };

    void ShowStatus(const std::string& text) override { Mark(text); }
    TProgressBar& ProgressBar() override { return *this; }
    void ShowBusy(bool) override {}
    void SetStartEnabled(bool) override {}
    void SetStopEnabled(bool) override {}
    void Repaint() override {}
    void ProcessMessages() override {}
    void SetMax(int) override {}
    void SetPosition(int) override {}
    void ShowPort(const TPortId&) override {}
    void SetDeviceType(const std::string& text) override { type_ = text; }
    std::string DeviceType() override { return type_; }
    void Sleep(int ms) override {
        Mark("pause " + std::to_string(ms));
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        Mark("pause end");
    }
    void ShowHintSteps() override { Mark("guided steps"); }
    void RequestTerminate() override {}

    void Mark(const std::string& what) {
        std::lock_guard lock(mutex_);
        marks_.push_back({what, Clock::now(), CpuSeconds()});
    }
    std::vector<TMark> Marks() {
        std::lock_guard lock(mutex_);
        return marks_;
    }

private:
    std::mutex mutex_;
    std::vector<TMark> marks_;
    std::string type_ = "未连接";
};

// The first mark whose text starts with `prefix`, from index `from`; -1 when none.
int Find(const std::vector<TQuietUI::TMark>& marks, const std::string& prefix, int from = 0) {
    for (int i = std::max(from, 0); i < int(marks.size()); ++i)
        if (marks[size_t(i)].what.rfind(prefix, 0) == 0)
            return i;
    return -1;
}

void Phase(const char* name, const TQuietUI::TMark& a, const TQuietUI::TMark& b) {
    double elapsed = std::chrono::duration<double>(b.at - a.at).count();
    double cpu = b.cpu - a.cpu;
    std::printf("  %-34s %7.3f s elapsed, CPU %6.3f s = %5.1f%%\n", name, elapsed, cpu,
                elapsed > 0 ? 100 * cpu / elapsed : 0.0);
}
} // namespace

int main(int argc, char** argv) {
    int runs = 1;
    long size = 256L * 1024;
    bool cli = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--cli") {
            cli = true;
            continue;
        }
        if (i + 1 >= argc)
            break;
        if (a == "--runs")
            runs = std::max(1, std::stoi(argv[i + 1]));
        else if (a == "--size")
            size = std::clamp(std::stol(argv[i + 1]), 1L, 64L * 1024 * 1024);
        ++i;
    }

    TempDir dir;
    std::string image(static_cast<size_t>(size), '\0');
    for (size_t i = 0; i < image.size(); ++i)
        image[i] = char(i * 7 + i / 256);
    WriteFileBytes(dir / "qx40.bin", image);
    // Signed as the maker signs releases: the tool here trusts the tests' key.
    WriteFileBytes(dir / "qx40.bin.minisig",
                   MinisignSignature(image, "trusted", false, FirmwareStatement("1.21")));
    WriteFileBytes(dir / "manifest", "firmware QX40 1.21 qx40.bin\n");

    std::string address = UniqueLoopbackAddress();
    ChildProcess server({KESTREL_PATH_UPGRADE_SERVER, "--catalogue", dir.Path(), "--address",
                         address, "--port", "5001", "--http-port", "0", "--admin-port", "0",
                         "--register", "none"});
    ChildProcess device({KESTREL_PATH_QX40_SIM, "--line-rate", "--image-out", dir / "out.bin"});
    std::string path = device.ReadLine().value_or("");
    if (!server.WaitForLine("listening") || path.empty()) {
        std::fprintf(stderr, "bench-upgrade: the server or the simulator did not start\n");
        return 1;
    }
    setenv("KESTREL_PORTS", path.c_str(), 1);
    setenv("KESTREL_UPDATE_HOST", address.c_str(), 1);

    long padded = (size + 511) / 512 * 512;
    long frames = padded / 256;
    double floor = double(12 + 1 + frames * (260 + 1)) * 10.0 / 500000.0;
    std::printf("image %ld bytes (%ld programmed); programming floor at 500000 bit/s %.3f s\n",
                size, padded, floor);

    int failures = 0;
    for (int run = 1; run <= runs; ++run) {
        TQuietUI ui;
        TDeviceLink deviceLink(ui);
        TTcpClient tcp;
        TServerLink serverLink(tcp, ui);
        TWorkflow flow(ui, deviceLink, serverLink);
        ui.Mark("start");
        TWorkflowResult result = flow.Start();
        ui.Mark("end");
        auto written = device.WaitForLine("image written", std::chrono::seconds(30));
        if (result != TWorkflowResult::FirmwareApplied || !written) {
            std::fprintf(stderr, "bench-upgrade: run %d ended %s\n", run, ResultName(result));
            ++failures;
            continue;
        }
        auto m = ui.Marks();
        const auto& first = m.front();
        const auto& last = m.back();
        double elapsed = std::chrono::duration<double>(last.at - first.at).count();
        double cpu = last.cpu - first.cpu;
        std::printf("run %d: whole upgrade %.3f s elapsed, CPU %.3f s = %.3f of one core "
                    "(goal <= 0.25)\n",
                    run, elapsed, cpu, cpu / elapsed);
        int connected = Find(m, WorkflowText::Connected);
        int begun = Find(m, "升级开始");
        int fetched = Find(m, "请求的数据获取成功");
        int programming = Find(m, WorkflowText::Programming);
        int programmed = Find(m, WorkflowText::ProgrammingDone);
        if (connected < 0 || begun < 0 || fetched < 0 || programming < 0 || programmed < 0)
            continue;
        Phase("discovery and identification", m[0], m[size_t(connected)]);
        Phase("server exchange", m[size_t(begun)], m[size_t(fetched)]);
        Phase("programming", m[size_t(programming)], m[size_t(programmed)]);
        double pauses = 0;
        for (int i = 0; (i = Find(m, "pause ", i)) >= 0; i += 2)
            if (i + 1 < int(m.size()))
                pauses +=
                    std::chrono::duration<double>(m[size_t(i) + 1].at - m[size_t(i)].at).count();
        std::printf("  %-34s %7.3f s (plain sleeps of the workflow)\n", "pauses", pauses);
        double busy = elapsed - pauses;
        std::printf("  %-34s %7.3f s elapsed, CPU share %.3f of one core\n", "without the pauses",
                    busy, busy > 0 ? cpu / busy : 0.0);
    }

    double cliCpu = 0;
    if (cli) {
        // Only this child is reaped between the two readings.
        double before = ChildrenCpuSeconds();
        auto t0 = Clock::now();
        ChildProcess tool({KESTREL_PATH_KESTREL_CLI_KEYED, "update"}, {}, true);
        int status = tool.Wait(std::chrono::minutes(5)).value_or(-1);
        double elapsed = std::chrono::duration<double>(Clock::now() - t0).count();
        double cpu = ChildrenCpuSeconds() - before;
        cliCpu = cpu;
        bool written = device.WaitForLine("image written", std::chrono::seconds(30)).has_value();
        std::printf(
            "kestrel-cli update: status %d, %.3f s elapsed, CPU %.3f s = %.3f of one core\n",
            status, elapsed, cpu, cpu / elapsed);
        if (status != 0 || !written)
            ++failures;
    }

    server.Stop();
    device.Stop();
    std::printf("simulator and server together: CPU %.3f s\n", ChildrenCpuSeconds() - cliCpu);
    return failures == 0 ? 0 : 1;
}
