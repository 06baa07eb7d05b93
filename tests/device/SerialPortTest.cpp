// The serial port layer: a port opened by its path, the refusals of a port that is not open,
// pseudo-terminal behaviour (raw bytes, exclusivity, queues) and the waits.
#include "ComPort.h"
#include "PtyDevice.h"
#include "WindowLink.h"
#include <atomic>
#include <cstddef>
#include <functional>
#include <gtest/gtest.h>
#include <optional>
#include <thread>
#include <utility>

using namespace std::chrono;

namespace {

class CountingWindow : public TNullWindowLink {
public:
    void ProcessMessages() override {
        ++pumps;
        if (auto run = std::exchange(onPump, nullptr))
            run();
    }
    std::atomic<int> pumps{0};
    std::function<void()> onPump; // runs at the next pump, once
};

class SerialPort : public ::testing::Test {
protected:
    // Waits until `count` bytes are queued at the port.
    bool WaitQueued(int count) {
        auto deadline = steady_clock::now() + seconds(10);
        while (com.ComInCount() < count) {
            if (steady_clock::now() > deadline)
                return false;
            com.WaitComInput(steady_clock::now() + milliseconds(100), true);
            if (com.ComInCount() > 0 && com.ComInCount() < count)
                com.DelayUs(microseconds(100), true);
        }
        return true;
    }

    CountingWindow window;
    PtyPair pty;
    TComPort com{window}; // closes what a test leaves open
};

// What every operation of a port that is not open answers, without a system call.
void ExpectRefused(TComPort& port) {
    EXPECT_FALSE(port.IsOpen());
    EXPECT_EQ(port.ReadComByte(), -1);
    EXPECT_EQ(port.ComInCount(), 0);
    EXPECT_FALSE(port.CloseCom());
    EXPECT_FALSE(port.WriteComByte(1));
    uint8_t buf[4] = {};
    EXPECT_FALSE(port.WriteComBuf(buf, 3));
    EXPECT_FALSE(port.WriteComBuf(buf, -1));
    EXPECT_FALSE(port.ReadComBuf(buf, 0));
    EXPECT_FALSE(port.ReadComWithin(buf, 1, milliseconds(1)));
    EXPECT_FALSE(port.ClearCom(0));
    EXPECT_FALSE(port.WaitComInput(steady_clock::now() + milliseconds(1)));
}

} // namespace

TEST_F(SerialPort, APortThatIsNotOpenRefusesEverything) {
    ExpectRefused(com); // never opened
    for (const std::string& path : {std::string(), std::string("/nonexistent/tty")}) {
        EXPECT_FALSE(com.OpenCom(path, 500000)) << path;
        EXPECT_EQ(com.LastOpenError(), ENOENT) << path;
        ExpectRefused(com);
    }
    ASSERT_TRUE(com.OpenCom(pty.SlavePath(), 500000));
    EXPECT_EQ(com.LastOpenError(), 0);
    EXPECT_TRUE(com.CloseCom());
    ExpectRefused(com); // closed
}

TEST_F(SerialPort, PortClosesWhenItGoesAway) {
    {
        TComPort own(window);
        ASSERT_TRUE(own.OpenCom(pty.SlavePath(), 500000));
        EXPECT_FALSE(com.OpenCom(pty.SlavePath(), 500000)); // held by `own`
        EXPECT_EQ(com.LastOpenError(), EBUSY);
        own.ClearDtrOnFailure(); // a pseudo-terminal refuses DTR; the close happens all the same
    }
    ASSERT_TRUE(com.OpenCom(pty.SlavePath(), 500000)); // released when `own` went away
    // Opening again replaces the handle the port still held instead of locking itself out.
    ASSERT_TRUE(com.OpenCom(pty.SlavePath(), 500000));
    EXPECT_TRUE(com.WriteComByte(0x33));
    EXPECT_EQ(pty.Read(1), (Bytes{0x33}));
}

TEST_F(SerialPort, OpenIsExclusive) {
    PtyPair other;
    TComPort second(window);
    ASSERT_TRUE(com.OpenCom(pty.SlavePath(), 500000));
    EXPECT_FALSE(second.OpenCom(pty.SlavePath(), 500000));
    EXPECT_FALSE(second.ClearCom(0));
    EXPECT_TRUE(second.OpenCom(other.SlavePath(), 500000)); // another device is free
    ASSERT_TRUE(com.CloseCom());
    EXPECT_TRUE(second.OpenCom(pty.SlavePath(), 500000)); // free again once closed
}

TEST_F(SerialPort, RawBytesPassUntouchedBothWays) {
    ASSERT_TRUE(com.OpenCom(pty.SlavePath(), 500000));
    const Bytes special = {0x0D, 0x11, 0x13, 0x03, 0x0A, 0x7F, 0x00, 0x1A, 0x04, 0xFF};

    pty.Write(special);
    ASSERT_TRUE(WaitQueued(static_cast<int>(special.size())));
    EXPECT_EQ(com.ComInCount(), static_cast<int>(special.size()));
    Bytes got(special.size());
    ASSERT_TRUE(com.ReadComBuf(got.data(), static_cast<int>(got.size())));
    EXPECT_EQ(got, special);

    ASSERT_TRUE(com.WriteComBuf(special.data(), static_cast<int>(special.size()) - 1));
    EXPECT_EQ(pty.Read(special.size()), special);

    pty.Write({0x13, 0x0D});
    ASSERT_TRUE(WaitQueued(2));
    EXPECT_EQ(com.ReadComByte(), 0x13);
    EXPECT_EQ(com.ReadComByte(), 0x0D);
}

TEST_F(SerialPort, BufferWritesAndReadsByCount) {
    ASSERT_TRUE(com.OpenCom(pty.SlavePath(), 500000));
    const uint8_t bytes[] = {1, 2, 3, 4, 5, 6};
    EXPECT_TRUE(com.WriteComBuf(bytes, -1)); // nothing
    EXPECT_TRUE(com.WriteComBuf(bytes, 4));  // five bytes
    EXPECT_TRUE(com.WriteComByte(9));
    EXPECT_EQ(pty.Read(6), (Bytes{1, 2, 3, 4, 5, 9}));

    uint8_t into[3] = {7, 7, 7};
    EXPECT_TRUE(com.ReadComBuf(into, 0));
    EXPECT_TRUE(com.ReadComBuf(into, -3));
    EXPECT_EQ(into[0], 7);
}

TEST_F(SerialPort, ClearComKinds) {
    ASSERT_TRUE(com.OpenCom(pty.SlavePath(), 500000));
    pty.Write({1, 2, 3});
    ASSERT_TRUE(WaitQueued(3));
    EXPECT_TRUE(com.ClearCom(7)); // purges nothing
    EXPECT_TRUE(com.ClearCom(1)); // output only
    EXPECT_EQ(com.ComInCount(), 3);
    EXPECT_TRUE(com.ClearCom(0));
    EXPECT_EQ(com.ComInCount(), 0);
    pty.Write({4});
    ASSERT_TRUE(WaitQueued(1));
    EXPECT_TRUE(com.ClearCom(2));
    EXPECT_EQ(com.ComInCount(), 0);
    com.SetComDTR(0); // refused by a pseudo-terminal; must not disturb the port
    com.SetComDTR(1);
    com.SetComDTR(2);
    pty.Write({5});
    ASSERT_TRUE(WaitQueued(1));
    EXPECT_EQ(com.ReadComByte(), 5);
}

TEST_F(SerialPort, OpenDiscardsWhatWasQueuedBefore) {
    pty.Write({1, 2, 3});
    ASSERT_TRUE(com.OpenCom(pty.SlavePath(), 500000));
    pty.Write({4});
    ASSERT_TRUE(WaitQueued(1));
    EXPECT_EQ(com.ReadComByte(), 4);
}

TEST_F(SerialPort, BytesWrittenBeforeACloseSurviveAnImmediateReopen) {
    constexpr int rounds = 200;
    Bytes expected;
    for (int round = 0; round < rounds; ++round)
        expected.insert(expected.end(), 12, static_cast<uint8_t>(round));
    std::optional<Bytes> got; // the peer reads all the while, as a device does
    std::thread peer([&] { got = pty.Read(expected.size(), seconds(20)); });
    for (int round = 0; round < rounds; ++round) {
        ASSERT_TRUE(com.OpenCom(pty.SlavePath(), 500000));
        ASSERT_TRUE(com.WriteComBuf(expected.data() + std::ptrdiff_t{12} * round, 11));
        ASSERT_TRUE(com.CloseCom());
    }
    peer.join();
    EXPECT_EQ(got, expected);
}

// A reply is taken only whole: part of it waits for the rest, and a reply that stays incomplete
// stays queued when the time is up.
TEST_F(SerialPort, ReadComWithinTakesWholeRepliesOnly) {
    ASSERT_TRUE(com.OpenCom(pty.SlavePath(), 500000));
    pty.Write({1, 2});
    ASSERT_TRUE(WaitQueued(2));
    window.onPump = [this] { pty.Write({3}); }; // the rest comes while the port waits
    uint8_t got[3] = {};
    EXPECT_TRUE(com.ReadComWithin(got, 3, seconds(20)));
    EXPECT_EQ(Bytes(got, got + 3), (Bytes{1, 2, 3}));

    pty.Write({4, 5});
    ASSERT_TRUE(WaitQueued(2));
    const auto start = steady_clock::now();
    EXPECT_FALSE(com.ReadComWithin(got, 3, milliseconds(50)));
    EXPECT_GE(steady_clock::now() - start, milliseconds(50));
    EXPECT_EQ(com.ComInCount(), 2);
}

TEST_F(SerialPort, WaitComInputSeesDataFromAnotherThread) {
    ASSERT_TRUE(com.OpenCom(pty.SlavePath(), 500000));

    auto start = steady_clock::now();
    EXPECT_FALSE(com.WaitComInput(start + milliseconds(30)));
    EXPECT_GE(steady_clock::now() - start, milliseconds(30));
    EXPECT_GE(window.pumps.load(), 1);

    std::thread writer([&] { pty.Write({0x42}); });
    EXPECT_TRUE(com.WaitComInput(steady_clock::now() + seconds(20)));
    writer.join();
    EXPECT_EQ(com.ReadComByte(), 0x42);
}

TEST_F(SerialPort, WaitsEndWhenTheLineHangsUp) {
    ASSERT_TRUE(com.OpenCom(pty.SlavePath(), 500000));
    pty.CloseMaster();
    // Both return long before their limits.
    EXPECT_FALSE(com.WaitComInput(steady_clock::now() + seconds(600)));
    uint8_t byte = 0;
    EXPECT_FALSE(com.ReadComWithin(&byte, 1, seconds(600)));
}

TEST(Delays, LastAtLeastTheirThreshold) {
    TNullWindowLink window;
    TComPort com(window);
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
    TComPort com(window);
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
