#pragma once
// The PC identifier sent to the upgrade server as PCInfo: the hardware address of a network
// adapter as six two-digit upper-case hexadecimal numbers joined by "-" ("00-1A-2B-3C-4D-5E"),
// or the empty text when the PC has none.
#include <cstdint>
#include <string>

std::string GetPCInfo();

// Six bytes in the identifier's form.
std::string FormatPCInfo(const uint8_t address[6]);

// The Windows rule: the node fields (bytes 10 to 15) of two successive UUIDs, when equal, are a
// stable hardware address; otherwise the result is empty.
std::string PCInfoFromUuids(const uint8_t first[16], const uint8_t second[16]);

// The Linux rule over a folder laid out like /sys/class/net: the interfaces sorted by name, the
// first that is not a loopback and has a non-zero six-byte address.
std::string PCInfoFromSysNet(const std::string& sysClassNet);
