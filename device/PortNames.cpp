// Port numbers to serial devices: naming and order; the list itself is one file per platform.
#include "PortNames.h"
#include "COMFunAPI.h"
#include <algorithm>
#include <tuple>

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

} // namespace

bool SerialPortBefore(const std::string& a, const std::string& b) {
    std::string na = BaseName(a), nb = BaseName(b);
    NameParts pa = Split(na), pb = Split(nb);
    return std::tuple(Group(na), pa.stem, pa.numbered, pa.number, na) <
           std::tuple(Group(nb), pb.stem, pb.numbered, pb.number, nb);
}

std::string PortDevicePath(int32_t port) {
    if (port < 1 || port > ComPortCount)
        return {};
    std::vector<std::string> paths = SerialPortPaths();
    if (static_cast<size_t>(port) > paths.size())
        return {};
    return paths[static_cast<size_t>(port) - 1];
}
