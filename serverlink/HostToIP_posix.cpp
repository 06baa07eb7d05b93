// Host-name resolution with the POSIX resolver.
#include "AddressList.h"
#include "HostToIP.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

std::vector<std::string> ResolveHost(const std::string& name, std::string* why) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    const int rc = getaddrinfo(name.c_str(), nullptr, &hints, &list);
    const TAddresses found(list);
    if (rc != 0 || !found) {
        if (why)
            *why = rc != 0 ? gai_strerror(rc) : "no address";
        return {};
    }
    std::vector<std::string> addresses;
    for (const addrinfo* a = found.get(); a; a = a->ai_next) {
        char text[INET6_ADDRSTRLEN] = {};
        const void* raw = a->ai_family == AF_INET6
                              ? static_cast<const void*>(
                                    &reinterpret_cast<const sockaddr_in6*>(a->ai_addr)->sin6_addr)
                              : &reinterpret_cast<const sockaddr_in*>(a->ai_addr)->sin_addr;
        if ((a->ai_family == AF_INET || a->ai_family == AF_INET6) &&
            inet_ntop(a->ai_family, raw, text, sizeof text))
            addresses.emplace_back(text);
    }
    return addresses;
}
