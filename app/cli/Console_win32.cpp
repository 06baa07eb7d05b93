#include "Console.h"

#include <io.h>
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

bool IsTerminal(int fd) {
    // _isatty() also says yes for the NUL device; only a console has a console mode.
    auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    DWORD mode = 0;
    return handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode) != 0;
}

void PrepareConsole() {
    SetConsoleOutputCP(CP_UTF8);
    SetConsoleCP(CP_UTF8);
}
