#include "LibrarySearch.h"

#include <windows.h>

void RestrictLibrarySearch() {
    // Looked up, not imported: a Windows 7 without update KB2533623 lacks it, and a program that
    // imports it would not start there at all.
    using TSetDefaultDllDirectories = BOOL(WINAPI*)(DWORD);
    const auto setDefault =
        reinterpret_cast<TSetDefaultDllDirectories>(reinterpret_cast<void (*)()>(
            GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories")));
    if (setDefault)
        setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32);
}
