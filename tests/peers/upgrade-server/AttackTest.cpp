// The server under attack: idle and slow-byte connections that take every place they can get (and
// come back as soon as they are dropped), from one address with a flood of connections closed at
// once, or from many addresses that together hold more places than the server has; meanwhile
// honest sessions from another address must all get through.
#include "Deadline.h"
#include "RawClient.h"

#include <gtest/gtest.h>

#include <atomic>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {
const std::string kAttacker = "127.0.0.2";
const std::string kHonest = "127.0.0.3";

// What the attacking thread does: from each of `from`, `idle` connections that send nothing and
// `slow` ones that send a well-formed announcement one byte every `byteEvery` (the first line at
// once with `firstLineAtOnce`, which gets past the first line's limit), all coming back as soon
// as they are dropped; and up to `floodMost` connections closed at once, `floodPerTick` a tick.
struct TAttackPlan {
    std::vector<std::string> from{kAttacker};
    int idle = 0;
    int slow = 0;
    std::chrono::milliseconds byteEvery = 200ms;
    bool firstLineAtOnce = false;
    int floodPerTick = 0;
    uint64_t floodMost = 0;
};

// The attack, run by one thread until the object goes.
class TAttack {
public:
    TAttack(const std::string& server, const TAttackPlan& plan) : server_(server), plan_(plan) {
        for (const auto& from : plan_.from)
            for (int i = 0; i < plan_.idle + plan_.slow; ++i)
                holders_.push_back({-1, i >= plan_.idle, 0, &from, {}, false});
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
    // Connections the server answered (it admitted them).
    uint64_t Admitted() const { return admitted_; }

private:
    struct Holder {
        int fd;
        bool slow;   // sends one byte of an announcement every byteEvery
        size_t sent; // bytes of it sent so far
        const std::string* from;
        std::chrono::steady_clock::time_point nextByte;
        bool answered;
    };

    void Run() {
        // What the slow ones send: a well-formed announcement, one byte at a time.
        std::string script;
        for (const auto& [key, value] : DefaultRequest())
            script += key + "\r\n" + value + "\r\n";
        const size_t firstLine = script.find("\r\n") + 2;
        constexpr auto kTick = 200ms;
        uint64_t flooded = 0;
        auto nextTick = std::chrono::steady_clock::now();
        while (!stop_) {
            auto now = std::chrono::steady_clock::now();
            if (now >= nextTick) {
                nextTick += kTick;
                for (auto& h : holders_) {
                    if (h.fd < 0) { // dropped or refused: back at once
                        h.fd = ConnectFrom(*h.from, server_);
                        h.sent = 0;
                        h.answered = false;
                        h.nextByte = now;
                        connections_ += h.fd >= 0;
                        if (h.fd >= 0 && h.slow && plan_.firstLineAtOnce) {
                            send(h.fd, script.data(), firstLine, MSG_NOSIGNAL);
                            h.sent = firstLine;
                            h.nextByte = now + plan_.byteEvery;
                        }
                    }
                    if (h.fd >= 0 && h.slow && now >= h.nextByte) {
                        send(h.fd, &script[h.sent++ % script.size()], 1, MSG_NOSIGNAL);
                        h.nextByte = now + plan_.byteEvery;
                    }
                }
                for (int i = 0; i < plan_.floodPerTick && flooded < plan_.floodMost;
                     ++i, ++flooded) {
                    int fd = ConnectFrom(plan_.from.front(), server_);
                    connections_ += fd >= 0;
                    if (fd >= 0)
                        close(fd);
                }
            }
            // Until the next tick, notice the connections the server answers and drops.
            std::vector<pollfd> fds;
            fds.reserve(holders_.size());
            for (auto& h : holders_)
                fds.push_back({h.fd, POLLIN, 0});
            poll(fds.data(), fds.size(), MillisLeft(nextTick));
            for (size_t i = 0; i < fds.size(); ++i) {
                char scratch[256];
                if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                    continue;
                Holder& h = holders_[i];
                if (recv(fds[i].fd, scratch, sizeof scratch, MSG_DONTWAIT) <= 0) {
                    close(fds[i].fd);
                    h.fd = -1;
                } else if (!h.answered) {
                    h.answered = true;
                    ++admitted_;
                }
            }
        }
    }

    std::string server_;
    TAttackPlan plan_;
    std::vector<Holder> holders_;
    std::atomic<bool> stop_{false};
    std::atomic<uint64_t> connections_{0};
    std::atomic<uint64_t> admitted_{0};
    std::thread thread_;
};

// Raises this process's limit of open files to the hard limit; false when it stays below `needed`.
bool RaiseOpenFiles(rlim_t needed) {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return false;
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
    getrlimit(RLIMIT_NOFILE, &limit);
    return limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur >= needed;
}

// Ten honest sessions from kHonest at once; how many ended with the whole image and AllOK.
int HonestSessions(const std::string& server, const std::string& image) {
    std::atomic<int> good{0};
    std::vector<std::thread> honest;
    honest.reserve(10);
    for (int i = 0; i < 10; ++i) {
        honest.emplace_back([&] {
            RawClient client(server, 5001, kHonest);
            Announce(client, DefaultRequest());
            Download d = Receive(client);
            good += d.data == image && d.closedAfterAllOk;
        });
    }
    for (auto& t : honest)
        t.join();
    return good;
}
} // namespace

TEST(UpgradeServerAttack, HonestSessionsGetThroughWhileOneAddressAttacks) {
    const std::string image = TestImage(30000);
    // The defaults: they must hold. (The test waits for none of the time limits.)
    TUpgradeServer server({.firmware = image});
    auto start = std::chrono::steady_clock::now();
    auto attack = std::make_unique<TAttack>(
        server.Address(),
        TAttackPlan{.idle = 256, .slow = 256, .floodPerTick = 50, .floodMost = 5000});
    // The attacker holds all the places it may have once the server refuses it.
    ASSERT_GT(RefusalCount(server.LogLine(" refused "), "max-per-peer"), 0u);

    constexpr int kHonestSessions = 10;
    auto honestStart = std::chrono::steady_clock::now();
    int good = HonestSessions(server.Address(), image);
    auto honestTime = std::chrono::steady_clock::now() - honestStart;
    uint64_t attackConnections = attack->Connections();
    attack.reset();
    auto attackSeconds =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start)
            .count();

    EXPECT_EQ(good, kHonestSessions);
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

// 32 addresses, each holding the 16 places the per-peer cap allows with a connection that sent its
// first line and then one byte every 25 s: together more places than the server has. Refused, an
// honest session would fail; with the defaults it displaces the connection that moves least.
TEST(UpgradeServerAttack, HonestSessionsGetThroughWhileManyAddressesHoldSlowSlots) {
    constexpr int kAddresses = 32;
    constexpr int kSlots = 16;
    if (!RaiseOpenFiles(kAddresses * kSlots + 256))
        GTEST_SKIP() << "the open-file limit cannot be raised to " << kAddresses * kSlots + 256;
    const std::string image = TestImage(30000);
    TUpgradeServer server({.firmware = image});
    TAttackPlan plan{.slow = kSlots, .byteEvery = 25s, .firstLineAtOnce = true};
    plan.from.clear();
    for (int i = 1; i <= kAddresses; ++i)
        plan.from.push_back("127.0.1." + std::to_string(i));
    TAttack attack(server.Address(), plan);
    // Every place has been taken (the server has 256).
    ASSERT_TRUE(WaitUntil([&] { return attack.Admitted() >= 256; }, 30s)) << attack.Admitted();

    auto honestStart = std::chrono::steady_clock::now();
    EXPECT_EQ(HonestSessions(server.Address(), image), 10);
    EXPECT_LT(std::chrono::steady_clock::now() - honestStart, 30s);

    // The server's account: the honest sessions ended with AllOK, holders gave up their places
    // (counted in a line a second), and no holder's session was logged on its own.
    EXPECT_EQ(server.Process().Stop(), 0);
    int honestAllOk = 0;
    int otherSessions = 0;
    uint64_t displaced = 0;
    while (auto line = server.Process().ReadLine(10s)) {
        bool honest = line->find(" " + kHonest + ":") != std::string::npos;
        honestAllOk += honest && line->find("end=allok") != std::string::npos;
        otherSessions += !honest && line->find(" id=") != std::string::npos &&
                         line->find("end=shutdown@") == std::string::npos;
        if (auto at = line->find(" displaced "); at != std::string::npos)
            displaced += std::stoull(line->substr(at + 11));
    }
    EXPECT_EQ(honestAllOk, 10);
    EXPECT_GE(displaced, 10u);
    EXPECT_EQ(otherSessions, 0);
}
