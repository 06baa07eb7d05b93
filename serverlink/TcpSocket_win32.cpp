// TCP client socket on Winsock. The socket is non-blocking, bound to an event that Winsock sets
// when it can connect, send or receive (WSAEventSelect); every wait watches that event and a
// second one that Disconnect sets, so a Disconnect from another thread ends a waiting receive at
// once, whatever closing a socket under a waiting thread would do on this system. A receive
// reads what has arrived at once and waits only for an empty socket, until the step's deadline;
// a connect and each part of a send wait within the time limit.
#include "TcpSocket.h"
#include "WideText_win32.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include "AddressList.h" // after winsock2.h and ws2tcpip.h, which declare its list
#include "OwnedHandle.h" // after winsock2.h, which has to come before windows.h

#include <algorithm>
#include <memory>
#include <string>

namespace {
// A Winsock socket or event, released when it goes away (or when Reset).
struct TSocketTraits {
    using Value = SOCKET;
    static Value None() { return INVALID_SOCKET; }
    static bool Valid(Value s) { return s != INVALID_SOCKET; }
    static void Close(Value s) { closesocket(s); }
};
struct TEventTraits {
    using Value = WSAEVENT;
    static Value None() { return nullptr; }
    static bool Valid(Value e) { return e != nullptr; }
    static void Close(Value e) { WSACloseEvent(e); }
};
using TSocketHandle = TOwnedHandle<TSocketTraits>;
using TEventHandle = TOwnedHandle<TEventTraits>;
} // namespace

struct TTcpSocket::TSystem {
    // The events before the socket: the socket is closed first.
    TEventHandle ready; // set by Winsock (connect, read, write, close)
    TEventHandle wake;  // set by Disconnect
    TSocketHandle socket;
    int family = AF_INET;

    // Waits until Winsock reports one of `events` (the network events land in `seen`), the wake
    // event is set, or `until` has passed.
    TWait WaitFor(long events, std::chrono::steady_clock::time_point until, WSANETWORKEVENTS& seen,
                  const std::atomic<bool>& closed);
};

namespace {
// Why a connect failed, from its Winsock error.
std::string ConnectErrorText(int code) {
    switch (code) {
    case WSAECONNREFUSED:
        return "connection refused: nothing listens there (is the server running?)";
    case WSAENETUNREACH:
        return "the network is unreachable";
    case WSAEHOSTUNREACH:
        return "the host is unreachable";
    case WSAETIMEDOUT:
        return "the connection timed out";
    default:
        return "the connection failed: Winsock error " + std::to_string(code);
    }
}
} // namespace

bool StartSocketLibrary() {
    static const bool started = [] {
        WSADATA data{};
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
}

TTcpSocket::TTcpSocket(bool ipv6) : sys_(std::make_unique<TSystem>()) {
    sys_->family = ipv6 ? AF_INET6 : AF_INET;
    if (!StartSocketLibrary())
        return;
    // Not inherited: the new tool finishing a replacement and other children must not hold the
    // connection.
    sys_->socket.Reset(WSASocketW(sys_->family, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                                  WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT));
    sys_->ready.Reset(WSACreateEvent());
    sys_->wake.Reset(WSACreateEvent());
    if (!sys_->socket || !sys_->ready || !sys_->wake)
        return;
    // Lines are small request/reply steps: send them at once.
    BOOL one = TRUE;
    setsockopt(sys_->socket.Get(), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one),
               sizeof one);
    // Also makes the socket non-blocking.
    if (WSAEventSelect(sys_->socket.Get(), sys_->ready.Get(),
                       FD_CONNECT | FD_READ | FD_WRITE | FD_CLOSE) != 0)
        sys_->socket.Reset();
}

TTcpSocket::~TTcpSocket() = default; // the system's part closes its socket and events

TTcpSocket::TWait TTcpSocket::TSystem::WaitFor(long events,
                                               std::chrono::steady_clock::time_point until,
                                               WSANETWORKEVENTS& seen,
                                               const std::atomic<bool>& closed) {
    seen = {};
    for (;;) {
        if (closed.load())
            return TWait::Woken;
        auto left =
            std::chrono::ceil<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        // A timed wait may end a little early: only a deadline that has passed counts.
        if (left.count() <= 0)
            return TWait::TimedOut;
        WSAEVENT both[2] = {wake.Get(), ready.Get()};
        DWORD ms = static_cast<DWORD>(std::min<long long>(left.count(), 0x7FFFFFFF));
        DWORD rc = WSAWaitForMultipleEvents(2, both, FALSE, ms, FALSE);
        if (rc == WSA_WAIT_EVENT_0 || closed.load())
            return TWait::Woken;
        if (rc == WSA_WAIT_EVENT_0 + 1) {
            // Reading the record also resets the event.
            WSANETWORKEVENTS now{};
            if (WSAEnumNetworkEvents(socket.Get(), ready.Get(), &now) != 0)
                return TWait::Woken; // a failing socket counts as a closed connection
            seen.lNetworkEvents |= now.lNetworkEvents;
            for (int bit = 0; bit < FD_MAX_EVENTS; ++bit)
                if (now.lNetworkEvents & (1L << bit))
                    seen.iErrorCode[bit] = now.iErrorCode[bit];
            if (seen.lNetworkEvents & (events | FD_CLOSE))
                return TWait::Ready;
            continue;
        }
        if (rc != WSA_WAIT_TIMEOUT)
            return TWait::Woken;
    }
}

bool TTcpSocket::HasSocket() const {
    return static_cast<bool>(sys_->socket);
}

std::string TTcpSocket::StartConnect(const std::string& host, const std::string& port,
                                     bool& pending) {
    ADDRINFOW hints{};
    hints.ai_family = sys_->family;
    hints.ai_socktype = SOCK_STREAM;
    ADDRINFOW* list = nullptr;
    const int rc = GetAddrInfoW(Widen(host).c_str(), Widen(port).c_str(), &hints, &list);
    const TAddresses found(list);
    if (rc != 0 || !found)
        return "the name does not resolve (resolver error " + std::to_string(rc) + ")";
    if (connect(sys_->socket.Get(), found->ai_addr, static_cast<int>(found->ai_addrlen)) == 0)
        return {};
    const int err = WSAGetLastError();
    if (err != WSAEWOULDBLOCK)
        return ConnectErrorText(err);
    pending = true;
    return {};
}

std::string TTcpSocket::AwaitConnect(std::chrono::milliseconds limit) {
    WSANETWORKEVENTS seen{};
    auto until = std::chrono::steady_clock::now() + limit;
    auto wait = sys_->WaitFor(FD_CONNECT, until, seen, closed_);
    if (wait == TWait::TimedOut)
        return ConnectTimeoutText(limit);
    if (wait != TWait::Ready || !(seen.lNetworkEvents & FD_CONNECT))
        return "the connection was closed while it was being made";
    if (seen.iErrorCode[FD_CONNECT_BIT] != 0)
        return ConnectErrorText(seen.iErrorCode[FD_CONNECT_BIT]);
    return {};
}

std::string TTcpSocket::SetUpConnected(std::chrono::milliseconds /*limit*/) {
    return {}; // the socket stays non-blocking; each send waits within its own limit
}

void TTcpSocket::Disconnect() {
    bool wasClosed = closed_.exchange(true);
    connected_.store(false);
    if (wasClosed)
        return;
    if (sys_->socket)
        shutdown(sys_->socket.Get(), SD_BOTH);
    if (sys_->wake)
        WSASetEvent(sys_->wake.Get());
}

int TTcpSocket::SendLine(const std::string& text, const std::string& delimiter,
                         std::chrono::milliseconds limit) {
    if (!Connected())
        return -1;
    std::string out = text + delimiter;
    size_t sent = 0;
    auto until = std::chrono::steady_clock::now() + limit;
    while (sent < out.size() && !closed_.load()) {
        int chunk = static_cast<int>(std::min<size_t>(out.size() - sent, 1 << 30));
        int n = send(sys_->socket.Get(), out.data() + sent, chunk, 0);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            until = std::chrono::steady_clock::now() + limit;
            continue;
        }
        if (n < 0 && WSAGetLastError() == WSAEWOULDBLOCK) {
            WSANETWORKEVENTS seen{};
            auto wait = sys_->WaitFor(FD_WRITE, until, seen, closed_);
            if (wait == TWait::Ready)
                continue;
            if (wait == TWait::TimedOut)
                Lose(); // the peer took nothing within the limit
        }
        break;
    }
    return sent == 0 ? -1 : static_cast<int>(sent);
}

TTcpSocket::TRead TTcpSocket::TryRead(char* into, size_t size, int& count) {
    if (closed_.load())
        return TRead::Closed;
    int n = recv(sys_->socket.Get(), into, static_cast<int>(std::min<size_t>(size, 1 << 30)), 0);
    if (n > 0) {
        count = n;
        return TRead::Data;
    }
    return n == 0 || WSAGetLastError() != WSAEWOULDBLOCK ? TRead::Closed : TRead::Empty;
}

TTcpSocket::TWait TTcpSocket::WaitReadable(std::chrono::steady_clock::time_point deadline) {
    WSANETWORKEVENTS seen{};
    return sys_->WaitFor(FD_READ, deadline, seen, closed_);
}
