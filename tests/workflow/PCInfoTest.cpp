#include "PCInfo.h"
#include "TestFiles.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

namespace {
void AddInterface(const TempDir& root, const std::string& name, const std::string& address,
                  const std::string& flags = "0x1003") {
    std::filesystem::create_directory(root / name);
    WriteFileBytes(root / name + "/address", address + "\n");
    WriteFileBytes(root / name + "/flags", flags + "\n");
}
} // namespace

TEST(PCInfo, FirstInterfaceByNameWithARealAddress) {
    TempDir net;
    AddInterface(net, "lo", "00:00:00:00:00:00", "0x9");
    AddInterface(net, "eth1", "aa:bb:cc:dd:ee:ff");
    AddInterface(net, "eth0", "00:00:00:00:00:00"); // no address: skipped
    AddInterface(net, "enp3s0", "00:1a:2b:3c:4d:5e");
    EXPECT_EQ(PCInfoFromSysNet(net.Path()), "00-1A-2B-3C-4D-5E");
}

TEST(PCInfo, SkipsLoopbackAndAddressesOfOtherSizes) {
    TempDir net;
    AddInterface(net, "a-loop", "02:00:00:00:00:01", "0x9"); // loopback flag, though an address
    AddInterface(net, "b-ib", "80:00:02:08:fe:80:00:00:00:00:00:00:00:02:c9:03:00:0a:bc:de");
    AddInterface(net, "c-tun", "");
    AddInterface(net, "d-eth", "0a:0B:0c:0D:0e:0F");
    EXPECT_EQ(PCInfoFromSysNet(net.Path()), "0A-0B-0C-0D-0E-0F");
}

TEST(PCInfo, EmptyWithoutAnAdapter) {
    TempDir net;
    EXPECT_EQ(PCInfoFromSysNet(net.Path()), "");
    AddInterface(net, "lo", "00:00:00:00:00:00", "0x9");
    EXPECT_EQ(PCInfoFromSysNet(net.Path()), "");
    EXPECT_EQ(PCInfoFromSysNet(net / "missing"), "");
}

TEST(PCInfo, ThisMachineGivesTheFormOrNothing) {
    std::string info = GetPCInfo();
    if (!info.empty()) {
        EXPECT_TRUE(std::regex_match(info, std::regex("([0-9A-F]{2}-){5}[0-9A-F]{2}"))) << info;
    }
    // Stable from call to call; on Linux the first adapter of /sys/class/net.
    EXPECT_EQ(info, GetPCInfo());
#ifndef _WIN32
    EXPECT_EQ(info, PCInfoFromSysNet("/sys/class/net"));
#endif
}

TEST(PCInfo, UuidNodesMustAgree) {
    uint8_t a[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
    uint8_t b[16] = {9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
    EXPECT_EQ(PCInfoFromUuids(a, b), "00-1A-2B-3C-4D-5E");
    b[15] = 0x5F;
    EXPECT_EQ(PCInfoFromUuids(a, b), "");
}
