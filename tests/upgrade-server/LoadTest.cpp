// The server under concurrent use: several sessions at once, the caps (in all, per peer and per
// IPv6 network), a newcomer taking the place of the slowest connection, refusal lines and the
// line of silent connections, the time limits (each step, the first line, the whole session,
// progress) and shutdown while sessions are open.
#include "Connection.h"
#include "RawClient.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <regex>
#include <sys/socket.h>
#include <thread>
#include <tuple>
#include <unistd.h>
#include <vector>

TEST(UpgradeServerLoad, SeveralSessionsAtOnce) {
    const std::string image = TestImage(30000);
    TUpgradeServer server({.firmware = image});
    constexpr int kClients = 8;
    std::atomic<int> good{0};
    std::vector<std::thread> threads;
    threads.reserve(kClients);
    for (int i = 0; i < kClients; ++i) {
        threads.emplace_back([&, i] {
            RawClient client(server.Address());
            Request request = DefaultRequest();
            SetValue(request, "OriginalID", "ID" + std::to_string(i));
            Announce(client, request);
            Download d = Receive(client);
            if (d.data == image && d.crc == CrcText(image) && d.closedAfterAllOk &&
                d.values.size() == 13 && d.values[6] == "ID" + std::to_string(i))
                ++good;
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(good.load(), kClients);
}

TEST(UpgradeServerLoad, IdleClientIsDroppedAfterTheStepLimit) {
    TUpgradeServer server({.firmware = TestImage(100), .args = {"--step-timeout-ms", "1000"}});
    RawClient client(server.Address());
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(client.Exchange("OriginalID"), "OK");
    EXPECT_TRUE(client.WaitForClose());
    EXPECT_GE(std::chrono::steady_clock::now() - start, 1000ms);
    std::string log = server.LogLine("id=");
    EXPECT_NE(log.find("end=timeout@announce:2"), std::string::npos) << log;

    // A slow but steady client is not dropped: every step has the full limit.
    RawClient steady(server.Address());
    EXPECT_EQ(Announce(steady, DefaultRequest()).back(), "PASSOK");
}

TEST(UpgradeServerLoad, FirstLineHasAShortLimitOfItsOwn) {
    TUpgradeServer server(
        {.firmware = TestImage(100),
         .args = {"--step-timeout-ms", "20000", "--first-line-timeout-ms", "300"}});
    RawClient prompt(server.Address());
    ASSERT_EQ(prompt.Exchange("OriginalID"), "OK");
    // Silent, or a part of the line only: dropped at the first line's limit, long before a
    // step's, and counted in a line a second, not logged alone.
    for (const auto& [sent, logged, needle] :
         std::vector<std::tuple<std::string, std::string, std::string>>{
             {"", " silent 1 in ", " silent "}, {"Origin", " unanswered 1 in ", " unanswered "}}) {
        RawClient client(server.Address());
        client.SendRaw(sent);
        EXPECT_TRUE(EndedQuietly(client, server, logged, needle)) << sent;
    }
    // Past its first line a session has the step limit for each step.
    SCOPED_TRACE("the prompt client");
    Request request = DefaultRequest();
    request.erase(request.begin());
    prompt.SendLine("A1B2C3D4");
    EXPECT_EQ(prompt.ReadLine(), "OK");
    EXPECT_EQ(Announce(prompt, request).back(), "PASSOK");
}

TEST(UpgradeServerLoad, SessionLimitDropsACrawlerButNotASlowSteadyDownload) {
    // Every step is well within its limit; the session as a whole must keep to 1.5 s plus one
    // second for every 50,000 bytes.
    const std::string image = TestImage(std::size_t{40} * 8192);
    TUpgradeServer server({.firmware = image,
                           .args = {"--step-timeout-ms", "20000", "--session-timeout-ms", "1500",
                                    "--min-rate", "50000"}});
    {
        RawClient crawler(server.Address());
        ASSERT_EQ(crawler.Exchange("OriginalID"), "OK");
        // One byte of the value each time the connection stays open for 100 ms.
        for (int i = 0; i < 150 && !crawler.WaitForClose(100ms); ++i)
            crawler.SendRaw("x");
        EXPECT_TRUE(EndedQuietly(crawler, server, "end=too-slow@announce:2"));
    }
    // 50 ms before each of 39 handshakes: about 150,000 bytes a second, and longer than 1.5 s.
    RawClient steady(server.Address());
    auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(Announce(steady, DefaultRequest()).back(), "PASSOK");
    Download d = Receive(steady, 50ms);
    EXPECT_GT(std::chrono::steady_clock::now() - start, 1500ms);
    EXPECT_TRUE(d.data == image);
    EXPECT_TRUE(d.closedAfterAllOk);
    steady.Close(); // the server waits for that before it logs the session
    EXPECT_NE(server.NextSession().find("end=allok"), std::string::npos);
}

// The per-peer cap counts an IPv6 /64 as one peer, the per-network cap a /56 as one network: the
// /64s of one home allocation share the network's places.
TEST(UpgradeServerLoad, APeerIsAnAddressOrAnIpv6NetworkAndIpv6PeersShareTheirSlash56) {
    struct Case {
        const char* address;
        const char* peer;
        const char* network;
    };
    for (const auto& c : std::vector<Case>{
             {"192.0.2.7", "192.0.2.7", ""},
             {"::ffff:192.0.2.7", "192.0.2.7", ""},
             {"2001:db8:1:2:aaaa::1", "2001:db8:1:2::/64", "2001:db8:1::/56"},
             {"2001:db8:1:2:bbbb:1:2:3", "2001:db8:1:2::/64", "2001:db8:1::/56"},
             {"2001:db8:1:3::1", "2001:db8:1:3::/64", "2001:db8:1::/56"},
             {"2001:db8:1:ff::1", "2001:db8:1:ff::/64", "2001:db8:1::/56"},
             {"2001:db8:1:100::1", "2001:db8:1:100::/64", "2001:db8:1:100::/56"},
             {"::1", "::/64", "::/56"},
         }) {
        auto address = asio::ip::make_address(c.address);
        EXPECT_EQ(PeerKeyOf(address), c.peer) << c.address;
        EXPECT_EQ(NetworkKeyOf(address), c.network) << c.address;
    }
}

TEST(UpgradeServerLoad, ConnectionsBeyondACapAreClosedAtOnceAndCountedOnceASecond) {
    TUpgradeServer server(
        {.firmware = TestImage(100),
         .args = {"--max-sessions", "3", "--max-per-peer", "2", "--progress-window-ms", "0"}});
    RawClient a(server.Address());
    RawClient b(server.Address());
    ASSERT_EQ(a.Exchange("OriginalID"), "OK"); // both are live sessions now
    ASSERT_EQ(b.Exchange("OriginalID"), "OK");

    // A third from the same address is closed at once, nothing sent; a burst of them makes one
    // refusal line a second with their count.
    constexpr uint64_t kBurst = 50;
    auto start = std::chrono::steady_clock::now();
    for (uint64_t i = 0; i < kBurst; ++i) {
        RawClient c(server.Address());
        ASSERT_TRUE(c.WaitForClose());
        ASSERT_EQ(c.Leftover(), "");
    }
    auto burstSeconds =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start)
            .count();
    uint64_t counted = 0;
    int lines = 0;
    while (counted < kBurst) {
        std::string line = server.LogLine(" refused ");
        uint64_t n = RefusalCount(line, "max-per-peer");
        ASSERT_GT(n, 0u) << line;
        counted += n;
        ++lines;
    }
    EXPECT_EQ(counted, kBurst);
    EXPECT_LE(lines, burstSeconds + 2);

    // Another address has places of its own, up to the cap of all sessions. Beyond that a
    // newcomer takes the place of the connection that moved slowest: the one idle the longest.
    RawClient d(server.Address(), 5001, UniqueLoopbackAddress());
    EXPECT_EQ(d.Exchange("OriginalID"), "OK");
    RawClient e(server.Address(), 5001, UniqueLoopbackAddress());
    EXPECT_EQ(e.Exchange("OriginalID"), "OK");
    // Displaced before it asked for anything, it is counted in a line a second, not logged alone.
    EXPECT_TRUE(EndedQuietly(a, server, " displaced 1 in ", " displaced "));
    // A place that frees up is taken again.
    e.Close();
    server.LogLine("end=closed@announce:2");
    RawClient f(server.Address());
    EXPECT_EQ(f.Exchange("OriginalID"), "OK");
    EXPECT_EQ(b.Exchange("B"), "OK");
    EXPECT_EQ(d.Exchange("D"), "OK");
}

// What a flood repeats costs one log line a second for each kind, with the count, the number of
// peers and the most from one: connections closed without a word, ended by a line of garbage
// before the first answer, page requests answered with an error, and those over their peer's
// connection rate (or over the per-peer cap while the server had not seen the others close yet).
TEST(UpgradeServerLoad, FloodedConnectionsAreCountedOnceASecond) {
    TUpgradeServer server(
        {.firmware = TestImage(100),
         .args = {"--http-port", "8080", "--connect-burst", "10", "--connect-rate", "1"}});
    struct Kind {
        uint16_t port;
        std::string sent;
        std::string counted;
    };
    const std::vector<Kind> kinds = {{5001, "", "silent"},
                                     {5001, "x\r\n", "unanswered"},
                                     {8080, "GET /nothing HTTP/1.1\r\n\r\n", "http 404"}};
    constexpr uint64_t kEach = 100;
    uint64_t sent = 0;
    auto start = std::chrono::steady_clock::now();
    for (const Kind& kind : kinds) {
        // Addresses of their own for each kind, each with a full allowance of connections.
        const std::vector<std::string> from = {UniqueLoopbackAddress(), UniqueLoopbackAddress(),
                                               UniqueLoopbackAddress()};
        for (uint64_t i = 0; i < kEach; ++i) {
            for (size_t p = 0; p <= i % from.size(); ++p) { // 100, 66 and 33 of them
                int fd = ConnectFrom(from[p], server.Address(), kind.port);
                ASSERT_GE(fd, 0);
                (void)!send(fd, kind.sent.data(), kind.sent.size(), MSG_NOSIGNAL);
                close(fd);
                ++sent;
            }
        }
    }
    RawClient honest(server.Address()); // logged on its own
    ASSERT_EQ(Announce(honest, DefaultRequest()).back(), "PASSOK");
    honest.Close();
    std::map<std::string, uint64_t> counted;
    uint64_t refused = 0;
    uint64_t overRate = 0;
    int groupLines = 0;
    int sessionLines = 0;
    const std::regex grouped(
        R"( (silent|unanswered|http 404) (\d+) in [0-9.]+s peers=([123]) most=(\d+)$)");
    auto total = [&] {
        uint64_t n = refused + overRate;
        for (const auto& [kind, count] : counted)
            n += count;
        return n;
    };
    while (sessionLines == 0 || total() < sent) {
        auto line = server.Process().ReadLine(60s);
        ASSERT_TRUE(line) << total() << " of " << sent << " counted";
        std::smatch m;
        if (std::regex_search(*line, m, grouped)) {
            ++groupLines;
            counted[m[1]] += std::stoull(m[2]);
            EXPECT_LE(std::stoull(m[4]), kEach) << *line;
        } else if (uint64_t capped = RefusalCount(*line, "max-per-peer")) {
            ++groupLines;
            refused += capped;
        } else if (uint64_t fast = RefusalCount(*line, "connect-rate")) {
            ++groupLines;
            overRate += fast;
        }
        sessionLines += line->find(" id=") != std::string::npos;
    }
    auto seconds =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start)
            .count();
    EXPECT_EQ(total(), sent);
    for (const Kind& kind : kinds)
        EXPECT_GT(counted[kind.counted], 0u) << kind.counted;
    // 100 from one address within a minute: beyond 10 at once and one more a second.
    EXPECT_GT(overRate, 0u);
    EXPECT_EQ(sessionLines, 1);
    // At most a line a second for each kind: three kinds, two refusals on each port.
    EXPECT_LE(groupLines, 7 * (seconds + 2));
}

// A connection that moves too little in a progress window is closed well before the session's
// limit; a slow but steady download is not.
TEST(UpgradeServerLoad, ProgressLimitClosesAConnectionThatMovesTooLittle) {
    const std::string image = TestImage(std::size_t{20} * 8192);
    TUpgradeServer server({.firmware = image,
                           .args = {"--step-timeout-ms", "20000", "--progress-window-ms", "500",
                                    "--min-progress", "100"}});
    {
        RawClient trickle(server.Address());
        ASSERT_EQ(trickle.Exchange("OriginalID"), "OK");
        // About 25 bytes a window: every step within its limit, the session far within its own.
        for (int i = 0; i < 200 && !trickle.WaitForClose(20ms); ++i)
            trickle.SendRaw("x");
        EXPECT_TRUE(EndedQuietly(trickle, server, "end=no-progress@announce:2"));
    }
    RawClient steady(server.Address());
    auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(Announce(steady, DefaultRequest()).back(), "PASSOK");
    Download d = Receive(steady, 50ms); // 8192 bytes every 50 ms, over several windows
    EXPECT_GT(std::chrono::steady_clock::now() - start, 500ms);
    EXPECT_TRUE(d.data == image);
    EXPECT_TRUE(d.closedAfterAllOk);
}

TEST(UpgradeServerLoad, TermSignalEndsOpenSessionsAndTheServer) {
    TUpgradeServer server({.firmware = TestImage(100), .faults = {"stall-at:announce:2"}});
    RawClient stalled(server.Address()); // stalled sessions have no time limit
    RawClient waiting(server.Address());
    ASSERT_EQ(stalled.Exchange("OriginalID"), "OK");
    stalled.SendLine("S");
    ASSERT_EQ(waiting.Exchange("OriginalID"), "OK");
    EXPECT_EQ(server.Process().Stop(), 0);
    EXPECT_TRUE(stalled.WaitForClose());
    EXPECT_TRUE(waiting.WaitForClose());
    std::string rest;
    int sessions = 0;
    while (auto line = server.Process().ReadLine(5s)) {
        rest += *line + "\n";
        sessions += line->find(" id=") != std::string::npos;
    }
    EXPECT_EQ(sessions, 2) << rest;
    EXPECT_NE(rest.find("id=- type=- hver=- sver=- swver=- answer=- end=shutdown@announce:2"),
              std::string::npos)
        << rest;
    EXPECT_EQ(rest.substr(rest.size() - 8), "stopped\n") << rest;
}
