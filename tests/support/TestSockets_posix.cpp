#include "Deadline.h"
#include "TestSockets.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

TTestSocket ListenOn(const std::string& address, std::string& port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port.empty() ? 0 : std::stoi(port)));
    inet_pton(AF_INET, address.c_str(), &sa.sin_addr);
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
        listen(fd, 4) != 0) {
        if (fd >= 0)
            close(fd);
        throw std::runtime_error("cannot listen on " + address);
    }
    socklen_t len = sizeof sa;
    getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    port = std::to_string(ntohs(sa.sin_port));
    return fd;
}

TTestSocket AcceptWithin(TTestSocket listener, std::chrono::milliseconds limit) {
    pollfd p{static_cast<int>(listener), POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(limit.count())) != 1)
        return NoSocket;
    int fd = accept4(static_cast<int>(listener), nullptr, nullptr, SOCK_CLOEXEC);
    return fd < 0 ? NoSocket : fd;
}

bool SendAll(TTestSocket socket, const std::string& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t n =
            send(static_cast<int>(socket), bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

int ReceiveBy(TTestSocket socket, std::string& into, std::chrono::steady_clock::time_point until) {
    pollfd p{static_cast<int>(socket), POLLIN, 0};
    if (poll(&p, 1, MillisLeft(until)) != 1)
        return -1;
    char buffer[4096];
    ssize_t n = recv(static_cast<int>(socket), buffer, sizeof buffer, 0);
    if (n <= 0)
        return 0;
    into.append(buffer, static_cast<size_t>(n));
    return static_cast<int>(n);
}

void CloseSocket(TTestSocket socket) {
    if (socket != NoSocket)
        close(static_cast<int>(socket));
}
