// Whole sessions on the worker thread against the reference upgrade server: downloads of every
// size class, every result code with its status text, and the limits that keep a broken or
// hostile server from stalling or flooding the tool.
#include "CRC16.h"
#include "RawPeer.h"
#include "TCP.h"
#include "UpgradeServerFixture.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <regex>
#include <stdexcept>
#include <thread>

namespace {

const std::string kGeneral = "升级发生错误，错误代号：";

// The status text ends in four random hex digits and the code.
::testing::AssertionResult EndsWithCode(const std::string& text, const std::string& message,
                                        const std::string& codeHex) {
    std::regex form("^" + message + "[0-9A-F]{4}" + codeHex + "$");
    if (std::regex_match(text, form))
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "status \"" << text << "\" is not \"" << message << "XXXX" << codeHex << "\"";
}

std::string Hex2(int code) {
    char text[8];
    std::snprintf(text, sizeof text, "%02X", code);
    return text;
}

// The request's own values are still in the record.
void ExpectRequestValues(const TCliInfo& info) {
    TCliInfo request = TestRequest();
    EXPECT_EQ(info.UserName, request.UserName);
    EXPECT_EQ(info.SVer, request.SVer);
    EXPECT_EQ(info.OriginalID, request.OriginalID);
    EXPECT_EQ(info.UPType, RequestKind::Firmware);
}

class DownloadTest : public SessionTest, public ::testing::WithParamInterface<size_t> {};

TEST_P(DownloadTest, DataArrivesIntactInChunksWithProgress) {
    size_t size = GetParam();
    std::string image = TestImage(size);
    TUpgradeServer server({.firmware = image});
    TCliInfo info = RunExchange(link, TestRequest(), &window);

    EXPECT_EQ(info.ResultCode, kResultSuccess);
    ASSERT_TRUE(info.Data);
    EXPECT_EQ(info.Data->Size(), static_cast<int64_t>(size));
    EXPECT_TRUE(std::string(info.Data->Bytes().begin(), info.Data->Bytes().end()) == image);
    EXPECT_EQ(info.UserName, "QX40");
    EXPECT_EQ(info.UPType, RequestKind::Firmware);

    EXPECT_EQ(window.Statuses().front(), "升级开始：");
    EXPECT_EQ(window.LastStatus(), "请求的数据获取成功！");
    EXPECT_EQ(window.Max(), static_cast<int>(size));
    std::vector<int> expected = {0};
    for (size_t done = 0; done < size;) {
        done += std::min<size_t>(8192, size - done);
        expected.push_back(static_cast<int>(done));
    }
    EXPECT_EQ(window.Positions(), expected);
    EXPECT_EQ(window.Phases(), kTransferPhases);

    std::string log = server.NextSession();
    EXPECT_NE(log.find("end=allok"), std::string::npos) << log;
    EXPECT_NE(log.find("sent=" + std::to_string(size) + " "), std::string::npos) << log;
}

INSTANTIATE_TEST_SUITE_P(Sizes, DownloadTest,
                         ::testing::Values(size_t{1}, size_t{8192}, size_t{8193},
                                           size_t{1024} * 1024));

TEST_F(SessionTest, TheServersValuesReplaceTheRequestsAndKindSevenComesBack) {
    TUpgradeServer server(
        {.firmware = TestImage(3000), .faults = {"value:12:7", "value:1:QX4Z", "value:4:99"}});
    TCliInfo info = RunExchange(link, TestRequest());
    EXPECT_EQ(info.ResultCode, kResultSuccess);
    EXPECT_EQ(info.UPType, RequestKind::Tool);
    EXPECT_EQ(info.UserName, "QX4Z");
    EXPECT_EQ(info.UseCount, 99);
    EXPECT_EQ(info.SWVer, "1.4");
}

TEST_F(SessionTest, EveryAnnouncementStepHasItsResult) {
    const int results[27] = {14, 15, 42, 43, 1,  2,  31, 32, 3,  4,  5,  6,  7, 8,
                             10, 11, 12, 13, 16, 17, 18, 19, 20, 21, 22, 23, 24};
    for (int step = 1; step <= 27; ++step) {
        SCOPED_TRACE("announcement step " + std::to_string(step));
        // "PASSOK" is the expected reply to the last step, "OK" a wrong one there.
        TUpgradeServer server(
            {.firmware = TestImage(100),
             .faults = {"reply:" + std::to_string(step) + ":" + (step == 27 ? "OK" : "PASSOK")}});
        TCliInfo info = RunExchange(link, TestRequest());
        EXPECT_EQ(info.ResultCode, results[step - 1]);
        EXPECT_TRUE(EndsWithCode(window.LastStatus(), kGeneral, Hex2(results[step - 1])));
        // The cause names the server, what it answered and the step.
        const char* keys[] = {"OriginalID", "SWVer",    "UserName", "UPType", "HVer",
                              "SVer",       "UseCount", "RegInfo",  "PCInfo", "CID1",
                              "CID2",       "CID3",     "CID4"};
        std::string sent = step == 27      ? "\"IDOK\""
                           : step % 2 == 1 ? "\"" + std::string(keys[step / 2]) + "\""
                                           : "the value of " + std::string(keys[step / 2 - 1]);
        EXPECT_EQ(
            link.Cause(),
            "upgrade server " + server.Address() + " port 5001: the server answered " +
                (step == 27 ? "\"OK\" instead of \"PASSOK\"" : "\"PASSOK\" instead of \"OK\"") +
                " after " + sent + " (step " + std::to_string(step) +
                " of 27 of the announcement)");
        ExpectRequestValues(info);
        // Nothing further was sent: the server next saw the connection close.
        std::string next = step == 27 ? "length" : "announce:" + std::to_string(step + 1);
        std::string log = server.NextSession();
        EXPECT_NE(log.find("end=closed@" + next), std::string::npos) << log;
    }
}

TEST_F(SessionTest, AnIdentityRefusedWithRepGivesForty) {
    TUpgradeServer server({.firmware = TestImage(100), .manifest = {"refuse 1A2B3C4D"}});
    TCliInfo info = RunExchange(link, TestRequest());
    EXPECT_EQ(info.ResultCode, kResultRepeated);
    EXPECT_TRUE(EndsWithCode(window.LastStatus(), kGeneral, "28"));
    EXPECT_NE(server.NextSession().find("end=rep"), std::string::npos);
}

TEST_F(SessionTest, AConnectionClosedMidAnnouncementEndsAtThatStep) {
    TUpgradeServer server({.firmware = TestImage(100), .faults = {"close-at:announce:5"}});
    EXPECT_EQ(RunExchange(link, TestRequest()).ResultCode, 1);
}

struct StatusCase {
    std::string line;   // sent by the server instead of the length
    uint8_t resultCode; // what the window sees
    std::string text;   // status text, or its message part when codeHex is set
    std::string codeHex;
};

TEST_F(SessionTest, ServerStatusesEndTheSessionWithTheirTexts) {
    const StatusCase cases[] = {
        {"0", 255, "固件无需升级，错误代号：", "FF"},
        {"-1", 254, "无需重复更新！错误代号：", "FE"},
        {"-7", 248, "已经是最新软件，无需升级！", ""},
        {"abc", 245, kGeneral, "F5"},
        {"", 245, kGeneral, "F5"},
        // Statuses without a meaning of their own: a failure, never success or a wait.
        {"-221", 245, kGeneral, "F5"},
        {"-255", 245, kGeneral, "F5"},
        {"-100", 155, kGeneral, "9B"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("status line \"" + c.line + "\"");
        TUpgradeServer server({.firmware = TestImage(100), .faults = {"status:" + c.line}});
        TCliInfo info = RunExchange(link, TestRequest());
        EXPECT_EQ(info.ResultCode, c.resultCode);
        if (c.codeHex.empty())
            EXPECT_EQ(window.LastStatus(), c.text);
        else
            EXPECT_TRUE(EndsWithCode(window.LastStatus(), c.text, c.codeHex));
        ExpectRequestValues(info);
        EXPECT_EQ(info.Data->Size(), 0);
        EXPECT_NE(server.NextSession().find("end=status"), std::string::npos);
    }
}

TEST_F(SessionTest, TheCataloguesOwnStatusesArriveToo) {
    TUpgradeServer server({.firmware = TestImage(100)});
    TCliInfo unknown = TestRequest();
    unknown.UserName = "QX99";
    EXPECT_EQ(RunExchange(link, unknown).ResultCode, kResultNoUpgrade);
    TCliInfo current = TestRequest();
    current.SVer = "1.21";
    EXPECT_EQ(RunExchange(link, current).ResultCode, kResultLatest);
    EXPECT_EQ(window.LastStatus(), "已经是最新软件，无需升级！");
}

TEST_F(SessionTest, NoServerMeansConnectionFailure) {
    const std::string address = UniqueLoopbackAddress();
    setenv("KESTREL_UPDATE_HOST", address.c_str(), 1);
    TCliInfo info = RunExchange(link, TestRequest());
    EXPECT_EQ(info.ResultCode, kResultConnectFailed);
    EXPECT_TRUE(EndsWithCode(window.LastStatus(), "连接服务器失败，错误代号：", "09"));
    EXPECT_EQ(link.Cause(),
              "upgrade server " + address +
                  " port 5001: connection refused: nothing listens there (is the server running?)");

    setenv("KESTREL_UPDATE_HOST", "no-such-host.invalid", 1);
    info = RunExchange(link, TestRequest(), &window);
    EXPECT_EQ(info.ResultCode, kResultConnectFailed);
    EXPECT_TRUE(EndsWithCode(window.LastStatus(), "连接服务器失败，错误代号：", "09"));
    const std::string cause = link.Cause();
    EXPECT_EQ(cause.rfind("upgrade server no-such-host.invalid port 5001: the name does not "
                          "resolve (",
                          0),
              0u)
        << cause;
    EXPECT_EQ(window.Phases(),
              (std::vector<TExchangePhase>{TExchangePhase::Running, TExchangePhase::Ended}));
}

TEST_F(SessionTest, ALengthThatIsRefusedGivesTwentyEight) {
    {
        TUpgradeServer server({.firmware = TestImage(100), .faults = {"length-ack:NO"}});
        EXPECT_EQ(RunExchange(link, TestRequest()).ResultCode, kResultLengthRefused);
        EXPECT_TRUE(EndsWithCode(window.LastStatus(), kGeneral, "1C"));
    }
    {
        // Beyond 64 MiB: ended before the echo, and nothing reserved for it.
        TUpgradeServer server({.firmware = TestImage(100), .faults = {"length:67108865"}});
        TCliInfo info = RunExchange(link, TestRequest());
        EXPECT_EQ(info.ResultCode, kResultLengthRefused);
        EXPECT_EQ(info.Data->Size(), 0);
        std::string log = server.NextSession();
        EXPECT_NE(log.find("end=closed@length-ack"), std::string::npos) << log;
    }
    {
        // More digits than any integer holds: too large as well.
        TUpgradeServer server(
            {.firmware = TestImage(100), .faults = {"status:99999999999999999999999"}});
        EXPECT_EQ(RunExchange(link, TestRequest()).ResultCode, kResultLengthRefused);
    }
}

TEST_F(SessionTest, ACheckLineThatDiffersGivesFortyOneAndKeepsTheRequest) {
    for (const char* fault : {"check-no-space", "check:X", "close-at:check"}) {
        SCOPED_TRACE(fault);
        TUpgradeServer server(
            {.firmware = TestImage(100), .faults = {fault, "value:12:7", "value:1:QX4Z"}});
        TCliInfo info = RunExchange(link, TestRequest());
        EXPECT_EQ(info.ResultCode, kResultCheckLine);
        EXPECT_TRUE(EndsWithCode(window.LastStatus(), kGeneral, "29"));
        ExpectRequestValues(info);
    }
}

TEST_F(SessionTest, CrcFaultsGiveFortyFourAndFortyFive) {
    std::string image = TestImage(20000, 2);
    // Lowercase differs from the right text only when it has letters (this seed's CRC has).
    ASSERT_NE(CrcText(image).find_first_of("ABCDEF"), std::string::npos);
    {
        TUpgradeServer server({.firmware = image, .faults = {"crc:empty", "value:12:7"}});
        TCliInfo info = RunExchange(link, TestRequest());
        EXPECT_EQ(info.ResultCode, kResultCrcMissing);
        EXPECT_TRUE(EndsWithCode(window.LastStatus(), kGeneral, "2C"));
        EXPECT_EQ(info.UPType, RequestKind::Tool); // the values were stored before the CRC line
    }
    for (const char* fault : {"crc:lower", "crc:wrong", "corrupt-data", "close-at:byte:18000"}) {
        SCOPED_TRACE(fault);
        TUpgradeServer server({.firmware = image, .faults = {fault}});
        TCliInfo info = RunExchange(link, TestRequest());
        EXPECT_EQ(info.ResultCode, kResultCrcMismatch);
        EXPECT_TRUE(EndsWithCode(window.LastStatus(), kGeneral, "2D"));
        EXPECT_EQ(info.Data->Size(), 20000);
        std::string log = server.NextSession();
        EXPECT_EQ(log.find("end=allok"), std::string::npos) << "AllOK after a bad CRC: " << log;
    }
}

TEST_F(SessionTest, AChunkHandshakeThatDiffersGivesTwentyNine) {
    std::string image = TestImage(8193);
    TUpgradeServer server({.firmware = image, .faults = {"chunk-ack:NO"}});
    TCliInfo info = RunExchange(link, TestRequest());
    EXPECT_EQ(info.ResultCode, kResultChunkRefused);
    EXPECT_TRUE(EndsWithCode(window.LastStatus(), kGeneral, "1D"));
    EXPECT_EQ(window.Positions(), (std::vector<int>{0, 8192}));
    // The stream has the announced size all the same, the first chunk in place.
    ASSERT_EQ(info.Data->Size(), 8193);
    EXPECT_EQ(std::memcmp(image.data(), info.Data->Bytes().data(), 8192), 0);
}

TEST_F(SessionTest, AStreamHoldingMoreBeforehandEndsAtTheAnnouncedLength) {
    std::string image = TestImage(3 * 8192 + 5);
    TUpgradeServer server({.firmware = image});
    TCliInfo request = TestRequest();
    request.Data = std::make_shared<TMemoryStream>();
    request.Data->SetSize(50000);
    request.Data->Seek(777);
    TCliInfo info = RunExchange(link, request);
    EXPECT_EQ(info.ResultCode, kResultSuccess);
    EXPECT_EQ(info.Data->Size(), static_cast<int64_t>(image.size()));
    EXPECT_TRUE(std::string(info.Data->Bytes().begin(), info.Data->Bytes().end()) == image);
}

TEST_F(SessionTest, AReplyLineBeyondSixtyFourKiBIsAWrongReply) {
    TUpgradeServer server({.firmware = TestImage(100),
                           .faults = {"reply:1:" + std::string(kTcpMaxLineLength + 1, 'O')}});
    TCliInfo info = RunExchange(link, TestRequest());
    EXPECT_EQ(info.ResultCode, 14);
}

struct StallCase {
    std::string step;
    size_t imageSize;
    uint8_t resultCode;
    std::string cause; // after "upgrade server ADDRESS port 5001: the server did not answer
                       // within 300 ms "
};

TEST_F(SessionTest, AServerThatStopsAnsweringLosesTheConnectionAfterTheTimeLimit) {
    const auto limit = std::chrono::milliseconds(300);
    const StallCase cases[] = {
        // the step's own result
        {"announce:5", 100, 1, "after \"UserName\" (step 5 of 27 of the announcement)"},
        {"length", 100, 245, "after the announcement"}, // no length line: not a number
        {"values", 100, kResultCheckLine, "while it sent its 13 values"}, // no check line
        {"crc", 100, kResultCrcMissing, "after its values"},
        // silent mid-transfer, then no handshake; silent in the last chunk
        {"chunk:2", size_t{3} * 8192, kResultChunkRefused,
         "during chunk 2 of 3 of the data (at byte 8192 of 24576)"},
        {"chunk:2", 8193, kResultCrcMismatch,
         "during chunk 2 of 2 of the data (at byte 8192 of 8193)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("stall at " + c.step);
        // The missing bytes stay zero: a last chunk that is silent must not end in zeros.
        ASSERT_NE(TestImage(c.imageSize).back(), '\0');
        TUpgradeServer server(
            {.firmware = TestImage(c.imageSize), .faults = {"stall-at:" + c.step}});
        tcp.SetRecvTimeLimit(limit);
        auto start = std::chrono::steady_clock::now();
        TCliInfo info = RunExchange(link, TestRequest());
        EXPECT_GE(std::chrono::steady_clock::now() - start, limit);
        EXPECT_EQ(info.ResultCode, c.resultCode);
        EXPECT_EQ(link.Cause(), "upgrade server " + server.Address() +
                                    " port 5001: the server did not answer within "
                                    "300 ms " +
                                    c.cause);
        std::string log = server.NextSession();
        EXPECT_NE(log.find("fault-stall@" + c.step), std::string::npos) << log;
    }
}

// Every address of the server's name is tried in the resolver's order until one answers; when
// none does, the cause names each address with what went wrong there.
TEST_F(SessionTest, EveryAddressOfTheNameIsTriedInTurn) {
    TUpgradeServer server({.firmware = TestImage(100)});
    const std::string silentA = UniqueLoopbackAddress(), silentB = UniqueLoopbackAddress();
    const std::string refused =
        "connection refused: nothing listens there (is the server running?)";
    const struct {
        std::vector<std::string> addresses;
        bool served;
        std::string cause;
    } cases[] = {
        {{silentA, server.Address()}, true, ""},
        {{silentA, silentB},
         false,
         "upgrade server upgrade.test port 5001: no address of the name answered (tried " +
             silentA + ": " + refused + "; " + silentB + ": " + refused + ")"},
    };
    setenv("KESTREL_UPDATE_HOST", "upgrade.test", 1);
    for (const auto& c : cases) {
        std::vector<std::string> asked;
        link.SetResolver([&](const std::string& name, std::string*) {
            asked.push_back(name);
            return c.addresses;
        });
        TCliInfo info = RunExchange(link, TestRequest());
        EXPECT_EQ(asked, std::vector<std::string>{"upgrade.test"});
        EXPECT_EQ(info.ResultCode == kResultSuccess, c.served) << int(info.ResultCode);
        EXPECT_EQ(link.Cause(), c.cause);
    }
}

// A server that answers every step, or sends every chunk, just inside the step's limit cannot
// hold the tool, whatever length it announced: the session may take a base time, and beyond it
// only while its data keeps up with a minimum rate. The limits are those of the product scaled
// down a hundredfold (120 s, 1024 bytes a second; 8 KiB every 29 s). The session ends as on a
// lost connection, its cause naming the bound; a steady transfer above the rate goes on.
TEST_F(SessionTest, ASessionIsBoundByTheDataThatArrivesNotByWhatWasAnnounced) {
    using namespace std::chrono_literals;
    using Clock = std::chrono::steady_clock;
    const std::string chunk(8192, 'x');
    struct {
        std::chrono::milliseconds stepGap;  // before each announcement reply
        int64_t length;                     // announced
        int chunks;                         // sent at most, 8 KiB each
        std::chrono::milliseconds chunkGap; // chunk k goes k gaps after the data's start
        std::string cause;                  // empty: the session succeeds
    } const cases[] = {
        {100ms, 8192, 1, 0ms,
         "did not come to its data within 1200 ms of the connection's start after"},
        {0ms, kMaxDataLength, 20, 290ms,
         "did not complete the session within 1200 ms (after 1200 ms its data must keep up with "
         "102400 bytes a second; "},
        {0ms, int64_t{40} * 8192, 40, 60ms, ""},
    };
    for (const auto& c : cases) {
        tcp.SetRecvTimeLimit(5s); // each step alone would be in time
        link.SetSessionLimits(1200ms, 102400);
        RawPeer peer("5001");
        setenv("KESTREL_UPDATE_HOST", peer.Address().c_str(), 1);
        std::mutex mutex;
        std::condition_variable ended;
        bool done = false;
        auto pauseUntil = [&](Clock::time_point at) {
            std::unique_lock lock(mutex);
            return !ended.wait_until(lock, at, [&] { return done; });
        };
        std::thread server([&] {
            if (!peer.Accept())
                return;
            for (std::string line; (line = peer.ReadLine()) != "IDOK";)
                if (!pauseUntil(Clock::now() + c.stepGap) || !peer.TrySend("OK\r\n"))
                    return;
            std::string values, check;
            for (int i = 0; i < 13; ++i) {
                values += "v\r\n";
                check += "v ";
            }
            uint16_t crc = kCrc16Start;
            for (int k = 0; k < c.chunks; ++k)
                crc =
                    Crc16Update(crc, reinterpret_cast<const uint8_t*>(chunk.data()), chunk.size());
            char crcText[8];
            std::snprintf(crcText, sizeof crcText, "%04X", crc);
            const std::string length = std::to_string(c.length);
            if (!peer.TrySend("PASSOK\r\n" + length + "\r\n") || peer.ReadLine() != length ||
                !peer.TrySend("OK\r\n" + values + check + "\r\n") || peer.ReadLine() != "OK" ||
                !peer.TrySend(std::string(crcText) + "\r\n") || peer.ReadLine() != crcText)
                return;
            const auto dataStart = Clock::now();
            for (int k = 1; k <= c.chunks; ++k) {
                if (!pauseUntil(dataStart + k * c.chunkGap) || !peer.TrySend(chunk))
                    return;
                // The handshake between chunks: the client's OK, the server's, the client's.
                if (k * int64_t{8192} < c.length &&
                    (peer.ReadLine() != "OK" || !peer.TrySend("OK\r\n") || peer.ReadLine() != "OK"))
                    return;
            }
        });
        TCliInfo info = RunExchange(link, TestRequest());
        {
            std::lock_guard lock(mutex);
            done = true;
        }
        ended.notify_all();
        server.join();
        if (c.cause.empty()) {
            EXPECT_EQ(info.ResultCode, kResultSuccess) << link.Cause();
        } else {
            EXPECT_NE(info.ResultCode, 0);
            EXPECT_NE(link.Cause().find(c.cause), std::string::npos) << link.Cause();
        }
    }
}

TEST_F(SessionTest, TheWaitingSideIsReleasedOnceWithTheFinalRecord) {
    std::string image = TestImage(size_t{1024} * 1024);
    TUpgradeServer server({.firmware = image, .faults = {"value:1:SRV1"}});
    TCliInfo request = TestRequest();
    link.Record().Set(request);
    TUPThread worker(link, &window);

    // A second observer copies the record as fast as it can until the worker has ended; the
    // first copy with a non-zero code must already hold everything, and the code never changes.
    std::vector<uint8_t> observed;
    TCliInfo firstFinal;
    std::thread observer([&] {
        auto until = std::chrono::steady_clock::now() + std::chrono::minutes(5);
        bool ended = false;
        while (std::chrono::steady_clock::now() < until) {
            TCliInfo copy;
            link.Record().Get(copy);
            if (observed.empty() || observed.back() != copy.ResultCode) {
                observed.push_back(copy.ResultCode);
                if (copy.ResultCode != 0 && observed.size() == 2)
                    firstFinal = copy;
            }
            if (ended)
                break;
            ended = copy.ResultCode != 0 && worker.Finished(); // one more copy after this
            std::this_thread::yield();
        }
    });
    worker.Start();
    TCliInfo info = request;
    auto until = std::chrono::steady_clock::now() + std::chrono::minutes(5);
    while (!link.Record().Wait(info, std::chrono::seconds(1)) &&
           std::chrono::steady_clock::now() < until) {
    }
    EXPECT_EQ(info.ResultCode, kResultSuccess);
    EXPECT_EQ(info.UserName, "SRV1");
    EXPECT_EQ(info.Data->Size(), static_cast<int64_t>(image.size()));
    worker.WaitFor();
    // Still the same once the worker is gone: the code was published once, as its last act.
    TCliInfo after;
    link.Record().Get(after);
    EXPECT_EQ(after.ResultCode, kResultSuccess);
    observer.join();

    ASSERT_EQ(observed, (std::vector<uint8_t>{0, kResultSuccess}));
    EXPECT_EQ(firstFinal.UserName, "SRV1");
    ASSERT_TRUE(firstFinal.Data);
    EXPECT_TRUE(std::string(firstFinal.Data->Bytes().begin(), firstFinal.Data->Bytes().end()) ==
                image);
    EXPECT_EQ(window.LastStatus(), "请求的数据获取成功！");
    EXPECT_EQ(window.Phases(), kTransferPhases);
}

// A window whose updates fail: the session still ends with a non-zero outcome.
class FailingWindow : public RecordingWindow {
public:
    explicit FailingWindow(std::string failOn) : failOn_(std::move(failOn)) {}
    void ShowStatus(const std::string& text) override {
        if (text == failOn_)
            throw std::runtime_error("window gone");
        RecordingWindow::ShowStatus(text);
    }
    void SetPosition(int position) override {
        if (failOn_ == "progress" && position > 0)
            throw std::runtime_error("window gone");
        RecordingWindow::SetPosition(position);
    }

private:
    std::string failOn_;
};

TEST_F(SessionTest, AnExceptionAnywhereInTheSessionStillEndsItWithThirty) {
    TUpgradeServer server({.firmware = TestImage(20000)});
    for (const char* failOn : {"progress", "升级开始：", "升级进行中请等待"}) {
        SCOPED_TRACE(failOn);
        FailingWindow failing(failOn);
        TServerLink failingLink(tcp, failing);
        TCliInfo info = RunExchange(failingLink, TestRequest(), &failing);
        EXPECT_EQ(info.ResultCode, kResultTransferFailed);
        EXPECT_TRUE(EndsWithCode(failing.LastStatus(), kGeneral, "1E"));
        EXPECT_EQ(failing.Phases().back(), TExchangePhase::Ended); // the end still reported
    }
}

} // namespace
