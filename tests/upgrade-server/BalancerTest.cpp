// Two upgrade servers sharing one catalogue directory behind HAProxy in TCP mode, with the
// configuration shipped in upgrade-server/deploy: 1,000 sessions of the Kestrel client
// (the server link, several at once) through the balancer, the catalogue reloaded on both
// servers with SIGHUP part-way, then one server stopped while sessions run on it.
#include "Balancer.h"
#include "RawClient.h"
#include "ResultCodes.h"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <filesystem>
#include <thread>

namespace {

constexpr int kSessions = 1000;
constexpr int kWorkers = 16;

// What one session of the client came to, and when.
struct Outcome : TClientOutcome {
    int startedAfterReload = 0; // 1 when it started after both servers had reloaded
    int startedAfterStop = 0;   // 1 when it started after server b had stopped
    int endedAfterStopBegan = 0;
};

// The tests' request, as a client of its own.
TCliInfo ClientRequest(int index) {
    TCliInfo info = TestRequest();
    info.UseCount = index;
    info.OriginalID = "S" + std::to_string(1000000 + index);
    return info;
}

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
    THaproxy haproxy(a.Address(), b.Address());

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
                Outcome outcome{RunClientSession(ClientRequest(i))};
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
    haproxy.Process().Stop(); // it ends by the signal
    EXPECT_EQ(haproxy.Process().Stderr().find("[ALERT]"), std::string::npos)
        << haproxy.Process().Stderr();

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
