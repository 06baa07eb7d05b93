// Port numbers to serial devices.
#include "PortNames.h"
#include "COMFunAPI.h"
#include <algorithm>
#include <cstdlib>
#include <tuple>
#ifndef _WIN32
#include <dirent.h>
#include <sys/stat.h>
#endif

std::string ComPortName(int32_t port) {
    return "com" + std::to_string(port);
}

namespace {

// "ttyUSB10" -> ("ttyUSB", 10, true); a name without a trailing number has no number.
struct NameParts {
    std::string stem;
    unsigned long number = 0;
    bool numbered = false;
};

NameParts Split(const std::string& name) {
    size_t end = name.size();
    size_t digits = end;
    while (digits > 0 && name[digits - 1] >= '0' && name[digits - 1] <= '9')
        --digits;
    NameParts parts{name.substr(0, digits)};
    if (digits < end && end - digits < 10) {
        parts.number = std::stoul(name.substr(digits));
        parts.numbered = true;
    }
    return parts;
}

int Group(const std::string& name) {
    if (name.rfind("ttyUSB", 0) == 0)
        return 0;
    if (name.rfind("ttyACM", 0) == 0)
        return 1;
    return 2;
}

std::string BaseName(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

#ifndef _WIN32
bool IsCharDevice(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISCHR(st.st_mode);
}

// Terminals backed by hardware (or a USB function) have a "device" link in /sys/class/tty;
// virtual consoles and pseudo-terminals do not.
std::vector<std::string> EnumerateSerialDevices() {
    std::vector<std::string> found;
    if (DIR* dir = opendir("/sys/class/tty")) {
        while (dirent* e = readdir(dir)) {
            std::string name = e->d_name;
            if (name.empty() || name[0] == '.')
                continue;
            struct stat st {};
            if (stat(("/sys/class/tty/" + name + "/device").c_str(), &st) != 0)
                continue;
            if (IsCharDevice("/dev/" + name))
                found.push_back("/dev/" + name);
        }
        closedir(dir);
    }
    if (found.empty()) { // no sysfs: fall back to the usual device names
        if (DIR* dir = opendir("/dev")) {
            while (dirent* e = readdir(dir)) {
                std::string name = e->d_name;
                for (const char* prefix : {"ttyUSB", "ttyACM", "ttyS", "ttyAMA", "cu.", "tty."})
                    if (name.rfind(prefix, 0) == 0 && IsCharDevice("/dev/" + name)) {
                        found.push_back("/dev/" + name);
                        break;
                    }
            }
            closedir(dir);
        }
    }
    std::sort(found.begin(), found.end(), SerialPortBefore);
    if (found.size() > static_cast<size_t>(ComPortCount))
        found.resize(ComPortCount);
    return found;
}
#endif

} // namespace

bool SerialPortBefore(const std::string& a, const std::string& b) {
    std::string na = BaseName(a), nb = BaseName(b);
    NameParts pa = Split(na), pb = Split(nb);
    return std::tuple(Group(na), pa.stem, pa.numbered, pa.number, na) <
           std::tuple(Group(nb), pb.stem, pb.numbered, pb.number, nb);
}

std::vector<std::string> SerialPortPaths() {
#ifdef _WIN32
    std::vector<std::string> paths;
    for (int32_t port = 1; port <= ComPortCount; ++port)
        paths.push_back("\\\\.\\COM" + std::to_string(port));
    return paths;
#else
    const char* list = std::getenv("KESTREL_PORTS");
    if (!list)
        return EnumerateSerialDevices();
    std::vector<std::string> paths;
    std::string text = list;
    size_t from = 0;
    for (;;) {
        size_t colon = text.find(':', from);
        paths.push_back(text.substr(from, colon == std::string::npos ? colon : colon - from));
        if (colon == std::string::npos)
            break;
        from = colon + 1;
    }
    return paths;
#endif
}

std::string PortDevicePath(int32_t port) {
    if (port < 1 || port > ComPortCount)
        return {};
    std::vector<std::string> paths = SerialPortPaths();
    if (static_cast<size_t>(port) > paths.size())
        return {};
    return paths[static_cast<size_t>(port) - 1];
}
