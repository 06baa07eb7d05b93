// Known answers of the pure parts: CRC-16, sums, acknowledgement decoding, frames, line codes,
// port numbering.
#include "COMFunAPI_posix.h"
#include "CRC16.h"
#include "PortNames.h"
#include "PtyDevice.h"
#include "UPCommFun.h"
#include <algorithm>
#include <cstdlib>
#include <gtest/gtest.h>
#include <string>

namespace {

Bytes Of(const TFrame& frame) {
    return Bytes(frame.begin(), frame.end());
}

} // namespace

TEST(Crc16, KnownAnswers) {
    const std::string check = "123456789";
    EXPECT_EQ(Crc16(reinterpret_cast<const uint8_t*>(check.data()), 9), 0x374B);
    const uint8_t one[] = {0x00};
    EXPECT_EQ(Crc16(one, 0), 0xFFFF);
    EXPECT_EQ(Crc16(one, -5), 0xFFFF);
    EXPECT_EQ(Crc16(nullptr, 3), 0xFFFF);
    // A single zero byte: CRC-16/MODBUS 0x40BF, swapped.
    EXPECT_EQ(Crc16(one, 1), 0xBF40);
}

TEST(Crc16, AgreesWithBitwiseModbusSwapped) {
    Bytes data(1000);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i * 37 + 11);
    uint16_t crc = 0xFFFF;
    for (uint8_t b : data) {
        crc ^= b;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
    }
    uint16_t swapped = static_cast<uint16_t>((crc << 8) | (crc >> 8));
    EXPECT_EQ(Crc16(data.data(), static_cast<int32_t>(data.size())), swapped);
}

TEST(Sums, CheckSum12AndN) {
    Bytes reply = Reply12({0xC4, 1, 2, 3, 4});
    EXPECT_EQ(reply[10], 0x00);
    EXPECT_EQ(reply[11], 0xCE);
    EXPECT_TRUE(CheckSum12(reply.data()));
    reply[11] ^= 1;
    EXPECT_FALSE(CheckSum12(reply.data()));

    // Ten 0xFF bytes sum to 2550 = 0x09F6: both sum bytes are compared.
    Bytes high(12, 0xFF);
    high[10] = 0x09;
    high[11] = 0xF6;
    EXPECT_TRUE(CheckSum12(high.data()));
    high[10] = 0x00;
    EXPECT_FALSE(CheckSum12(high.data()));

    // 260 bytes, the last two the sum of the 258 before them (258 * 0xFF = 0x100FE: bits 8-15
    // and 0-7 of the total count).
    Bytes big(260, 0xFF);
    big[258] = 0x00;
    big[259] = 0xFE;
    EXPECT_TRUE(CheckSumN(big.data(), 260));
    big[0] = 0xFE;
    EXPECT_FALSE(CheckSumN(big.data(), 260));
    EXPECT_FALSE(CheckSumN(big.data(), 1));
}

TEST(AckValue, DecodesWithLowKeyNibbleOnly) {
    EXPECT_EQ(AckValue(0xF4, 0x00), 11);
    EXPECT_EQ(AckValue(0xEF, 0x25), 11);
    EXPECT_EQ(AckValue(0xF4, 0x10), 11);
    EXPECT_EQ(AckValue(0xEF, 0x00), 16);
    EXPECT_EQ(AckValue(0xFF, 0x0F), 0xF1); // wraps modulo 256
    for (int key = 0; key < 255; ++key)
        for (uint8_t value : {uint8_t{11}, uint8_t{14}, uint8_t{16}})
            ASSERT_EQ(
                AckValue(AckByte(value, static_cast<uint8_t>(key)), static_cast<uint8_t>(key)),
                value);
}

TEST(ReplyLenOf, TableAndRefusals) {
    for (uint8_t code : {0x01, 0x02, 0x03, 0x20, 0x21, 0x22})
        EXPECT_EQ(ReplyLenOf(code), 1) << int(code);
    for (uint8_t code : {0x04, 0xC2, 0xC4, 0xC8, 0xC9, 0xCA})
        EXPECT_EQ(ReplyLenOf(code), 12) << int(code);
    EXPECT_EQ(ReplyLenOf(0x0A), 0);
    EXPECT_EQ(ReplyLenOf(0x0B), 0);
    EXPECT_EQ(ReplyLenOf(0xD3), 260);
    EXPECT_EQ(ReplyLenOf(0xD4), 259);
    for (uint8_t code : {0x00, 0x05, 0x09, 0xC3, 0xFF})
        EXPECT_EQ(ReplyLenOf(code), -1) << int(code);
}

TEST(Frames, SumReplacesWhateverBytes10And11Held) {
    TFrame c2{0xC2};
    c2[10] = 0x12;
    c2[11] = 0x34;
    EXPECT_EQ(Of(WithSum(c2)), (Bytes{0xC2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x00, 0xC2}));
    TFrame full{};
    full.fill(0xFF);
    TFrame summed = WithSum(full);
    EXPECT_EQ(summed[10], 0x09);
    EXPECT_EQ(summed[11], 0xF6);
}

TEST(Frames, DownloadStart) {
    EXPECT_EQ(ModelFlagOf("QX40"), 53);
    EXPECT_EQ(ModelFlagOf("qx40"), 0);
    EXPECT_EQ(ModelFlagOf("QX40 "), 0);
    EXPECT_EQ(ModelFlagOf(""), 0);

    EXPECT_EQ(Of(WithSum(DownloadStartFrame(0, 53, 255, 3))),
              (Bytes{0x02, 0, 0, 0, 0, 0, 0x35, 0, 0xFF, 0x03, 0x01, 0x39}));
    // The address goes low byte first.
    Bytes frame = Of(DownloadStartFrame(0x12345678, 0, 0, 2));
    EXPECT_EQ(Bytes(frame.begin(), frame.begin() + 10),
              (Bytes{0x02, 0x78, 0x56, 0x34, 0x12, 0, 0, 0, 0, 0x02}));
}

TEST(Frames, DataFrameSums) {
    SendBuf.fill(0);
    SendBuf[0] = 0x09;
    SendBuf[1] = 0xFF;
    std::fill(SendBuf.begin() + 2, SendBuf.begin() + 258, 0xFF);
    SetDataSum(255);
    EXPECT_EQ(SendBuf[258], 0x00);
    EXPECT_EQ(SendBuf[259], 0x08);

    SendBuf[0] = 0x09;
    SendBuf[1] = 0x00;
    SendBuf[2] = 0x41;
    SetDataSum(0);
    EXPECT_EQ(Bytes(SendBuf.begin(), SendBuf.begin() + 5), (Bytes{0x09, 0x00, 0x41, 0x00, 0x4A}));
}

TEST(LineCode, DecodesIntoTermiosFlags) {
    termios t{};
    t.c_cflag = CS5 | CSTOPB | PARENB | PARODD | CMSPAR;
    comsys::ApplyLineCode(t, 3); // 8N1
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(t.c_cflag & (CSTOPB | PARENB | PARODD | CMSPAR), 0u);

    const tcflag_t parity = PARENB | PARODD | CMSPAR;
    struct Case {
        uint8_t code;
        tcflag_t size;
        bool twoStop;
        tcflag_t parityBits;
    };
    for (Case c : {Case{0x00, CS5, false, 0}, Case{0x01, CS6, false, 0}, Case{0x06, CS7, true, 0},
                   Case{0x0B, CS8, false, PARENB | PARODD}, Case{0x1B, CS8, false, PARENB},
                   Case{0x2B, CS8, false, PARENB | PARODD | CMSPAR},
                   Case{0x3F, CS8, true, PARENB | CMSPAR}}) {
        termios s{};
        s.c_cflag = CS8 | PARENB | PARODD | CMSPAR | CSTOPB;
        comsys::ApplyLineCode(s, c.code);
        EXPECT_EQ(s.c_cflag & CSIZE, c.size) << int(c.code);
        EXPECT_EQ((s.c_cflag & CSTOPB) != 0, c.twoStop) << int(c.code);
        EXPECT_EQ(s.c_cflag & parity, c.parityBits) << int(c.code);
    }
    // 010, 100, 110: the port's parity stays as it was.
    for (uint8_t code : {0x13, 0x23, 0x33}) {
        termios s{};
        s.c_cflag = CS7 | PARENB | PARODD;
        comsys::ApplyLineCode(s, code);
        EXPECT_EQ(s.c_cflag & parity, PARENB | PARODD) << int(code);
        EXPECT_EQ(s.c_cflag & CSIZE, static_cast<tcflag_t>(CS8)) << int(code);
    }
}

TEST(LineCode, RawModeAndSpeeds) {
    termios t{};
    t.c_iflag = ICRNL | IXON | IXOFF | INLCR | ISTRIP;
    t.c_oflag = OPOST | ONLCR;
    t.c_lflag = ECHO | ICANON | ISIG | IEXTEN;
    comsys::MakeRaw(t);
    EXPECT_EQ(t.c_iflag & (ICRNL | IXON | IXOFF | INLCR | ISTRIP), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_lflag & (ECHO | ICANON | ISIG | IEXTEN), 0u);
    EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
    EXPECT_EQ(t.c_cc[VMIN], 1);
    EXPECT_EQ(t.c_cc[VTIME], 0);

    EXPECT_EQ(comsys::SpeedOf(500000), static_cast<speed_t>(B500000));
    EXPECT_EQ(comsys::SpeedOf(115200), static_cast<speed_t>(B115200));
    EXPECT_EQ(comsys::SpeedOf(9600), static_cast<speed_t>(B9600));
    EXPECT_EQ(comsys::SpeedOf(123456), static_cast<speed_t>(B0));
}

TEST(PortNames, EnvironmentListWithGaps) {
    EXPECT_EQ(ComPortName(1), "com1");
    EXPECT_EQ(ComPortName(256), "com256");

    setenv("KESTREL_PORTS", "/dev/a::/dev/b", 1);
    EXPECT_EQ(PortDevicePath(1), "/dev/a");
    EXPECT_EQ(PortDevicePath(2), "");
    EXPECT_EQ(PortDevicePath(3), "/dev/b");
    EXPECT_EQ(PortDevicePath(4), "");
    EXPECT_EQ(PortDevicePath(0), "");
    EXPECT_EQ(PortDevicePath(257), "");

    SetPortAt(256, "/dev/last"); // read again at every call
    EXPECT_EQ(PortDevicePath(256), "/dev/last");
    EXPECT_EQ(PortDevicePath(1), "");

    setenv("KESTREL_PORTS", "", 1); // set but empty: no ports at all
    EXPECT_EQ(PortDevicePath(1), "");
    unsetenv("KESTREL_PORTS");
}

TEST(PortNames, DefaultOrderUsbThenAcmThenTheRestNaturally) {
    std::vector<std::string> names = {"/dev/ttyS10",   "/dev/ttyACM1", "/dev/ttyS2",
                                      "/dev/ttyUSB10", "/dev/ttyAMA0", "/dev/ttyUSB2",
                                      "/dev/ttyACM0",  "/dev/ttyS0"};
    std::sort(names.begin(), names.end(), SerialPortBefore);
    EXPECT_EQ(names, (std::vector<std::string>{"/dev/ttyUSB2", "/dev/ttyUSB10", "/dev/ttyACM0",
                                               "/dev/ttyACM1", "/dev/ttyAMA0", "/dev/ttyS0",
                                               "/dev/ttyS2", "/dev/ttyS10"}));
    unsetenv("KESTREL_PORTS");
    std::vector<std::string> system = SerialPortPaths();
    EXPECT_LE(system.size(), 256u);
    EXPECT_TRUE(std::is_sorted(system.begin(), system.end(), SerialPortBefore));
    for (const std::string& path : system)
        EXPECT_EQ(path.rfind("/dev/", 0), 0u) << path;
}
