// TCP client socket on POSIX sockets. Connecting and receiving wait in poll() on the socket and
// a wake-up pipe, so that each wait ends at its deadline and a Disconnect from another thread
// ends it at once; a receive reads what has arrived without blocking. Sending blocks, with
// the time limit as the socket's send time-out (a Disconnect's shutdown ends it too).
#include "TcpSocket.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace {
constexpr int kLookSize = 511; // bytes looked at per step of a line receive

// Whole milliseconds until `until`, rounded up so that a wait never ends before it; 0 once it
// has passed.
int MillisLeft(std::chrono::steady_clock::time_point until) {
    auto left =
        std::chrono::ceil<std::chrono::milliseconds>(until - std::chrono::steady_clock::now())
            .count();
    if (left <= 0)
        return 0;
    return static_cast<int>(std::min<long long>(left, 1 << 30));
}
} // namespace

TTcpSocket::TTcpSocket() {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    int wake[2];
    if (pipe2(wake, O_NONBLOCK | O_CLOEXEC) == 0) {
        wakeRead_ = wake[0];
        wakeWrite_ = wake[1];
    }
    if (fd_ >= 0) {
        // Lines are small request/reply steps: send them at once.
        int one = 1;
        setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
}

TTcpSocket::~TTcpSocket() {
    if (fd_ >= 0)
        close(fd_);
    if (wakeRead_ >= 0)
        close(wakeRead_);
    if (wakeWrite_ >= 0)
        close(wakeWrite_);
}

bool TTcpSocket::Connect(const std::string& host, const std::string& port,
                         std::chrono::milliseconds limit) {
    if (fd_ < 0 || wakeRead_ < 0 || closed_.load() || connected_.load())
        return false;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0 || !found)
        return false;
    int rc = connect(fd_, found->ai_addr, found->ai_addrlen);
    int err = errno;
    freeaddrinfo(found);
    if (rc != 0) {
        if (err != EINPROGRESS)
            return false;
        if (WaitFor(POLLOUT, std::chrono::steady_clock::now() + limit) != TWait::Ready)
            return false;
        int soError = 0;
        socklen_t len = sizeof soError;
        if (getsockopt(fd_, SOL_SOCKET, SO_ERROR, &soError, &len) != 0 || soError != 0)
            return false;
    }
    // From here on sending blocks, bounded by the time limit; receiving never blocks.
    int flags = fcntl(fd_, F_GETFL);
    if (flags < 0 || fcntl(fd_, F_SETFL, flags & ~O_NONBLOCK) != 0)
        return false;
    ApplySendLimit(limit);
    connected_.store(true);
    // A Disconnect that raced with the connect wins.
    if (closed_.load()) {
        Disconnect();
        return false;
    }
    return true;
}

void TTcpSocket::ApplySendLimit(std::chrono::milliseconds limit) {
    if (limit == appliedLimit_)
        return;
    appliedLimit_ = limit;
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(limit.count() / 1000);
    tv.tv_usec = static_cast<suseconds_t>((limit.count() % 1000) * 1000);
    setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

bool TTcpSocket::Connected() const {
    return connected_.load() && !closed_.load();
}

void TTcpSocket::Disconnect() {
    bool wasClosed = closed_.exchange(true);
    connected_.store(false);
    if (wasClosed)
        return;
    if (fd_ >= 0)
        shutdown(fd_, SHUT_RDWR);
    if (wakeWrite_ >= 0) {
        char one = 1;
        [[maybe_unused]] ssize_t n = write(wakeWrite_, &one, 1);
    }
}

void TTcpSocket::Lose() {
    Disconnect();
}

TTcpSocket::TWait TTcpSocket::WaitFor(short events,
                                      std::chrono::steady_clock::time_point deadline) {
    for (;;) {
        if (closed_.load())
            return TWait::Woken;
        pollfd fds[2] = {{fd_, events, 0}, {wakeRead_, POLLIN, 0}};
        int rc = poll(fds, 2, MillisLeft(deadline));
        if (rc < 0) {
            if (errno == EINTR)
                continue;
            return TWait::Woken; // treat a failing poll like a closed connection
        }
        if (fds[1].revents != 0 || closed_.load())
            return TWait::Woken;
        if (fds[0].revents != 0)
            return TWait::Ready; // readable, writable, hang-up or error: the call tells which
        // Some systems end a timed poll early: only a deadline that has passed ends the wait.
        if (std::chrono::steady_clock::now() >= deadline)
            return TWait::TimedOut;
    }
}

int TTcpSocket::ReadSome(char* into, size_t size, std::chrono::steady_clock::time_point deadline,
                         TEnd& end) {
    // What has arrived is taken at once, in one system call; only an empty socket is waited for.
    for (;;) {
        ssize_t n = recv(fd_, into, size, MSG_DONTWAIT);
        if (n > 0) {
            end = TEnd::Done;
            return static_cast<int>(n);
        }
        if (n == 0 || (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)) {
            end = TEnd::Closed; // the peer closed, Disconnect, or a socket error
            return 0;
        }
        if (errno == EINTR)
            continue;
        switch (WaitFor(POLLIN, deadline)) {
        case TWait::Woken:
            end = TEnd::Closed;
            return 0;
        case TWait::TimedOut:
            Lose();
            end = TEnd::TimedOut;
            return 0;
        case TWait::Ready:
            break;
        }
    }
}

int TTcpSocket::SendLine(const std::string& text, const std::string& delimiter,
                         std::chrono::milliseconds limit) {
    if (!Connected())
        return -1;
    ApplySendLimit(limit);
    std::string out = text + delimiter;
    size_t sent = 0;
    while (sent < out.size() && !closed_.load()) {
        ssize_t n = send(fd_, out.data() + sent, out.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            Lose(); // the peer took nothing within the limit
        break;
    }
    return sent == 0 ? -1 : static_cast<int>(sent);
}

std::string TTcpSocket::ReceiveLine(size_t maxLength,
                                    std::chrono::steady_clock::time_point deadline, TEnd& end) {
    std::string line;
    for (;;) {
        if (closed_.load()) {
            end = TEnd::Closed;
            return line;
        }
        if (aheadStart_ == ahead_.size()) {
            // Nothing looked at yet: one receive of up to a look's worth.
            ahead_.resize(kLookSize);
            aheadStart_ = 0;
            int n = ReadSome(ahead_.data(), ahead_.size(), deadline, end);
            ahead_.resize(static_cast<size_t>(n));
            if (n == 0)
                return line;
        }
        // Take up to and including the first CR LF, or everything looked at. A CR at the end of
        // the previous look pairs with an LF at the start of this one.
        const char* look = ahead_.data() + aheadStart_;
        size_t n = ahead_.size() - aheadStart_;
        size_t take = n;
        bool found = false;
        if (!line.empty() && line.back() == '\r' && look[0] == '\n') {
            take = 1;
            found = true;
        } else {
            for (size_t i = 0; i + 1 < n; ++i) {
                if (look[i] == '\r' && look[i + 1] == '\n') {
                    take = i + 2;
                    found = true;
                    break;
                }
            }
        }
        line.append(look, take);
        aheadStart_ += take;
        received_.fetch_add(static_cast<int64_t>(take), std::memory_order_relaxed);
        if (found) {
            line.resize(line.size() - 2); // the CR LF (its CR may come from the previous look)
            end = TEnd::Done;
            if (line.size() > maxLength) {
                Lose();
                end = TEnd::TooLong;
            }
            return line;
        }
        // A trailing CR may still be the first half of the delimiter.
        size_t textLength = line.size() - (line.back() == '\r' ? 1 : 0);
        if (textLength > maxLength) {
            Lose();
            end = TEnd::TooLong;
            return line;
        }
    }
}

int TTcpSocket::Receive(uint8_t* into, int size, std::chrono::steady_clock::time_point deadline,
                        TEnd& end) {
    if (closed_.load()) {
        end = TEnd::Closed;
        return 0;
    }
    if (size > 0 && aheadStart_ < ahead_.size()) {
        size_t take = std::min(static_cast<size_t>(size), ahead_.size() - aheadStart_);
        std::memcpy(into, ahead_.data() + aheadStart_, take);
        aheadStart_ += take;
        received_.fetch_add(static_cast<int64_t>(take), std::memory_order_relaxed);
        end = TEnd::Done;
        return static_cast<int>(take);
    }
    int n = ReadSome(reinterpret_cast<char*>(into), static_cast<size_t>(size), deadline, end);
    received_.fetch_add(n, std::memory_order_relaxed);
    return n;
}
