// Host-name resolution with Winsock's resolver.
#include "HostToIP.h"
#include "TcpSocket.h"
#include "WideText_win32.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include "AddressList.h" // after ws2tcpip.h, which declares its list

std::vector<std::string> ResolveHost(const std::string& name, std::string* why) {
    if (!StartSocketLibrary()) {
        if (why)
            *why = "the socket library cannot be started";
        return {};
    }
    // The wide form: a host name may be an internationalised one, given here in UTF-8.
    ADDRINFOW hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    ADDRINFOW* list = nullptr;
    const int rc = GetAddrInfoW(Widen(name).c_str(), nullptr, &hints, &list);
    const TAddresses found(list);
    if (rc != 0 || !found) {
        if (why)
            *why = rc == WSAHOST_NOT_FOUND ? "host not found"
                   : rc == WSATRY_AGAIN    ? "the name server did not answer"
                   : rc != 0               ? "resolver error " + std::to_string(rc)
                                           : "no address";
        return {};
    }
    std::vector<std::string> addresses;
    for (const ADDRINFOW* a = found.get(); a; a = a->ai_next) {
        wchar_t text[INET6_ADDRSTRLEN] = {};
        const void* raw = a->ai_family == AF_INET6
                              ? static_cast<const void*>(
                                    &reinterpret_cast<const sockaddr_in6*>(a->ai_addr)->sin6_addr)
                              : &reinterpret_cast<const sockaddr_in*>(a->ai_addr)->sin_addr;
        if ((a->ai_family == AF_INET || a->ai_family == AF_INET6) &&
            InetNtopW(a->ai_family, raw, text, INET6_ADDRSTRLEN))
            addresses.push_back(Narrow(text));
    }
    return addresses;
}
