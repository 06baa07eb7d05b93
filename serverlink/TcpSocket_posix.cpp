// TCP client socket on POSIX sockets. Connecting and receiving wait in poll() on the socket and
// a wake-up pipe, so that each wait ends at its deadline and a Disconnect from another thread
// ends it at once; a receive reads what has arrived without blocking. Sending blocks, with
// the time limit as the socket's send time-out (a Disconnect's shutdown ends it too).
#include "AddressList.h"
#include "OwnedHandle.h"
#include "TcpSocket.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

struct TTcpSocket::TSystem {
    TFd fd;
    int family = AF_INET;
    TFd wakeRead;
    TFd wakeWrite;
    std::chrono::milliseconds appliedLimit{-1}; // the worker's only

    // Waits until the socket is ready for `events`, it is disconnected, or the deadline has
    // really passed (a wait that returns early is waited again).
    TWait WaitFor(short events, std::chrono::steady_clock::time_point deadline,
                  const std::atomic<bool>& closed);
    void ApplySendLimit(std::chrono::milliseconds limit); // the blocking send's time-out
};

namespace {
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
// Why a connect failed, from its error number.
std::string ConnectErrorText(int err) {
    switch (err) {
    case ECONNREFUSED:
        return "connection refused: nothing listens there (is the server running?)";
    case ENETUNREACH:
        return "the network is unreachable";
    case EHOSTUNREACH:
        return "the host is unreachable";
    case ETIMEDOUT:
        return "the connection timed out";
    default:
        return std::string("the connection failed: ") + std::strerror(err);
    }
}
} // namespace

bool StartSocketLibrary() {
    return true;
}

TTcpSocket::TTcpSocket(bool ipv6) : sys_(std::make_unique<TSystem>()) {
    sys_->family = ipv6 ? AF_INET6 : AF_INET;
    sys_->fd.Reset(socket(sys_->family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    int wake[2];
    if (pipe2(wake, O_NONBLOCK | O_CLOEXEC) == 0) {
        sys_->wakeRead.Reset(wake[0]);
        sys_->wakeWrite.Reset(wake[1]);
    }
    if (sys_->fd) {
        // Lines are small request/reply steps: send them at once.
        int one = 1;
        setsockopt(sys_->fd.Get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
}

TTcpSocket::~TTcpSocket() = default; // the system's part closes its socket and pipe

bool TTcpSocket::HasSocket() const {
    return sys_->fd && sys_->wakeRead;
}

std::string TTcpSocket::StartConnect(const std::string& host, const std::string& port,
                                     bool& pending) {
    addrinfo hints{};
    hints.ai_family = sys_->family;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    const int rc = getaddrinfo(host.c_str(), port.c_str(), &hints, &list);
    const TAddresses found(list);
    if (rc != 0 || !found)
        return std::string("the name does not resolve (") +
               (rc != 0                    ? gai_strerror(rc)
                : sys_->family == AF_INET6 ? "no IPv6 address"
                                           : "no IPv4 address") +
               ")";
    if (connect(sys_->fd.Get(), found->ai_addr, found->ai_addrlen) == 0)
        return {};
    if (errno != EINPROGRESS)
        return ConnectErrorText(errno);
    pending = true;
    return {};
}

std::string TTcpSocket::AwaitConnect(std::chrono::milliseconds limit) {
    switch (sys_->WaitFor(POLLOUT, std::chrono::steady_clock::now() + limit, closed_)) {
    case TWait::Ready:
        break;
    case TWait::TimedOut:
        return ConnectTimeoutText(limit);
    case TWait::Woken:
        return "the connection was closed while it was being made";
    }
    int soError = 0;
    socklen_t len = sizeof soError;
    if (getsockopt(sys_->fd.Get(), SOL_SOCKET, SO_ERROR, &soError, &len) != 0 || soError != 0)
        return ConnectErrorText(soError != 0 ? soError : errno);
    return {};
}

std::string TTcpSocket::SetUpConnected(std::chrono::milliseconds limit) {
    // From here on sending blocks, bounded by the time limit; receiving never blocks.
    int flags = fcntl(sys_->fd.Get(), F_GETFL);
    if (flags < 0 || fcntl(sys_->fd.Get(), F_SETFL, flags & ~O_NONBLOCK) != 0)
        return std::string("the socket could not be set up: ") + std::strerror(errno);
    sys_->ApplySendLimit(limit);
    return {};
}

void TTcpSocket::TSystem::ApplySendLimit(std::chrono::milliseconds limit) {
    if (limit == appliedLimit)
        return;
    appliedLimit = limit;
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(limit.count() / 1000);
    tv.tv_usec = static_cast<suseconds_t>((limit.count() % 1000) * 1000);
    setsockopt(fd.Get(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

void TTcpSocket::Disconnect() {
    bool wasClosed = closed_.exchange(true);
    connected_.store(false);
    if (wasClosed)
        return;
    if (sys_->fd)
        shutdown(sys_->fd.Get(), SHUT_RDWR);
    if (sys_->wakeWrite) {
        char one = 1;
        [[maybe_unused]] ssize_t n = write(sys_->wakeWrite.Get(), &one, 1);
    }
}

TTcpSocket::TWait TTcpSocket::TSystem::WaitFor(short events,
                                               std::chrono::steady_clock::time_point deadline,
                                               const std::atomic<bool>& closed) {
    for (;;) {
        if (closed.load())
            return TWait::Woken;
        pollfd fds[2] = {{fd.Get(), events, 0}, {wakeRead.Get(), POLLIN, 0}};
        int rc = poll(fds, 2, MillisLeft(deadline));
        if (rc < 0) {
            if (errno == EINTR)
                continue;
            return TWait::Woken; // treat a failing poll like a closed connection
        }
        if (fds[1].revents != 0 || closed.load())
            return TWait::Woken;
        if (fds[0].revents != 0)
            return TWait::Ready; // readable, writable, hang-up or error: the call tells which
        // Some systems end a timed poll early: only a deadline that has passed ends the wait.
        if (std::chrono::steady_clock::now() >= deadline)
            return TWait::TimedOut;
    }
}

TTcpSocket::TRead TTcpSocket::TryRead(char* into, size_t size, int& count) {
    for (;;) {
        ssize_t n = recv(sys_->fd.Get(), into, size, MSG_DONTWAIT);
        if (n > 0) {
            count = static_cast<int>(n);
            return TRead::Data;
        }
        if (n == 0 || (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK))
            return TRead::Closed;
        if (errno != EINTR)
            return TRead::Empty;
    }
}

TTcpSocket::TWait TTcpSocket::WaitReadable(std::chrono::steady_clock::time_point deadline) {
    return sys_->WaitFor(POLLIN, deadline, closed_);
}

int TTcpSocket::SendLine(const std::string& text, const std::string& delimiter,
                         std::chrono::milliseconds limit) {
    if (!Connected())
        return -1;
    sys_->ApplySendLimit(limit);
    std::string out = text + delimiter;
    size_t sent = 0;
    while (sent < out.size() && !closed_.load()) {
        ssize_t n = send(sys_->fd.Get(), out.data() + sent, out.size() - sent, MSG_NOSIGNAL);
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
