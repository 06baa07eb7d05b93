// Self-replacement on Windows: the new executable must be a program image for this machine and
// answer --version; the batch file runs through the command interpreter at idle priority in a
// hidden window. Every path goes to Windows in UTF-16, in buffers as long as it needs.
//
// The batch file's lines are fixed, so it cannot start the new tool at another priority than
// its own, and its children inherit the idle class. The tool's own class therefore travels in
// the environment (KESTREL_PRIORITY_CLASS) to the new tool, which takes it on at its start
// (AdoptReplacedToolPriority): only the batch file's waiting loop stays idle.
#include "SelfReplace.h"

#include "OwnedHandle.h"
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

namespace {
// The null device, inheritable; null when it cannot be opened.
HANDLE OpenNul(SECURITY_ATTRIBUTES* inheritable) {
    HANDLE null =
        CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    inheritable, OPEN_EXISTING, 0, nullptr);
    return null == INVALID_HANDLE_VALUE ? nullptr : null;
}

// The attribute list that lets a child inherit only the given handles.
class TInheritedHandles {
public:
    explicit TInheritedHandles(std::vector<HANDLE> handles) : handles_(std::move(handles)) {
        SIZE_T size = 0;
        InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
        bytes_.resize(size);
        listed_ = size > 0 && InitializeProcThreadAttributeList(List(), 1, 0, &size);
        limited_ = listed_ &&
                   UpdateProcThreadAttribute(List(), 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST,
                                             static_cast<void*>(handles_.data()),
                                             handles_.size() * sizeof(HANDLE), nullptr, nullptr);
    }
    ~TInheritedHandles() {
        if (listed_)
            DeleteProcThreadAttributeList(List());
    }
    TInheritedHandles(const TInheritedHandles&) = delete;
    TInheritedHandles& operator=(const TInheritedHandles&) = delete;

    // False when the list could not be made: a child started without it would inherit more.
    bool Ready() const { return limited_; }
    LPPROC_THREAD_ATTRIBUTE_LIST List() {
        return reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(bytes_.data());
    }

private:
    std::vector<HANDLE> handles_;
    std::vector<char> bytes_;
    bool listed_ = false;
    bool limited_ = false;
};

// A running trial: its process and the reading end of its standard output. The pipe is emptied
// between short waits for its end, so that a talkative program never blocks on it.
class TWin32Trial final : public TVersionTrial {
public:
    TWin32Trial(TWinHandle process, TWinHandle output)
        : process_(std::move(process)), output_(std::move(output)) {}

    // The pipe is looked at between the waits, never waited on.
    bool OutputOpen() const override { return true; }

    bool Wait(std::chrono::milliseconds wait, TVersionRun& run) override {
        Drain(run);
        return WaitForSingleObject(process_.Get(), static_cast<DWORD>(wait.count())) ==
               WAIT_OBJECT_0;
    }

    void Stop() override {
        TerminateProcess(process_.Get(), 1);
        WaitForSingleObject(process_.Get(), static_cast<DWORD>(ReplaceLimits::TrialEnd.count()));
    }

    void Conclude(TVersionRun& run) override {
        if (!run.ended)
            return;
        Drain(run);
        DWORD code = 0;
        if (!GetExitCodeProcess(process_.Get(), &code))
            code = 1;
        run.status = code;
    }

    // A program that cannot be started is known at its start.
    std::string StartFault() const override { return {}; }

private:
    // Reads what has arrived, without waiting.
    void Drain(TVersionRun& run) {
        DWORD available = 0;
        while (PeekNamedPipe(output_.Get(), nullptr, 0, nullptr, &available, nullptr) &&
               available > 0) {
            char buf[512];
            DWORD n = 0;
            if (!ReadFile(output_.Get(), buf, std::min<DWORD>(sizeof buf, available), &n,
                          nullptr) ||
                n == 0)
                break;
            run.Take(buf, n);
        }
    }

    TWinHandle process_;
    TWinHandle output_;
};
} // namespace

std::unique_ptr<TVersionTrial> StartVersionTrial(const std::string& path, std::string& fault) {
    // Its standard output is a pipe, input and error NUL; only those two handles are inherited.
    SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
    HANDLE readOut = nullptr, writeOut = nullptr;
    if (!CreatePipe(&readOut, &writeOut, &inheritable, 0)) {
        fault = ErrorText("it cannot be started", GetLastError());
        return nullptr;
    }
    TWinHandle output(readOut), outputEnd(writeOut);
    SetHandleInformation(output.Get(), HANDLE_FLAG_INHERIT, 0);
    TWinHandle null(OpenNul(&inheritable));
    std::vector<HANDLE> inherited = {outputEnd.Get()};
    if (null)
        inherited.push_back(null.Get());
    TInheritedHandles only(std::move(inherited));
    STARTUPINFOEXW startup = {};
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = null.Get();
    startup.StartupInfo.hStdOutput = outputEnd.Get();
    startup.StartupInfo.hStdError = null.Get();
    startup.lpAttributeList = only.List();
    const std::wstring widePath = Widen(path);
    std::wstring commandLine = L"\"" + widePath + L"\" --version";
    PROCESS_INFORMATION process = {};
    // The application name is given: the backup's ".bak" is no reason to look elsewhere.
    BOOL started =
        only.Ready() && CreateProcessW(widePath.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                                       CREATE_NO_WINDOW | EXTENDED_STARTUPINFO_PRESENT, nullptr,
                                       nullptr, &startup.StartupInfo, &process);
    if (!started) {
        fault = ErrorText("it cannot be started", GetLastError());
        return nullptr;
    }
    const TWinHandle thread(process.hThread); // not needed
    return std::make_unique<TWin32Trial>(TWinHandle(process.hProcess), std::move(output));
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
    if (!WriteUpdateScript(bat.path, bat.text, error))
        return false;

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
        error = ErrorText("Cannot start the update script", startError);
        RemoveFile(bat.path);
        return false;
    }
    // Not waited for: both its handles are closed at once.
    const TWinHandle thread(process.hThread), batch(process.hProcess);
    return true;
}
