#pragma once
// The platform's TCP client socket under the TCP unit: one stream socket, connected once.
// Every wait is bounded: a connect and a send by a time limit, a receive by the deadline of the
// whole step it belongs to (a line, or a block of data), however the bytes trickle in. Any wait
// is cut short by Disconnect from another thread.
// The connect's sequence and the receives (lines, bytes, what a look brought ahead, the wait for
// the first byte) are TcpSocket.cpp; the system calls are one file per platform
// (TcpSocket_posix.cpp, TcpSocket_win32.cpp).
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

// Readies the system's socket library for this process (Winsock needs it; nothing on POSIX).
// False when sockets cannot be used at all.
bool StartSocketLibrary();

// "30 s", "300 ms".
std::string DurationText(std::chrono::milliseconds d);
// The words for a connect that got no answer within `limit`.
std::string ConnectTimeoutText(std::chrono::milliseconds limit);

class TTcpSocket {
public:
    // How a receive ended.
    enum class TEnd {
        Done,     // the delimiter was found / bytes arrived
        Closed,   // the peer closed the connection, a socket error, or Disconnect
        TimedOut, // the deadline passed before the step was complete; the connection is now
                  // closed
        TooLong,  // the line outgrew its limit; the connection is now closed
    };

    // A socket for IPv4 addresses, or for IPv6 ones.
    explicit TTcpSocket(bool ipv6 = false);
    ~TTcpSocket(); // closes the socket
    TTcpSocket(const TTcpSocket&) = delete;
    TTcpSocket& operator=(const TTcpSocket&) = delete;

    // Resolves host (dotted quad or name, first IPv4 address) and port (number or service
    // name) and connects within the limit. False on any failure or after a Disconnect; then
    // ConnectError() says why ("connection refused: ...", "the name does not resolve (...)").
    bool Connect(const std::string& host, const std::string& port, std::chrono::milliseconds limit);
    const std::string& ConnectError() const { return connectError_; }
    bool Connected() const;
    // Shuts both directions down and wakes any wait; safe from any thread, any number of times.
    // The descriptor itself is closed only by the destructor, so a concurrent call never sees
    // a reused descriptor.
    void Disconnect();
    // Sends all of text + delimiter; returns the bytes sent or -1.
    int SendLine(const std::string& text, const std::string& delimiter,
                 std::chrono::milliseconds limit);
    // Collects bytes up to a CR LF, which it consumes but does not return; never consumes past
    // it. Stops early (returning what it has) on close, error, more than maxLength bytes of
    // text, or when the deadline passes before the CR LF has come. Reads from the socket a look
    // (up to 511 bytes) at a time; what a look brings beyond the line waits here for the next
    // receive, so a line that has already arrived costs one system call.
    std::string ReceiveLine(size_t maxLength, std::chrono::steady_clock::time_point deadline,
                            TEnd& end);
    // Receives up to size bytes in one go, waiting until the deadline for the first: the count,
    // or 0 with end set when none came. Bytes a line receive looked at come first, without a
    // system call.
    int Receive(uint8_t* into, int size, std::chrono::steady_clock::time_point deadline, TEnd& end);
    // Every byte consumed (handed out by a receive) since the connection was opened.
    int64_t BytesReceived() const { return received_.load(std::memory_order_relaxed); }

private:
    // The system's part: the socket, what wakes its waits, the send time-out (platform file).
    struct TSystem;
    // Connect's steps on the system's socket (platform file). True when the socket and what
    // wakes its waits were made.
    bool HasSocket() const;
    // The others return why they failed, empty when they worked.
    // Resolves host and port and starts connecting; `pending` when the connect goes on.
    std::string StartConnect(const std::string& host, const std::string& port, bool& pending);
    // Waits within `limit` for the pending connect to be made.
    std::string AwaitConnect(std::chrono::milliseconds limit);
    // Readies the connected socket for sending and receiving.
    std::string SetUpConnected(std::chrono::milliseconds limit);
    // How a wait of the socket ended: it is ready (or failed: the next call says which),
    // Disconnect woke it, or the deadline has really passed.
    enum class TWait { Ready, Woken, TimedOut };
    // Reads up to size bytes that have arrived, waiting for the first until the deadline (a
    // wait that returns early is waited again): the count, or 0 with end set (TimedOut has lost
    // the connection).
    int ReadSome(char* into, size_t size, std::chrono::steady_clock::time_point deadline,
                 TEnd& end);
    // What one receive without waiting found: bytes (their count in `count`), none yet, or a
    // closed connection (the peer closed, Disconnect, or a socket error). Platform file.
    enum class TRead { Data, Empty, Closed };
    TRead TryRead(char* into, size_t size, int& count);
    // Waits until the socket is readable (platform file).
    TWait WaitReadable(std::chrono::steady_clock::time_point deadline);
    void Lose(); // the connection counts as lost: close it like Disconnect

    // Taken from the socket by a look but not yet consumed: ahead_[aheadStart_..]. The worker's
    // only.
    std::string ahead_;
    size_t aheadStart_ = 0;
    std::string connectError_; // the worker's only
    std::unique_ptr<TSystem> sys_;
    std::atomic<bool> connected_{false};
    std::atomic<bool> closed_{false};
    std::atomic<int64_t> received_{0};
};
