// The communication ports of a Windows system: the COM ports defined as DOS devices, and what the
// device list (SetupAPI, the Ports class) says about them: the name Windows gives each port and,
// for a USB bridge, its vendor and product ids.
#include "OwnedHandle.h"
#include "PortInventory.h"
#include "PortInventoryRecords.h"
#include "WideText_win32.h"

#include <windows.h>

// initguid.h first, so that devguid.h defines the class GUIDs in this file.
#include <initguid.h>

#include <devguid.h>
#include <setupapi.h>

#include <cerrno>
#include <vector>

namespace {

// A device information set that destroys itself.
struct TDeviceSetTraits {
    using Value = HDEVINFO;
    static Value None() { return INVALID_HANDLE_VALUE; }
    static bool Valid(Value set) { return set != nullptr && set != INVALID_HANDLE_VALUE; }
    static void Close(Value set) { SetupDiDestroyDeviceInfoList(set); }
};
using TDeviceSet = TOwnedHandle<TDeviceSetTraits>;

struct TRegKeyTraits {
    using Value = HKEY;
    static Value None() { return nullptr; }
    static bool Valid(Value key) { return key != nullptr && key != INVALID_HANDLE_VALUE; }
    static void Close(Value key) { RegCloseKey(key); }
};
using TRegKey = TOwnedHandle<TRegKeyTraits>;

// A text property of the device (REG_SZ or REG_MULTI_SZ) as the system stores it, NULs included;
// empty when the device has none.
std::wstring DeviceProperty(HDEVINFO set, SP_DEVINFO_DATA& device, DWORD property) {
    std::wstring value(128, L'\0');
    for (;;) {
        DWORD type = 0, bytes = 0;
        if (SetupDiGetDeviceRegistryPropertyW(
                set, &device, property, &type, reinterpret_cast<BYTE*>(value.data()),
                static_cast<DWORD>(value.size() * sizeof(wchar_t)), &bytes)) {
            if (type != REG_SZ && type != REG_MULTI_SZ)
                return {};
            value.resize(bytes / sizeof(wchar_t));
            return value;
        }
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || bytes <= value.size() * sizeof(wchar_t))
            return {};
        value.resize(bytes / sizeof(wchar_t) + 1);
    }
}

// The "PortName" value of the device's hardware key ("COM5"); empty when it has none.
std::string PortNameOf(HDEVINFO set, SP_DEVINFO_DATA& device) {
    const TRegKey key(
        SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_QUERY_VALUE));
    if (!key)
        return {};
    wchar_t name[64] = {};
    DWORD type = 0, bytes = sizeof name - sizeof(wchar_t); // room left for the end
    if (RegQueryValueExW(key.Get(), L"PortName", nullptr, &type, reinterpret_cast<BYTE*>(name),
                         &bytes) != ERROR_SUCCESS ||
        type != REG_SZ)
        return {};
    const std::vector<std::wstring> names =
        SplitMultiString(std::wstring(name, bytes / sizeof(wchar_t)));
    return names.empty() ? std::string() : Narrow(names.front());
}

// The present devices of the Ports class; none when the device list cannot be read.
std::vector<TSystemPort> SystemPorts() {
    std::vector<TSystemPort> ports;
    const TDeviceSet set(
        SetupDiGetClassDevsW(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT));
    if (!set)
        return ports;
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set.Get(), i, &device); ++i) {
        TSystemPort port;
        port.portName = PortNameOf(set.Get(), device);
        if (port.portName.empty())
            continue;
        const std::vector<std::wstring> names =
            SplitMultiString(DeviceProperty(set.Get(), device, SPDRP_FRIENDLYNAME));
        if (!names.empty())
            port.friendlyName = Narrow(names.front());
        for (const std::wstring& id :
             SplitMultiString(DeviceProperty(set.Get(), device, SPDRP_HARDWAREID)))
            port.hardwareIds.push_back(Narrow(id));
        ports.push_back(std::move(port));
    }
    return ports;
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

std::string UnnamedHolderNote() {
    return "Windows does not say which program";
}

std::string PortGroup(const std::string&) {
    return {};
}

std::string InstalledUdevRule() {
    return {};
}

std::vector<TPortId> ListSerialPorts() {
    const std::vector<TPortInfo> known = DescribePorts();
    std::vector<TPortId> ports;
    for (const std::string& path : SerialPortPaths()) {
        TPortId port{.path = path, .number = ComNumber(path)};
        for (const TPortInfo& info : known)
            if (info.number == port.number)
                port.description = PortDescription(info);
        ports.push_back(std::move(port));
    }
    return ports;
}

std::vector<TPortInfo> DescribePorts() {
    std::vector<int32_t> defined;
    for (int32_t n = 1; n <= ComPortCount; ++n)
        if (PortExists("COM" + std::to_string(n)))
            defined.push_back(n);
    return MergePorts(SystemPorts(), defined);
}

std::vector<TPortInfo> ListPorts() {
    std::vector<TPortInfo> ports = DescribePorts();
    for (TPortInfo& info : ports) {
        // Opened for a moment only, with no sharing: the handle closes at the end of this step.
        const TWinHandle h(CreateFileW(Widen(info.path).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                       nullptr, OPEN_EXISTING, 0, nullptr));
        if (h)
            continue;
        const DWORD err = GetLastError();
        if (err == ERROR_ACCESS_DENIED || err == ERROR_SHARING_VIOLATION)
            info.inUse = true; // a COM port opens exclusively: another program has it
        else if (err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND)
            info.openError = OpenFailureCause(info.path, ENOENT);
        else
            info.openError =
                info.path + ": cannot be opened (Windows error " + std::to_string(err) + ")";
    }
    return ports;
}
