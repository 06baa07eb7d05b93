// The line client used from two threads: a disconnect or a release from another thread ends a
// receive that is waiting for a silent peer, and the client object outlives its last user.
#include "RawPeer.h"
#include "TCP.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

namespace {

// Connects the unit's client to the peer, then a second thread sends a line and waits for a
// reply that never comes; the peer reads the line, so that thread is in its receive (or about
// to be) when `stop` runs on the test thread.
template <typename Stop> TPack BlockThenStop(Stop stop) {
    // Far beyond any test run: only the stop can end the receive.
    TcpSetRecvTimeLimit(std::chrono::minutes(10));
    RawPeer peer;
    EXPECT_TRUE(ConnectDefaultClient(peer));
    auto receiver = std::async(std::launch::async, [] {
        TPack mine;
        mine.Line = "ping";
        TcpLoadPack(mine);
        TcpSendLine();
        TcpRecvLine(mine);
        return mine;
    });
    EXPECT_EQ(peer.Read(6), "ping\r\n");
    stop();
    TPack got = receiver.get();
    EXPECT_EQ(peer.ReadToEnd(), ""); // the client's side is closed
    return got;
}

TEST(TcpThreadTest, DisconnectFromAnotherThreadEndsABlockedReceive) {
    TPack got = BlockThenStop([] { EXPECT_TRUE(TcpDisconnect()); });
    EXPECT_EQ(got.Line, "");
    EXPECT_FALSE(got.Success); // nothing ever arrived on the connection
    TcpFreeClient();
}

TEST(TcpThreadTest, ReleaseFromAnotherThreadWaitsForTheReceiveToLetGo) {
    // Disconnect then release, both from the test thread, like a cancel; then the receiving
    // thread's own release finds nothing left to do.
    TPack got = BlockThenStop([] {
        TcpDisconnect();
        TcpFreeClient();
    });
    EXPECT_EQ(got.Line, "");
    TcpDisconnect();
    TcpFreeClient();
    TPack after;
    TcpRecvLine(after);
    EXPECT_FALSE(after.Success);
}

TEST(TcpThreadTest, ConcurrentReleasesFreeTheClientOnce) {
    for (int round = 0; round < 20; ++round) {
        TcpCreateClient();
        std::thread a([] {
            TcpDisconnect();
            TcpFreeClient();
        });
        std::thread b([] {
            TcpDisconnect();
            TcpFreeClient();
        });
        a.join();
        b.join();
        EXPECT_FALSE(TcpConnect());
    }
}

} // namespace
