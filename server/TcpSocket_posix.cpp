// TCP client socket on POSIX sockets. Connecting is non-blocking, a poll() on the socket and a
// wake-up pipe, so that it has a time limit and a Disconnect from another thread ends it. Once
// connected the socket blocks, with the time limit as its receive and send time-outs: each
// receive is one system call, and a Disconnect (shutdown) ends a blocked receive at once.
#include "TcpSocket.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

struct TTcpSocket::TSystem {
    int fd = -1;
    int wakeRead = -1;
    int wakeWrite = -1;
    std::chrono::milliseconds appliedLimit{-1}; // the worker's only

    enum class TWait { Ready, Woken, TimedOut };
    TWait WaitFor(short events, std::chrono::milliseconds limit, const std::atomic<bool>& closed);
    void ApplyLimit(std::chrono::milliseconds limit); // receive and send time-outs
};

namespace {
int MillisLeft(std::chrono::steady_clock::time_point until) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    until - std::chrono::steady_clock::now())
                    .count();
    if (left <= 0)
        return 0;
    return static_cast<int>(std::min<long long>(left, 1 << 30));
}
} // namespace

bool StartSocketLibrary() {
    return true;
}

TTcpSocket::TTcpSocket() : sys_(std::make_unique<TSystem>()) {
    sys_->fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    int wake[2];
    if (pipe2(wake, O_NONBLOCK | O_CLOEXEC) == 0) {
        sys_->wakeRead = wake[0];
        sys_->wakeWrite = wake[1];
    }
    if (sys_->fd >= 0) {
        // Lines are small request/reply steps: send them at once.
        int one = 1;
        setsockopt(sys_->fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
}

TTcpSocket::~TTcpSocket() {
    for (int fd : {sys_->fd, sys_->wakeRead, sys_->wakeWrite})
        if (fd >= 0)
            close(fd);
}

bool TTcpSocket::Connect(const std::string& host, const std::string& port,
                         std::chrono::milliseconds limit) {
    const int fd = sys_->fd;
    if (fd < 0 || sys_->wakeRead < 0 || closed_.load() || connected_.load())
        return false;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0 || !found)
        return false;
    int rc = connect(fd, found->ai_addr, found->ai_addrlen);
    int err = errno;
    freeaddrinfo(found);
    if (rc != 0) {
        if (err != EINPROGRESS)
            return false;
        if (sys_->WaitFor(POLLOUT, limit, closed_) != TSystem::TWait::Ready)
            return false;
        int soError = 0;
        socklen_t len = sizeof soError;
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &len) != 0 || soError != 0)
            return false;
    }
    // From here on the socket blocks, bounded by the time limit.
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0)
        return false;
    sys_->ApplyLimit(limit);
    connected_.store(true);
    // A Disconnect that raced with the connect wins.
    if (closed_.load()) {
        Disconnect();
        return false;
    }
    return true;
}

void TTcpSocket::TSystem::ApplyLimit(std::chrono::milliseconds limit) {
    if (limit == appliedLimit)
        return;
    appliedLimit = limit;
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(limit.count() / 1000);
    tv.tv_usec = static_cast<suseconds_t>((limit.count() % 1000) * 1000);
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

void TTcpSocket::Disconnect() {
    bool wasClosed = closed_.exchange(true);
    connected_.store(false);
    if (wasClosed)
        return;
    if (sys_->fd >= 0)
        shutdown(sys_->fd, SHUT_RDWR);
    if (sys_->wakeWrite >= 0) {
        char one = 1;
        [[maybe_unused]] ssize_t n = write(sys_->wakeWrite, &one, 1);
    }
}

TTcpSocket::TSystem::TWait TTcpSocket::TSystem::WaitFor(short events,
                                                        std::chrono::milliseconds limit,
                                                        const std::atomic<bool>& closed) {
    auto until = std::chrono::steady_clock::now() + limit;
    for (;;) {
        if (closed.load())
            return TWait::Woken;
        pollfd fds[2] = {{fd, events, 0}, {wakeRead, POLLIN, 0}};
        int rc = poll(fds, 2, MillisLeft(until));
        if (rc < 0) {
            if (errno == EINTR)
                continue;
            return TWait::Woken; // treat a failing poll like a closed connection
        }
        if (fds[1].revents != 0 || closed.load())
            return TWait::Woken;
        if (fds[0].revents != 0)
            return TWait::Ready; // readable, writable, hang-up or error: the call tells which
        if (rc == 0 && MillisLeft(until) == 0)
            return TWait::TimedOut;
    }
}

int TTcpSocket::SendLine(const std::string& text, const std::string& delimiter,
                         std::chrono::milliseconds limit) {
    if (!Connected())
        return -1;
    sys_->ApplyLimit(limit);
    std::string out = text + delimiter;
    size_t sent = 0;
    while (sent < out.size() && !closed_.load()) {
        ssize_t n = send(sys_->fd, out.data() + sent, out.size() - sent, MSG_NOSIGNAL);
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

size_t TTcpSocket::RecvSome(char* into, size_t size, std::chrono::milliseconds limit, TEnd& end) {
    sys_->ApplyLimit(limit);
    for (;;) {
        ssize_t n = recv(sys_->fd, into, size, 0);
        if (n > 0)
            return static_cast<size_t>(n);
        if (n < 0 && errno == EINTR && !closed_.load())
            continue;
        end = n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) ? TEnd::TimedOut : TEnd::Closed;
        return 0;
    }
}
