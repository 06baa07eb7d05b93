// Self-replacement on Windows: the new executable must be a program image for this machine and
// answer --version; then it is started once more, from the backup, to finish the replacement
// itself once the running tool has ended. Every path goes to Windows in UTF-16, in buffers as
// long as it needs, and none through a command interpreter.
#include "SelfReplace.h"

#include "OwnedHandle.h"
#include "SystemText.h"
#include "WideText_win32.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <optional>
#include <windows.h>

namespace {
#if defined(_M_ARM64) || defined(__aarch64__)
constexpr uint16_t kThisMachine = 0xAA64;
#elif defined(_M_X64) || defined(__x86_64__)
constexpr uint16_t kThisMachine = kPeMachineAmd64;
#else
constexpr uint16_t kThisMachine = 0x014C; // i386
#endif

// How StartReplacement starts the new executable: "--finish-replacement PROCESS TAKEN", the
// values of two handles it inherits: the process to wait for, and an event it sets once it has
// taken the replacement over.
const char* const kFinishSwitch = "--finish-replacement";

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

long CurrentProcessId() {
    return static_cast<long>(GetCurrentProcessId());
}

namespace {
// A handle's value as FinishReplacement reads it back: decimal. Handle values fit in 32 bits.
std::wstring HandleText(HANDLE handle) {
    return std::to_wstring(HandleToULong(handle));
}

// The handle whose value `text` gives in decimal; false for anything else.
bool ReadHandle(const std::string& text, HANDLE& handle) {
    if (text.empty() || text.size() > 10 ||
        text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    const unsigned long long value = std::stoull(text);
    if (value == 0 || value > 0xFFFFFFFFULL)
        return false;
    handle = ULongToHandle(static_cast<unsigned long>(value));
    return true;
}

// The creation flags of a program started at the running process's priority (a child would
// otherwise get the normal class, unless this one is below it).
DWORD OwnPriority() {
    const DWORD own = GetPriorityClass(GetCurrentProcess());
    return own != 0 ? own : NORMAL_PRIORITY_CLASS;
}

// Starts the program at `path` with the arguments `arguments` (after its name, in UTF-16),
// inheriting nothing, at this process's priority; a console program without a console window.
// False with the error code in `error`.
bool StartProgram(const std::wstring& path, const std::wstring& arguments, DWORD& error) {
    std::wstring commandLine = L"\"" + path + L"\"" + (arguments.empty() ? L"" : L" " + arguments);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(path.c_str(), commandLine.data(), nullptr, nullptr, FALSE,
                        CREATE_NO_WINDOW | OwnPriority(), nullptr, nullptr, &startup, &process)) {
        error = GetLastError();
        return false;
    }
    const TWinHandle thread(process.hThread), started(process.hProcess); // not waited for
    return true;
}

// Moves the running executable's file onto `exe`, replacing it, once nothing holds `exe` any
// more; false with the error code in `error` when it stays in use for ExecutableFree or cannot
// be replaced at all.
bool MoveOnto(const std::wstring& self, const std::wstring& exe, DWORD& error) {
    const auto deadline = std::chrono::steady_clock::now() + ReplaceLimits::ExecutableFree;
    for (;;) {
        if (MoveFileExW(self.c_str(), exe.c_str(), MOVEFILE_REPLACE_EXISTING))
            return true;
        error = GetLastError();
        if ((error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION) ||
            std::chrono::steady_clock::now() >= deadline)
            return false;
        Sleep(static_cast<DWORD>(ReplaceLimits::ExecutableLook.count()));
    }
}
} // namespace

bool StartReplacement(const std::string& exePath, long waitPid, std::string& error) {
    // The two handles the new executable inherits, and the null device as its standard handles:
    // it writes nothing, and holds no pipe of whoever started this tool.
    SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
    TWinHandle waited(OpenProcess(SYNCHRONIZE, TRUE, static_cast<DWORD>(waitPid)));
    if (!waited) {
        error =
            ErrorText("Cannot hand the replacement over: the tool's process cannot be waited for",
                      GetLastError());
        return false;
    }
    TWinHandle taken(CreateEventW(&inheritable, TRUE, FALSE, nullptr));
    TWinHandle null(OpenNul(&inheritable));
    if (!taken || !null) {
        error = ErrorText("Cannot hand the replacement over", GetLastError());
        return false;
    }
    TInheritedHandles only({waited.Get(), taken.Get(), null.Get()});
    STARTUPINFOEXW startup = {};
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = null.Get();
    startup.StartupInfo.hStdOutput = null.Get();
    startup.StartupInfo.hStdError = null.Get();
    startup.lpAttributeList = only.List();
    const std::wstring backup = Widen(BackupPath(exePath));
    std::wstring commandLine = L"\"" + backup + L"\" " + Widen(kFinishSwitch) + L" " +
                               HandleText(waited.Get()) + L" " + HandleText(taken.Get());
    PROCESS_INFORMATION process = {};
    // The application name is given: the backup's ".bak" is no reason to look elsewhere.
    BOOL started = only.Ready() &&
                   CreateProcessW(backup.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                                  CREATE_NO_WINDOW | EXTENDED_STARTUPINFO_PRESENT | OwnPriority(),
                                  nullptr, nullptr, &startup.StartupInfo, &process);
    if (!started) {
        error = ErrorText("Cannot start the new tool to finish the replacement", GetLastError());
        return false;
    }
    const TWinHandle thread(process.hThread);
    const TWinHandle finisher(process.hProcess);
    // Only once it has taken the replacement over may this tool end: a build that cannot finish
    // a replacement ends at once (it refuses the switch) or does nothing with it.
    const HANDLE ends[] = {taken.Get(), finisher.Get()};
    const DWORD woke =
        WaitForMultipleObjects(2, ends, FALSE, static_cast<DWORD>(ReplaceLimits::TakeOver.count()));
    if (woke == WAIT_OBJECT_0)
        return true;
    const std::string why = "The new tool did not take the replacement over (";
    const std::string fix = "): it cannot finish replacing this tool; the tool stays as it is. "
                            "Install the new version with its installer.";
    DWORD code = 0;
    if (woke == WAIT_OBJECT_0 + 1 && GetExitCodeProcess(finisher.Get(), &code)) {
        error = why + "it ended with status " + std::to_string(code) + fix;
    } else {
        // The backup can be removed only once nothing runs from it.
        TerminateProcess(finisher.Get(), 1);
        WaitForSingleObject(finisher.Get(), static_cast<DWORD>(ReplaceLimits::TrialEnd.count()));
        error = why + "no answer within " + std::to_string(ReplaceLimits::TakeOver.count()) +
                " ms" + fix;
    }
    return false;
}

std::optional<int> FinishReplacement(const std::vector<std::string>& arguments) {
    if (arguments.size() < 2 || arguments[1] != kFinishSwitch)
        return std::nullopt;
    // Its own file is the backup next to the executable it replaces.
    const std::string self = RunningExecutablePath();
    const std::string suffix = BackupPath("");
    HANDLE waited = nullptr, taken = nullptr;
    if (arguments.size() != 4 || !ReadHandle(arguments[2], waited) ||
        !ReadHandle(arguments[3], taken) || self.size() <= suffix.size() ||
        !self.ends_with(suffix)) {
        std::fprintf(stderr,
                     "%s is given only by a tool that is replacing itself with this "
                     "program, started as its backup (\"<executable>%s\")\n",
                     kFinishSwitch, suffix.c_str());
        return 2;
    }
    const TWinHandle oldTool(waited);
    if (TWinHandle takenOver(taken); !SetEvent(takenOver.Get())) {
        std::fprintf(stderr, "%s: the handles given are not those of a tool replacing itself\n",
                     kFinishSwitch);
        return 2;
    }
    WaitForSingleObject(oldTool.Get(), INFINITE);
    const std::wstring exe = Widen(self.substr(0, self.size() - suffix.size()));
    DWORD error = 0;
    // Renamed, the new executable is in place whole at once: until then the old one is.
    const bool placed = MoveOnto(Widen(self), exe, error);
    if (!placed)
        std::fprintf(stderr, "%s\n",
                     ErrorText("The new tool could not take the old one's place", error).c_str());
    // The old tool, when it stayed, comes back without AG: the user gets a tool, and the next
    // update does not start by itself into the same failure.
    if (!StartProgram(exe, placed ? L"AG" : L"", error))
        std::fprintf(stderr, "%s\n", ErrorText("The tool cannot be started", error).c_str());
    return placed ? 0 : 1;
}
