// The serial port layer: refusal rules, the one-close-per-open rule, pseudo-terminal behaviour
// (raw bytes, exclusivity, queues) and the waits.
#include "COMFunAPI.h"
#include "PtyDevice.h"
#include "WindowLink.h"
#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <optional>
#include <thread>
#include <unistd.h>

using namespace std::chrono;

namespace {

class CountingWindow : public TNullWindowLink {
public:
    void ProcessMessages() override { ++pumps; }
    std::atomic<int> pumps{0};
};

class SerialPort : public ::testing::Test {
protected:
    void TearDown() override { unsetenv("KESTREL_PORTS"); }
    // Waits until `count` bytes are queued at the port.
    bool WaitQueued(int port, int count) {
        auto deadline = steady_clock::now() + seconds(10);
        while (com.ComInCount(port) < count) {
            if (steady_clock::now() > deadline)
                return false;
            com.WaitComInput(port, milliseconds(100), true);
            if (com.ComInCount(port) > 0 && com.ComInCount(port) < count)
                com.DelayUs(microseconds(100), true);
        }
        return true;
    }

    CountingWindow window;
    TComPorts com{window}; // closes what a test leaves open
};

} // namespace

TEST_F(SerialPort, PortNumbersOutsideTheTableAreRefused) {
    for (int port : {0, -1, 257, 1000}) {
        com.ComOpenCount = 7;
        EXPECT_FALSE(com.OpenCom(port, 500000));
        EXPECT_EQ(com.ComOpenCount, 1); // set before the number is checked
        EXPECT_EQ(com.ReadComByte(port), -1);
        EXPECT_EQ(com.ComInCount(port), 0);
        EXPECT_FALSE(com.CloseCom(port));
        EXPECT_FALSE(com.WriteComByte(port, 1));
        uint8_t buf[4] = {};
        EXPECT_FALSE(com.WriteComBuf(port, buf, 3));
        EXPECT_FALSE(com.WriteComBuf(port, buf, -1));
        EXPECT_FALSE(com.ReadComBuf(port, buf, 0));
        EXPECT_FALSE(com.ClearCom(port, 0));
        EXPECT_FALSE(com.WaitComInput(port, milliseconds(1)));
    }
}

TEST_F(SerialPort, FailedOpenLeavesTheInvalidMarker) {
    SetPorts({"/nonexistent/tty", ""});
    for (int port : {1, 2}) { // a missing device and a gap in the list
        EXPECT_FALSE(com.OpenCom(port, 500000));
        EXPECT_FALSE(com.ClearCom(port, 0));
        EXPECT_EQ(com.ReadComByte(port), -1);
        EXPECT_EQ(com.ComInCount(port), 0);
        EXPECT_FALSE(com.WriteComByte(port, 0x55));
        EXPECT_FALSE(com.CloseCom(port)); // refused even though an open just set the count to 1
        EXPECT_EQ(com.ComOpenCount, 1);
    }
}

TEST_F(SerialPort, EmptyEntryFailsItsSystemCallsWithoutTouchingStandardInput) {
    PtyPair pty;
    SetPorts({pty.SlavePath()});
    // Standard input holds a byte that a read on descriptor 0 would take.
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    ASSERT_EQ(write(pipeFds[1], "X", 1), 1);
    int savedStdin = dup(0);
    ASSERT_EQ(dup2(pipeFds[0], 0), 0);

    EXPECT_EQ(com.ReadComByte(3), 0); // the read fails: 0, not -1
    uint8_t buf[2] = {};
    EXPECT_FALSE(com.ReadComBuf(3, buf, 1));
    EXPECT_FALSE(com.WriteComByte(3, 0x41));
    EXPECT_EQ(com.ComInCount(3), 0);
    EXPECT_TRUE(com.ClearCom(3, 2)); // not refused: the purge's outcome is ignored
    EXPECT_FALSE(com.WaitComInput(3, milliseconds(1)));
    char c = 0;
    EXPECT_EQ(read(0, &c, 1), 1);
    EXPECT_EQ(c, 'X');

    // A close of an empty entry is not refused: it uses up the one close after an open.
    ASSERT_TRUE(com.OpenCom(1, 500000));
    EXPECT_TRUE(com.CloseCom(3));
    EXPECT_FALSE(com.CloseCom(1));

    dup2(savedStdin, 0);
    close(savedStdin);
    close(pipeFds[0]);
    close(pipeFds[1]);
}

TEST_F(SerialPort, OneCloseAfterEachOpen) {
    PtyPair a, b;
    SetPorts({a.SlavePath(), b.SlavePath()});
    ASSERT_TRUE(com.OpenCom(1, 500000));
    EXPECT_TRUE(com.CloseCom(1));
    EXPECT_EQ(com.ComOpenCount, 2);
    EXPECT_FALSE(com.CloseCom(1));

    // Open A, open B, close A: the close of B is refused and B stays open.
    ASSERT_TRUE(com.OpenCom(1, 500000));
    ASSERT_TRUE(com.OpenCom(2, 500000));
    EXPECT_TRUE(com.CloseCom(1));
    EXPECT_FALSE(com.CloseCom(2));
    EXPECT_TRUE(com.WriteComByte(2, 0x5A));
    EXPECT_EQ(b.Read(1), (Bytes{0x5A}));
    EXPECT_FALSE(com.WriteComByte(1, 0x5A)); // A's entry is empty now

    // Opening B again replaces the handle it still held instead of locking itself out.
    ASSERT_TRUE(com.OpenCom(2, 500000));
    EXPECT_TRUE(com.CloseCom(2));
}

TEST_F(SerialPort, OpenComObjectClosesWhenItGoesAway) {
    PtyPair pty;
    SetPorts({pty.SlavePath(), "/nonexistent/tty"});
    {
        TComPorts own(window);
        {
            TOpenCom open(own, 1, 500000);
            ASSERT_TRUE(open.IsOpen());
            EXPECT_EQ(own.ComOpenCount, 1);
        }
        EXPECT_EQ(own.ComOpenCount, 2); // closed on the way out
        {
            TOpenCom open(own, 1, 500000);
            open.ClearDtrOnFailure();
            EXPECT_TRUE(open.Close());
            ASSERT_TRUE(own.OpenCom(1, 500000)); // held by hand beyond the object's life
        }
        EXPECT_EQ(own.ComOpenCount, 1); // Close() was the object's one close
        EXPECT_TRUE(own.WriteComByte(1, 0x33));
        EXPECT_EQ(pty.Read(1), (Bytes{0x33}));
        {
            TOpenCom missing(own, 2, 500000);
            EXPECT_FALSE(missing.IsOpen());
        }
        EXPECT_EQ(own.ComOpenCount, 1);       // the close after the failed open was refused
        EXPECT_FALSE(com.OpenCom(1, 500000)); // still held by `own`
    }
    EXPECT_TRUE(com.OpenCom(1, 500000)); // released when `own` went away
    EXPECT_TRUE(com.CloseCom(1));
}

TEST_F(SerialPort, OpenIsExclusive) {
    PtyPair pty;
    SetPorts({pty.SlavePath(), pty.SlavePath()});
    ASSERT_TRUE(com.OpenCom(1, 500000));
    EXPECT_FALSE(com.OpenCom(2, 500000)); // the same device under a second number
    EXPECT_FALSE(com.ClearCom(2, 0));
    com.ComOpenCount = 1;
    ASSERT_TRUE(com.CloseCom(1));
    EXPECT_TRUE(com.OpenCom(2, 500000)); // free again once closed
    EXPECT_TRUE(com.CloseCom(2));
}

TEST_F(SerialPort, RawBytesPassUntouchedBothWays) {
    PtyPair pty;
    SetPorts({pty.SlavePath()});
    ASSERT_TRUE(com.OpenCom(1, 500000));
    const Bytes special = {0x0D, 0x11, 0x13, 0x03, 0x0A, 0x7F, 0x00, 0x1A, 0x04, 0xFF};

    pty.Write(special);
    ASSERT_TRUE(WaitQueued(1, static_cast<int>(special.size())));
    EXPECT_EQ(com.ComInCount(1), static_cast<int>(special.size()));
    Bytes got(special.size());
    ASSERT_TRUE(com.ReadComBuf(1, got.data(), static_cast<int>(got.size())));
    EXPECT_EQ(got, special);

    ASSERT_TRUE(com.WriteComBuf(1, special.data(), static_cast<int>(special.size()) - 1));
    EXPECT_EQ(pty.Read(special.size()), special);

    pty.Write({0x13, 0x0D});
    ASSERT_TRUE(WaitQueued(1, 2));
    EXPECT_EQ(com.ReadComByte(1), 0x13);
    EXPECT_EQ(com.ReadComByte(1), 0x0D);
    EXPECT_TRUE(com.CloseCom(1));
}

TEST_F(SerialPort, BufferWritesAndReadsByCount) {
    PtyPair pty;
    SetPorts({pty.SlavePath()});
    ASSERT_TRUE(com.OpenCom(1, 500000));
    const uint8_t bytes[] = {1, 2, 3, 4, 5, 6};
    EXPECT_TRUE(com.WriteComBuf(1, bytes, -1)); // nothing
    EXPECT_TRUE(com.WriteComBuf(1, bytes, 4));  // five bytes
    EXPECT_TRUE(com.WriteComByte(1, 9));
    EXPECT_EQ(pty.Read(6), (Bytes{1, 2, 3, 4, 5, 9}));

    uint8_t into[3] = {7, 7, 7};
    EXPECT_TRUE(com.ReadComBuf(1, into, 0));
    EXPECT_TRUE(com.ReadComBuf(1, into, -3));
    EXPECT_EQ(into[0], 7);
    EXPECT_TRUE(com.CloseCom(1));
}

TEST_F(SerialPort, ClearComKinds) {
    PtyPair pty;
    SetPorts({pty.SlavePath()});
    ASSERT_TRUE(com.OpenCom(1, 500000));
    pty.Write({1, 2, 3});
    ASSERT_TRUE(WaitQueued(1, 3));
    EXPECT_TRUE(com.ClearCom(1, 7)); // purges nothing
    EXPECT_TRUE(com.ClearCom(1, 1)); // output only
    EXPECT_EQ(com.ComInCount(1), 3);
    EXPECT_TRUE(com.ClearCom(1, 0));
    EXPECT_EQ(com.ComInCount(1), 0);
    pty.Write({4});
    ASSERT_TRUE(WaitQueued(1, 1));
    EXPECT_TRUE(com.ClearCom(1, 2));
    EXPECT_EQ(com.ComInCount(1), 0);
    com.SetComDTR(1, 0); // refused by a pseudo-terminal; must not disturb the port
    com.SetComDTR(1, 1);
    com.SetComDTR(1, 2);
    pty.Write({5});
    ASSERT_TRUE(WaitQueued(1, 1));
    EXPECT_EQ(com.ReadComByte(1), 5);
    EXPECT_TRUE(com.CloseCom(1));
}

TEST_F(SerialPort, OpenDiscardsWhatWasQueuedBefore) {
    PtyPair pty;
    SetPorts({pty.SlavePath()});
    pty.Write({1, 2, 3});
    ASSERT_TRUE(com.OpenCom(1, 500000));
    pty.Write({4});
    ASSERT_TRUE(WaitQueued(1, 1));
    EXPECT_EQ(com.ReadComByte(1), 4);
    EXPECT_TRUE(com.CloseCom(1));
}

TEST_F(SerialPort, BytesWrittenBeforeACloseSurviveAnImmediateReopen) {
    PtyPair pty;
    SetPorts({pty.SlavePath()});
    constexpr int rounds = 200;
    Bytes expected;
    for (int round = 0; round < rounds; ++round)
        expected.insert(expected.end(), 12, static_cast<uint8_t>(round));
    std::optional<Bytes> got; // the peer reads all the while, as a device does
    std::thread peer([&] { got = pty.Read(expected.size(), seconds(20)); });
    ASSERT_TRUE(com.OpenCom(1, 500000));
    for (int round = 0; round < rounds; ++round) {
        ASSERT_TRUE(com.WriteComBuf(1, expected.data() + std::ptrdiff_t{12} * round, 11));
        ASSERT_TRUE(com.CloseCom(1));
        ASSERT_TRUE(com.OpenCom(1, 500000));
    }
    EXPECT_TRUE(com.CloseCom(1));
    peer.join();
    EXPECT_EQ(got, expected);
}

TEST_F(SerialPort, WaitComInputSeesDataFromAnotherThread) {
    PtyPair pty;
    SetPorts({pty.SlavePath()});
    ASSERT_TRUE(com.OpenCom(1, 500000));

    auto start = steady_clock::now();
    EXPECT_FALSE(com.WaitComInput(1, milliseconds(30)));
    EXPECT_GE(steady_clock::now() - start, milliseconds(30));
    EXPECT_GE(window.pumps.load(), 1);

    std::thread writer([&] { pty.Write({0x42}); });
    EXPECT_TRUE(com.WaitComInput(1, seconds(20)));
    writer.join();
    EXPECT_EQ(com.ReadComByte(1), 0x42);
    EXPECT_TRUE(com.CloseCom(1));
}

TEST_F(SerialPort, WaitComInputEndsWhenTheLineHangsUp) {
    PtyPair pty;
    SetPorts({pty.SlavePath()});
    ASSERT_TRUE(com.OpenCom(1, 500000));
    pty.CloseMaster();
    EXPECT_FALSE(com.WaitComInput(1, seconds(600))); // returns long before the limit
    EXPECT_TRUE(com.CloseCom(1));
}

TEST(Delays, LastAtLeastTheirThreshold) {
    TNullWindowLink window;
    TComPorts com(window);
    for (uint32_t ms : {0u, 1u, 5u, 20u}) {
        auto start = steady_clock::now();
        com.DelayMs(milliseconds(ms), false);
        EXPECT_GE(steady_clock::now() - start, milliseconds(ms + 1)) << ms;
    }
    for (uint32_t us : {1u, 10u, 150u, 2500u}) {
        auto start = steady_clock::now();
        com.DelayUs(microseconds(us), false);
        EXPECT_GE(steady_clock::now() - start, microseconds(us)) << us;
    }
}

TEST(Delays, PumpWhileWaitingUnlessToldNotTo) {
    CountingWindow window;
    TComPorts com(window);
    com.DelayUs(microseconds(0), false); // a zero threshold returns at once, without pumping
    EXPECT_EQ(window.pumps.load(), 0);
    com.DelayMs(milliseconds(3), true);
    com.DelayUs(microseconds(500), true);
    EXPECT_EQ(window.pumps.load(), 0);
    com.DelayUs(microseconds(10), false);
    EXPECT_GE(window.pumps.load(), 1);
    int before = window.pumps.load();
    com.DelayMs(milliseconds(0), false); // waits 1 ms, so it pumps
    EXPECT_GE(window.pumps.load(), before + 1);
    before = window.pumps.load();
    com.DelayMs(milliseconds(20), false); // pumps throughout, not only once
    EXPECT_GE(window.pumps.load(), before + 2);
}
