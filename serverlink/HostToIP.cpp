// The upgrade server's host name; the resolution itself is one file per platform.
#include "HostToIP.h"
#include "SystemText.h"

#include <algorithm>

#ifndef KESTREL_UPDATE_HOST_DEFAULT
#define KESTREL_UPDATE_HOST_DEFAULT "localhost"
#endif

std::vector<std::string> HostAddresses(const std::string& name, std::string* why) {
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
    std::vector<std::string> found = ResolveHost(name, why);
    std::vector<std::string> unique;
    for (std::string& address : found)
        if (std::find(unique.begin(), unique.end(), address) == unique.end())
            unique.push_back(std::move(address));
    return unique;
}

std::string HostToIP(const std::string& name, std::string* why) {
    std::string words;
    for (const std::string& address : HostAddresses(name, &words))
        if (address.find(':') == std::string::npos)
            return address;
    if (why)
        *why = words.empty() ? "no IPv4 address" : words;
    return {};
}

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
