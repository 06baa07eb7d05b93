// The PC identifier on Linux: the hardware address of the first network interface, by name,
// that is not a loopback and has a non-zero address.
#include "PCInfo.h"

std::string GetPCInfo() {
    return PCInfoFromSysNet("/sys/class/net");
}
