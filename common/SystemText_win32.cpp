#include "SystemText.h"
#include "WideText_win32.h"

#include <windows.h>

#include <cerrno>
#include <fcntl.h>
#include <io.h>

#include <shellapi.h>

std::FILE* OpenFile(const std::string& path, const char* mode) {
    return _wfopen(Utf8Path(path).c_str(), Widen(mode).c_str());
}

std::FILE* CreateNewFile(const std::string& path) {
    HANDLE handle = CreateFileW(Widen(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        errno = error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS ? EEXIST
                : error == ERROR_ACCESS_DENIED                              ? EACCES
                : error == ERROR_PATH_NOT_FOUND                             ? ENOENT
                : error == ERROR_DISK_FULL                                  ? ENOSPC
                                                                            : EIO;
        return nullptr;
    }
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_BINARY | _O_WRONLY);
    std::FILE* file = fd >= 0 ? _fdopen(fd, "wb") : nullptr;
    if (!file) {
        if (fd >= 0)
            _close(fd);
        else
            CloseHandle(handle);
        errno = EIO;
    }
    return file;
}

bool RemoveOwnFile(const std::string& path) {
    if (DeleteFileW(Widen(path).c_str()))
        return true;
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
        return true;
    // Another user's file, or one that is read-only or open: not ours to replace.
    errno = EEXIST;
    return false;
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
    LocalFree(static_cast<HLOCAL>(wide));
    return args;
}
