// Windows' device list of communication ports, read from recorded answers: port names, hardware
// ids, multi-strings, and the merge with the COM ports defined as DOS devices.
#include "PortInventoryRecords.h"

#include <gtest/gtest.h>

TEST(PortRecords, ComNumbers) {
    const std::pair<const char*, int32_t> cases[] = {
        {"COM1", 1}, {"com7", 7},  {"\\\\.\\COM12", 12}, {"COM256", 256}, {"COM257", 0},
        {"COM0", 0}, {"COM01", 0}, {"LPT1", 0},          {"COM", 0},      {"COM7x", 0},
        {"", 0},     {"XCOM7", 0}, {"COM1234567", 0}};
    for (const auto& [name, number] : cases)
        EXPECT_EQ(ComNumber(name), number) << name;
}

TEST(PortRecords, UsbIdsOfHardwareIds) {
    struct Case {
        const char* id;
        const char* vendor; // nullptr: names no USB ids
        const char* product;
    };
    const Case cases[] = {
        {"USB\\VID_1A86&PID_7523&REV_0254", "1a86", "7523"},
        {"USB\\VID_10C4&PID_EA60", "10c4", "ea60"},
        {"USB\\VID_2341&PID_0043&MI_00", "2341", "0043"},
        {"usb\\vid_067b&pid_2303&rev_0300", "067b", "2303"},
        {"FTDIBUS\\VID_0403+PID_6001+A50285BIA\\0000", "0403", "6001"},
        {"FTDIBUS\\COMPORT&VID_0403&PID_6001", "0403", "6001"},
        {"ACPI\\PNP0501", nullptr, nullptr},
        {"*PNP0501", nullptr, nullptr},
        {"BTHENUM\\{00001101-0000-1000-8000-00805f9b34fb}_VID&0001005d_PID&0223", nullptr, nullptr},
        {"PCI\\VEN_8086&DEV_9D3D&SUBSYS_225D17AA", nullptr, nullptr},
        {"USB\\VID_1A8&PID_7523", nullptr, nullptr},   // three digits
        {"USB\\VID_1A86G&PID_7523", nullptr, nullptr}, // five characters
        {"USB\\VID_1A86", nullptr, nullptr},
        {"USB\\XVID_1A86&PID_7523", nullptr, nullptr},
    };
    for (const Case& c : cases) {
        std::string vendor = "kept", product = "kept";
        EXPECT_EQ(UsbIdsOf(c.id, vendor, product), c.vendor != nullptr) << c.id;
        EXPECT_EQ(vendor, c.vendor ? c.vendor : "kept") << c.id;
        EXPECT_EQ(product, c.product ? c.product : "kept") << c.id;
    }
}

// The whole literal as stored, embedded NULs included (not the one the compiler adds).
template <size_t N> std::wstring Stored(const wchar_t (&text)[N]) {
    return std::wstring(text, N - 1);
}

TEST(PortRecords, MultiStrings) {
    using W = std::wstring;
    const std::pair<W, std::vector<W>> cases[] = {
        // REG_MULTI_SZ as the hardware ids come: each string ends, then an empty one.
        {Stored(L"USB\\VID_1A86&PID_7523&REV_0254\0USB\\VID_1A86&PID_7523\0\0"),
         {L"USB\\VID_1A86&PID_7523&REV_0254", L"USB\\VID_1A86&PID_7523"}},
        {Stored(L"USB-SERIAL CH340 (COM5)\0"), {L"USB-SERIAL CH340 (COM5)"}}, // REG_SZ
        {W(L"COM5"), {L"COM5"}},                                              // no end stored
        {Stored(L"\0\0"), {}},
        {W(), {}},
    };
    for (const auto& [value, strings] : cases)
        EXPECT_EQ(SplitMultiString(value), strings) << value.size();
}

// A PC with a CH340 bridge, a CP210x, the board's own port and a printer port, as the device list
// answers; COM2 and COM33 are defined as DOS devices that no driver lists (a virtual pair).
TEST(PortRecords, MergesDeviceListWithDosDevices) {
    const std::vector<TSystemPort> devices = {
        {"COM5",
         "USB-SERIAL CH340 (COM5)",
         {"USB\\VID_1A86&PID_7523&REV_0254", "USB\\VID_1A86&PID_7523"}},
        {"COM1", "Communications Port (COM1)", {"ACPI\\PNP0501", "*PNP0501"}},
        {"LPT1", "Printer Port (LPT1)", {"ACPI\\PNP0400", "*PNP0400"}},
        {"COM3",
         "Silicon Labs CP210x USB to UART Bridge (COM3)",
         {"USB\\VID_10C4&PID_EA60&REV_0100", "USB\\VID_10C4&PID_EA60"}},
        {"COM5", "a second device claiming COM5", {"USB\\VID_0403&PID_6001"}},
        {"COM9", "", {}}, // a port without a name in the list
    };
    struct Expected {
        int32_t number;
        const char* path;
        bool usb;
        const char* description;
    };
    const Expected expected[] = {
        {1, "\\\\.\\COM1", false, "Communications Port (COM1)"},
        {2, "\\\\.\\COM2", false, ""},
        {3, "\\\\.\\COM3", true, "USB 10c4:ea60, Silicon Labs CP210x USB to UART Bridge (COM3)"},
        {5, "\\\\.\\COM5", true, "USB 1a86:7523, USB-SERIAL CH340 (COM5)"},
        {9, "\\\\.\\COM9", false, ""},
        {33, "\\\\.\\COM33", false, ""},
    };
    const std::vector<TPortInfo> ports = MergePorts(devices, {1, 2, 5, 33, 0, 257});
    ASSERT_EQ(ports.size(), std::size(expected));
    for (size_t i = 0; i < ports.size(); ++i) {
        EXPECT_EQ(ports[i].number, expected[i].number) << i;
        EXPECT_EQ(ports[i].path, expected[i].path) << i;
        EXPECT_EQ(ports[i].usb, expected[i].usb) << i;
        EXPECT_EQ(PortDescription(ports[i]), expected[i].description) << i;
        EXPECT_FALSE(ports[i].inUse) << i;
    }
    EXPECT_TRUE(MergePorts({}, {}).empty());
}
