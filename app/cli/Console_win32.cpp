#include "Console.h"

#include <cstdlib>
#include <io.h>
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

bool IsTerminal(int fd) {
    // _isatty() also says yes for the NUL device; only a console has a console mode.
    auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    DWORD mode = 0;
    return handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode) != 0;
}

namespace {
UINT OriginalOutputPage = 0, OriginalInputPage = 0;
} // namespace

void RestoreConsole() {
    if (OriginalOutputPage != 0)
        SetConsoleOutputCP(OriginalOutputPage);
    if (OriginalInputPage != 0)
        SetConsoleCP(OriginalInputPage);
}

void PrepareConsole() {
    // The C library writes the UTF-8 bytes as they are; the console shows them as UTF-8 (Chinese
    // on any system locale) once its output code page says so.
    OriginalOutputPage = GetConsoleOutputCP();
    OriginalInputPage = GetConsoleCP();
    if (OriginalOutputPage == 0 && OriginalInputPage == 0)
        return; // no console: output goes to files or pipes, as UTF-8
    SetConsoleOutputCP(CP_UTF8);
    SetConsoleCP(CP_UTF8);
    // The code pages belong to the console, which outlives the program (the cmd window it was
    // started from): they are given back as they were.
    std::atexit(RestoreConsole);
}
