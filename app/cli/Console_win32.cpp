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
// The console's code pages before PrepareConsole; 0 when not known.
struct TCodePages {
    UINT output = 0;
    UINT input = 0;
};

TCodePages& OriginalPages() {
    static TCodePages pages;
    return pages;
}
} // namespace

void RestoreConsole() {
    const TCodePages& original = OriginalPages();
    if (original.output != 0)
        SetConsoleOutputCP(original.output);
    if (original.input != 0)
        SetConsoleCP(original.input);
}

void PrepareConsole() {
    // The C library writes the UTF-8 bytes as they are; the console shows them as UTF-8 (Chinese
    // on any system locale) once its output code page says so.
    TCodePages& original = OriginalPages();
    original.output = GetConsoleOutputCP();
    original.input = GetConsoleCP();
    if (original.output == 0 && original.input == 0)
        return; // no console: output goes to files or pipes, as UTF-8
    SetConsoleOutputCP(CP_UTF8);
    SetConsoleCP(CP_UTF8);
    // The code pages belong to the console, which outlives the program (the cmd window it was
    // started from): they are given back as they were.
    std::atexit(RestoreConsole);
}
