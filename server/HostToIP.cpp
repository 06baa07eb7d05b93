// The upgrade server's host name; the resolution itself is one file per platform.
#include "HostToIP.h"

#include <cstdlib>

#ifndef KESTREL_UPDATE_HOST_DEFAULT
#define KESTREL_UPDATE_HOST_DEFAULT "localhost"
#endif

std::string UpgradeServerHost() {
    const char* env = std::getenv("KESTREL_UPDATE_HOST");
    if (env && *env)
        return env;
    return KESTREL_UPDATE_HOST_DEFAULT;
}
