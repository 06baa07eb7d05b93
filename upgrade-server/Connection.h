#pragma once
// One accepted TCP connection on the io_context of one thread, with the pieces both the upgrade
// dialogue and the page server need: time limits enforced by a watchdog (each step, the first
// line, the whole session), CR LF line reads with a length cap, gathered writes, a graceful close,
// and a shutdown request that can come from any thread.
//
// The socket is non-blocking for direct calls: a write is first tried right away and falls back
// to Asio's asynchronous write only for what the socket does not take at once.
#include <asio.hpp>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <system_error>
#include <unordered_map>
#include <utility>
#include <vector>

class Connection;

// What the connections of one listening socket may take: how many at once, in all, from one peer
// and from one IPv6 network, and the time limits beyond the step limit. The defaults only cap
// the total.
struct ConnectionLimits {
    size_t maxSessions = 256;
    size_t maxPerPeer = std::numeric_limits<size_t>::max();
    size_t maxPerNetwork = std::numeric_limits<size_t>::max();
    // The first line (the request head for a page) must be complete this long after the accept;
    // zero: the step limit. Never longer than the step limit.
    std::chrono::milliseconds firstLine{0};
    // The whole session may last sessionBase plus one second for every minRate bytes received
    // and sent; a zero sessionBase sets no such limit.
    std::chrono::milliseconds sessionBase{0};
    uint64_t minRate = 1024;
    // A connection that moves fewer than minProgress bytes (received and sent) in one
    // progressWindow is closed; a zero window sets no such limit.
    std::chrono::milliseconds progressWindow{0};
    uint64_t minProgress = 0;
    // New connections from one peer: a bucket of connectBurst tokens that refills at
    // connectRate a second, one token a connection; a zero rate sets no such limit.
    uint64_t connectRate = 0;
    uint64_t connectBurst = 1;
};

// The live connections of one listening socket, by peer (PeerKeyOf), for the caps, for shutdown
// and for closing the ones that hold an old catalogue generation.
//
// When every place is taken, a new connection is weighed by its peer, not by its speed: a peer
// that already holds the most places (at least as many as any other) is refused another. Else
// the newcomer takes the place of a connection of the peer holding the most places (of several
// such peers, the connection that moved bytes at the lowest rate lately; the oldest of equally
// slow ones), so that many addresses together cannot take an honest client's place, however
// fast or young their own connections are. A connection that has not received its first byte
// is spared for kFirstBytesGrace, the time its first line takes to arrive, unless all the
// candidates are that young. A session past its opening (Settle) that keeps the minimum
// progress is closed only for a peer holding more than its fair share: the places divided by
// the peers holding them, the newcomer's included, and at least one. When no connection may be
// closed, the newcomer is refused.
class ConnectionRegistry {
public:
    enum class Admission {
        Accepted,
        MaxSessions,
        MaxPerPeer,
        MaxPerNetwork,
        ConnectRate,
        Stopping
    };

    explicit ConnectionRegistry(size_t cap) : limits_{.maxSessions = cap} {}
    explicit ConnectionRegistry(const ConnectionLimits& limits) : limits_(limits) {}
    const ConnectionLimits& Limits() const { return limits_; }
    // Accepted (perhaps in the place of a connection closed for it), or why not: a cap or the
    // connection rate is reached, or the server is stopping.
    Admission Add(const std::shared_ptr<Connection>& connection);
    void Remove(const Connection* connection);
    // Refuses new connections and asks every live one to close.
    void ShutdownAll();
    // Closes every live connection of a catalogue generation older than `oldest` (they end as
    // Failure::Superseded); returns how many were asked to close.
    size_t CloseGenerationsBefore(uint64_t oldest);
    // No connection is live, and `ended` counts the connections removed so far.
    bool Idle(uint64_t& ended);

private:
    struct PeerPlaces;
    struct Entry {
        std::weak_ptr<Connection> connection;
        std::string peer;
        std::string network;
        PeerPlaces* places = nullptr; // its peer's entry in peers_
        size_t slot = 0;              // its index in places->held while it holds a place
        bool displaced = false;       // asked to close for a newcomer; no longer holds a place
    };
    struct PeerPlaces {
        size_t live = 0;          // live connections, displaced ones included (the per-peer cap)
        std::vector<Entry*> held; // those that hold a place
    };
    // New connections a peer may still open, as of `last`.
    struct Bucket {
        double tokens;
        std::chrono::steady_clock::time_point last;
    };
    // Takes one of the peer's tokens; false when it has none left (mutex_ held).
    bool TakeToken(const std::string& peer, std::chrono::steady_clock::time_point now);
    // The connection a newcomer from `own` (nothing: a peer without connections) takes the
    // place of on a full server, or nothing when it is refused (mutex_ held).
    std::shared_ptr<Connection> Victim(const PeerPlaces* own,
                                       std::chrono::steady_clock::time_point now);
    // A connection that moves bytes at `rate` a second keeps the minimum progress.
    bool KeepsMinimumProgress(double rate) const;
    // The connection holds a place no more (mutex_ held).
    void ReleasePlace(Entry& entry);

    std::mutex mutex_;
    const ConnectionLimits limits_;
    bool stopping_ = false;
    uint64_t ended_ = 0;
    size_t held_ = 0; // places held: the live connections not displaced
    std::unordered_map<const Connection*, Entry> live_;
    std::unordered_map<std::string, PeerPlaces> peers_;
    std::unordered_map<std::string, size_t> perNetwork_;
    std::unordered_map<std::string, Bucket> buckets_;
    std::chrono::steady_clock::time_point bucketsPruned_;
};

class Connection : public std::enable_shared_from_this<Connection> {
public:
    // Why the last read or write failed. TooSlow: the session limit ran out; NoProgress: too few
    // bytes moved in one progress window; Displaced: closed for a newcomer on a full server;
    // Superseded: its catalogue generation is too old.
    enum class Failure {
        None,
        Closed,
        Timeout,
        TooSlow,
        NoProgress,
        Displaced,
        Superseded,
        Shutdown,
        TooLong,
        Error
    };

    Connection(asio::ip::tcp::socket socket, std::chrono::milliseconds stepLimit,
               ConnectionRegistry& registry, uint64_t generation = 1);
    virtual ~Connection() = default;

    const asio::any_io_executor& Executor() { return executor_; }
    const std::string& Peer() const { return peer_; }
    // The peer as the per-peer cap, the connection rate and a full server count it (see
    // PeerKeyOf).
    const std::string& PeerKey() const { return peerKey_; }
    // The IPv6 network the per-network cap counts it in (see NetworkKeyOf); empty for IPv4.
    const std::string& NetworkKey() const { return networkKey_; }
    // The catalogue generation the connection serves from.
    uint64_t Generation() const { return generation_; }
    // Bytes moved in the last progress window and the current one, and since when (safe from
    // any thread).
    struct Progress {
        uint64_t bytes;
        std::chrono::steady_clock::time_point since;
    };
    Progress RecentProgress() const {
        // The base first: moved_ only grows, so it is never below a base read before it.
        uint64_t base = progressBase_.load(std::memory_order_relaxed);
        auto since = progressSince_.load(std::memory_order_relaxed);
        return {moved_.load(std::memory_order_relaxed) - base,
                std::chrono::steady_clock::time_point(std::chrono::steady_clock::duration(since))};
    }
    std::chrono::steady_clock::time_point Accepted() const { return accepted_; }
    // Past its opening (see Settle; safe from any thread).
    bool Settled() const { return settled_.load(std::memory_order_relaxed); }

    // Safe from any thread: closes the connection on its own thread; pending operations fail with
    // `why` (Shutdown, Displaced or Superseded).
    void RequestClose(Failure why);

protected:
    // Starts the watchdog, runs Serve(), then releases the connection. Call via co_spawn on
    // Executor().
    static asio::awaitable<void> Start(std::shared_ptr<Connection> self);
    virtual asio::awaitable<void> Serve() = 0;
    // Called once the connection is closed and no longer counts against the cap.
    virtual void Ended() {}

    // The step time limit counts from now (until the first line has come: from the accept, and
    // the first line's limit).
    void RestartClock();
    // Bytes received so far.
    uint64_t BytesReceived() const { return received_; }
    // No time limit, neither the step's nor the session's nor the progress limit, until the
    // next RestartClock.
    void StopClock();
    // The connection is past its opening (the upgrade announcement): while it keeps the minimum
    // progress, a newcomer on a full server takes its place only when its peer holds more
    // than its fair share.
    void Settle() { settled_.store(true, std::memory_order_relaxed); }

    // One line without its CR LF; false on failure (see LastFailure). A line longer than maxLength
    // bytes fails with Failure::TooLong.
    asio::awaitable<bool> ReadLine(std::string& line, size_t maxLength);
    // Everything up to and including `delimiter`; at most maxLength bytes.
    asio::awaitable<bool> ReadUntil(std::string_view delimiter, size_t maxLength,
                                    std::string& text);
    // Writes all of `buffers`. What the socket takes at once is written right here; only the
    // rest waits for the socket (see WriteRest).
    template <typename Buffers> asio::awaitable<bool> Write(const Buffers& buffers) {
        std::error_code ec;
        size_t done = asio::write(socket_, buffers, ec);
        moved_.fetch_add(done, std::memory_order_relaxed);
        if (!ec)
            co_return true;
        if (ec != asio::error::would_block && ec != asio::error::try_again)
            co_return Check(ec);
        std::vector<asio::const_buffer> all(asio::buffer_sequence_begin(buffers),
                                            asio::buffer_sequence_end(buffers));
        co_return co_await WriteRest(std::move(all), done);
    }
    // Shuts down the sending side and waits (at most one step time limit) for the peer to close,
    // so that the last answer is not lost to a reset; then closes.
    asio::awaitable<void> CloseGracefully();
    // Reads and discards until the peer closes or the server stops, with no time limit.
    asio::awaitable<void> Stall();

    Failure LastFailure() const { return failure_; }
    static const char* FailureName(Failure failure);

private:
    static asio::awaitable<void> Watch(std::shared_ptr<Connection> self);
    // The earliest of the step's and the session's deadline and the end of the progress window,
    // and which failure it brings.
    std::pair<std::chrono::steady_clock::time_point, Failure> NextDeadline() const;
    // At the end of a progress window: false when too little moved in it, else the next one
    // starts.
    bool ProgressMade();
    bool Check(const std::error_code& ec);
    asio::awaitable<bool> WriteRest(std::vector<asio::const_buffer> buffers, size_t skip);
    asio::awaitable<void> Drain();

    asio::ip::tcp::socket socket_;
    asio::any_io_executor executor_;
    asio::steady_timer timer_;
    std::chrono::milliseconds stepLimit_;
    ConnectionRegistry& registry_;
    const std::chrono::steady_clock::time_point accepted_;
    std::chrono::steady_clock::time_point deadline_;
    bool firstLineDone_ = false;
    bool sessionLimited_;
    bool progressLimited_;
    // Bytes received and sent, for the session and progress limits (read by the registry from
    // the accepting thread, hence atomic).
    std::atomic<uint64_t> moved_{0};
    // moved_ when the previous progress window began; the current window began at windowStart_.
    std::atomic<uint64_t> progressBase_{0};
    std::atomic<std::chrono::steady_clock::rep> progressSince_;
    uint64_t windowStart_ = 0;
    std::chrono::steady_clock::time_point windowEnd_;
    uint64_t received_ = 0;
    std::atomic<bool> settled_{false};
    const uint64_t generation_;
    std::string peer_;
    std::string peerKey_;
    std::string networkKey_;
    std::string input_;
    Failure failure_ = Failure::None;
    // Why the server closed the socket itself (a time limit, displacement, reload, shutdown).
    Failure closedFor_ = Failure::None;
    bool done_ = false;
};

// "1.2.3.4:5" or "[::1]:5".
std::string EndpointText(const asio::ip::tcp::endpoint& endpoint);
// The part of an address one peer controls: an IPv4 address (also when mapped into IPv6) whole,
// an IPv6 address as its /64 network ("2001:db8:0:1::/64"), which one host usually gets whole.
std::string PeerKeyOf(const asio::ip::address& address);
// The IPv6 network one subscriber usually gets whole, many /64s in one: the /56
// ("2001:db8:0:100::/56"). Empty for IPv4 (also mapped into IPv6).
std::string NetworkKeyOf(const asio::ip::address& address);
