// make-sample-catalogue writes a catalogue the server serves as documented: the firmware newer than
// the simulated device's 1.20, the deterministic image, the Chinese information page, and the tool.
#include "RawClient.h"

#include <gtest/gtest.h>

TEST(UpgradeServerSample, CatalogueServesFirmwarePageAndTool) {
    TempDir dir;
    WriteFileBytes(dir / "kestrel", "#!/bin/sh\necho new tool\n");
    ASSERT_TRUE(MakeSampleCatalogue(dir / "cat", {"--firmware-version", "1.22", "--size", "9000"}));
    std::string manifest = ReadFileBytes(dir / "cat/manifest");
    EXPECT_NE(manifest.find("firmware QX40 1.22 qx40-1.22.bin\n"), std::string::npos) << manifest;

    std::string image = ReadFileBytes(dir / "cat/qx40-1.22.bin");
    ASSERT_EQ(image.size(), 9000u);
    for (size_t i : {size_t(0), size_t(1), size_t(300), size_t(8999)})
        EXPECT_EQ(static_cast<uint8_t>(image[i]), (i * 131 + (i >> 8) * 7 + 0x5C) % 256) << i;

    TUpgradeServer real({.catalogue = dir / "cat", .args = {"--http-port", "8080"}});
    RawClient client(real.Address());
    Announce(client, DefaultRequest()); // a QX40 with 1.20
    Download d = Receive(client);
    ASSERT_EQ(d.values.size(), 13u);
    EXPECT_EQ(d.values[11], "3");
    EXPECT_TRUE(d.data == image);
    EXPECT_EQ(d.crc, CrcText(image));

    std::string page =
        PageExchange(real.Address(), "GET /url/QX40Info.htm HTTP/1.1\r\nHost: x\r\n\r\n");
    EXPECT_EQ(page.substr(0, 15), "HTTP/1.1 200 OK");
    EXPECT_NE(page.find("Content-Type: text/html; charset=utf-8"), std::string::npos);
    EXPECT_NE(page.find("QX40 手持终端"), std::string::npos);
    EXPECT_NE(page.find("1.22"), std::string::npos);

    // With the tool: a client older than the tool gets it first.
    ASSERT_TRUE(MakeSampleCatalogue(dir / "cat2",
                                    {"--tool-version", "1.5", "--tool-file", dir / "kestrel"}));
    TUpgradeServer withTool({.catalogue = dir / "cat2"});
    RawClient toolClient(withTool.Address());
    Announce(toolClient, DefaultRequest());
    Download t = Receive(toolClient);
    ASSERT_EQ(t.values.size(), 13u);
    EXPECT_EQ(t.values[11], "7");
    EXPECT_EQ(t.data, "#!/bin/sh\necho new tool\n");
    // The default image is 100 KiB with a CRC that has hexadecimal letters (for crc:lower).
    std::string defaultImage = ReadFileBytes(dir / "cat2/qx40-1.21.bin");
    EXPECT_EQ(defaultImage.size(), 102400u);
    EXPECT_EQ(CrcText(defaultImage), "5FC6");
}

TEST(UpgradeServerSample, RejectsBadArguments) {
    TempDir dir;
    EXPECT_FALSE(MakeSampleCatalogue(dir / "a", {"--firmware-version", "new"}));
    EXPECT_FALSE(MakeSampleCatalogue(dir / "b", {"--size", "0"}));
    EXPECT_FALSE(MakeSampleCatalogue(dir / "c", {"--tool-version", "1.5"}));
    EXPECT_FALSE(MakeSampleCatalogue(dir / "d", {"--tool-platform", "Linux"}));
    EXPECT_FALSE(MakeSampleCatalogue(dir / "e", {"--sign-key", dir / "missing.key"}));
}
