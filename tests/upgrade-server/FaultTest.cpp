// Scripted faults change exactly the documented bytes of the dialogue.
#include "RawClient.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>

TEST(UpgradeServerFaults, ReplyReplacesOneAnnouncementAnswer) {
    TUpgradeServer server({.firmware = TestImage(100), .faults = {"reply:5:", "reply:27:PASS:OK"}});
    RawClient client(server.Address());
    auto replies = Announce(client, DefaultRequest());
    ASSERT_EQ(replies.size(), 5u);
    EXPECT_EQ(replies[4], ""); // an empty line
    // The client may carry on regardless; the last reply is the scripted one.
    for (const auto& line : {"QX40",     "UPType", "3",       "HVer", "2",      "SVer", "1.20",
                             "UseCount", "17",     "RegInfo", "0",    "PCInfo", "",     "CID1",
                             "1",        "CID2",   "2",       "CID3", "3",      "CID4", "4"})
        ASSERT_EQ(client.Exchange(line), "OK");
    EXPECT_EQ(client.Exchange("IDOK"), "PASS:OK");
    EXPECT_EQ(client.ReadLine(), "100");
}

TEST(UpgradeServerFaults, RepReplyAtStepTwo) {
    TUpgradeServer server({.firmware = TestImage(100), .faults = {"reply:2:Rep"}});
    RawClient client(server.Address());
    EXPECT_EQ(Announce(client, DefaultRequest()), (std::vector<std::string>{"OK", "Rep"}));
}

TEST(UpgradeServerFaults, StatusLineThenClose) {
    for (const std::string status : {"-255", "abc", ""}) {
        TUpgradeServer server({.firmware = TestImage(100), .faults = {"status:" + status}});
        RawClient client(server.Address());
        Announce(client, DefaultRequest());
        EXPECT_TRUE(client.WaitForClose());
        EXPECT_EQ(client.Leftover(), status + "\r\n");
    }
}

TEST(UpgradeServerFaults, LengthAckValueAndCheck) {
    TUpgradeServer server(
        {.firmware = TestImage(100),
         .faults = {"length-ack:NO", "value:12:7", "value:1:", "check-no-space"}});
    RawClient client(server.Address());
    Announce(client, DefaultRequest());
    EXPECT_EQ(client.ReadLine(), "100");
    EXPECT_EQ(client.Exchange("100"), "NO");
    std::vector<std::string> values;
    std::string check;
    for (int i = 0; i < 13; ++i) {
        values.push_back(client.ReadLine().value_or("<none>"));
        check += values.back() + " ";
    }
    EXPECT_EQ(values[0], "");
    EXPECT_EQ(values[1], "2");
    EXPECT_EQ(values[11], "7");
    check.pop_back();
    EXPECT_EQ(client.ReadLine(), check);
}

TEST(UpgradeServerFaults, CheckLineReplaced) {
    TUpgradeServer server({.firmware = TestImage(100), .faults = {"check:x y z"}});
    RawClient client(server.Address());
    Announce(client, DefaultRequest());
    EXPECT_EQ(ReceiveUpToCrc(client).check, "x y z");
}

TEST(UpgradeServerFaults, CrcTextVariants) {
    const std::string lettered = TestImage(300, 3);
    std::string right = CrcText(lettered);
    ASSERT_NE(right.find_first_of("ABCDEF"), std::string::npos);
    std::string lower = right;
    for (auto& c : lower)
        c = static_cast<char>(std::tolower(c));
    char inverted[8];
    std::snprintf(inverted, sizeof inverted, "%04X", 0xFFFF ^ std::stoi(right, nullptr, 16));
    for (const auto& [fault, expected] : std::vector<std::pair<std::string, std::string>>{
             {"crc:lower", lower}, {"crc:empty", ""}, {"crc:wrong", inverted}}) {
        TUpgradeServer server({.firmware = lettered, .faults = {fault}});
        RawClient client(server.Address());
        Announce(client, DefaultRequest());
        EXPECT_EQ(ReceiveUpToCrc(client).crc, expected) << fault;
    }
}

TEST(UpgradeServerFaults, ChunkAckAndCorruptData) {
    const std::string image = TestImage(10000);
    TUpgradeServer server({.firmware = image, .faults = {"chunk-ack:NOK", "corrupt-data"}});
    RawClient client(server.Address());
    Announce(client, DefaultRequest());
    auto r = ReceiveUpToCrc(client);
    EXPECT_EQ(r.crc, CrcText(image)); // the CRC of the real data
    client.SendLine(r.crc);
    auto first = client.ReadBytes(8192).value_or("");
    EXPECT_EQ(client.Exchange("OK"), "NOK");
    client.SendLine("OK");
    auto second = client.ReadBytes(10000 - 8192).value_or("");
    std::string expected = image;
    expected[5000] = static_cast<char>(expected[5000] ^ 0xFF);
    EXPECT_TRUE(first + second == expected);
}

TEST(UpgradeServerFaults, LengthShorterOrLongerThanTheFile) {
    const std::string image = TestImage(10000);
    {
        TUpgradeServer server({.firmware = image, .faults = {"length:8193"}});
        RawClient client(server.Address());
        Announce(client, DefaultRequest());
        Download d = Receive(client);
        EXPECT_EQ(d.length, "8193");
        EXPECT_EQ(d.crc, CrcText(image.substr(0, 8193)));
        EXPECT_TRUE(d.data == image.substr(0, 8193));
        EXPECT_EQ(d.handshakes, 1);
        EXPECT_TRUE(d.closedAfterAllOk);
    }
    {
        TUpgradeServer server({.firmware = "abc", .faults = {"length:5"}});
        RawClient client(server.Address());
        Announce(client, DefaultRequest());
        Download d = Receive(client);
        EXPECT_EQ(d.length, "5");
        EXPECT_EQ(d.crc, "4957"); // the file's own CRC
        EXPECT_EQ(d.data, std::string("abc\0\0", 5));
    }
    {
        // A length the server does not have, announced only.
        TUpgradeServer server({.firmware = "abc", .faults = {"length:70000000"}});
        RawClient client(server.Address());
        Announce(client, DefaultRequest());
        EXPECT_EQ(client.ReadLine(), "70000000");
    }
}

TEST(UpgradeServerFaults, KindSevenSendsTheTool) {
    TUpgradeServer server(
        {.firmware = "firmware", .tool = "new tool", .toolVersion = "1.4", .faults = {"kind:7"}});
    RawClient client(server.Address());
    Announce(client, DefaultRequest()); // SWVer 1.4 is current: only the fault sends the tool
    Download d = Receive(client);
    ASSERT_EQ(d.values.size(), 13u);
    EXPECT_EQ(d.values[11], "7");
    EXPECT_EQ(d.data, "new tool");
}

TEST(UpgradeServerFaults, CloseAtSteps) {
    {
        TUpgradeServer server({.firmware = TestImage(100), .faults = {"close-at:announce:3"}});
        RawClient client(server.Address());
        EXPECT_EQ(client.Exchange("OriginalID"), "OK");
        EXPECT_EQ(client.Exchange("X"), "OK");
        client.SendLine("SWVer");
        EXPECT_TRUE(EndedQuietly(client, server, "end=fault-close@announce:3", "id=X"));
    }
    {
        TUpgradeServer server({.firmware = TestImage(100), .faults = {"close-at:check"}});
        RawClient client(server.Address());
        Announce(client, DefaultRequest());
        EXPECT_EQ(client.ReadLine(), "100");
        EXPECT_EQ(client.Exchange("100"), "OK");
        EXPECT_TRUE(client.WaitForClose());
        EXPECT_EQ(std::count(client.Leftover().begin(), client.Leftover().end(), '\n'), 13);
    }
    {
        const std::string image = TestImage(10000);
        TUpgradeServer server({.firmware = image, .faults = {"close-at:byte:8200"}});
        RawClient client(server.Address());
        Announce(client, DefaultRequest());
        Download d = Receive(client);
        EXPECT_EQ(d.handshakes, 1);
        EXPECT_TRUE(d.data == image.substr(0, 8192));
        EXPECT_EQ(client.Leftover(), image.substr(8192, 8)); // exactly 8200 bytes in all
    }
}

TEST(UpgradeServerFaults, StallKeepsTheConnectionOpenPastTheStepLimit) {
    TUpgradeServer server({.firmware = TestImage(100),
                           .faults = {"stall-at:length"},
                           .args = {"--step-timeout-ms", "500"}});
    RawClient client(server.Address());
    ASSERT_EQ(Announce(client, DefaultRequest()).back(), "PASSOK");
    EXPECT_TRUE(client.StaysQuiet(2000ms)); // four step limits
    client.SendLine("anything");
    EXPECT_TRUE(client.StaysQuiet(100ms));
    client.Close();
    EXPECT_NE(server.LogLine("id=").find("end=fault-stall@length"), std::string::npos);
}

TEST(UpgradeServerFaults, MalformedFaultIsRejectedAtStartUp) {
    TempDir dir;
    WriteFileBytes(dir / "fw.bin", "x");
    WriteFileBytes(dir / "manifest", "firmware QX40 1.21 fw.bin\n");
    for (const std::string fault :
         {"reply:0:x", "reply:28:x", "value:14:x", "close-at:chunk:0", "stall-at:nowhere",
          "crc:upper", "length:0", "kind:5", "bogus"}) {
        TRun run = RunUpgradeServer(dir.Path(), {"--fault", fault});
        EXPECT_EQ(run.status, 2) << fault;
        EXPECT_NE(run.err.find("bad fault \"" + fault + "\""), std::string::npos) << fault;
        EXPECT_EQ(run.out, "") << fault; // never announced itself
    }
}
