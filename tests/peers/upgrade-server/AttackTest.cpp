// The server under attack from one address: idle and slow-byte connections that take every place
// they can get (and come back as soon as they are dropped) and a flood of connections closed at
// once, while honest sessions from another address must all get through.
#include "Deadline.h"
#include "RawClient.h"

#include <gtest/gtest.h>

#include <atomic>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {
const std::string kAttacker = "127.0.0.2";
const std::string kHonest = "127.0.0.3";

// The attack, run by one thread until the object goes.
class TAttack {
public:
    TAttack(const std::string& server, int idle, int slow) : server_(server) {
        for (int i = 0; i < idle + slow; ++i)
            holders_.push_back({-1, i >= idle, 0});
        thread_ = std::thread([this] { Run(); });
    }
    ~TAttack() {
        stop_ = true;
        thread_.join();
        for (auto& h : holders_)
            if (h.fd >= 0)
                close(h.fd);
    }
    TAttack(const TAttack&) = delete;
    TAttack& operator=(const TAttack&) = delete;

    uint64_t Connections() const { return connections_; }

private:
    struct Holder {
        int fd;
        bool slow;   // sends one byte of an announcement every tick
        size_t sent; // bytes of it sent so far
    };

    void Run() {
        // What the slow ones send: a well-formed announcement, one byte at a time.
        std::string script;
        for (const auto& [key, value] : DefaultRequest())
            script += key + "\r\n" + value + "\r\n";
        constexpr auto kTick = 200ms;
        constexpr int kFloodPerTick = 50;
        constexpr uint64_t kFloodMost = 5000; // ports of the attacking address stay free
        uint64_t flooded = 0;
        auto nextTick = std::chrono::steady_clock::now();
        while (!stop_) {
            if (std::chrono::steady_clock::now() >= nextTick) {
                nextTick += kTick;
                for (auto& h : holders_) {
                    if (h.fd < 0) { // dropped or refused: back at once
                        h.fd = ConnectFrom(kAttacker, server_);
                        h.sent = 0;
                        connections_ += h.fd >= 0;
                    } else if (h.slow) {
                        send(h.fd, &script[h.sent++ % script.size()], 1, MSG_NOSIGNAL);
                    }
                }
                for (int i = 0; i < kFloodPerTick && flooded < kFloodMost; ++i, ++flooded) {
                    int fd = ConnectFrom(kAttacker, server_);
                    connections_ += fd >= 0;
                    if (fd >= 0)
                        close(fd);
                }
            }
            // Until the next tick, notice the connections the server drops.
            std::vector<pollfd> fds;
            for (auto& h : holders_)
                fds.push_back({h.fd, POLLIN, 0});
            poll(fds.data(), fds.size(), MillisLeft(nextTick));
            for (size_t i = 0; i < fds.size(); ++i) {
                char scratch[256];
                if (fds[i].fd >= 0 && (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) &&
                    recv(fds[i].fd, scratch, sizeof scratch, MSG_DONTWAIT) <= 0) {
                    close(fds[i].fd);
                    holders_[i].fd = -1;
                }
            }
        }
    }

    std::string server_;
    std::vector<Holder> holders_;
    std::atomic<bool> stop_{false};
    std::atomic<uint64_t> connections_{0};
    std::thread thread_;
};
} // namespace

TEST(UpgradeServerAttack, HonestSessionsGetThroughWhileOneAddressAttacks) {
    const std::string image = TestImage(30000);
    // The defaults: they must hold. (The test waits for none of the time limits.)
    TUpgradeServer server({.firmware = image});
    auto start = std::chrono::steady_clock::now();
    auto attack = std::make_unique<TAttack>(server.Address(), 256, 256);
    // The attacker holds all the places it may have once the server refuses it.
    ASSERT_GT(RefusalCount(server.LogLine(" refused "), "max-per-peer"), 0u);

    constexpr int kHonestSessions = 10;
    std::atomic<int> good{0};
    std::vector<std::thread> honest;
    auto honestStart = std::chrono::steady_clock::now();
    for (int i = 0; i < kHonestSessions; ++i) {
        honest.emplace_back([&] {
            RawClient client(server.Address(), 5001, kHonest);
            Announce(client, DefaultRequest());
            Download d = Receive(client);
            good += d.data == image && d.closedAfterAllOk;
        });
    }
    for (auto& t : honest)
        t.join();
    auto honestTime = std::chrono::steady_clock::now() - honestStart;
    uint64_t attackConnections = attack->Connections();
    attack.reset();
    auto attackSeconds =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start)
            .count();

    EXPECT_EQ(good.load(), kHonestSessions);
    EXPECT_LT(honestTime, 30s); // a fraction of a second when the machine is not loaded
    EXPECT_GT(attackConnections, 512u);

    // The server's own account: the honest sessions all ended with AllOK, and the refusals came
    // in at most one line a second.
    EXPECT_EQ(server.Process().Stop(), 0);
    int honestAllOk = 0;
    int refusalLines = 0;
    uint64_t refused = 0;
    while (auto line = server.Process().ReadLine(10s)) {
        honestAllOk += line->find(" " + kHonest + ":") != std::string::npos &&
                       line->find("end=allok") != std::string::npos;
        if (uint64_t n = RefusalCount(*line, "max-per-peer")) {
            ++refusalLines;
            refused += n;
        }
    }
    EXPECT_EQ(honestAllOk, kHonestSessions);
    EXPECT_GT(refused, 0u);
    EXPECT_LE(refusalLines, attackSeconds + 2);
}
