// Host-name resolution with Winsock's resolver.
#include "HostToIP.h"
#include "TcpSocket.h"
#include "WideText_win32.h"

#include <winsock2.h>
#include <ws2tcpip.h>

std::string HostToIP(const std::string& name, std::string* why) {
    if (name.empty() || !StartSocketLibrary()) {
        if (why)
            *why = name.empty() ? "no host name" : "the socket library cannot be started";
        return {};
    }
    // "host:port" would only fail as an unknown name: say what is wrong with it instead.
    if (std::string problem = HostNameProblem(name); !problem.empty()) {
        if (why)
            *why = problem;
        return {};
    }
    // The wide form: a host name may be an internationalised one, given here in UTF-8.
    ADDRINFOW hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    ADDRINFOW* found = nullptr;
    if (int rc = GetAddrInfoW(Widen(name).c_str(), nullptr, &hints, &found); rc != 0 || !found) {
        if (why)
            *why = rc == WSAHOST_NOT_FOUND ? "host not found"
                   : rc == WSATRY_AGAIN    ? "the name server did not answer"
                   : rc != 0               ? "resolver error " + std::to_string(rc)
                                           : "no IPv4 address";
        return {};
    }
    std::string text;
    char buf[INET_ADDRSTRLEN] = {};
    auto* in = reinterpret_cast<sockaddr_in*>(found->ai_addr);
    if (inet_ntop(AF_INET, &in->sin_addr, buf, sizeof buf))
        text = buf;
    FreeAddrInfoW(found);
    return text;
}
