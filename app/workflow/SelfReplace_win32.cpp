// Self-replacement on Windows: the new executable must be a program image for this machine and
// answer --version; the batch file runs through the command interpreter at idle priority in a
// hidden window. Every path goes to Windows in UTF-16, in buffers as long as it needs.
//
// The batch file's lines are fixed, so it cannot start the new tool at another priority than
// its own, and its children inherit the idle class. The tool's own class therefore travels in
// the environment (KESTREL_PRIORITY_CLASS) to the new tool, which takes it on at its start
// (AdoptReplacedToolPriority): only the batch file's waiting loop stays idle.
#include "SelfReplace.h"
#include "SystemText.h"
#include "WideText_win32.h"

#include <algorithm>
#include <cstdlib>
#include <windows.h>

namespace {
#if defined(_M_ARM64) || defined(__aarch64__)
constexpr uint16_t kThisMachine = 0xAA64;
#elif defined(_M_X64) || defined(__x86_64__)
constexpr uint16_t kThisMachine = kPeMachineAmd64;
#else
constexpr uint16_t kThisMachine = 0x014C; // i386
#endif

const char* const kPriorityVariable = "KESTREL_PRIORITY_CLASS";

std::string ErrorText(const char* what, DWORD error) {
    return std::string(what) + ": error " + std::to_string(error);
}
} // namespace

std::string RunningExecutablePath() {
    // The call cuts the path to the buffer's size without saying how much it needs: the buffer
    // doubles until the path fits (up to the longest path Windows has, 32767 characters).
    std::wstring path(512, L'\0');
    for (;;) {
        DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0)
            return {};
        if (n < path.size()) {
            path.resize(n);
            return Narrow(path);
        }
        if (path.size() > 32768)
            return {};
        path.resize(path.size() * 2);
    }
}

bool IsExecutableForThisPlatform(const std::vector<uint8_t>& image, std::string* fault) {
    return IsPeImage(image, kThisMachine, fault);
}

bool AnswersVersion(const std::string& path, std::chrono::milliseconds limit, std::string& fault,
                    std::string* answer) {
    // Its standard output is a pipe, input and error NUL; only those two handles are inherited.
    SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
    HANDLE readOut = nullptr, writeOut = nullptr;
    if (!CreatePipe(&readOut, &writeOut, &inheritable, 0)) {
        fault = ErrorText("it cannot be started", GetLastError());
        return false;
    }
    SetHandleInformation(readOut, HANDLE_FLAG_INHERIT, 0);
    HANDLE null =
        CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    &inheritable, OPEN_EXISTING, 0, nullptr);
    if (null == INVALID_HANDLE_VALUE)
        null = nullptr;
    HANDLE handles[2] = {writeOut, null};
    SIZE_T listSize = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &listSize);
    std::vector<char> listBytes(listSize);
    auto list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(listBytes.data());
    bool listed = listSize > 0 && InitializeProcThreadAttributeList(list, 1, 0, &listSize);
    bool limited =
        listed && UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles,
                                            (null ? 2 : 1) * sizeof(HANDLE), nullptr, nullptr);
    STARTUPINFOEXW startup = {};
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = null;
    startup.StartupInfo.hStdOutput = writeOut;
    startup.StartupInfo.hStdError = null;
    startup.lpAttributeList = list;
    const std::wstring widePath = Widen(path);
    std::wstring commandLine = L"\"" + widePath + L"\" --version";
    PROCESS_INFORMATION process = {};
    // The application name is given: the backup's ".bak" is no reason to look elsewhere.
    BOOL started = limited && CreateProcessW(widePath.c_str(), commandLine.data(), nullptr, nullptr,
                                             TRUE, CREATE_NO_WINDOW | EXTENDED_STARTUPINFO_PRESENT,
                                             nullptr, nullptr, &startup.StartupInfo, &process);
    DWORD startError = GetLastError();
    if (listed)
        DeleteProcThreadAttributeList(list);
    CloseHandle(writeOut);
    if (null)
        CloseHandle(null);
    if (!started) {
        CloseHandle(readOut);
        fault = ErrorText("it cannot be started", startError);
        return false;
    }
    CloseHandle(process.hThread);

    // Its output and its end, both within the limit. The pipe is emptied between short waits, so
    // that a talkative program never blocks on it; a wait that returns early is waited again.
    const auto deadline = std::chrono::steady_clock::now() + limit;
    std::string output;
    bool ended = false;
    for (;;) {
        DWORD available = 0;
        while (PeekNamedPipe(readOut, nullptr, 0, nullptr, &available, nullptr) && available > 0) {
            char buf[512];
            DWORD n = 0;
            if (!ReadFile(readOut, buf, std::min<DWORD>(sizeof buf, available), &n, nullptr) ||
                n == 0)
                break;
            if (output.size() < 4096)
                output.append(buf, n);
        }
        if (ended)
            break;
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline -
                                                                 std::chrono::steady_clock::now())
                        .count();
        if (left <= 0)
            break;
        ended = WaitForSingleObject(process.hProcess,
                                    static_cast<DWORD>(std::min<long long>(
                                        left, ReplaceLimits::TrialLook.count()))) == WAIT_OBJECT_0;
    }
    DWORD code = 0;
    if (!ended) {
        TerminateProcess(process.hProcess, 1);
        WaitForSingleObject(process.hProcess, static_cast<DWORD>(ReplaceLimits::TrialEnd.count()));
    } else if (!GetExitCodeProcess(process.hProcess, &code)) {
        code = 1;
    }
    CloseHandle(process.hProcess);
    CloseHandle(readOut);

    return JudgeVersionRun({ended, 0, code, std::move(output)}, limit, fault, answer);
}

void AdoptReplacedToolPriority() {
    std::optional<std::string> value = EnvironmentVariable(kPriorityVariable);
    if (!value)
        return;
    // Not passed on to the tool's children.
    SetEnvironmentVariableW(Widen(kPriorityVariable).c_str(), nullptr);
    DWORD priority = static_cast<DWORD>(std::strtoul(value->c_str(), nullptr, 10));
    switch (priority) {
    case IDLE_PRIORITY_CLASS:
    case BELOW_NORMAL_PRIORITY_CLASS:
    case NORMAL_PRIORITY_CLASS:
    case ABOVE_NORMAL_PRIORITY_CLASS:
    case HIGH_PRIORITY_CLASS: // never the real-time class
        SetPriorityClass(GetCurrentProcess(), priority);
        break;
    default:
        break;
    }
}

long CurrentProcessId() {
    return static_cast<long>(GetCurrentProcessId());
}

bool RunUpdateBat(const std::string& exePath, long /*waitPid*/, std::string& error) {
    TUpdateBat bat = BuildUpdateBat(exePath);
    if (int err =
            WriteWholeFile(bat.path, std::vector<uint8_t>(bat.text.begin(), bat.text.end()))) {
        error = err == EEXIST ? InTheWayText(bat.path) : IoErrorText(err);
        return false;
    }

    // The batch file's full path, quoted: cmd keeps it as given, and the batch's lines name the
    // executable through it (%~dpn0).
    std::wstring commandLine = L"\"" + Widen(bat.path) + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION process = {};
    // The batch file inherits the environment: it carries the tool's priority class to the new
    // tool while the batch itself waits at idle priority.
    DWORD own = GetPriorityClass(GetCurrentProcess());
    SetEnvironmentVariableW(Widen(kPriorityVariable).c_str(),
                            std::to_wstring(own != 0 ? own : NORMAL_PRIORITY_CLASS).c_str());
    BOOL started = CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE,
                                  IDLE_PRIORITY_CLASS, nullptr, nullptr, &startup, &process);
    DWORD startError = GetLastError();
    SetEnvironmentVariableW(Widen(kPriorityVariable).c_str(), nullptr);
    if (!started) {
        error = "Cannot start the update script: error " + std::to_string(startError);
        RemoveFile(bat.path);
        return false;
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return true;
}
