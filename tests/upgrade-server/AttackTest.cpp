// The server under attack: idle, slow-byte and downloading connections that take every place
// they can get (and come back as soon as they are dropped), from one address with a flood of
// connections closed at once, or from many addresses that together hold more places than the
// server has; meanwhile honest sessions, each from an address of its own, must all get through,
// also over slow links.
#include "Deadline.h"
#include "RawClient.h"
#include "SlowLink.h"

#include <gtest/gtest.h>

#include <atomic>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {
const std::string kAttacker = "127.0.0.2";
// The honest clients are devices of their own: 127.0.3.1, 127.0.3.2, ...
const std::string kHonestNet = "127.0.3.";
constexpr int kHonestSessions = 10;

// What the attacking thread does: from each of `from`, `idle` connections that send nothing,
// `slow` ones that send a well-formed announcement one byte every `byteEvery` (the first line at
// once with `firstLineAtOnce`, which gets past the first line's limit), and `downloading` ones
// that go through the whole dialogue for `image` reading it at `downloadRate` bytes a second,
// over and over. All come back when they are dropped: at the next tick, at most `newPerTick` a
// tick (0: all), or at once with `reconnectAtOnce`. Besides, up to `floodMost` connections
// closed at once, `floodPerTick` a tick.
struct TAttackPlan {
    std::vector<std::string> from{kAttacker};
    int idle = 0;
    int slow = 0;
    int downloading = 0;
    std::chrono::milliseconds byteEvery = 200ms;
    bool firstLineAtOnce = false;
    std::string image{};
    uint64_t downloadRate = 20000;
    int newPerTick = 0;
    bool reconnectAtOnce = false;
    int floodPerTick = 0;
    uint64_t floodMost = 0;
};

// The addresses 127.0.1.1 to 127.0.1.N, for attacks from many addresses.
std::vector<std::string> AttackAddresses(int n) {
    std::vector<std::string> from;
    for (int i = 1; i <= n; ++i)
        from.push_back("127.0.1." + std::to_string(i));
    return from;
}

// A downloading connection's part of the dialogue: what it sends, then the lines and bytes it
// waits for before its next part. Parts after the first chunk wait for the download's pace.
struct TPart {
    std::string send;
    int lines;
    size_t bytes;
};

std::vector<TPart> DownloadScript(const std::string& image) {
    std::string announcement;
    for (const auto& [key, value] : DefaultRequest())
        announcement += key + "\r\n" + value + "\r\n";
    constexpr size_t kChunk = 8192;
    std::vector<TPart> script = {
        {announcement + "IDOK\r\n", 28, 0},             // 27 replies and the length
        {std::to_string(image.size()) + "\r\n", 15, 0}, // OK, the 13 values, the check line
        {"OK\r\n", 1, 0},                               // the CRC
        {CrcText(image) + "\r\n", 0, std::min(kChunk, image.size())}};
    for (size_t at = kChunk; at < image.size(); at += kChunk)
        script.push_back({"OK\r\nOK\r\n", 1, std::min(kChunk, image.size() - at)});
    script.push_back({"AllOK\r\n", 0, 0}); // then the server closes
    return script;
}

// The attack, run by one thread until the object goes.
class TAttack {
public:
    TAttack(const std::string& server, const TAttackPlan& plan)
        : server_(server), plan_(plan), script_(DownloadScript(plan.image)) {
        for (const auto& from : plan_.from) {
            for (int i = 0; i < plan_.idle + plan_.slow + plan_.downloading; ++i) {
                Kind kind = i < plan_.idle                ? Kind::Idle
                            : i < plan_.idle + plan_.slow ? Kind::Slow
                                                          : Kind::Downloading;
                holders_.push_back({.kind = kind, .from = &from});
            }
        }
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
    // Connections the server closed (refused, displaced, timed out or done).
    uint64_t Dropped() const { return dropped_; }

private:
    enum class Kind { Idle, Slow, Downloading };
    using Clock = std::chrono::steady_clock;
    struct Holder {
        Kind kind;
        const std::string* from;
        int fd = -1;
        size_t sent = 0;          // slow: bytes of the announcement sent so far
        Clock::time_point next{}; // slow: the next byte; downloading: the next part
        bool answered = false;
        // Downloading: the part of the script under way, whether it has been sent, what it still
        // waits for, and the data read since the first chunk was asked for.
        size_t part = 0;
        bool partSent = false;
        int lines = 0;
        size_t bytes = 0;
        std::string input{};
        Clock::time_point dataStart{};
        size_t dataRead = 0;
    };

    void Connect(Holder& h, Clock::time_point now) {
        h = Holder{.kind = h.kind, .from = h.from, .next = now};
        h.fd = ConnectFrom(*h.from, server_);
        connections_ += h.fd >= 0;
        if (h.fd >= 0 && h.kind == Kind::Slow && plan_.firstLineAtOnce) {
            h.sent = announcement_.find("\r\n") + 2;
            send(h.fd, announcement_.data(), h.sent, MSG_NOSIGNAL);
            h.next = now + plan_.byteEvery;
        }
    }

    // A downloading connection sends its next part when it is due.
    void SendPart(Holder& h, Clock::time_point now) {
        if (h.fd < 0 || h.kind != Kind::Downloading || h.partSent || now < h.next)
            return;
        const TPart& part = script_[h.part];
        send(h.fd, part.send.data(), part.send.size(), MSG_NOSIGNAL);
        h.partSent = true;
        h.lines = part.lines;
        h.bytes = part.bytes;
        if (part.bytes > 0 && part.lines == 0)
            h.dataStart = now;
    }

    // What a downloading connection read: the lines and bytes its part waits for.
    void Read(Holder& h, const char* data, size_t n, Clock::time_point now) {
        h.input.append(data, n);
        for (size_t end; h.lines > 0 && (end = h.input.find("\r\n")) != std::string::npos;
             --h.lines)
            h.input.erase(0, end + 2);
        if (h.lines > 0 || !h.partSent || h.part + 1 >= script_.size())
            return;
        size_t taken = std::min(h.bytes, h.input.size());
        h.input.erase(0, taken);
        h.bytes -= taken;
        h.dataRead += taken;
        if (h.bytes > 0)
            return;
        ++h.part;
        h.partSent = false;
        // Past the first chunk, at the download's pace.
        h.next = h.dataRead == 0 ? now
                                 : h.dataStart + std::chrono::duration_cast<Clock::duration>(
                                                     std::chrono::duration<double>(
                                                         static_cast<double>(h.dataRead) /
                                                         static_cast<double>(plan_.downloadRate)));
    }

    void Tick(Clock::time_point now, uint64_t& flooded) {
        int budget = plan_.newPerTick > 0 ? plan_.newPerTick : -1;
        for (auto& h : holders_) {
            if (h.fd < 0 && budget != 0) { // dropped or refused: back
                Connect(h, now);
                budget -= budget > 0;
            }
            if (h.fd >= 0 && h.kind == Kind::Slow && now >= h.next) {
                send(h.fd, &announcement_[h.sent++ % announcement_.size()], 1, MSG_NOSIGNAL);
                h.next = now + plan_.byteEvery;
            }
        }
        for (int i = 0; i < plan_.floodPerTick && flooded < plan_.floodMost; ++i, ++flooded) {
            int fd = ConnectFrom(plan_.from.front(), server_);
            connections_ += fd >= 0;
            if (fd >= 0)
                close(fd);
        }
    }

    void Run() {
        for (const auto& [key, value] : DefaultRequest())
            announcement_ += key + "\r\n" + value + "\r\n";
        constexpr auto kTick = 200ms;
        uint64_t flooded = 0;
        auto nextTick = Clock::now();
        while (!stop_) {
            auto now = Clock::now();
            if (now >= nextTick) {
                nextTick += kTick;
                Tick(now, flooded);
            }
            // Until the next tick or part due, notice what the server sends and when it drops a
            // connection.
            auto wake = nextTick;
            std::vector<pollfd> fds;
            fds.reserve(holders_.size());
            for (auto& h : holders_) {
                SendPart(h, now);
                if (h.fd >= 0 && h.kind == Kind::Downloading && !h.partSent)
                    wake = std::min(wake, h.next);
                fds.push_back({h.fd, POLLIN, 0});
            }
            poll(fds.data(), fds.size(), MillisLeft(wake));
            now = Clock::now();
            for (size_t i = 0; i < fds.size(); ++i) {
                char scratch[16384];
                if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                    continue;
                Holder& h = holders_[i];
                ssize_t n = recv(fds[i].fd, scratch, sizeof scratch, MSG_DONTWAIT);
                if (n <= 0) {
                    close(fds[i].fd);
                    h.fd = -1;
                    ++dropped_;
                    if (plan_.reconnectAtOnce)
                        Connect(h, now);
                    continue;
                }
                admitted_ += !h.answered;
                h.answered = true;
                if (h.kind == Kind::Downloading)
                    Read(h, scratch, static_cast<size_t>(n), now);
            }
        }
    }

    std::string server_;
    TAttackPlan plan_;
    std::vector<TPart> script_;
    std::string announcement_;
    std::vector<Holder> holders_;
    std::atomic<bool> stop_{false};
    std::atomic<uint64_t> connections_{0};
    std::atomic<uint64_t> admitted_{0};
    std::atomic<uint64_t> dropped_{0};
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

// Ten honest sessions at once, each from an address of its own (kHonestNet), directly or over
// a slow link each (64 kbit/s, 25 ms each way); how many ended with the whole image and AllOK.
int HonestSessions(const std::string& server, const std::string& image, bool slowLinks = false) {
    std::atomic<int> good{0};
    std::vector<std::thread> honest;
    honest.reserve(kHonestSessions);
    for (int i = 1; i <= kHonestSessions; ++i) {
        honest.emplace_back([&, from = kHonestNet + std::to_string(i)] {
            std::optional<TSlowLink> link;
            if (slowLinks)
                link.emplace(server, 5001, from, 25ms, 8000);
            RawClient client =
                link ? RawClient(link->Address(), link->Port()) : RawClient(server, 5001, from);
            Announce(client, DefaultRequest());
            Download d = Receive(client);
            good += d.data == image && d.closedAfterAllOk;
        });
    }
    for (auto& t : honest)
        t.join();
    return good;
}

// Reads and drops a server's log while it lives, so that the server never waits for a full pipe
// (the attackers' completed downloads are logged one by one).
class TLogDrain {
public:
    explicit TLogDrain(TUpgradeServer& server)
        : thread_([this, &server] {
              while (!stop_)
                  server.Process().ReadLine(100ms);
          }) {}
    ~TLogDrain() {
        stop_ = true;
        thread_.join();
    }
    TLogDrain(const TLogDrain&) = delete;
    TLogDrain& operator=(const TLogDrain&) = delete;

private:
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// A session line of an honest client.
bool Honest(const std::string& line) {
    return line.find(" " + kHonestNet) != std::string::npos;
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
        honestAllOk += Honest(*line) && line->find("end=allok") != std::string::npos;
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
// honest session would fail; with the defaults it displaces a connection of the peers holding the
// most places.
TEST(UpgradeServerAttack, HonestSessionsGetThroughWhileManyAddressesHoldSlowSlots) {
    constexpr int kAddresses = 32;
    constexpr int kSlots = 16;
    if (!RaiseOpenFiles(kAddresses * kSlots + 256))
        GTEST_SKIP() << "the open-file limit cannot be raised to " << kAddresses * kSlots + 256;
    const std::string image = TestImage(30000);
    TUpgradeServer server({.firmware = image});
    TAttack attack(server.Address(), {.from = AttackAddresses(kAddresses),
                                      .slow = kSlots,
                                      .byteEvery = 25s,
                                      .firstLineAtOnce = true});
    // Every place has been taken (the server has 256).
    ASSERT_TRUE(WaitUntil([&] { return attack.Admitted() >= 256; }, 30s)) << attack.Admitted();

    auto honestStart = std::chrono::steady_clock::now();
    EXPECT_EQ(HonestSessions(server.Address(), image), kHonestSessions);
    EXPECT_LT(std::chrono::steady_clock::now() - honestStart, 30s);

    // The server's account: the honest sessions ended with AllOK, holders gave up their places
    // (counted in a line a second), and no holder's session was logged on its own.
    EXPECT_EQ(server.Process().Stop(), 0);
    int honestAllOk = 0;
    int otherSessions = 0;
    uint64_t displaced = 0;
    while (auto line = server.Process().ReadLine(10s)) {
        bool honest = Honest(*line);
        honestAllOk += honest && line->find("end=allok") != std::string::npos;
        otherSessions += !honest && line->find(" id=") != std::string::npos &&
                         line->find("end=shutdown@") == std::string::npos;
        if (auto at = line->find(" displaced "); at != std::string::npos)
            displaced += std::stoull(line->substr(at + 11));
    }
    EXPECT_EQ(honestAllOk, kHonestSessions);
    EXPECT_GE(displaced, 10u);
    EXPECT_EQ(otherSessions, 0);
}

// Honest devices on slow links (64 kbit/s, 50 ms round trip: 27 round trips to announce, about
// 150 bytes a second at first) while 32 addresses attack a server of 64 places: a flood of
// empty connections (600 a second) that keeps every place young; 256 connections downloading at
// 20 KB/s each, much faster than an honest one; 16 slow slots from each address coming back as
// fast as they can. Judged by their speed or their age, the honest sessions would lose their
// places; judged by their peer, which holds fewer places than any attacker, they keep them.
TEST(UpgradeServerAttack, HonestSessionsOnSlowLinksGetThroughWhileManyAddressesAttack) {
    if (!RaiseOpenFiles(1024))
        GTEST_SKIP() << "the open-file limit cannot be raised to 1024";
    const std::string image = TestImage(12000);
    const auto from = AttackAddresses(32);
    const struct {
        const char* name;
        TAttackPlan plan;
    } attacks[] = {
        {"empty connections", {.from = from, .idle = 16, .newPerTick = 120}},
        {"fast downloads", {.from = from, .downloading = 8, .image = image}},
        {"slow slots",
         {.from = from,
          .slow = 16,
          .byteEvery = 25s,
          .firstLineAtOnce = true,
          .reconnectAtOnce = true}},
    };
    for (const auto& attack : attacks) {
        SCOPED_TRACE(attack.name);
        TUpgradeServer server({.firmware = image, .args = {"--max-sessions", "64"}});
        TLogDrain drain(server);
        TAttack attacker(server.Address(), attack.plan);
        // The server is full: it has closed connections for newcomers, or refused them.
        ASSERT_TRUE(WaitUntil([&] { return attacker.Dropped() >= 256; }, 30s))
            << attacker.Dropped();
        const uint64_t droppedBefore = attacker.Dropped();
        EXPECT_EQ(HonestSessions(server.Address(), image, true), kHonestSessions);
        // The attack went on all the while: every place was taken over again and again.
        EXPECT_GT(attacker.Dropped() - droppedBefore, 64u);
    }
}
