#pragma once
// Windows' device list of communication ports, read apart from the calls that fetch it: the
// answers of SetupAPI (Ports device class) as text, and how they merge with the COM ports defined
// as DOS devices. Pure functions, so that recorded answers can be checked on any system.
#include "PortInventory.h"

#include <cstdint>
#include <string>
#include <vector>

// What the device list says about one device of the Ports class.
struct TSystemPort {
    std::string portName;                 // the device's "PortName" value: "COM5" (or "LPT1")
    std::string friendlyName;             // "USB-SERIAL CH340 (COM5)"; empty when it has none
    std::vector<std::string> hardwareIds; // "USB\VID_1A86&PID_7523&REV_0254", ..., most exact first
};

// "COM7", "com7" or "\\.\COM7" -> 7; 0 for anything else (LPT1, COM0, COM257, COM7x).
int32_t ComNumber(const std::string& name);
// The strings of a multi-string value (each ends in a NUL, an empty one ends the list).
std::vector<std::wstring> SplitMultiString(const std::wstring& value);
// The USB vendor and product ids a hardware id names, in lower-case hex as USB tools write them
// ("USB\VID_1A86&PID_7523&REV_0254" -> "1a86", "7523"; FTDI's bus writes
// "FTDIBUS\VID_0403+PID_6001+..."). False, and both left alone, when it names none.
bool UsbIdsOf(const std::string& hardwareId, std::string& vendorId, std::string& productId);
// The ports by number: every number of `dosPorts` (the COM ports defined as DOS devices, which
// includes those no driver lists, such as virtual pairs) and every COM port of `devices`, with
// the device list's name and USB ids where it has them. A number two devices claim keeps the
// first one's details.
std::vector<TPortInfo> MergePorts(const std::vector<TSystemPort>& devices,
                                  const std::vector<int32_t>& dosPorts);
