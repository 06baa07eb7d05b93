// Two upgrade servers behind HAProxy on one register in a throwaway PostgreSQL cluster: 1,000
// sessions of the Kestrel client of a staged release spread over both, its stage advanced once,
// a halt given to the register by the operator's command holding on both, then PostgreSQL
// stopped and started again while sessions go on.
#include "Balancer.h"
#include "Deadline.h"
#include "PostgresCluster.h"
#include "RawClient.h"
#include "ResultCodes.h"
#include "Rollout.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <thread>

namespace {

// The requests of QX40s announcing firmware `sver`.
std::vector<TCliInfo> Devices(const std::vector<std::string>& ids, const std::string& sver) {
    std::vector<TCliInfo> requests;
    requests.reserve(ids.size());
    for (const auto& id : ids) {
        requests.push_back(TestRequest());
        requests.back().OriginalID = id;
        requests.back().SVer = sver;
    }
    return requests;
}

// `n` devices whose bucket of QX40 1.21 lies in [from, to), from the `skip`-th such one on.
std::vector<std::string> DevicesIn(uint32_t from, uint32_t to, size_t n, size_t skip = 0) {
    std::vector<std::string> ids;
    for (int i = 0; ids.size() < n; ++i) {
        std::string id = "P" + std::to_string(1000000 + i);
        uint32_t bucket = Bucket(id, "QX40", "1.21");
        if (bucket < from || bucket >= to)
            continue;
        if (skip > 0)
            --skip;
        else
            ids.push_back(id);
    }
    return ids;
}

// The sessions through the balancer, 16 at a time, with both servers' logs read meanwhile.
std::vector<TClientOutcome> RunSessions(const std::vector<TCliInfo>& requests, LogCollector& a,
                                        LogCollector& b) {
    std::vector<TClientOutcome> outcomes(requests.size());
    std::atomic<size_t> next{0};
    std::atomic<size_t> finished{0};
    std::vector<std::thread> workers;
    workers.reserve(16);
    for (int w = 0; w < 16; ++w)
        workers.emplace_back([&] {
            for (size_t i = next++; i < requests.size(); i = next++) {
                outcomes[i] = RunClientSession(requests[i]);
                ++finished;
            }
        });
    while (finished.load() < requests.size()) {
        a.Poll();
        b.Poll();
    }
    for (auto& worker : workers)
        worker.join();
    return outcomes;
}

// The length (or status) line a server answers a device announcing 1.20 with, directly.
std::string Probe(TUpgradeServer& server, const std::string& id) {
    RawClient client(server.Address());
    Request request = DefaultRequest();
    SetValue(request, "OriginalID", id);
    if (Announce(client, request).back() != "PASSOK")
        return "<announcement refused>";
    return Receive(client).length;
}

// How many sessions ended with `result` (as ResultCode carries it).
size_t Ended(const std::vector<TClientOutcome>& outcomes, int32_t result) {
    return static_cast<size_t>(std::count_if(outcomes.begin(), outcomes.end(), [&](const auto& o) {
        return MapResult(o.result) == result;
    }));
}

const std::string kRelease = "{type=\"QX40\",version=\"1.21\"}";

} // namespace

TEST(UpgradeServerSharedRegister, TwoServersOnPostgresqlDecideOnceAndOutliveItsOutage) {
    ASSERT_TRUE(std::filesystem::exists(KESTREL_HAPROXY))
        << "haproxy is not installed (scripts/setup installs Debian's haproxy)";
    TPostgresCluster cluster;
    const std::string uri = cluster.NewDatabase("register");
    auto query = [&](const std::string& sql) { return TPostgresCluster::Query(uri, sql); };
    TempDir catalogue;
    const std::string image = TestImage(3 * 8192 + 5);
    WriteFileBytes(catalogue / "a.bin", image);
    WriteFileBytes(catalogue / "manifest", "firmware QX40 1.21 a.bin\n"
                                           "rollout QX40 1.21 10,100 advance=20 halt=50%\n");
    const TServerSetup setup{.catalogue = catalogue.Path(),
                             .args = {"--register", uri, "--http-port", "8080", "--max-sessions",
                                      "512", "--max-per-peer", "512", "--connect-rate", "0"}};
    TUpgradeServer a(setup);
    TUpgradeServer b(setup);
    LogCollector logA(a);
    LogCollector logB(b);
    THaproxy haproxy(a.Address(), b.Address());
    // Both servers offer the release as the register says: true once both do.
    auto both = [&](const std::string& series, long long value) {
        logA.Poll();
        logB.Poll();
        return Sample(Get(a, "/metrics"), series) == value &&
               Sample(Get(b, "/metrics"), series) == value;
    };

    // Stage 10%: 50 devices in it download the release and then run it, which advances the
    // stage (20 installed) once, whichever server sees it first; then 900 devices outside it.
    const auto staged = DevicesIn(0, 10, 50);
    const auto others = DevicesIn(10, 100, 900);
    auto outcomes = RunSessions(Devices(staged, "1.20"), logA, logB);
    EXPECT_EQ(Ended(outcomes, kResultSuccess), staged.size());
    // A device's next session comes after its last was written (the writers write within a
    // second; a device takes minutes to be programmed): the states follow each other.
    ASSERT_TRUE(WaitUntil([&] { return query("SELECT count(*) FROM sessions") == "50"; }));
    outcomes = RunSessions(Devices(staged, "1.21"), logA, logB);
    EXPECT_EQ(Ended(outcomes, kResultLatest), staged.size());
    ASSERT_TRUE(WaitUntil([&] {
        return both("upgrade_server_release_stage_percent" + kRelease, 100);
    })) << "the stage did not reach 100% on both servers";
    outcomes = RunSessions(Devices(others, "1.20"), logA, logB);
    EXPECT_EQ(Ended(outcomes, kResultSuccess), others.size());
    for (const auto& o : outcomes)
        EXPECT_TRUE(o.result != kResultSuccess || o.data == image);
    EXPECT_GT(logA.Count(" end=allok "), 100u);
    EXPECT_GT(logB.Count(" end=allok "), 100u);

    // Every session and device state in the register, exactly; the stage advanced once.
    ASSERT_TRUE(WaitUntil([&] { return query("SELECT count(*) FROM sessions") == "1000"; }))
        << query("SELECT count(*) FROM sessions") << " sessions in the register";
    EXPECT_EQ(query("SELECT string_agg(state || '=' || n, ' ' ORDER BY state) FROM (SELECT "
                    "state, count(*) n FROM device_releases GROUP BY state) s"),
              "downloaded=900 installed=50");
    EXPECT_EQ(query("SELECT string_agg(event || ' ' || actor || ' ' || from_percent || '->' || "
                    "to_percent, ', ') FROM rollout_events"),
              "advance server 10->100");

    // The operator halts it through the register; both servers hold it within a few seconds.
    ChildProcess command(
        {KESTREL_PATH_UPGRADE_SERVER, "rollout", "halt", "QX40", "1.21", "--register", uri}, {},
        true);
    TRun halt = Finish(command, 60s);
    ASSERT_EQ(halt.status, 0) << halt.err;
    auto halted = std::chrono::steady_clock::now();
    ASSERT_TRUE(WaitUntil([&] { return both("upgrade_server_release_halted" + kRelease, 1); }));
    std::printf("both servers held the halt after %lld ms\n",
                static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                           std::chrono::steady_clock::now() - halted)
                                           .count()));
    const auto fresh = DevicesIn(10, 100, 2, others.size());
    EXPECT_EQ(Probe(a, fresh[0]), "0");
    EXPECT_EQ(Probe(b, fresh[1]), "0");
    ASSERT_TRUE(WaitUntil([&] {
        logA.Poll();
        logB.Poll();
        return query("SELECT count(*) FROM sessions") == "1002";
    }));

    // PostgreSQL goes away under sessions of devices that downloaded the release (a halted
    // release still goes to them): none fails, and each server says so once.
    cluster.Stop();
    outcomes = RunSessions(Devices({others.begin(), others.begin() + 100}, "1.20"), logA, logB);
    EXPECT_EQ(Ended(outcomes, kResultSuccess), 100u);
    // Both know it, and hold the records.
    auto waiting = [&](TUpgradeServer& server) {
        return Sample(Get(server, "/metrics"), "upgrade_server_register_records_waiting");
    };
    ASSERT_TRUE(WaitUntil([&] {
        return both("upgrade_server_register_writable", 0) && waiting(a) + waiting(b) == 100;
    })) << waiting(a)
        << " + " << waiting(b) << " records wait";
    cluster.Start();
    ASSERT_TRUE(WaitUntil([&] {
        logA.Poll();
        logB.Poll();
        return logA.Count(" written again after ") == 1 && logB.Count(" written again after ") == 1;
    }));
    EXPECT_EQ(query("SELECT count(*) FROM sessions"), "1102");
    EXPECT_EQ(query("SELECT count(*) FROM devices"), "952");
    EXPECT_EQ(query("SELECT count(*) FROM device_releases WHERE state = 'came-back'"), "100");
    for (auto* log : {&logA, &logB}) {
        EXPECT_EQ(log->Count("; sessions go on, their records wait in memory"), 1u);
        EXPECT_EQ(log->Count(" 0 records lost meanwhile"), 1u);
    }
}
