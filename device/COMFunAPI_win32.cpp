// The serial port layer on Windows communication ports (\\.\COMN).
#include "COMFunAPI_win32.h"
#include "ComSystem.h"
#include "TimeLimits.h"
#include "WideText_win32.h"
#include <cerrno>

namespace comsys {

namespace {

HANDLE Win(Handle h) {
    return reinterpret_cast<HANDLE>(h);
}

} // namespace

void ApplyLineCode(DCB& dcb, uint8_t lineCode) {
    dcb.ByteSize = static_cast<BYTE>(5 + (lineCode & 3));
    dcb.StopBits = (lineCode & 4) ? TWOSTOPBITS : ONESTOPBIT;
    switch ((lineCode >> 3) & 7) {
    case 0:
        dcb.Parity = NOPARITY;
        break;
    case 1:
        dcb.Parity = ODDPARITY;
        break;
    case 3:
        dcb.Parity = EVENPARITY;
        break;
    case 5:
        dcb.Parity = MARKPARITY;
        break;
    case 7:
        dcb.Parity = SPACEPARITY;
        break;
    default: // the port's parity stays
        break;
    }
}

void MakeRawDcb(DCB& dcb, int32_t baud, uint8_t lineCode) {
    dcb.DCBlength = sizeof dcb;
    dcb.BaudRate = static_cast<DWORD>(baud);
    dcb.fBinary = TRUE;
    dcb.fParity = FALSE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fTXContinueOnXoff = TRUE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    // Unused without XON/XOFF, but a port refuses the whole setting when they are invalid
    // (equal characters, limits beyond the 2048-byte queues).
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    dcb.XonLim = 512;
    dcb.XoffLim = 512;
    dcb.fErrorChar = FALSE;
    dcb.fNull = FALSE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fAbortOnError = FALSE;
    dcb.ErrorChar = 0;
    dcb.EofChar = 0;
    dcb.EvtChar = 0;
    ApplyLineCode(dcb, lineCode);
}

COMMTIMEOUTS PortTimeouts() {
    COMMTIMEOUTS t{};
    t.ReadIntervalTimeout = 0;
    t.ReadTotalTimeoutMultiplier = 0;
    t.ReadTotalTimeoutConstant = 0;
    t.WriteTotalTimeoutMultiplier = static_cast<DWORD>(DeviceLimits::PortWritePerByte.count());
    t.WriteTotalTimeoutConstant = static_cast<DWORD>(DeviceLimits::PortWriteLimit.count());
    return t;
}

Handle Open(const std::string& path, int32_t baud, uint8_t lineCode) {
    HANDLE h = CreateFileW(Widen(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        // A COM port opens exclusively: access denied means another program has it.
        DWORD err = GetLastError();
        errno = err == ERROR_ACCESS_DENIED || err == ERROR_SHARING_VIOLATION ? EBUSY
                : err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND ? ENOENT
                                                                             : EIO;
        return InvalidHandle;
    }
    // Queue sizes, line settings and time-outs as far as the port accepts them; failures are not
    // fatal. Every setting is made on every open: nothing the last user of the port left counts.
    SetupComm(h, 2048, 2048);
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    GetCommState(h, &dcb); // the fields a DCB has beyond the ones set here (queue limits)
    MakeRawDcb(dcb, baud, lineCode);
    SetCommState(h, &dcb);
    COMMTIMEOUTS timeouts = PortTimeouts();
    SetCommTimeouts(h, &timeouts);
    PurgeComm(h, PURGE_TXCLEAR | PURGE_RXCLEAR);
    return reinterpret_cast<Handle>(h);
}

bool Close(Handle h) {
    return CloseHandle(Win(h)) != 0;
}

bool WriteBytes(Handle h, const uint8_t* data, size_t n) {
    while (n > 0) {
        DWORD done = 0;
        DWORD chunk = n > 0x10000 ? 0x10000 : static_cast<DWORD>(n);
        if (!WriteFile(Win(h), data, chunk, &done, nullptr) || done == 0)
            return false;
        data += done;
        n -= done;
    }
    return true;
}

bool ReadBytes(Handle h, uint8_t* into, size_t n) {
    while (n > 0) {
        DWORD done = 0;
        DWORD chunk = n > 0x10000 ? 0x10000 : static_cast<DWORD>(n);
        if (!ReadFile(Win(h), into, chunk, &done, nullptr) || done == 0)
            return false;
        into += done;
        n -= done;
    }
    return true;
}

int32_t InCount(Handle h) {
    DWORD errors = 0;
    COMSTAT status{};
    if (!ClearCommError(Win(h), &errors, &status)) // also drops pending line-error flags
        return -1;
    return static_cast<int32_t>(status.cbInQue);
}

bool Purge(Handle h, Queue queue) {
    return PurgeComm(Win(h), queue == Queue::Input ? PURGE_RXCLEAR : PURGE_TXCLEAR) != 0;
}

bool SetDtr(Handle h, bool on) {
    return EscapeCommFunction(Win(h), on ? SETDTR : CLRDTR) != 0;
}

WaitResult WaitReadable(Handle h, std::chrono::microseconds limit) {
    // Synchronous ports have no waitable "data arrived" with a time limit; poll the queue count
    // with short sleeps instead.
    auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        int32_t waiting = InCount(h);
        if (waiting < 0)
            return WaitResult::Failed;
        if (waiting > 0)
            return WaitResult::Readable;
        auto left = std::chrono::duration_cast<std::chrono::microseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left <= std::chrono::microseconds{0})
            return WaitResult::TimedOut;
        SleepFor(std::min(left, DeviceLimits::PortInputLook));
    }
}

void SleepFor(std::chrono::microseconds d) {
    if (d.count() <= 0)
        return;
    // A high-resolution waitable timer sleeps well below the scheduler's 1-15 ms tick.
    static thread_local HANDLE timer = [] {
        HANDLE t = CreateWaitableTimerExW(nullptr, nullptr,
                                          0x00000002 /* CREATE_WAITABLE_TIMER_HIGH_RESOLUTION */,
                                          TIMER_ALL_ACCESS);
        return t ? t : CreateWaitableTimerW(nullptr, TRUE, nullptr);
    }();
    LARGE_INTEGER due{};
    due.QuadPart = -static_cast<LONGLONG>(d.count()) * 10; // relative, in 100 ns units
    if (timer && SetWaitableTimer(timer, &due, 0, nullptr, nullptr, FALSE))
        WaitForSingleObject(timer, INFINITE);
    else
        Sleep(static_cast<DWORD>(DeviceLimits::CoarseSleep.count()));
}

std::chrono::steady_clock::time_point Now() {
    return std::chrono::steady_clock::now();
}

} // namespace comsys
