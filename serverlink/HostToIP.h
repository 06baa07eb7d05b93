#pragma once
// Host-name resolution for the server session, and the upgrade server's host name.
#include <string>
#include <vector>

// Every address of the name, IPv6 and IPv4, as numeric text ("2001:db8::7", "192.0.2.7"), in the
// order the resolver gives them (the system's preference), each once; an address comes back
// unchanged. Empty when the name cannot be resolved, and then `why` (when given) receives the
// resolver's words, or HostNameProblem's for a name that carries a port.
std::vector<std::string> HostAddresses(const std::string& name, std::string* why = nullptr);

// The first IPv4 address of the name (HostAddresses' first one of that kind), as dotted text.
std::string HostToIP(const std::string& name, std::string* why = nullptr);

// Empty for a host name alone; for one with a port ("example.org:6000", "[2001:db8::1]:5001")
// the words that say that KESTREL_UPDATE_HOST takes a host name only, the port being always
// kUpgradeServerPort. An IPv6 literal ("::1") is a host name: only one colon followed by digits,
// or a bracketed address followed by ":digits", is a port.
std::string HostNameProblem(const std::string& name);

// The upgrade server's host name: the environment variable KESTREL_UPDATE_HOST when set and not
// empty, otherwise the name chosen when the program was built.
std::string UpgradeServerHost();

// The upgrade server's port.
inline const char* const kUpgradeServerPort = "5001";

// The resolver of this platform: the name's addresses in its order; none, with its words in `why`
// (when given), when it finds none.
std::vector<std::string> ResolveHost(const std::string& name, std::string* why);
