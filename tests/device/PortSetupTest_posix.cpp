// The POSIX serial backend's line settings (termios) and the port numbering of KESTREL_PORTS and
// the system's serial devices.
#include "COMFunAPI_posix.h"
#include "PortInventory.h"
#include "PortNames.h"
#include "PtyDevice.h"
#include <algorithm>
#include <array>
#include <cstdlib>
#include <gtest/gtest.h>
#include <string>
#include <vector>

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
    for (uint8_t code : std::to_array<uint8_t>({0x13, 0x23, 0x33})) {
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
    EXPECT_EQ(ComPortName(1), "COM1");
    EXPECT_EQ(ComPortName(256), "COM256");
    EXPECT_EQ((TPortId{.path = "/dev/pts/5"}).Name(), "/dev/pts/5"); // outside the numbered list

    auto listed = [] {
        std::string text;
        for (const TPortId& port : ListSerialPorts())
            text += port.Name() + "=" + port.path + " ";
        return text;
    };
    setenv("KESTREL_PORTS", "/dev/a::/dev/b", 1);
    EXPECT_EQ(listed(), "COM1=/dev/a COM3=/dev/b ");
    SetPortAt(256, "/dev/last"); // read again at every listing
    EXPECT_EQ(listed(), "COM256=/dev/last ");
    setenv("KESTREL_PORTS", "", 1); // set but empty: no ports at all
    EXPECT_EQ(listed(), "");
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
