// Port numbers to serial devices: naming and order; the list itself is one file per platform.
#include "PortNames.h"
#include "SystemText.h"
#include <algorithm>
#include <filesystem>
#include <tuple>

std::string ComPortName(int32_t number) {
    return "COM" + std::to_string(number);
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

namespace {

// The canonical form of a path (links resolved), or the path itself when it has none.
std::string Canonical(const std::string& path) {
    std::error_code ec;
    std::filesystem::path canonical = std::filesystem::canonical(Utf8Path(path), ec);
    return ec ? path : PathText(canonical);
}

bool AllDigits(const std::string& text) {
    return !text.empty() && text.size() < 10 &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

} // namespace

std::optional<TPortId> PortFromArgument(const std::string& arg, const std::vector<TPortId>& listed,
                                        std::string& error) {
    static const std::string seeList = " (`kestrel-cli ports` lists them)";
    error.clear();
    std::string digits = arg;
    if (arg.size() > 3 && (arg[0] == 'C' || arg[0] == 'c') && (arg[1] == 'O' || arg[1] == 'o') &&
        (arg[2] == 'M' || arg[2] == 'm'))
        digits = arg.substr(3);
    if (AllDigits(digits)) {
        long number = std::stol(digits);
        if (number < 1 || number > ComPortCount) {
            error = "port " + arg + " is out of range: port numbers go from 1 to " +
                    std::to_string(ComPortCount) + seeList;
            return std::nullopt;
        }
        for (const TPortId& port : listed)
            if (port.number == number)
                return port;
        return TPortId{.number = static_cast<int32_t>(number)};
    }
    if (arg.find('/') == std::string::npos && arg.find('\\') == std::string::npos) {
        error = arg + " is neither a port number (1 to " + std::to_string(ComPortCount) +
                ") nor a device path" + seeList;
        return std::nullopt;
    }
    const std::string wanted = Canonical(arg);
    for (const TPortId& port : listed)
        if (port.path == arg || Canonical(port.path) == wanted)
            return port;
    std::error_code ec;
    if (!std::filesystem::exists(Utf8Path(arg), ec))
        error = arg + ": no such device" + seeList;
    else
        error = arg + " is not one of the serial ports" + seeList;
    return std::nullopt;
}
