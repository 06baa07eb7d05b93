// The TCP line client against a raw loopback peer: line framing, byte totals, raw blocks that
// leave the rest in the socket, closed and silent peers.
#include "TCP.h"
#include "RawPeer.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

// A slow peer: sends `bytes` one at a time, `gap` apart, from a thread of its own, until all
// are sent, the client has closed, or the trickle is destroyed.
class Trickle {
public:
    Trickle(RawPeer& peer, std::string bytes, std::chrono::milliseconds gap)
        : thread_([this, &peer, bytes = std::move(bytes), gap] {
              std::unique_lock lock(mutex_);
              for (char c : bytes) {
                  if (!peer.TrySend(std::string(1, c)) ||
                      stopped_.wait_for(lock, gap, [this] { return stop_; }))
                      return;
              }
          }) {}
    ~Trickle() {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        stopped_.notify_all();
        thread_.join();
    }

private:
    std::mutex mutex_;
    std::condition_variable stopped_;
    bool stop_ = false;
    std::thread thread_;
};

class TcpTest : public ::testing::Test {
protected:
    void SetUp() override { TcpSetRecvTimeLimit(std::chrono::seconds(30)); }
    void TearDown() override { TcpFreeClient(); }

    // A connected client and the peer's end of it.
    void Connect() { ASSERT_TRUE(ConnectDefaultClient(peer)); }
    TPack RecvLine() {
        TcpRecvLine(pack);
        return pack;
    }
    TPack RecvData(int count) {
        pack.Count = count;
        TcpLoadPack(pack);
        TcpRecvData(pack);
        return pack;
    }
    void SendLine(const std::string& line) {
        pack.Line = line;
        TcpLoadPack(pack);
        ASSERT_TRUE(TcpSendLine());
    }

    RawPeer peer;
    TPack pack;
};

TEST_F(TcpTest, OnlyCrLfEndsALineAndCountIsTheRunningTotal) {
    Connect();
    peer.Send(std::string("a\rb\nc\r\n") + "next\r\n" + "\r\n");
    TPack got = RecvLine();
    EXPECT_EQ(got.Line, "a\rb\nc");
    EXPECT_TRUE(got.Success);
    EXPECT_EQ(got.Count, 7);
    got = RecvLine();
    EXPECT_EQ(got.Line, "next");
    EXPECT_EQ(got.Count, 13);
    got = RecvLine();
    EXPECT_EQ(got.Line, "");
    EXPECT_TRUE(got.Success);
    EXPECT_EQ(got.Count, 15);
}

TEST_F(TcpTest, LongLinesAreAssembledFromSeveralLooks) {
    Connect();
    std::string longLine;
    for (int i = 0; i < 2000; ++i)
        longLine += static_cast<char>('A' + i % 26);
    longLine[700] = '\r'; // a lone CR inside, beyond the first look
    // 510 bytes and CR LF: the first look of 511 bytes ends on the CR, the LF comes next.
    std::string split(510, 'x');
    peer.Send(longLine + "\r\n" + split + "\r\n" + "after\r\n");
    EXPECT_TRUE(RecvLine().Line == longLine);
    EXPECT_EQ(RecvLine().Line, split);
    EXPECT_EQ(RecvLine().Line, "after");
}

TEST_F(TcpTest, PeerClosingBeforeAnyByteGivesNoSuccess) {
    Connect();
    peer.Close();
    TPack got = RecvLine();
    EXPECT_EQ(got.Line, "");
    EXPECT_FALSE(got.Success);
}

TEST_F(TcpTest, PeerClosingAfterTrafficKeepsSuccessAndTotal) {
    Connect();
    peer.Send("OK\r\ntail");
    peer.Close();
    EXPECT_EQ(RecvLine().Line, "OK");
    TPack got = RecvLine(); // an unterminated last line comes back unchanged
    EXPECT_EQ(got.Line, "tail");
    EXPECT_TRUE(got.Success);
    got = RecvLine();
    EXPECT_EQ(got.Line, "");
    EXPECT_TRUE(got.Success);
    EXPECT_EQ(got.Count, 8);
}

TEST_F(TcpTest, SendLineAppendsCrLfAndAnEmptyLineIsJustCrLf) {
    Connect();
    SendLine("OriginalID");
    SendLine("");
    SendLine("a\rb");
    TcpDisconnect();
    EXPECT_EQ(peer.ReadToEnd(), "OriginalID\r\n\r\na\rb\r\n");
}

TEST_F(TcpTest, DataCountZeroReceivesNothing) {
    Connect();
    peer.Send("line\r\n");
    TPack got = RecvData(0);
    EXPECT_TRUE(got.Success);
    EXPECT_EQ(got.Line, "");
    EXPECT_EQ(RecvLine().Line, "line");
}

TEST_F(TcpTest, DataOfAFullBufferLeavesTheRestInTheSocket) {
    Connect();
    std::string block(8192, '\0');
    for (size_t i = 0; i < block.size(); ++i)
        block[i] = static_cast<char>((i * 131 + 7) & 0xFF);
    peer.Send(block + "\r\nafter\r\n");
    TPack got = RecvData(8192);
    EXPECT_TRUE(got.Success);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(got.Buffer.data()), 8192), block);
    // The CR LF right after the block is the next line's end: nothing of it was taken.
    EXPECT_EQ(RecvLine().Line, "");
    EXPECT_EQ(RecvLine().Line, "after");
    EXPECT_EQ(pack.Count, 8192 + 9);
}

TEST_F(TcpTest, DataCutShortByThePeerKeepsTheRestOfTheBuffer) {
    Connect();
    pack.Buffer.fill(0xEE);
    peer.Send("abc");
    peer.Close();
    TPack got = RecvData(10);
    EXPECT_TRUE(got.Success);
    EXPECT_EQ(got.Buffer[0], 'a');
    EXPECT_EQ(got.Buffer[2], 'c');
    EXPECT_EQ(got.Buffer[3], 0xEE);
    EXPECT_EQ(got.Buffer[9], 0xEE);
}

// The lean forms act like the full ones on the wire and on the unit's record, but the unit's
// buffer stays as it was: the raw bytes land where the caller says.
TEST_F(TcpTest, LeanFormsMoveOnlyTheLineOrTheBytes) {
    Connect();
    pack.Buffer.fill(0xEE);
    TcpLoadPack(pack);
    std::string block(3000, '\0');
    for (size_t i = 0; i < block.size(); ++i)
        block[i] = static_cast<char>((i * 77 + 5) & 0xFF);
    peer.Send("OK\r\n" + block + "\r\nafter\r\n");

    std::string line = "stale";
    EXPECT_TRUE(TcpRecvText(line));
    EXPECT_EQ(line, "OK");
    std::vector<uint8_t> into(4000, 0x11);
    EXPECT_TRUE(TcpRecvDataInto(into.data() + 1, 3000));
    EXPECT_EQ(into[0], 0x11);
    EXPECT_EQ(std::string(into.begin() + 1, into.begin() + 3001), block);
    EXPECT_EQ(into[3001], 0x11); // nothing beyond the count, and the CR LF is still there
    EXPECT_TRUE(TcpRecvText(line));
    EXPECT_EQ(line, "");
    TPack got = RecvLine();
    EXPECT_EQ(got.Line, "after");
    EXPECT_EQ(got.Count, 4 + 3000 + 2 + 7); // the running total counts every byte
    EXPECT_EQ(got.Buffer[0], 0xEE);
    EXPECT_EQ(got.Buffer[kTcpBufferSize - 1], 0xEE);

    EXPECT_TRUE(TcpSendText("AllOK"));
    EXPECT_TRUE(TcpSendText(""));
    TcpDisconnect();
    EXPECT_EQ(peer.ReadToEnd(), "AllOK\r\n\r\n");
}

TEST_F(TcpTest, LeanDataCutShortKeepsTheRestAndLeanFormsFailWithoutConnection) {
    std::vector<uint8_t> into(10, 0xEE);
    std::string line = "x";
    EXPECT_FALSE(TcpSendText("x")); // no client
    TcpCreateClient();
    EXPECT_FALSE(TcpRecvText(line)); // a client, not connected
    EXPECT_EQ(line, "");
    EXPECT_FALSE(TcpRecvDataInto(into.data(), 10));
    EXPECT_EQ(into[0], 0xEE);

    Connect();
    peer.Send("abc");
    peer.Close();
    EXPECT_TRUE(TcpRecvDataInto(into.data(), 10));
    EXPECT_EQ(std::string(into.begin(), into.begin() + 3), "abc");
    EXPECT_EQ(into[3], 0xEE);
    EXPECT_EQ(into[9], 0xEE);
}

TEST_F(TcpTest, OperationsWithoutConnectionFail) {
    pack.Line = "x";
    TcpLoadPack(pack);
    EXPECT_FALSE(TcpSendLine()); // no client at all
    TcpCreateClient();
    EXPECT_FALSE(TcpSendLine()); // a client, not connected
    TPack got = RecvLine();
    EXPECT_FALSE(got.Success);
    EXPECT_EQ(got.Line, "");
    got = RecvData(5);
    EXPECT_FALSE(got.Success);
}

TEST_F(TcpTest, ConnectFailsWhenNothingListens) {
    std::string address = UniqueLoopbackAddress();
    TPack p;
    p.Host = address;
    p.Port = "5001";
    TcpCreateClient();
    TcpLoadPack(p);
    EXPECT_FALSE(TcpConnect());
    EXPECT_EQ(DefaultTcpClient().LastFailure(),
              "connection refused: nothing listens there (is the server running?)");
    p.Host = "no-such-host.invalid";
    TcpCreateClient();
    TcpLoadPack(p);
    EXPECT_FALSE(TcpConnect());
    EXPECT_EQ(DefaultTcpClient().LastFailure().rfind("the name does not resolve (", 0), 0u);
}

#ifndef _WIN32
// A listener whose queue is full drops further connection requests unanswered, as a host that
// does not answer would: the connect ends at the time limit, and says so.
TEST_F(TcpTest, ConnectWithoutAnswerEndsAtTheTimeLimit) {
    std::string address = UniqueLoopbackAddress();
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    inet_pton(AF_INET, address.c_str(), &sa.sin_addr);
    socklen_t len = sizeof sa;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
    ASSERT_EQ(listen(listener, 0), 0);
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&sa), &len), 0);
    int filler = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(connect(filler, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);

    TcpSetRecvTimeLimit(300ms);
    TPack p;
    p.Host = address;
    p.Port = std::to_string(ntohs(sa.sin_port));
    TcpCreateClient();
    TcpLoadPack(p);
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(TcpConnect());
    EXPECT_GE(std::chrono::steady_clock::now() - start, 300ms);
    EXPECT_EQ(DefaultTcpClient().LastFailure(),
              "no answer to the connection within 300 ms (the host is down, or a firewall drops "
              "the connection)");
    close(filler);
    close(listener);
}
#endif

TEST_F(TcpTest, ADisconnectedClientStaysClosed) {
    Connect();
    peer.Send("waiting\r\n");
    EXPECT_TRUE(TcpDisconnect());
    EXPECT_TRUE(TcpDisconnect()); // a second close is harmless
    EXPECT_FALSE(RecvLine().Success);
    pack.Line = "x";
    TcpLoadPack(pack);
    EXPECT_FALSE(TcpSendLine());
    EXPECT_FALSE(TcpConnect());
}

TEST_F(TcpTest, SilenceBeyondTheTimeLimitLosesTheConnection) {
    TcpSetRecvTimeLimit(std::chrono::milliseconds(200));
    Connect();
    peer.Send("part");
    auto start = std::chrono::steady_clock::now();
    TPack got = RecvLine();
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(200));
    EXPECT_FALSE(got.Success);
    EXPECT_EQ(got.Line, "part");
    // Lost: later operations fail at once, and the peer sees the close.
    EXPECT_FALSE(RecvLine().Success);
    EXPECT_EQ(peer.ReadToEnd(), "");
}

TEST_F(TcpTest, SilenceDuringRawDataLosesTheConnection) {
    TcpSetRecvTimeLimit(std::chrono::milliseconds(200));
    Connect();
    peer.Send("12345");
    TPack got = RecvData(10);
    EXPECT_FALSE(got.Success);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(got.Buffer.data()), 5), "12345");
    EXPECT_FALSE(RecvData(1).Success);
}

// Each byte comes well within the limit, the whole step does not: the step ends at its limit
// with the connection lost, instead of lasting as long as the peer likes (here 60 s).
constexpr auto ShortLimit = 1000ms;
constexpr auto TrickleGap = 100ms;
constexpr auto Margin = 5000ms; // a slow, busy machine

TEST_F(TcpTest, ALineMustBeCompleteWithinTheLimitOfItsStart) {
    TcpSetRecvTimeLimit(ShortLimit);
    Connect();
    peer.Send("honest\r\n"); // a prompt peer still gets through at the same limit
    EXPECT_EQ(RecvLine().Line, "honest");
    EXPECT_TRUE(pack.Success);

    Trickle slow(peer, std::string(600, 'x') + "\r\n", TrickleGap);
    auto start = std::chrono::steady_clock::now();
    TPack got = RecvLine();
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_FALSE(got.Success);
    EXPECT_GE(took, ShortLimit);
    EXPECT_LT(took, ShortLimit + Margin);
    EXPECT_FALSE(RecvLine().Success); // lost, as a closed connection
}

TEST_F(TcpTest, ABlockOfDataMustBeCompleteWithinTheLimitOfItsStart) {
    TcpSetRecvTimeLimit(ShortLimit);
    Connect();
    peer.Send("0123456789");
    EXPECT_TRUE(RecvData(10).Success);

    Trickle slow(peer, std::string(600, 'd'), TrickleGap);
    auto start = std::chrono::steady_clock::now();
    TPack got = RecvData(600);
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_FALSE(got.Success);
    EXPECT_GE(took, ShortLimit);
    EXPECT_LT(took, ShortLimit + Margin);
    EXPECT_EQ(got.Buffer[0], 'd'); // what came before the limit was kept
    EXPECT_FALSE(RecvData(1).Success);
}

TEST_F(TcpTest, LinesUpToTheLimitPassLongerOnesEndTheConnection) {
    Connect();
    std::string atLimit(kTcpMaxLineLength, 'L');
    std::string beyond(kTcpMaxLineLength + 1, 'M');
    peer.Send(atLimit + "\r\n" + beyond + "\r\nnext\r\n");
    EXPECT_TRUE(RecvLine().Line == atLimit); // (not printed when it differs: 64 KiB)
    TPack got = RecvLine();
    EXPECT_FALSE(got.Success);
    EXPECT_EQ(got.Line, "");
    EXPECT_FALSE(RecvLine().Success);
}

} // namespace
