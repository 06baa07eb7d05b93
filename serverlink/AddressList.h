#pragma once
// The resolver's list of addresses, freed when it goes away (getaddrinfo's on POSIX,
// GetAddrInfoW's on Windows, whose caller includes winsock2.h and ws2tcpip.h first).
#include <memory>

#ifdef _WIN32
struct TFreeAddresses {
    void operator()(ADDRINFOW* list) const { FreeAddrInfoW(list); }
};
using TAddresses = std::unique_ptr<ADDRINFOW, TFreeAddresses>;
#else
#include <netdb.h>

struct TFreeAddresses {
    void operator()(addrinfo* list) const { freeaddrinfo(list); }
};
using TAddresses = std::unique_ptr<addrinfo, TFreeAddresses>;
#endif
