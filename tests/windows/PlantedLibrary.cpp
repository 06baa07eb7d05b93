// planted msimg32.dll: a DLL named as a system library that is no known DLL, to be put beside a
// program. Loaded, it creates the file named by KESTREL_PLANTED_DLL_LOG; it exports AlphaBlend so
// that a program importing it would start with it.
#define NOGDI // AlphaBlend is defined here, not imported
#include <windows.h>

extern "C" __declspec(dllexport) BOOL WINAPI
    AlphaBlend(HDC, int, int, int, int, HDC, int, int, int, int, DWORD) {
    return FALSE;
}

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    wchar_t log[MAX_PATH];
    const DWORD length = GetEnvironmentVariableW(L"KESTREL_PLANTED_DLL_LOG", log, MAX_PATH);
    if (reason == DLL_PROCESS_ATTACH && length > 0 && length < MAX_PATH) {
        HANDLE file = CreateFileW(log, GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
        if (file != INVALID_HANDLE_VALUE)
            CloseHandle(file);
    }
    return TRUE;
}
