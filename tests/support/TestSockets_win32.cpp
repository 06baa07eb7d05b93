#include "Deadline.h"
#include "TestSockets.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <stdexcept>

namespace {
SOCKET Sock(TTestSocket s) {
    return static_cast<SOCKET>(s);
}

// select() on one socket for reading, within `ms`.
bool Readable(SOCKET s, int ms) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    timeval tv{ms / 1000, (ms % 1000) * 1000};
    return select(0, &set, nullptr, nullptr, &tv) == 1;
}
} // namespace

TTestSocket ListenOn(const std::string& address, std::string& port) {
    static const bool started = [] {
        WSADATA data{};
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    SOCKET s = started ? socket(AF_INET, SOCK_STREAM, IPPROTO_TCP) : INVALID_SOCKET;
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port.empty() ? 0 : std::stoi(port)));
    inet_pton(AF_INET, address.c_str(), &sa.sin_addr);
    if (s == INVALID_SOCKET || bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
        listen(s, 4) != 0) {
        if (s != INVALID_SOCKET)
            closesocket(s);
        throw std::runtime_error("cannot listen on " + address);
    }
    int len = sizeof sa;
    getsockname(s, reinterpret_cast<sockaddr*>(&sa), &len);
    port = std::to_string(ntohs(sa.sin_port));
    return static_cast<TTestSocket>(s);
}

TTestSocket AcceptWithin(TTestSocket listener, std::chrono::milliseconds limit) {
    if (!Readable(Sock(listener), static_cast<int>(limit.count())))
        return NoSocket;
    SOCKET s = accept(Sock(listener), nullptr, nullptr);
    return s == INVALID_SOCKET ? NoSocket : static_cast<TTestSocket>(s);
}

bool SendAll(TTestSocket socket, const std::string& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        int n = send(Sock(socket), bytes.data() + sent, static_cast<int>(bytes.size() - sent), 0);
        if (n <= 0)
            return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

int ReceiveBy(TTestSocket socket, std::string& into, std::chrono::steady_clock::time_point until) {
    // A timed wait may end a little early: only a deadline that has passed counts.
    while (!Readable(Sock(socket), MillisLeft(until)))
        if (std::chrono::steady_clock::now() >= until)
            return -1;
    char buffer[4096];
    int n = recv(Sock(socket), buffer, sizeof buffer, 0);
    if (n <= 0)
        return 0;
    into.append(buffer, static_cast<size_t>(n));
    return n;
}

void CloseSocket(TTestSocket socket) {
    if (socket != NoSocket)
        closesocket(Sock(socket));
}
