// The server under concurrent use: several sessions at once, the caps (in all and per peer) and
// their refusal lines, the time limits (each step, the first line, the whole session) and
// shutdown while sessions are open.
#include "Connection.h"
#include "RawClient.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

TEST(UpgradeServerLoad, SeveralSessionsAtOnce) {
    const std::string image = TestImage(30000);
    TUpgradeServer server({.firmware = image});
    constexpr int kClients = 8;
    std::atomic<int> good{0};
    std::vector<std::thread> threads;
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
    // Silent, or a part of the line only: dropped at the first line's limit, long before a step's.
    for (const std::string sent : {"", "Origin"}) {
        RawClient client(server.Address());
        client.SendRaw(sent);
        EXPECT_TRUE(EndedQuietly(client, server, "end=timeout@announce:1")) << sent;
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
    const std::string image = TestImage(40 * 8192);
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

TEST(UpgradeServerLoad, APeerIsAnAddressOrAnIpv6Network) {
    auto key = [](const char* text) { return PeerKeyOf(asio::ip::make_address(text)); };
    EXPECT_EQ(key("192.0.2.7"), "192.0.2.7");
    EXPECT_EQ(key("::ffff:192.0.2.7"), "192.0.2.7");
    EXPECT_EQ(key("2001:db8:1:2:aaaa::1"), "2001:db8:1:2::/64");
    EXPECT_EQ(key("2001:db8:1:2:bbbb:1:2:3"), "2001:db8:1:2::/64");
    EXPECT_EQ(key("2001:db8:1:3::1"), "2001:db8:1:3::/64");
}

TEST(UpgradeServerLoad, ConnectionsBeyondACapAreClosedAtOnceAndCountedOnceASecond) {
    TUpgradeServer server(
        {.firmware = TestImage(100), .args = {"--max-sessions", "3", "--max-per-peer", "2"}});
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

    // Another address has places of its own, up to the cap of all sessions.
    RawClient d(server.Address(), 5001, UniqueLoopbackAddress());
    EXPECT_EQ(d.Exchange("OriginalID"), "OK");
    {
        RawClient e(server.Address(), 5001, UniqueLoopbackAddress());
        EXPECT_TRUE(e.WaitForClose());
        EXPECT_EQ(e.Leftover(), "");
        EXPECT_EQ(RefusalCount(server.LogLine(" refused "), "max-sessions"), 1u);
    }
    // A place that frees up is taken again.
    a.Close();
    server.LogLine("end=closed@announce:2");
    RawClient f(server.Address());
    EXPECT_EQ(f.Exchange("OriginalID"), "OK");
    EXPECT_EQ(b.Exchange("B"), "OK");
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
