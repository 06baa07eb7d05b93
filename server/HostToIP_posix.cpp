// Host-name resolution with the POSIX resolver.
#include "HostToIP.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

std::string HostToIP(const std::string& name, std::string* why) {
    if (name.empty()) {
        if (why)
            *why = "no host name";
        return {};
    }
    // "host:port" would only fail as an unknown name: say what is wrong with it instead.
    if (std::string problem = HostNameProblem(name); !problem.empty()) {
        if (why)
            *why = problem;
        return {};
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (int rc = getaddrinfo(name.c_str(), nullptr, &hints, &found); rc != 0 || !found) {
        if (why)
            *why = rc != 0 ? gai_strerror(rc) : "no IPv4 address";
        return {};
    }
    std::string text;
    char buf[INET_ADDRSTRLEN] = {};
    const auto* in = reinterpret_cast<const sockaddr_in*>(found->ai_addr);
    if (inet_ntop(AF_INET, &in->sin_addr, buf, sizeof buf))
        text = buf;
    freeaddrinfo(found);
    return text;
}
