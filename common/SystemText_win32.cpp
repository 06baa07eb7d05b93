#include "SystemText.h"
#include "WideText_win32.h"

#include <windows.h>

#include <shellapi.h>

std::FILE* OpenFile(const std::string& path, const char* mode) {
    return _wfopen(Utf8Path(path).c_str(), Widen(mode).c_str());
}

std::optional<std::string> EnvironmentVariable(const char* name) {
    // The process's own environment (the C library's copy misses later changes), read into a
    // buffer that grows to the size the call asks for.
    const std::wstring wideName = Widen(name);
    std::wstring value(64, L'\0');
    for (;;) {
        SetLastError(ERROR_SUCCESS);
        DWORD n = GetEnvironmentVariableW(wideName.c_str(), value.data(),
                                          static_cast<DWORD>(value.size()));
        if (n == 0) {
            if (GetLastError() == ERROR_ENVVAR_NOT_FOUND)
                return std::nullopt;
            return std::string();
        }
        if (n < value.size()) {
            value.resize(n);
            return Narrow(value);
        }
        value.resize(n); // n counts the terminating zero when the buffer was too small
    }
}

std::vector<std::string> ProgramArguments(int, char**) {
    std::vector<std::string> args;
    int count = 0;
    LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!wide)
        return args;
    for (int i = 0; i < count; ++i)
        args.push_back(Narrow(wide[i]));
    LocalFree(wide);
    return args;
}
