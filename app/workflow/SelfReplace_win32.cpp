// Self-replacement on Windows: the batch file runs through the command interpreter at idle
// priority in a hidden window; its directory is written in the short (8.3) form, which has no
// spaces.
#include "SelfReplace.h"

#include <cstdio>
#include <windows.h>

std::string RunningExecutablePath() {
    char buf[MAX_PATH + 1];
    DWORD n = GetModuleFileNameA(nullptr, buf, sizeof buf);
    if (n == 0 || n >= sizeof buf)
        return {};
    return std::string(buf, n);
}

bool IsExecutableForThisPlatform(const std::vector<uint8_t>& image) {
    return IsPeImage(image);
}

long CurrentProcessId() {
    return static_cast<long>(GetCurrentProcessId());
}

bool RunUpdateBat(const std::string& exePath, long /*waitPid*/, std::string& error) {
    // Short directory: the short form of the whole path, cut before its last backslash (the
    // long path when the system has no short names).
    char shortBuf[MAX_PATH + 1];
    DWORD n = GetShortPathNameA(exePath.c_str(), shortBuf, sizeof shortBuf);
    std::string shortPath = n > 0 && n < sizeof shortBuf ? std::string(shortBuf, n) : exePath;
    std::string shortDir, ignored, namePart, longDir;
    SplitWindowsPath(shortPath, shortDir, ignored);
    SplitWindowsPath(exePath, longDir, namePart);

    TUpdateBat bat = BuildUpdateBat(shortDir, namePart);
    if (int err =
            WriteWholeFile(bat.path, std::vector<uint8_t>(bat.text.begin(), bat.text.end()))) {
        error = IoErrorText(err);
        return false;
    }

    std::string commandLine =
        bat.path.find(' ') == std::string::npos ? bat.path : "\"" + bat.path + "\"";
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, FALSE, IDLE_PRIORITY_CLASS,
                        nullptr, nullptr, &startup, &process)) {
        error = "Cannot start the update script: error " + std::to_string(GetLastError());
        std::remove(bat.path.c_str());
        return false;
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return true;
}
