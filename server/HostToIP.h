#pragma once
// Host-name resolution for the server session, and the upgrade server's host name.
#include <string>

// The first IPv4 address of the name as dotted text ("192.0.2.7"); a dotted quad comes back
// unchanged. Empty when the name cannot be resolved, and then `why` (when given) receives the
// resolver's words.
std::string HostToIP(const std::string& name, std::string* why = nullptr);

// The upgrade server's host name: the environment variable KESTREL_UPDATE_HOST when set and not
// empty, otherwise the name chosen when the program was built.
std::string UpgradeServerHost();

// The upgrade server's port.
inline const char* const kUpgradeServerPort = "5001";
