// The Windows serial backend's line settings (DCB, time-outs) and the port numbering.
#include "COMFunAPI_win32.h"
#include "ComPort.h"
#include "PortNames.h"
#include <cstdlib>
#include <gtest/gtest.h>
#include <string>
#include <vector>

// Whatever the port held before (here: every flag on, as another program may leave it), the
// line ends up raw: binary, no flow control of either kind, no replacement or stripping.
TEST(LineCode, RawDcbWhateverThePortHeld) {
    DCB dcb{};
    dcb.fParity = dcb.fOutxCtsFlow = dcb.fOutxDsrFlow = dcb.fDsrSensitivity = TRUE;
    dcb.fOutX = dcb.fInX = dcb.fErrorChar = dcb.fNull = dcb.fAbortOnError = TRUE;
    dcb.fTXContinueOnXoff = FALSE;
    dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
    dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    dcb.ErrorChar = '?';
    dcb.EofChar = 0x1A;
    dcb.XonChar = dcb.XoffChar = 0;
    dcb.ByteSize = 7;
    dcb.Parity = EVENPARITY;
    dcb.StopBits = TWOSTOPBITS;
    comsys::MakeRawDcb(dcb, 500000, ComLineCode);

    EXPECT_EQ(dcb.DCBlength, sizeof dcb);
    EXPECT_EQ(dcb.BaudRate, 500000u);
    EXPECT_TRUE(dcb.fBinary);
    EXPECT_FALSE(dcb.fParity);
    EXPECT_FALSE(dcb.fOutxCtsFlow);
    EXPECT_FALSE(dcb.fOutxDsrFlow);
    EXPECT_FALSE(dcb.fDsrSensitivity);
    EXPECT_FALSE(dcb.fOutX);
    EXPECT_FALSE(dcb.fInX);
    EXPECT_FALSE(dcb.fErrorChar);
    EXPECT_FALSE(dcb.fNull);
    EXPECT_FALSE(dcb.fAbortOnError);
    EXPECT_TRUE(dcb.fTXContinueOnXoff);
    EXPECT_EQ(dcb.fDtrControl, static_cast<DWORD>(DTR_CONTROL_ENABLE));
    EXPECT_EQ(dcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_ENABLE));
    EXPECT_NE(dcb.XonChar, dcb.XoffChar); // a port refuses equal ones
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.Parity, NOPARITY);
    EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
}

TEST(LineCode, DecodesIntoDcbFields) {
    struct Case {
        uint8_t code;
        BYTE size;
        BYTE stop;
        BYTE parity;
    };
    for (Case c :
         {Case{0x00, 5, ONESTOPBIT, NOPARITY}, Case{0x06, 7, TWOSTOPBITS, NOPARITY},
          Case{0x0B, 8, ONESTOPBIT, ODDPARITY}, Case{0x1B, 8, ONESTOPBIT, EVENPARITY},
          Case{0x2B, 8, ONESTOPBIT, MARKPARITY}, Case{0x3F, 8, TWOSTOPBITS, SPACEPARITY}}) {
        DCB dcb{};
        dcb.Parity = ODDPARITY;
        comsys::ApplyLineCode(dcb, c.code);
        EXPECT_EQ(dcb.ByteSize, c.size) << int(c.code);
        EXPECT_EQ(dcb.StopBits, c.stop) << int(c.code);
        EXPECT_EQ(dcb.Parity, c.parity) << int(c.code);
    }
    // 010, 100, 110: the port's parity stays as it was.
    DCB dcb{};
    dcb.Parity = ODDPARITY;
    comsys::ApplyLineCode(dcb, 0x13);
    EXPECT_EQ(dcb.Parity, ODDPARITY);
}

// Reads wait for all their bytes (only queued bytes are read); writes are bounded.
TEST(LineCode, TimeoutsBlockReadsAndBoundWrites) {
    COMMTIMEOUTS t = comsys::PortTimeouts();
    EXPECT_EQ(t.ReadIntervalTimeout, 0u);
    EXPECT_EQ(t.ReadTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(t.ReadTotalTimeoutConstant, 0u);
    EXPECT_GT(t.WriteTotalTimeoutConstant, 0u);
}

// Port N is \\.\COMN, whatever KESTREL_PORTS says.
TEST(PortNames, CommunicationPortsByNumber) {
    _putenv_s("KESTREL_PORTS", "/dev/a::/dev/b");
    const std::vector<std::string> paths = SerialPortPaths();
    ASSERT_EQ(paths.size(), 256u);
    EXPECT_EQ(paths[0], "\\\\.\\COM1");
    EXPECT_EQ(paths[11], "\\\\.\\COM12");
    EXPECT_EQ(paths[255], "\\\\.\\COM256");
    EXPECT_EQ((TPortId{.path = paths[2], .number = 3}).Name(), "COM3");
    _putenv_s("KESTREL_PORTS", "");
}
