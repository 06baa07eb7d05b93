// The device register and releases in stages: the rollout arithmetic, a staged release driven
// through real sessions to its next stage and to a halt across a restart (in each storage), and
// a register that cannot be written while sessions go on.
#include "Deadline.h"
#include "RawClient.h"
#include "RegisterStorage.h"
#include "Rollout.h"

#include <gtest/gtest.h>

#include <sqlite3.h>

namespace {

TEST(UpgradeServerRollout, BucketsStagesAndHalts) {
    struct BucketCase {
        std::string id, type, version;
        uint32_t bucket;
    };
    // First 4 bytes of SHA-256("A2C4E6G8 QX40 1.21") are 1b5df4af: 459142319 mod 100.
    for (const auto& c : std::vector<BucketCase>{{"A2C4E6G8", "QX40", "1.21", 19},
                                                 {"A2C4E6G8", "QX40", "1.22", 67},
                                                 {"A2C4E6G8", "QX41", "1.21", 73},
                                                 {"设备01", "QX40", "1.21", 48},
                                                 {"", "QX40", "1.21", 25}})
        EXPECT_EQ(Bucket(c.id, c.type, c.version), c.bucket) << c.id << " " << c.version;

    struct Case {
        ReleaseCounts counts; // of the stage for advancing, of the release for halting
        std::string rule;     // the rollout line's settings
        bool advances;
        bool halts;
    };
    for (const auto& c : std::vector<Case>{
             {{.installed = 20}, "advance=20 halt=10%", true, false},
             {{.installed = 19}, "advance=20 halt=10%", false, false},
             // Came-back share exactly at the limit still advances; above it never does.
             {{.installed = 18, .cameBack = 2}, "advance=18 halt=10%", true, false},
             {{.installed = 18, .cameBack = 3}, "advance=18 halt=10%", false, true},
             // Two that came back halt nothing, however large their share.
             {{.installed = 0, .cameBack = 2}, "advance=1 halt=10%", false, false},
             {{.installed = 0, .cameBack = 3}, "advance=1", false, true},
             {{.installed = 39, .cameBack = 1}, "advance=20 halt=2.5%", true, false},
             {{.installed = 38, .cameBack = 3}, "advance=20 halt=2.5%", false, true},
             {{.installed = 5, .cameBack = 5}, "advance=5 halt=100%", true, false}}) {
        RolloutPlan plan;
        std::vector<std::string> fields{"5,25,100"};
        for (size_t at = 0, next = 0; at < c.rule.size(); at = next + 1) {
            next = std::min(c.rule.find(' ', at), c.rule.size());
            fields.push_back(c.rule.substr(at, next - at));
        }
        std::string why;
        ASSERT_TRUE(ParseRolloutFields(fields, plan, why)) << c.rule << ": " << why;
        EXPECT_EQ(StageComplete(c.counts, plan), c.advances)
            << c.rule << " installed=" << c.counts.installed << " came-back=" << c.counts.cameBack;
        EXPECT_EQ(MustHalt(c.counts, plan), c.halts)
            << c.rule << " installed=" << c.counts.installed << " came-back=" << c.counts.cameBack;
    }

    // A device counts once, in its latest state: what it announces first, then what it got.
    using enum DeviceState;
    struct Step {
        DeviceState before;
        SessionFacts facts;
        DeviceState after;
    };
    for (const auto& s : std::vector<Step>{
             {None, {.announced = -1, .offered = true}, Offered},
             {None, {.announced = -1, .offered = true, .downloaded = true}, Downloaded},
             {Offered, {.announced = 0}, Installed},
             {Downloaded, {.announced = 1}, Installed},
             {Downloaded, {.announced = -1, .offered = true}, CameBack},
             {CameBack, {.announced = -1, .offered = true, .downloaded = true}, CameBack},
             {CameBack, {.announced = 0}, Installed},
             {Installed, {.announced = -1}, CameBack},
             {None, {.announced = 0}, None}})
        EXPECT_EQ(NextState(s.before, s.facts), s.after)
            << DeviceStateName(s.before) << " -> " << DeviceStateName(s.after);
}

// A device of the given bucket range for release QX40 1.21: the n-th one found.
std::string DeviceIn(uint32_t from, uint32_t to, int n) {
    for (int i = 0;; ++i) {
        std::string id = "R" + std::to_string(1000000 + i);
        uint32_t b = Bucket(id, "QX40", "1.21");
        if (b >= from && b < to && n-- == 0)
            return id;
    }
}

// One session of device `id` announcing firmware `sver`: "allok" after a whole download, else
// the length line the server sent (its status).
std::string Session(TUpgradeServer& server, const std::string& id, const std::string& sver) {
    RawClient client(server.Address());
    Request request = DefaultRequest();
    SetValue(request, "OriginalID", id);
    SetValue(request, "SVer", sver);
    if (Announce(client, request).back() != "PASSOK")
        return "<announcement refused>";
    Download d = Receive(client);
    return d.closedAfterAllOk ? "allok" : d.length;
}

// The register a test names, with the server's other settings the tests need: the fleet's
// devices all come from the test's one address, faster than a peer may open connections.
TServerSetup StagedSetup(const std::string& registerUri, const std::vector<std::string>& more) {
    TServerSetup setup{
        .firmware = TestImage(20000),
        .manifest = {"rollout QX40 1.21 25,50,100 advance=2 halt=10%"},
        .args = {"--register", registerUri, "--http-port", "8080", "--connect-rate", "0"}};
    setup.args.insert(setup.args.end(), more.begin(), more.end());
    return setup;
}

TRun RolloutCommand(const std::string& registerUri, std::vector<std::string> args) {
    args.insert(args.begin(), KESTREL_PATH_UPGRADE_SERVER);
    args.insert(args.end(), {"--register", registerUri});
    ChildProcess command(args, {}, true);
    return Finish(command, 60s);
}

using UpgradeServerRollouts = RegisterStorage;
KESTREL_REGISTER_STORAGES(UpgradeServerRollouts);

TEST_P(UpgradeServerRollouts, AStagedReleaseAdvancesSurvivesARestartAndHalts) {
    const std::string& uri = Uri();
    const std::string outside = DeviceIn(50, 100, 0);
    {
        TUpgradeServer server(StagedSetup(uri, {}));
        // Stage 25%: a device outside it is held; two inside download and then run 1.21.
        EXPECT_EQ(Session(server, outside, "1.20"), "0");
        EXPECT_NE(server.NextSession().find(" answer=status:0 held=1.21 end=status "),
                  std::string::npos);
        for (const auto& id : {DeviceIn(0, 25, 0), DeviceIn(0, 25, 1)})
            EXPECT_EQ(Session(server, id, "1.20"), "allok");
        for (const auto& id : {DeviceIn(0, 25, 0), DeviceIn(0, 25, 1)})
            EXPECT_EQ(Session(server, id, "1.21"), "-7");
        std::string advanced = server.LogLine(" rollout QX40 1.21 advance");
        EXPECT_NE(advanced.find(" 25% -> 50%: stage installed=2 came-back=0 "), std::string::npos)
            << advanced;
        // The operator advances it to 100% at once; the running server takes it.
        TRun advance = RolloutCommand(uri, {"rollout", "advance", "QX40", "1.21"});
        EXPECT_EQ(advance.status, 0) << advance.err;
        EXPECT_NE(advance.out.find("advance by an operator 50% -> 100%"), std::string::npos);
        const std::string probe = DeviceIn(50, 100, 3);
        auto until = std::chrono::steady_clock::now() + 60s;
        std::string answer;
        while (answer != "allok" && std::chrono::steady_clock::now() < until) {
            answer = Session(server, probe, "1.20");
            server.NextSession(); // read as they come: a full pipe would hold the server
        }
        EXPECT_EQ(answer, "allok");
    }
    // The stage is the register's: a new server offers the release to every device (it would
    // find only 50% in the figures).
    TUpgradeServer server(StagedSetup(uri, {}));
    std::vector<std::string> cameBack{outside, DeviceIn(50, 100, 1), DeviceIn(50, 100, 2)};
    for (const auto& id : cameBack)
        EXPECT_EQ(Session(server, id, "1.20"), "allok");
    // Three of five come back with the old firmware (and download it again): 60% is above
    // halt=10%.
    for (const auto& id : cameBack)
        EXPECT_EQ(Session(server, id, "1.20"), "allok");
    std::string halted = server.LogLine(" rollout QX40 1.21 halt");
    EXPECT_NE(halted.find(" at 100%: offered=0 downloaded=1 installed=2 came-back=3 share=60.0%"),
              std::string::npos)
        << halted;
    // Halted, it goes only to devices that downloaded it.
    EXPECT_EQ(Session(server, DeviceIn(0, 50, 2), "1.20"), "0");
    EXPECT_EQ(Session(server, outside, "1.20"), "allok");
    std::string metrics = Get(server, "/metrics");
    const std::string release = "{type=\"QX40\",version=\"1.21\"";
    EXPECT_EQ(Sample(metrics, "upgrade_server_release_halted" + release + "}"), 1) << metrics;
    EXPECT_EQ(Sample(metrics, "upgrade_server_release_devices" + release + ",state=\"came-back\"}"),
              3)
        << metrics;

    // The operator sees it, and a second halt is refused as such.
    TRun list = RolloutCommand(uri, {"rollout", "--json"});
    EXPECT_EQ(list.status, 0) << list.err;
    EXPECT_NE(list.out.find("\"percent\":100,\"state\":\"halted\""), std::string::npos) << list.out;
    TRun again = RolloutCommand(uri, {"rollout", "halt", "QX40", "1.21"});
    EXPECT_EQ(again.status, 1);
    EXPECT_NE(again.err.find("QX40 1.21 is already halted"), std::string::npos) << again.err;
}

// The register is locked by another program: sessions go on, the log says so once, records
// beyond the queue are lost and counted, and the rest are written once the lock is gone.
TEST(UpgradeServerRegister, ALockedRegisterHoldsNoSessionAndCatchesUp) {
    TempDir state;
    const std::string path = state / "register.sqlite";
    TUpgradeServer server(StagedSetup("sqlite:" + path, {"--register-queue", "2"}));
    sqlite3* lock = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &lock), SQLITE_OK);
    // The server writes its releases as it starts: the lock is taken once that write is done.
    sqlite3_busy_timeout(lock, 60000);
    ASSERT_EQ(sqlite3_exec(lock, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);

    const std::vector<std::string> ids{"L1", "L2", "L3", "L4"};
    for (const auto& id : ids)
        EXPECT_EQ(Session(server, id, "1.21"), "-7");
    std::string metrics;
    // Every session has ended, its record queued or lost, and the writer has failed more than
    // once (which it says once).
    EXPECT_TRUE(WaitUntil([&] {
        metrics = Get(server, "/metrics");
        return Sample(metrics, "upgrade_server_register_records_lost_total") == 2 &&
               Sample(metrics, "upgrade_server_register_write_failures_total") >= 2;
    })) << metrics;
    EXPECT_EQ(Sample(metrics, "upgrade_server_register_records_waiting"), 2) << metrics;
    EXPECT_EQ(Sample(metrics, "upgrade_server_register_writable"), 0) << metrics;

    ASSERT_EQ(sqlite3_exec(lock, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(lock);
    int said = 0;
    int full = 0;
    std::string line;
    for (;;) {
        auto next = server.Process().ReadLine(60s);
        ASSERT_TRUE(next) << "no line says the register is written again";
        line = *next;
        said += line.find(" is busy: another program holds its write lock") != std::string::npos;
        full += line.find(": the queue of 2 records is full; ") != std::string::npos;
        if (line.find(" written again ") != std::string::npos)
            break;
    }
    EXPECT_EQ(said, 1);
    EXPECT_EQ(full, 1);
    EXPECT_NE(line.find("; 2 records lost meanwhile"), std::string::npos) << line;
    metrics = Get(server, "/metrics");
    EXPECT_EQ(Sample(metrics, "upgrade_server_register_records_written_total"), 2) << metrics;
    EXPECT_EQ(Sample(metrics, "upgrade_server_register_records_waiting"), 0) << metrics;
    TRun devices = RolloutCommand("sqlite:" + path, {"devices"});
    EXPECT_EQ(devices.status, 0) << devices.err;
    for (size_t i = 0; i < ids.size(); ++i)
        EXPECT_EQ(devices.out.find("\n" + ids[i] + " ") != std::string::npos, i < 2)
            << ids[i] << " in:\n"
            << devices.out;
}

} // namespace
