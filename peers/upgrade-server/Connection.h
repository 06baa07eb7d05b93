#pragma once
// One accepted TCP connection on the io_context of one thread, with the pieces both the upgrade
// dialogue and the page server need: a per-step time limit enforced by a watchdog, CR LF line reads
// with a length cap, gathered writes, a graceful close, and a shutdown request that can come from
// any thread.
//
// The socket is non-blocking for direct calls: a write is first tried right away and falls back
// to Asio's asynchronous write only for what the socket does not take at once.
#include <asio.hpp>

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <system_error>
#include <unordered_map>
#include <vector>

class Connection;

// The live connections of one listening socket, for the concurrency cap and for shutdown.
class ConnectionRegistry {
public:
    explicit ConnectionRegistry(size_t cap) : cap_(cap) {}
    // False when the cap is reached or the server is stopping.
    bool Add(const std::shared_ptr<Connection>& connection);
    void Remove(const Connection* connection);
    // Refuses new connections and asks every live one to close.
    void ShutdownAll();

private:
    std::mutex mutex_;
    size_t cap_;
    bool stopping_ = false;
    std::unordered_map<const Connection*, std::weak_ptr<Connection>> live_;
};

class Connection : public std::enable_shared_from_this<Connection> {
public:
    // Why the last read or write failed.
    enum class Failure { None, Closed, Timeout, Shutdown, TooLong, Error };

    Connection(asio::ip::tcp::socket socket, std::chrono::milliseconds stepLimit,
               ConnectionRegistry& registry);
    virtual ~Connection() = default;

    const asio::any_io_executor& Executor() { return executor_; }
    const std::string& Peer() const { return peer_; }

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

    // The step time limit counts from now.
    void RestartClock();
    // No time limit until the next RestartClock.
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
    bool Check(const std::error_code& ec);
    asio::awaitable<bool> WriteRest(std::vector<asio::const_buffer> buffers, size_t skip);
    asio::awaitable<void> Drain();

    asio::ip::tcp::socket socket_;
    asio::any_io_executor executor_;
    asio::steady_timer timer_;
    std::chrono::milliseconds stepLimit_;
    std::chrono::steady_clock::time_point deadline_;
    ConnectionRegistry& registry_;
    std::string peer_;
    std::string input_;
    Failure failure_ = Failure::None;
    bool timedOut_ = false;
    bool shutdown_ = false;
    bool done_ = false;
};

// "1.2.3.4:5" or "[::1]:5".
std::string EndpointText(const asio::ip::tcp::endpoint& endpoint);
