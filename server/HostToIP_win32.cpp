// Host-name resolution with Winsock's resolver.
#include "HostToIP.h"
#include "TcpSocket.h"

#include <winsock2.h>
#include <ws2tcpip.h>

std::string HostToIP(const std::string& name) {
    if (name.empty() || !StartSocketLibrary())
        return {};
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(name.c_str(), nullptr, &hints, &found) != 0 || !found)
        return {};
    std::string text;
    char buf[INET_ADDRSTRLEN] = {};
    auto* in = reinterpret_cast<sockaddr_in*>(found->ai_addr);
    if (inet_ntop(AF_INET, &in->sin_addr, buf, sizeof buf))
        text = buf;
    freeaddrinfo(found);
    return text;
}
