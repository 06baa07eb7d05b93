// Interrupts on Windows: Ctrl-C and Ctrl-Break through the console control handler, which runs
// on a thread of its own; it raises the flag and sets an event that the waits watch, or ends the
// process for a stop.
#include "Console.h"
#include "Interrupt.h"
#include "TimeLimits.h"

#include <chrono>
#include <io.h>
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

namespace {
HANDLE wakeEvent = nullptr; // NOLINT(readability-identifier-naming)

BOOL WINAPI OnControl(DWORD kind) {
    if (kind != CTRL_C_EVENT && kind != CTRL_BREAK_EVENT)
        return FALSE;
    if (Interrupt::Stops(Interrupt::Detail::Handle())) {
        RestoreConsole();
        ExitProcess(Interrupt::StoppedStatus);
    }
    if (wakeEvent)
        SetEvent(wakeEvent);
    return TRUE;
}

// True when the console's queued input holds a pressed Enter, so a line read will not block.
bool ConsoleLineReady(HANDLE console) {
    DWORD count = 0;
    if (!GetNumberOfConsoleInputEvents(console, &count) || count == 0)
        return false;
    INPUT_RECORD records[128];
    DWORD got = 0;
    if (!PeekConsoleInputW(console, records, count < 128 ? count : 128, &got))
        return false;
    for (DWORD i = 0; i < got; ++i) {
        const INPUT_RECORD& r = records[i];
        if (r.EventType == KEY_EVENT && r.Event.KeyEvent.bKeyDown &&
            r.Event.KeyEvent.uChar.UnicodeChar == L'\r')
            return true;
    }
    return false;
}
} // namespace

namespace Interrupt {

void Install() {
    if (!wakeEvent)
        wakeEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (wakeEvent)
        ResetEvent(wakeEvent);
    Detail::ResetState();
    SetConsoleCtrlHandler(OnControl, FALSE); // installed once, whatever the number of calls
    SetConsoleCtrlHandler(OnControl, TRUE);
}

namespace Detail {
void WriteRaw(int fd, const char* bytes, size_t size) {
    auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    while (handle != INVALID_HANDLE_VALUE && size > 0) {
        DWORD written = 0;
        if (!WriteFile(handle, bytes, static_cast<DWORD>(size), &written, nullptr) || written == 0)
            return;
        bytes += written;
        size -= written;
    }
}

void WaitForWake(std::chrono::milliseconds limit) {
    DWORD ms = static_cast<DWORD>(limit.count() < 0x7FFFFFFF ? limit.count() : 0x7FFFFFFF);
    if (wakeEvent)
        WaitForSingleObject(wakeEvent, ms);
    else
        Sleep(ms);
}
} // namespace Detail

TInput ReadInput(int input, std::string& into) {
    auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(input));
    if (handle == INVALID_HANDLE_VALUE)
        return TInput::End;
    DWORD mode = 0;
    const bool console = GetConsoleMode(handle, &mode) != 0;
    for (;;) {
        if (Raised())
            return TInput::Interrupted;
        bool ready = false;
        if (console) {
            ready = ConsoleLineReady(handle);
        } else {
            DWORD waiting = 0;
            if (PeekNamedPipe(handle, nullptr, 0, nullptr, &waiting, nullptr))
                ready = waiting > 0;
            else if (GetLastError() == ERROR_BROKEN_PIPE) // the writer has gone
                return TInput::End;
            else
                ready = true; // no pipe (a file): a read never blocks
        }
        if (!ready) {
            Detail::WaitForWake(console ? TerminalLimits::ConsoleLook : TerminalLimits::PipeLook);
            continue;
        }
        char buffer[512];
        DWORD got = 0;
        if (!ReadFile(handle, buffer, sizeof buffer, &got, nullptr) || got == 0) {
            // Ctrl-C while a console line is read ends the read without bytes.
            if (Raised())
                return TInput::Interrupted;
            return TInput::End;
        }
        into.append(buffer, got);
        return TInput::Data;
    }
}

} // namespace Interrupt
