// The communication ports of a Windows system: those the system lists as DOS devices "COMN".
#include "COMFunAPI.h"
#include "OwnedHandle.h"
#include "PortInventory.h"
#include "WideText_win32.h"

#include <windows.h>

#include <cctype>
#include <cstdlib>
#include <vector>

namespace {

// "\\.\COM7" or "COM7" -> 7; 0 for anything else.
int32_t ComNumber(const std::string& path) {
    size_t at = path.rfind("COM");
    if (at == std::string::npos || at + 3 >= path.size())
        return 0;
    std::string digits = path.substr(at + 3);
    for (char c : digits)
        if (!std::isdigit(static_cast<unsigned char>(c)))
            return 0;
    int n = std::atoi(digits.c_str());
    return n >= 1 && n <= ComPortCount ? n : 0;
}

} // namespace

bool PortExists(const std::string& path) {
    int32_t n = ComNumber(path);
    if (n == 0)
        return false;
    // Only whether the name is defined counts; a target longer than the buffer still says so.
    wchar_t target[512];
    std::wstring name = L"COM" + std::to_wstring(n);
    return QueryDosDeviceW(name.c_str(), target, 512) != 0 ||
           GetLastError() == ERROR_INSUFFICIENT_BUFFER;
}

std::vector<std::vector<std::string>> PortHoldersOf(const std::vector<std::string>& paths) {
    // Windows does not tell which process holds a COM port without extra tools.
    return std::vector<std::vector<std::string>>(paths.size());
}

std::string PortGroup(const std::string&) {
    return {};
}

std::string InstalledUdevRule() {
    return {};
}

std::vector<TPortInfo> ListPorts() {
    std::vector<TPortInfo> ports;
    for (int32_t n = 1; n <= ComPortCount; ++n) {
        std::string path = "\\\\.\\COM" + std::to_string(n);
        if (!PortExists(path))
            continue;
        TPortInfo info;
        info.number = n;
        info.path = path;
        // Opened for a moment only: the handle closes at the end of this step.
        const TWinHandle h(CreateFileW(Widen(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                       nullptr, OPEN_EXISTING, 0, nullptr));
        if (!h &&
            (GetLastError() == ERROR_ACCESS_DENIED || GetLastError() == ERROR_SHARING_VIOLATION))
            info.inUse = true; // a COM port opens exclusively: another program has it
        ports.push_back(std::move(info));
    }
    return ports;
}
