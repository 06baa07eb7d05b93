#pragma once
// One accepted TCP connection on the io_context of one thread, with the pieces both the upgrade
// dialogue and the page server need: time limits enforced by a watchdog (each step, the first
// line, the whole session), CR LF line reads with a length cap, gathered writes, a graceful close,
// and a shutdown request that can come from any thread.
//
// The socket is non-blocking for direct calls: a write is first tried right away and falls back
// to Asio's asynchronous write only for what the socket does not take at once.
#include <asio.hpp>

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

// What the connections of one listening socket may take: how many at once, in all and from one
// peer, and the time limits beyond the step limit. The defaults only cap the total.
struct ConnectionLimits {
    size_t maxSessions = 256;
    size_t maxPerPeer = std::numeric_limits<size_t>::max();
    // The first line (the request head for a page) must be complete this long after the accept;
    // zero: the step limit. Never longer than the step limit.
    std::chrono::milliseconds firstLine{0};
    // The whole session may last sessionBase plus one second for every minRate bytes received
    // and sent; a zero sessionBase sets no such limit.
    std::chrono::milliseconds sessionBase{0};
    uint64_t minRate = 1024;
};

// The live connections of one listening socket, for the caps and for shutdown.
class ConnectionRegistry {
public:
    enum class Admission { Accepted, MaxSessions, MaxPerPeer, Stopping };

    explicit ConnectionRegistry(size_t cap) : limits_{.maxSessions = cap} {}
    explicit ConnectionRegistry(const ConnectionLimits& limits) : limits_(limits) {}
    const ConnectionLimits& Limits() const { return limits_; }
    // Accepted, or why not: a cap is reached or the server is stopping.
    Admission Add(const std::shared_ptr<Connection>& connection);
    void Remove(const Connection* connection);
    // Refuses new connections and asks every live one to close.
    void ShutdownAll();
    // No connection is live, and `ended` counts the connections removed so far.
    bool Idle(uint64_t& ended);

private:
    struct Entry {
        std::weak_ptr<Connection> connection;
        std::string peer;
    };

    std::mutex mutex_;
    const ConnectionLimits limits_;
    bool stopping_ = false;
    uint64_t ended_ = 0;
    std::unordered_map<const Connection*, Entry> live_;
    std::unordered_map<std::string, size_t> perPeer_;
};

class Connection : public std::enable_shared_from_this<Connection> {
public:
    // Why the last read or write failed. TooSlow: the session limit ran out.
    enum class Failure { None, Closed, Timeout, TooSlow, Shutdown, TooLong, Error };

    Connection(asio::ip::tcp::socket socket, std::chrono::milliseconds stepLimit,
               ConnectionRegistry& registry);
    virtual ~Connection() = default;

    const asio::any_io_executor& Executor() { return executor_; }
    const std::string& Peer() const { return peer_; }
    // The peer as the per-peer cap counts it (see PeerKeyOf).
    const std::string& PeerKey() const { return peerKey_; }

    // Safe from any thread: closes the connection on its own thread; pending operations fail with
    // Failure::Shutdown.
    void RequestShutdown();

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
    // No time limit, neither the step's nor the session's, until the next RestartClock.
    void StopClock();

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
        moved_ += done;
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
    // The earlier of the step's and the session's deadline, and which failure it brings.
    std::pair<std::chrono::steady_clock::time_point, Failure> NextDeadline() const;
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
    uint64_t moved_ = 0; // bytes received and sent, for the session limit
    std::string peer_;
    std::string peerKey_;
    std::string input_;
    Failure failure_ = Failure::None;
    Failure timedOut_ = Failure::None; // Timeout or TooSlow once the watchdog closed the socket
    bool shutdown_ = false;
    bool done_ = false;
};

// "1.2.3.4:5" or "[::1]:5".
std::string EndpointText(const asio::ip::tcp::endpoint& endpoint);
// The part of an address one peer controls: an IPv4 address (also when mapped into IPv6) whole,
// an IPv6 address as its /64 network ("2001:db8:0:1::/64"), which one host usually gets whole.
std::string PeerKeyOf(const asio::ip::address& address);
