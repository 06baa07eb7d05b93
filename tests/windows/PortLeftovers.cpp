// port-leftovers COMN: opens a communication port and leaves it set up as a careless program
// would (software flow control both ways, parity checking and replacement, null stripping, abort
// on error, CTS/DSR handshakes, seven data bits), then closes it. The settings stay with the
// port, as they do with a real driver, for the next program that opens it.
#include "WideText_win32.h"

#define WIN32_LEAN_AND_MEAN
#include <cstdio>
#include <string>
#include <windows.h>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: port-leftovers COMN\n");
        return 2;
    }
    std::string path = std::string("\\\\.\\") + argv[1];
    HANDLE h = CreateFileW(Widen(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "port-leftovers: cannot open %s: error %lu\n", path.c_str(),
                     GetLastError());
        return 1;
    }
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    GetCommState(h, &dcb);
    dcb.BaudRate = 9600;
    dcb.fOutX = dcb.fInX = TRUE;
    dcb.fParity = dcb.fErrorChar = dcb.fNull = dcb.fAbortOnError = TRUE;
    dcb.ErrorChar = '?';
    dcb.ByteSize = 7;
    dcb.Parity = EVENPARITY;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    dcb.XonLim = 128;
    dcb.XoffLim = 128;
    bool set = SetCommState(h, &dcb) != 0;
    // What the port took: under wine a pseudo-terminal refuses some modem settings.
    DCB now{};
    now.DCBlength = sizeof now;
    GetCommState(h, &now);
    std::printf("set %d: XON/XOFF out %d in %d, parity check %d, %d data bits\n", set,
                int(now.fOutX), int(now.fInX), int(now.fParity), int(now.ByteSize));
    CloseHandle(h);
    return 0;
}
