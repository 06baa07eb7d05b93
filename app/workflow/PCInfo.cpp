#include "PCInfo.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <vector>

namespace {
std::string FirstLine(const std::filesystem::path& file) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    return line;
}

// "aa:bb:cc:dd:ee:ff" into six bytes.
bool ParseColonAddress(const std::string& text, uint8_t out[6]) {
    if (text.size() != 17)
        return false;
    for (size_t i = 0; i < 6; ++i) {
        if (i > 0 && text[i * 3 - 1] != ':')
            return false;
        unsigned value = 0;
        for (size_t k = 0; k < 2; ++k) {
            char c = text[i * 3 + k];
            int digit = c >= '0' && c <= '9'   ? c - '0'
                        : c >= 'a' && c <= 'f' ? c - 'a' + 10
                        : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                               : -1;
            if (digit < 0)
                return false;
            value = value * 16 + static_cast<unsigned>(digit);
        }
        out[i] = static_cast<uint8_t>(value);
    }
    return true;
}
} // namespace

std::string FormatPCInfo(const uint8_t address[6]) {
    char text[18];
    std::snprintf(text, sizeof text, "%02X-%02X-%02X-%02X-%02X-%02X", address[0], address[1],
                  address[2], address[3], address[4], address[5]);
    return text;
}

std::string PCInfoFromUuids(const uint8_t first[16], const uint8_t second[16]) {
    if (!std::equal(first + 10, first + 16, second + 10))
        return {};
    return FormatPCInfo(first + 10);
}

std::string PCInfoFromSysNet(const std::string& sysClassNet) {
    std::error_code ec;
    std::vector<std::filesystem::path> interfaces;
    for (const auto& entry : std::filesystem::directory_iterator(sysClassNet, ec))
        interfaces.push_back(entry.path());
    std::sort(interfaces.begin(), interfaces.end());
    const unsigned long loopbackFlag = 0x8; // IFF_LOOPBACK
    for (const auto& dir : interfaces) {
        std::string flags = FirstLine(dir / "flags");
        if (!flags.empty() && (std::strtoul(flags.c_str(), nullptr, 0) & loopbackFlag))
            continue;
        uint8_t address[6];
        if (!ParseColonAddress(FirstLine(dir / "address"), address))
            continue;
        if (std::all_of(address, address + 6, [](uint8_t b) { return b == 0; }))
            continue;
        return FormatPCInfo(address);
    }
    return {};
}
