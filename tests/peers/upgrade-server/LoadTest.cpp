// The server under concurrent use: several sessions at once, the session cap, the step time limit
// and shutdown while sessions are open.
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

TEST(UpgradeServerLoad, ConnectionsBeyondTheCapAreClosedAtOnce) {
    TUpgradeServer server({.firmware = TestImage(100), .args = {"--max-sessions", "2"}});
    RawClient a(server.Address());
    RawClient b(server.Address());
    ASSERT_EQ(a.Exchange("OriginalID"), "OK"); // both are live sessions now
    ASSERT_EQ(b.Exchange("OriginalID"), "OK");
    {
        RawClient c(server.Address());
        EXPECT_TRUE(c.WaitForClose());
        EXPECT_EQ(c.Leftover(), "");
        EXPECT_NE(server.LogLine("refused").find(" refused max-sessions"), std::string::npos);
    }
    a.Close();
    server.LogLine("end=closed@announce:2");
    RawClient d(server.Address());
    EXPECT_EQ(d.Exchange("OriginalID"), "OK");
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
