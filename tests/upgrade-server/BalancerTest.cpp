// Two upgrade servers sharing one catalogue directory behind HAProxy in TCP mode, with the
// configuration shipped in upgrade-server/deploy: 1,000 sessions of the Kestrel client
// (the server link, several at once) through the balancer, the catalogue reloaded on both
// servers with SIGHUP part-way, then one server stopped while sessions run on it.
#include "Deadline.h"
#include "RawClient.h"
#include "ResultCodes.h"
#include "ServerLink.h"
#include "TestRequest.h"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <set>
#include <thread>
#include <unistd.h>

namespace {

constexpr int kSessions = 1000;
constexpr int kWorkers = 16;

// What one session of the client came to.
struct Outcome {
    int32_t result = -1000;
    std::string data;
    int startedAfterReload = 0; // 1 when it started after both servers had reloaded
    int startedAfterStop = 0;   // 1 when it started after server b had stopped
    int endedAfterStopBegan = 0;
};

// The results a session of the client ends with when its connection is cut at some step: an
// announcement step's code, the length that does not come (-10), the refused length echo (28),
// a missing check line (41), CRC text (44), chunk handshake (29) or data (45, the CRC differs),
// or a failure during the transfer (30).
const std::set<int32_t> kConnectionLost = {14, 15, 42, 43,  1,  2,  31, 32, 3,  4,  5,  6,
                                           7,  8,  10, 11,  12, 13, 16, 17, 18, 19, 20, 21,
                                           22, 23, 24, -10, 28, 41, 44, 29, 45, 30};

// The tests' request, as a client of its own.
TCliInfo Request(int index) {
    TCliInfo info = TestRequest();
    info.UseCount = index;
    info.OriginalID = "S" + std::to_string(1000000 + index);
    return info;
}

// One whole session of the client over a link of its own, to KESTREL_UPDATE_HOST (the
// balancer) on port 5001.
Outcome RunClientSession(int index) {
    TTcpClient tcp;
    TNullWindowLink window;
    TServerLink link(tcp, window);
    tcp.CreateClient();
    link.Prepare(nullptr);
    TCliInfo request = Request(index);
    link.Record().Set(request);
    link.RunSession();
    link.CloseClient();
    Outcome outcome;
    outcome.result = link.SessionResult();
    const auto& bytes = request.Data->Bytes();
    outcome.data.assign(bytes.begin(), bytes.end());
    return outcome;
}

// The lines of a server's log, read as they come so that its output never fills up.
struct LogCollector {
    explicit LogCollector(TUpgradeServer& s) : server(s) {}

    TUpgradeServer& server;
    std::vector<std::string> lines;
    bool stopped = false;

    // Reads what has come, a bounded number of lines, so that a server that logs without a
    // pause cannot keep the driver from its next step.
    void Poll() {
        for (int n = 0; n < 64 && !stopped; ++n) {
            auto line = server.Process().ReadLine(std::chrono::milliseconds(5));
            if (!line)
                return;
            lines.push_back(*line);
        }
    }
    size_t Count(const std::string& needle) const {
        size_t n = 0;
        for (const auto& line : lines)
            n += line.find(needle) != std::string::npos;
        return n;
    }
    // Stops the server and keeps the rest of its log.
    int Stop() {
        int status = server.Process().Stop();
        while (auto line = server.Process().ReadLine(std::chrono::seconds(5)))
            lines.push_back(*line);
        stopped = true;
        return status;
    }
};

} // namespace

TEST(UpgradeServerBalancer, SessionsThroughHaproxySurviveAReloadAndTheLossOfOneServer) {
    ASSERT_TRUE(std::filesystem::exists(KESTREL_HAPROXY))
        << "haproxy is not installed (scripts/setup installs Debian's haproxy)";
    const std::string oldImage = TestImage(5 * 8192 + 100);
    const std::string newImage = TestImage(4 * 8192 + 7, 2);
    TempDir catalogue;
    WriteFileBytes(catalogue / "a.bin", oldImage);
    WriteFileBytes(catalogue / "manifest", "firmware QX40 1.21 a.bin\n");

    // Behind a balancer every connection comes from the balancer's address.
    const TServerSetup setup{.catalogue = catalogue.Path(),
                             .args = {"--http-port", "8080", "--max-sessions", "512",
                                      "--max-per-peer", "512", "--connect-rate", "0"}};
    TUpgradeServer a(setup);
    TUpgradeServer b(setup);
    LogCollector logA(a);
    LogCollector logB(b);
    const std::string balancer = UniqueLoopbackAddress();
    ChildProcess haproxy({KESTREL_HAPROXY, "-f", KESTREL_HAPROXY_CONFIG, "-db"},
                         {"KESTREL_LB_BIND=" + balancer + ":5001",
                          "KESTREL_SERVER_A=" + a.Address() + ":5001",
                          "KESTREL_SERVER_B=" + b.Address() + ":5001", "KESTREL_HTTP_PORT=8080",
                          "KESTREL_CHECK_MS=200"},
                         true);
    ASSERT_TRUE(WaitUntil([&] {
        int fd = ConnectFrom("", balancer);
        if (fd >= 0)
            close(fd);
        return fd >= 0;
    })) << "haproxy does not listen on "
        << balancer << ":5001: " << haproxy.Stderr();
    setenv("KESTREL_UPDATE_HOST", balancer.c_str(), 1);

    // The steps of the run. Sessions from 500 on wait for both reloads and those from 700 on
    // for the stop of b, so that each step happens with sessions left before and after it
    // however slowly the driver gets to it.
    enum Phase : int { Start, Reloaded, StopBegan, Stopped, GaveUp };
    std::atomic<int> phase{Start};
    auto advance = [&](Phase p) {
        phase = p;
        phase.notify_all();
    };
    auto awaitPhase = [&](Phase p) {
        for (int now = phase.load(); now < p; now = phase.load())
            phase.wait(now);
    };
    std::vector<Outcome> outcomes(kSessions);
    std::atomic<int> next{0};
    std::atomic<int> finished{0};
    std::vector<std::thread> workers;
    workers.reserve(kWorkers);
    for (int w = 0; w < kWorkers; ++w) {
        workers.emplace_back([&] {
            for (int i = next++; i < kSessions; i = next++) {
                if (i >= 500)
                    awaitPhase(i >= 700 ? Stopped : Reloaded);
                const int startPhase = phase.load();
                Outcome outcome = RunClientSession(i);
                outcome.startedAfterReload = startPhase >= Reloaded;
                outcome.startedAfterStop = startPhase >= Stopped;
                outcome.endedAfterStopBegan = phase.load() >= StopBegan;
                outcomes[static_cast<size_t>(i)] = std::move(outcome);
                ++finished;
            }
        });
    }

    // The driver: reloads both servers after 300 sessions, stops b after 600, and reads the
    // servers' logs all the while.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(180);
    bool reloadSent = false;
    int bStatus = -1;
    while (finished.load() < kSessions && std::chrono::steady_clock::now() < deadline) {
        logA.Poll();
        logB.Poll();
        if (!reloadSent && finished.load() >= 300) {
            WriteFileBytes(catalogue / "b.bin", newImage);
            WriteFileBytes(catalogue / "manifest.new", "firmware QX40 1.22 b.bin\n");
            std::filesystem::rename(catalogue / "manifest.new", catalogue / "manifest");
            EXPECT_EQ(kill(a.Process().Pid(), SIGHUP), 0);
            EXPECT_EQ(kill(b.Process().Pid(), SIGHUP), 0);
            reloadSent = true;
        }
        if (reloadSent && phase.load() == Start && logA.Count(" reload generation=2 ") == 1 &&
            logB.Count(" reload generation=2 ") == 1)
            advance(Reloaded);
        if (phase.load() == Reloaded && finished.load() >= 600) {
            advance(StopBegan);
            bStatus = logB.Stop();
            advance(Stopped);
        }
    }
    advance(GaveUp); // no worker waits past the driver's end
    for (auto& worker : workers)
        worker.join();
    ASSERT_EQ(finished.load(), kSessions) << "the sessions did not end within 3 minutes";
    ASSERT_TRUE(logB.stopped);
    EXPECT_EQ(bStatus, 0);
    EXPECT_EQ(logA.Count(" reload failed"), 0u);
    // a answers its health check with the new generation; then it stops as well.
    EXPECT_NE(PageExchange(a.Address(), "GET /healthz HTTP/1.1\r\n\r\n").find("ok generation 2"),
              std::string::npos);
    EXPECT_EQ(logA.Stop(), 0);
    unsetenv("KESTREL_UPDATE_HOST");
    haproxy.Stop(); // it ends by the signal
    EXPECT_EQ(haproxy.Stderr().find("[ALERT]"), std::string::npos) << haproxy.Stderr();

    int successes = 0;
    int cut = 0;
    int afterStop = 0;
    std::string cutResults;
    for (int i = 0; i < kSessions; ++i) {
        const Outcome& o = outcomes[static_cast<size_t>(i)];
        afterStop += o.startedAfterStop;
        SCOPED_TRACE("session " + std::to_string(i) + " result " + std::to_string(o.result));
        if (o.result == kResultSuccess) {
            ++successes;
            // Never a wrong success: the data is one of the two images whole, the new one for
            // every session that began once both servers had reloaded.
            EXPECT_TRUE(o.data == newImage || (o.data == oldImage && !o.startedAfterReload));
            continue;
        }
        ++cut;
        cutResults += " " + std::to_string(o.result);
        // Only the stop of b cuts sessions, those it found under way, each with the result of
        // a lost connection.
        EXPECT_EQ(kConnectionLost.count(o.result), 1u);
        EXPECT_FALSE(o.startedAfterStop);
        EXPECT_TRUE(o.endedAfterStopBegan);
    }
    size_t shutdownOnB = logB.Count(" end=shutdown@");
    std::printf("%d sessions ended well, %d were cut by the stop of b (results%s; %zu shutdown "
                "lines), %d began after it\n",
                successes, cut, cutResults.c_str(), shutdownOnB, afterStop);
    EXPECT_GT(afterStop, 100);
    EXPECT_GE(shutdownOnB, 1u) << "the stop of b cut no session: nothing was tested";
    EXPECT_LE(static_cast<size_t>(cut), shutdownOnB);
    EXPECT_EQ(logA.Count(" end=shutdown@"), 0u);
    // Every success is a session one of the servers saw to its end (b's last ones may have been
    // cut after the client had its data and sent "AllOK").
    EXPECT_EQ(static_cast<size_t>(successes), logA.Count(" end=allok ") +
                                                  logB.Count(" end=allok ") +
                                                  logB.Count(" end=shutdown@allok "));
    // Both servers took part before the stop; after it, a alone.
    EXPECT_GT(logB.Count(" end=allok "), 100u);
    EXPECT_GT(logA.Count(" end=allok "), 100u);
}
