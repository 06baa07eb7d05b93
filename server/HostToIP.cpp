// The upgrade server's host name; the resolution itself is one file per platform.
#include "HostToIP.h"
#include "SystemText.h"

#include <algorithm>

#ifndef KESTREL_UPDATE_HOST_DEFAULT
#define KESTREL_UPDATE_HOST_DEFAULT "localhost"
#endif

std::string UpgradeServerHost() {
    std::string host = EnvironmentVariable("KESTREL_UPDATE_HOST").value_or("");
    return host.empty() ? KESTREL_UPDATE_HOST_DEFAULT : host;
}

std::string HostNameProblem(const std::string& name) {
    auto digits = [](const std::string& text) {
        return !text.empty() &&
               std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
    };
    size_t colon = std::string::npos;
    if (!name.empty() && name[0] == '[') {
        size_t close = name.find("]:");
        if (close != std::string::npos)
            colon = close + 1;
    } else if (std::count(name.begin(), name.end(), ':') == 1) {
        colon = name.find(':');
    }
    if (colon == std::string::npos || !digits(name.substr(colon + 1)))
        return {};
    return "KESTREL_UPDATE_HOST takes a host name only, without \"" + name.substr(colon) +
           "\": the port is always " + kUpgradeServerPort;
}
