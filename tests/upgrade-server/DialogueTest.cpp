// The upgrade server's answers to well-behaved and misbehaving clients: catalogue decisions, the
// echoed values and check line, the chunked transfer, and the robustness rules.
#include "RawClient.h"

#include <gtest/gtest.h>

namespace {
const std::vector<std::string> kEchoedKeys = {
    "UserName", "HVer", "SVer", "UseCount", "RegInfo", "PCInfo", "OriginalID",
    "CID1",     "CID2", "CID3", "CID4",     "UPType",  "SWVer"};

std::string ValueOf(const Request& request, const std::string& key) {
    for (const auto& [k, v] : request)
        if (k == key)
            return v;
    return "";
}

std::string CheckLine(const std::vector<std::string>& values) {
    std::string check;
    for (const auto& v : values)
        check += v + " ";
    return check;
}

// Replies of a complete, accepted announcement.
std::vector<std::string> AllAccepted() {
    std::vector<std::string> replies(26, "OK");
    replies.push_back("PASSOK");
    return replies;
}
} // namespace

TEST(UpgradeServerDialogue, FirstLineNamesThePortsAndTheCatalogue) {
    TUpgradeServer server(
        {.firmware = TestImage(100), .args = {"--http-port", "8080", "--admin-port", "8081"}});
    EXPECT_EQ(server.FirstLine(), "listening " + server.Address() + ":5001 http 8080 admin " +
                                      server.Address() + ":8081 catalogue entries=1 bytes=100");
    TUpgradeServer off({.firmware = "x", .args = {"--port", "5002"}});
    EXPECT_EQ(off.FirstLine(), "listening " + off.Address() +
                                   ":5002 http off admin off catalogue entries=1 bytes=1");
}

TEST(UpgradeServerDialogue, FirmwareSessionDeliversImageValuesAndCrc) {
    const std::string image = TestImage(20000);
    TUpgradeServer server({.firmware = image});
    RawClient client(server.Address());
    Request request = DefaultRequest();
    ASSERT_EQ(Announce(client, request), AllAccepted());
    Download d = Receive(client);

    EXPECT_EQ(d.length, "20000");
    ASSERT_EQ(d.values.size(), 13u);
    for (size_t i = 0; i < 13; ++i) {
        std::string expected = kEchoedKeys[i] == "UPType" ? "3" : ValueOf(request, kEchoedKeys[i]);
        EXPECT_EQ(d.values[i], expected) << kEchoedKeys[i];
    }
    EXPECT_EQ(d.check, CheckLine(d.values));
    EXPECT_EQ(d.crc, CrcText(image));
    EXPECT_TRUE(d.data == image);
    EXPECT_EQ(d.handshakes, 2); // 8192 + 8192 + 3616
    EXPECT_TRUE(d.closedAfterAllOk);
    client.Close();

    std::string log = server.LogLine("id=A1B2C3D4");
    EXPECT_NE(log.find(" type=QX40 hver=2 sver=1.20 swver=1.4 answer=firmware:1.21 end=allok "
                       "sent=20000 "),
              std::string::npos)
        << log;
}

TEST(UpgradeServerDialogue, CrcTextIsCrc16InUppercaseHex) {
    TUpgradeServer server({.firmware = "abc"});
    RawClient client(server.Address());
    ASSERT_EQ(Announce(client, DefaultRequest()), AllAccepted());
    Download d = Receive(client);
    EXPECT_EQ(d.crc, "4957");
    EXPECT_EQ(d.data, "abc");
    EXPECT_TRUE(d.closedAfterAllOk);
}

TEST(UpgradeServerDialogue, RefusedIdentityGetsRepAndIsClosed) {
    TUpgradeServer server({.firmware = TestImage(100), .manifest = {"refuse BAD00001"}});
    RawClient client(server.Address());
    Request request = DefaultRequest();
    SetValue(request, "OriginalID", "BAD00001");
    EXPECT_EQ(Announce(client, request), (std::vector<std::string>{"OK", "Rep"}));
    EXPECT_TRUE(EndedQuietly(client, server, "answer=rep end=rep", "id=BAD00001"));

    // Another identity is served.
    RawClient other(server.Address());
    EXPECT_EQ(Announce(other, DefaultRequest()), AllAccepted());
}

TEST(UpgradeServerDialogue, OlderToolGetsTheToolBeforeAnyFirmware) {
    const std::string tool = TestImage(9000, 7);
    TUpgradeServer server({.firmware = TestImage(100), .tool = tool});
    RawClient client(server.Address());
    ASSERT_EQ(Announce(client, DefaultRequest()), AllAccepted());
    Download d = Receive(client);
    EXPECT_EQ(d.length, "9000");
    ASSERT_EQ(d.values.size(), 13u);
    EXPECT_EQ(d.values[11], "7");
    EXPECT_EQ(d.crc, CrcText(tool));
    EXPECT_TRUE(d.data == tool);
    client.Close();
    EXPECT_NE(server.LogLine("id=").find("answer=tool:1.5 end=allok"), std::string::npos);
}

TEST(UpgradeServerDialogue, ToolVersionsCompareNumerically) {
    // 1.10 is newer than 1.9: no tool, the firmware comes; 1.4.0 equals 1.4.
    TUpgradeServer server({.firmware = TestImage(100), .tool = "tool", .toolVersion = "1.9"});
    for (const std::string swVer : {"1.10", "1.9.0"}) {
        RawClient client(server.Address());
        Request request = DefaultRequest();
        SetValue(request, "SWVer", swVer);
        ASSERT_EQ(Announce(client, request), AllAccepted());
        Download d = Receive(client);
        ASSERT_EQ(d.values.size(), 13u) << swVer;
        EXPECT_EQ(d.values[11], "3") << swVer;
        EXPECT_EQ(d.values[12], swVer);
    }
    RawClient client(server.Address());
    Request request = DefaultRequest();
    SetValue(request, "SWVer", "1.8.9");
    ASSERT_EQ(Announce(client, request), AllAccepted());
    Download d = Receive(client);
    ASSERT_EQ(d.values.size(), 13u);
    EXPECT_EQ(d.values[11], "7");
    EXPECT_EQ(d.data, "tool");
}

TEST(UpgradeServerDialogue, StatusAnswersEndTheSession) {
    TUpgradeServer server({.firmware = TestImage(100)});
    struct Case {
        std::string key, value, status;
    } cases[] = {
        {"UserName", "QX99", "0"}, // unknown device type
        {"SVer", "1.21", "-7"},    // already current
        {"SVer", "1.30", "-7"},    // newer than the catalogue: never a downgrade
    };
    for (const auto& c : cases) {
        RawClient client(server.Address());
        Request request = DefaultRequest();
        SetValue(request, c.key, c.value);
        ASSERT_EQ(Announce(client, request), AllAccepted());
        EXPECT_EQ(client.ReadLine().value_or("<none>"), c.status) << c.value;
        EXPECT_TRUE(
            EndedQuietly(client, server, "answer=status:" + c.status + " end=status", "answer="))
            << c.value;
    }
}

TEST(UpgradeServerDialogue, ChunkBoundaries) {
    // 8192 bytes: one chunk and no handshake; 8193: one handshake and a chunk of one byte.
    for (size_t size : {size_t(8192), size_t(8193), size_t(16384)}) {
        const std::string image = TestImage(size, static_cast<unsigned>(size));
        TUpgradeServer server({.firmware = image});
        RawClient client(server.Address());
        ASSERT_EQ(Announce(client, DefaultRequest()), AllAccepted());
        Download d = Receive(client);
        EXPECT_TRUE(d.data == image) << size;
        EXPECT_EQ(d.handshakes, static_cast<int>((size - 1) / 8192)) << size;
        EXPECT_TRUE(d.closedAfterAllOk) << size;
    }
}

TEST(UpgradeServerDialogue, DataOnlyAfterCrcEchoAndEachHandshake) {
    const std::string image = TestImage(8200);
    TUpgradeServer server({.firmware = image});
    RawClient client(server.Address());
    ASSERT_EQ(Announce(client, DefaultRequest()), AllAccepted());
    ASSERT_EQ(client.ReadLine(), "8200");
    ASSERT_EQ(client.Exchange("8200"), "OK");
    for (int i = 0; i < 14; ++i)
        ASSERT_TRUE(client.ReadLine());
    std::string crc = client.Exchange("OK");
    ASSERT_EQ(crc, CrcText(image));
    EXPECT_TRUE(client.StaysQuiet(200ms)); // no data before the CRC echo
    client.SendLine(crc);
    ASSERT_EQ(client.ReadBytes(8192), image.substr(0, 8192));
    EXPECT_TRUE(client.StaysQuiet(200ms)); // waits for the client's "OK"
    ASSERT_EQ(client.Exchange("OK"), "OK");
    EXPECT_TRUE(client.StaysQuiet(200ms)); // waits for the second "OK"
    client.SendLine("OK");
    ASSERT_EQ(client.ReadBytes(8), image.substr(8192));
    client.SendLine("AllOK");
    EXPECT_TRUE(client.WaitForClose());
    EXPECT_EQ(client.Leftover(), "");
}

TEST(UpgradeServerDialogue, UnexpectedClientLinesEndTheSession) {
    TUpgradeServer server({.firmware = TestImage(9000)});
    {
        RawClient client(server.Address()); // a wrong key
        EXPECT_EQ(client.Exchange("OriginalID"), "OK");
        EXPECT_EQ(client.Exchange("X"), "OK");
        client.SendLine("UserName");
        EXPECT_TRUE(EndedQuietly(client, server, "end=unexpected@announce:3", "id=X "));
    }
    {
        RawClient client(server.Address()); // a wrong length echo
        ASSERT_EQ(Announce(client, DefaultRequest()), AllAccepted());
        ASSERT_EQ(client.ReadLine(), "9000");
        client.SendLine("9001");
        EXPECT_TRUE(client.WaitForClose());
        client.Close();
        EXPECT_NE(server.LogLine("id=").find("end=unexpected@length-ack"), std::string::npos);
    }
    {
        RawClient client(server.Address()); // a wrong CRC echo
        ASSERT_EQ(Announce(client, DefaultRequest()), AllAccepted());
        ASSERT_EQ(client.ReadLine(), "9000");
        ASSERT_EQ(client.Exchange("9000"), "OK");
        for (int i = 0; i < 14; ++i)
            ASSERT_TRUE(client.ReadLine());
        client.Exchange("OK");
        client.SendLine("0000");
        EXPECT_TRUE(EndedQuietly(client, server, "end=unexpected@chunk:1"));
    }
}

TEST(UpgradeServerDialogue, GarbageAndHugeLinesAreDropped) {
    TUpgradeServer server({.firmware = TestImage(100)});
    // Ended before the first answer, as a flood of them would be: counted in a line a second.
    {
        RawClient client(server.Address());
        client.SendRaw(std::string("\x00\xff\r\nGET / HTTP/1.1\r\n\r\n", 22));
        EXPECT_TRUE(EndedQuietly(client, server, " unanswered 1 in ", " unanswered "));
    }
    {
        RawClient client(server.Address());
        client.SendRaw(std::string(std::size_t{70} * 1024, 'A')); // no line end within 64 KiB
        EXPECT_TRUE(client.WaitForClose());
        client.Close();
        EXPECT_NE(server.LogLine(" unanswered ").find(" unanswered 1 in "), std::string::npos);
    }
    {
        RawClient client(server.Address());
        EXPECT_EQ(client.Exchange("OriginalID"), "OK");
        client.SendRaw("half a line");
        client.Close();
        EXPECT_NE(server.LogLine("id=").find("end=closed@announce:2"), std::string::npos);
    }
    {
        // A value of exactly 64 KiB is still a line, but all values together get no more.
        RawClient client(server.Address());
        EXPECT_EQ(client.Exchange("OriginalID"), "OK");
        EXPECT_EQ(client.Exchange(std::string(std::size_t{64} * 1024, 'B')), "OK");
        EXPECT_EQ(client.Exchange("SWVer"), "OK");
        client.SendLine("1");
        EXPECT_TRUE(EndedQuietly(client, server, "end=too-long@announce:4", "id=BBBB"));
    }
    // The server still serves.
    RawClient client(server.Address());
    EXPECT_EQ(Announce(client, DefaultRequest()), AllAccepted());
}

TEST(UpgradeServerDialogue, LogEscapesClientValues) {
    TUpgradeServer server({.firmware = TestImage(100)});
    RawClient client(server.Address());
    EXPECT_EQ(client.Exchange("OriginalID"), "OK");
    EXPECT_EQ(client.Exchange("a b\\c\r"), "OK");
    client.Close();
    std::string log = server.LogLine("id=");
    EXPECT_NE(log.find("id=a\\x20b\\x5Cc\\x0D type=- "), std::string::npos) << log;
}

TEST(UpgradeServerPage, ServesTheInformationPage) {
    const std::string page = "<html><body>QX40 手持终端</body></html>\n";
    TUpgradeServer server({.firmware = "x",
                           .manifest = {"page /url/QX40Info.htm info.htm"},
                           .files = {{"info.htm", page}},
                           .args = {"--http-port", "8080"}});
    auto get = [&](const std::string& request) { return PageExchange(server.Address(), request); };
    std::string ok = get("GET /url/QX40Info.htm HTTP/1.1\r\nHost: x\r\n\r\n");
    EXPECT_EQ(ok, "HTTP/1.1 200 OK\r\n"
                  "Content-Type: text/html; charset=utf-8\r\n"
                  "Content-Length: " +
                      std::to_string(page.size()) +
                      "\r\n"
                      "Connection: close\r\n\r\n" +
                      page);
    EXPECT_EQ(get("GET /url/QX40Info.htm?lang=zh HTTP/1.0\r\n\r\n").substr(0, 15),
              "HTTP/1.1 200 OK");
    std::string head = get("HEAD /url/QX40Info.htm HTTP/1.1\r\n\r\n");
    EXPECT_EQ(head.substr(0, 15), "HTTP/1.1 200 OK");
    EXPECT_EQ(head.substr(head.size() - 4), "\r\n\r\n"); // no body

    std::string missing = get("GET /url/Other.htm HTTP/1.1\r\n\r\n");
    EXPECT_EQ(missing.substr(0, missing.find("\r\n")), "HTTP/1.1 404 Not Found");
    EXPECT_NE(missing.find("Connection: close\r\n"), std::string::npos);
    std::string post = get("POST /url/QX40Info.htm HTTP/1.1\r\nContent-Length: 0\r\n\r\n");
    EXPECT_EQ(post.substr(0, post.find("\r\n")), "HTTP/1.1 405 Method Not Allowed");
    std::string bad = get("nonsense\r\n\r\n");
    EXPECT_EQ(bad.substr(0, bad.find("\r\n")), "HTTP/1.1 400 Bad Request");
    std::string huge = get("GET /" + std::string(20000, 'a'));
    EXPECT_EQ(huge.substr(0, huge.find("\r\n")), "HTTP/1.1 400 Bad Request");
    EXPECT_NE(server.LogLine("http GET /url/QX40Info.htm").find(" 200"), std::string::npos);
}

TEST(UpgradeServerPage, BareLineFeedIsAnsweredAtOnce) {
    // At once: long before the step limit (30 s) would end the wait for a CR LF.
    TUpgradeServer server({.firmware = "x", .args = {"--http-port", "8080"}});
    for (const char* request :
         {"GET / HTTP/1.0\n\n", "GET /url/QX40Info.htm HTTP/1.1\nHost: x\r\n"}) {
        RawClient client(server.Address(), 8080);
        client.SendRaw(request);
        EXPECT_TRUE(client.WaitForClose(20s)) << request;
        EXPECT_EQ(client.Leftover().substr(0, 26), "HTTP/1.1 400 Bad Request\r\n") << request;
        // Errors are counted in a line a second, not logged one by one.
        EXPECT_NE(server.LogLine("http ").find(" http 400 1 in "), std::string::npos);
    }
}
