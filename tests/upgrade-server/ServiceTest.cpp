// The server as a service: the catalogue reloaded on SIGHUP (a valid one replaces the old one
// while sessions under way finish with theirs; an invalid one is refused with its reason), the
// health and metrics endpoints, and the standard options.
#include "Deadline.h"
#include "RawClient.h"
#include "Signing.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <regex>
#include <sstream>

namespace {

// Replaces the manifest in one rename, as an operator publishing a catalogue should.
void PublishManifest(const TempDir& dir, const std::string& manifest) {
    WriteFileBytes(dir / "manifest.new", manifest);
    std::filesystem::rename(dir / "manifest.new", dir / "manifest");
}

void Hangup(TUpgradeServer& server) {
    ASSERT_EQ(kill(server.Process().Pid(), SIGHUP), 0);
}

} // namespace

TEST(UpgradeServerService, ReloadReplacesTheCatalogueWhileRunningSessionsKeepTheirImage) {
    const std::string oldImage = TestImage(20000);
    const std::string newImage = TestImage(30000).substr(1) + "!";
    TempDir dir;
    WriteFileBytes(dir / "a.bin", oldImage);
    WriteFileBytes(dir / "manifest", "firmware QX40 1.21 a.bin\n");
    TUpgradeServer server({.catalogue = dir.Path(), .args = {"--http-port", "8080"}});
    EXPECT_EQ(Get(server, "/healthz"), "ok generation 1\n");

    // A session that has begun its transfer of the old image.
    RawClient early(server.Address());
    ASSERT_EQ(Announce(early, DefaultRequest()).back(), "PASSOK");
    Download started = ReceiveUpToCrc(early);
    ASSERT_EQ(started.length, "20000");

    // The new catalogue no longer even has the old file.
    WriteFileBytes(dir / "b.bin", newImage);
    PublishManifest(dir, "firmware QX40 1.22 b.bin\nrefuse 0BADBEEF\n");
    std::filesystem::remove(dir / "a.bin");
    Hangup(server);
    std::string reloaded = server.LogLine(" reload ");
    EXPECT_NE(reloaded.find(" reload generation=2 entries=2 bytes=30000"), std::string::npos)
        << reloaded;
    EXPECT_EQ(Get(server, "/healthz"), "ok generation 2\n");

    // New sessions get the new catalogue.
    RawClient late(server.Address());
    ASSERT_EQ(Announce(late, DefaultRequest()).back(), "PASSOK");
    Download fresh = Receive(late);
    EXPECT_TRUE(fresh.data == newImage);
    EXPECT_EQ(fresh.crc, CrcText(newImage));
    late.Close();
    EXPECT_NE(server.NextSession().find("answer=firmware:1.22 end=allok sent=30000"),
              std::string::npos);

    // Both generations are in memory until the early session, which ends with its own image.
    std::string metrics = Get(server, "/metrics");
    EXPECT_EQ(Sample(metrics, "upgrade_server_catalogue_generations_held"), 2) << metrics;
    EXPECT_EQ(Sample(metrics, "upgrade_server_catalogue_bytes_held"), 50000) << metrics;
    Download rest = ReceiveRest(early, started);
    EXPECT_TRUE(rest.data == oldImage);
    EXPECT_EQ(rest.crc, CrcText(oldImage));
    EXPECT_TRUE(rest.closedAfterAllOk);
    early.Close();
    EXPECT_NE(server.NextSession().find("answer=firmware:1.21 end=allok sent=20000"),
              std::string::npos);
    EXPECT_TRUE(WaitUntil([&] {
        metrics = Get(server, "/metrics");
        return Sample(metrics, "upgrade_server_catalogue_generations_held") == 1;
    })) << metrics;
    EXPECT_EQ(Sample(metrics, "upgrade_server_catalogue_bytes_held"), 30000) << metrics;
    EXPECT_EQ(Sample(metrics, "upgrade_server_catalogue_reloads_total"), 1) << metrics;
}

// Slow readers across many reloads: each keeps the generation it started with, but only the one
// before the current one survives a reload; older ones are closed and counted, so that at most
// two catalogues are held whatever the number of reloads.
TEST(UpgradeServerService, AReloadClosesSessionsOfGenerationsOlderThanThePreviousOne) {
    TempDir dir;
    std::string image = TestImage(20000);
    WriteFileBytes(dir / "g1.bin", image);
    PublishManifest(dir, "firmware QX40 1.21 g1.bin\n");
    TUpgradeServer server(
        {.catalogue = dir.Path(),
         .args = {"--http-port", "8080", "--step-timeout-ms", "120000", "--session-timeout-ms",
                  "600000", "--progress-window-ms", "0"}});
    constexpr int kGenerations = 4;
    constexpr int kReaders = 2;
    std::vector<std::unique_ptr<RawClient>> readers;
    std::vector<Download> started;
    for (int g = 1; g <= kGenerations; ++g) {
        // Readers that begin the transfer of this generation's image and stop reading.
        for (int r = 0; r < kReaders; ++r) {
            readers.push_back(std::make_unique<RawClient>(server.Address()));
            ASSERT_EQ(Announce(*readers.back(), DefaultRequest()).back(), "PASSOK");
            started.push_back(ReceiveUpToCrc(*readers.back()));
            ASSERT_EQ(started.back().length, std::to_string(image.size()));
        }
        // The next generation: another image of another size.
        const std::string next = "g" + std::to_string(g + 1) + ".bin";
        image = TestImage(20000 + 1000 * static_cast<size_t>(g));
        WriteFileBytes(dir / next, image);
        PublishManifest(dir, "firmware QX40 1.21 " + next + "\n");
        Hangup(server);
        std::string reloaded = server.LogLine(" reload ");
        ASSERT_NE(reloaded.find(" reload generation=" + std::to_string(g + 1)), std::string::npos)
            << reloaded;
    }
    std::string metrics;
    EXPECT_TRUE(WaitUntil([&] {
        metrics = Get(server, "/metrics");
        return Sample(metrics, "upgrade_server_catalogue_generations_held") == 2;
    })) << metrics;
    const long long closed = (kGenerations - 1LL) * kReaders;
    EXPECT_EQ(Sample(metrics, "upgrade_server_catalogue_superseded_total"), closed) << metrics;
    EXPECT_EQ(Sample(metrics, "upgrade_server_sessions_ended_total{outcome=\"superseded\"}"),
              closed)
        << metrics;
    // The readers of the older generations were closed; those of the previous one finish.
    for (size_t i = 0; i < readers.size(); ++i) {
        if (i < static_cast<size_t>(closed)) {
            EXPECT_TRUE(readers[i]->WaitForClose(60s)) << i;
        } else {
            Download rest = ReceiveRest(*readers[i], started[i]);
            EXPECT_TRUE(rest.closedAfterAllOk) << i;
        }
    }
}

TEST(UpgradeServerService, AnInvalidCatalogueIsRefusedWithItsReasonAndTheOldOneStays) {
    const std::string image = TestImage(9000);
    TempDir dir; // with qx40-1.21.bin signed for 1.21
    ASSERT_TRUE(MakeSampleCatalogue(dir.Path(), {"--sign-key", TestKeyFile("trusted", ".key")}));
    WriteFileBytes(dir / "a.bin", image);
    WriteFileBytes(dir / "manifest", "firmware QX40 1.21 a.bin\n");
    TUpgradeServer server(
        {.catalogue = dir.Path(),
         .args = {"--http-port", "8080", "--pubkey", TestKeyFile("trusted", ".pub")}});

    struct Case {
        std::string manifest;
        std::string reason;
    } cases[] = {
        {"firmware QX40 1.22 missing.bin\n", "line 1: file missing.bin"},
        {"firmware QX40 1.22 a.bin\nfirmware QX40 1.23 a.bin\n",
         "line 2: device type QX40 is listed twice"},
        {"firmware QX40 1.22 qx40-1.21.bin\n",
         "line 1: signature qx40-1.21.bin.minisig does not match its entry: the statement says "
         "version=1.21, the entry needs version=1.22"},
    };
    for (const auto& c : cases) {
        PublishManifest(dir, c.manifest);
        Hangup(server);
        std::string line = server.LogLine(" reload ");
        EXPECT_NE(line.find(" reload failed, generation 1 stays: "), std::string::npos) << line;
        EXPECT_NE(line.find(c.reason), std::string::npos) << line;
    }
    EXPECT_EQ(Get(server, "/healthz"), "ok generation 1\n");
    RawClient client(server.Address());
    ASSERT_EQ(Announce(client, DefaultRequest()).back(), "PASSOK");
    EXPECT_TRUE(Receive(client).data == image);
    std::string metrics = Get(server, "/metrics");
    EXPECT_EQ(Sample(metrics, "upgrade_server_catalogue_reload_failures_total"), 3) << metrics;
    EXPECT_EQ(Sample(metrics, "upgrade_server_catalogue_reloads_total"), 0) << metrics;

    // Fixed, the catalogue is taken at the next SIGHUP; SIGTERM still ends the server cleanly.
    PublishManifest(dir, "firmware QX40 1.22 a.bin\n");
    Hangup(server);
    EXPECT_NE(server.LogLine(" reload ").find(" reload generation=2 "), std::string::npos);
    EXPECT_EQ(server.Process().Stop(), 0);
}

TEST(UpgradeServerService, MetricsCountSessionsOutcomesBytesAndRefusals) {
    const std::string image = TestImage(20000);
    TUpgradeServer server(
        {.firmware = image, .args = {"--http-port", "8080", "--max-per-peer", "2"}});
    {
        RawClient a(server.Address());
        ASSERT_EQ(Announce(a, DefaultRequest()).back(), "PASSOK");
        EXPECT_TRUE(Receive(a).closedAfterAllOk);
    }
    server.LogLine("end=allok");
    Request current = DefaultRequest();
    SetValue(current, "SVer", "1.21");
    RawClient b(server.Address());
    RawClient c(server.Address());
    ASSERT_EQ(Announce(b, current).back(), "PASSOK");
    EXPECT_EQ(b.ReadLine(), "-7");
    ASSERT_EQ(c.Exchange("OriginalID"), "OK");
    RawClient refused(server.Address()); // a third from the same address
    EXPECT_TRUE(refused.WaitForClose());
    b.Close();
    server.LogLine("end=status");

    std::string answer = Page(server, "GET /metrics HTTP/1.1\r\n\r\n");
    EXPECT_NE(answer.find("\r\nContent-Type: text/plain; version=0.0.4; charset=utf-8\r\n"),
              std::string::npos)
        << answer;
    std::string page = answer.substr(answer.find("\r\n\r\n") + 4);
    EXPECT_EQ(Sample(page, "upgrade_server_sessions_started_total"), 3) << page;
    EXPECT_EQ(Sample(page, "upgrade_server_sessions_ended_total{outcome=\"allok\"}"), 1);
    EXPECT_EQ(Sample(page, "upgrade_server_sessions_ended_total{outcome=\"status\"}"), 1);
    EXPECT_EQ(Sample(page, "upgrade_server_sessions_ended_total{outcome=\"closed\"}"), 0);
    EXPECT_EQ(Sample(page, "upgrade_server_sessions_current"), 1);
    EXPECT_EQ(Sample(page, "upgrade_server_data_bytes_sent_total"), 20000);
    EXPECT_EQ(Sample(page, "upgrade_server_connections_refused_total{port=\"upgrade\","
                           "reason=\"max-per-peer\"}"),
              1);
    EXPECT_EQ(Sample(page, "upgrade_server_catalogue_generation"), 1);
    EXPECT_EQ(Sample(page, "upgrade_server_catalogue_entries"), 1);
    EXPECT_EQ(Sample(page, "upgrade_server_catalogue_bytes"), 20000);

    // The text format: every family is introduced by its HELP and TYPE, counters end in _total,
    // and every sample line is a name, optional labels and a number.
    const std::regex sample(R"(([a-z_]+)(\{[a-z]+="[^"]*"(,[a-z]+="[^"]*")*\})? [0-9]+)");
    const std::regex type(R"(# TYPE ([a-z_]+) (counter|gauge))");
    std::istringstream lines(page);
    std::string line;
    std::string family;
    std::string kind;
    int samples = 0;
    while (std::getline(lines, line)) {
        std::smatch m;
        if (line.rfind("# HELP ", 0) == 0)
            continue;
        if (std::regex_match(line, m, type)) {
            family = m[1];
            kind = m[2];
            EXPECT_EQ(kind == "counter", family.ends_with("_total")) << line;
            continue;
        }
        ASSERT_TRUE(std::regex_match(line, m, sample)) << line;
        EXPECT_EQ(m[1], family) << line;
        ++samples;
    }
    EXPECT_GT(samples, 20);
    // HEAD answers the headers only. Service endpoints are polled: unlike page requests, they
    // make no log line (an error is counted in a line a second).
    std::string head = Page(server, "HEAD /healthz HTTP/1.1\r\n\r\n");
    EXPECT_TRUE(head.starts_with("HTTP/1.1 200 OK\r\n") && head.ends_with("\r\n\r\n")) << head;
    Page(server, "GET /nothing HTTP/1.1\r\n\r\n");
    EXPECT_NE(server.LogLine(" http ").find(" http 404 1 in "), std::string::npos);
    EXPECT_EQ(server.Process().Stop(), 0);
    while (auto rest = server.Process().ReadLine(5s))
        EXPECT_EQ(rest->find(" http "), std::string::npos) << *rest;
}

// Installed, the program is called kestrel-upgrade-server: whatever it is started as, its
// version, usage and messages name it so.
TEST(UpgradeServerService, VersionHelpAndBadArgumentsNameTheProgramAsStarted) {
    TempDir dir;
    const std::string link = dir / "kestrel-upgrade-server";
    std::filesystem::create_symlink(KESTREL_PATH_UPGRADE_SERVER, link);
    for (const auto& [path, name] : std::vector<std::pair<std::string, std::string>>{
             {KESTREL_PATH_UPGRADE_SERVER, "upgrade-server"}, {link, "kestrel-upgrade-server"}}) {
        SCOPED_TRACE(path);
        auto run = [&](std::vector<std::string> args) {
            args.insert(args.begin(), path);
            ChildProcess program(args, {}, true);
            return Finish(program, std::chrono::seconds(60));
        };
        TRun version = run({"--version"});
        EXPECT_EQ(version.status, 0);
        EXPECT_EQ(version.out, name + " " + KESTREL_VERSION + "\n");
        TRun help = run({"--help"});
        EXPECT_EQ(help.status, 0);
        EXPECT_TRUE(help.out.starts_with("Usage: " + name + " --catalogue DIR [OPTION]...\n"))
            << help.out;
        for (const std::string& part : std::vector<std::string>{
                 "--max-per-peer N", "(default 16)", "--max-per-network N", "(default 64)",
                 "--progress-window-ms MS", "(default 10000)", "--min-progress BYTES",
                 "(default 256)", "--version", "GET /healthz", "GET /metrics", "SIGHUP", "SIGTERM",
                 "Exit status:", "  2  a bad command line", "\"" + name + ":\""})
            EXPECT_NE(help.out.find(part), std::string::npos) << part;
        for (const auto& [args, message] :
             std::vector<std::pair<std::vector<std::string>, std::string>>{
                 {{"--catalogue", "c", "--verbose"}, "unknown option --verbose"},
                 {{"--catalogue"}, "--catalogue needs a value"},
                 {{"--port", "x", "--catalogue", "c"}, "--port x: expected a port number"}}) {
            TRun bad = run(args);
            EXPECT_EQ(bad.status, 2) << message;
            ASSERT_EQ(bad.ErrLines().size(), 1u) << bad.err;
            EXPECT_TRUE(bad.err.starts_with(name + ": " + message)) << bad.err;
            EXPECT_TRUE(bad.err.ends_with(" (" + name + " --help lists the options)\n")) << bad.err;
            EXPECT_EQ(bad.out, "");
        }
    }
}

// The secret key lies beside the public one: given by mistake, it is named for what it is, and
// not a character of it reaches standard error (a terminal, a journal).
TEST(UpgradeServerService, ASecretKeyGivenAsPubkeyIsRefusedWithoutQuotingIt) {
    // The .key file of minisign -G -W: its comment line, then the key in base64.
    std::istringstream keyFile(ReadFileBytes(TestKeyFile("trusted", ".key")));
    std::string keyLine;
    std::getline(keyFile, keyLine);
    std::getline(keyFile, keyLine);
    ASSERT_GT(keyLine.size(), 100u) << keyLine;
    TempDir dir;
    WriteFileBytes(dir / "line.key", keyLine + "\n");
    for (const std::string& file : {TestKeyFile("trusted", ".key"), dir / "line.key"}) {
        ChildProcess program(
            {KESTREL_PATH_UPGRADE_SERVER, "--catalogue", dir.Path(), "--pubkey", file}, {}, true);
        TRun run = Finish(program, std::chrono::seconds(60));
        EXPECT_EQ(run.status, 2) << file;
        ASSERT_EQ(run.ErrLines().size(), 1u) << run.err;
        EXPECT_TRUE(run.err.starts_with("upgrade-server: --pubkey " + file +
                                        ": this is a minisign secret key, not a public key: "
                                        "--pubkey takes the .pub file"))
            << run.err;
        for (size_t at = 0; at + 8 <= keyLine.size(); ++at)
            ASSERT_EQ(run.err.find(keyLine.substr(at, 8)), std::string::npos)
                << "quotes the key: " << run.err;
        EXPECT_EQ(run.out, "");
    }
}
