// Self-replacement on Linux: the running executable is found through /proc/self/exe, the new
// executable must answer --version, and the update script runs in a session of its own,
// outliving the tool.
#include "SelfReplace.h"

#include "OwnedHandle.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern "C" char** environ;

namespace {
// Closes every descriptor from `from` on except `keep` (none when below `from`), so that a
// child holds no port, socket or pipe of the tool open.
void CloseDescriptorsFrom(int from, int keep) {
    const auto first = static_cast<unsigned>(from);
    const auto kept = static_cast<unsigned>(keep);
    if (keep < from) {
        if (close_range(first, ~0U, 0) == 0)
            return;
    } else if ((keep == from || close_range(first, kept - 1, 0) == 0) &&
               close_range(kept + 1, ~0U, 0) == 0) {
        return;
    }
    long max = sysconf(_SC_OPEN_MAX);
    if (max < 0 || max > 65536)
        max = 65536;
    for (int fd = from; fd < max; ++fd)
        if (fd != keep)
            close(fd);
}

// A pipe whose two ends close on exec: 0, or the error number.
int OpenPipe(TFd& readEnd, TFd& writeEnd) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0)
        return errno;
    readEnd.Reset(ends[0]);
    writeEnd.Reset(ends[1]);
    return 0;
}

// In a child after fork: runs the program, or reports why it cannot on `report` and ends.
[[noreturn]] void ExecOrReport(char* const* argv, char* const* envp, int report) {
    execve(argv[0], argv, envp);
    int err = errno;
    ssize_t ignored = write(report, &err, sizeof err);
    (void)ignored;
    _exit(127);
}
} // namespace

std::string RunningExecutablePath() {
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0)
        return {};
    return std::string(buf, static_cast<size_t>(n));
}

bool IsExecutableForThisPlatform(const std::vector<uint8_t>& image, std::string* fault) {
    std::vector<uint8_t> reference(64);
    ssize_t n = -1;
    if (TFd self(open("/proc/self/exe", O_RDONLY | O_CLOEXEC)); self)
        n = read(self.Get(), reference.data(), reference.size());
    if (n < 0) {
        if (fault)
            *fault = "the running executable cannot be read to compare";
        return false;
    }
    reference.resize(static_cast<size_t>(n));
    return IsElfProgram(image, reference, fault);
}

namespace {
// Executable where readable, as chmod +x would make it.
bool MakeExecutable(const std::string& path, std::string& fault) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0 ||
        chmod(path.c_str(), st.st_mode | ((st.st_mode & 0444) >> 2)) != 0) {
        fault = "cannot make " + path + " executable: " + std::strerror(errno);
        return false;
    }
    return true;
}

// The tool's environment without a display: a program that ignores --version must not open a
// window on the user's screen.
std::vector<std::string> EnvironmentWithoutDisplay() {
    std::vector<std::string> entries = {"QT_QPA_PLATFORM=offscreen"};
    for (char** e = environ; *e; ++e) {
        std::string entry = *e;
        if (!entry.starts_with("DISPLAY=") && !entry.starts_with("WAYLAND_DISPLAY=") &&
            !entry.starts_with("QT_QPA_PLATFORM="))
            entries.push_back(std::move(entry));
    }
    return entries;
}

// A null-ended array of pointers to the texts, as exec takes it.
std::vector<char*> Pointers(std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    pointers.reserve(texts.size() + 1);
    for (auto& text : texts)
        pointers.push_back(text.data());
    pointers.push_back(nullptr);
    return pointers;
}

// A running trial: its process (a group of its own), its standard output and the pipe that
// carries the error number of a failed exec.
class TPosixTrial final : public TVersionTrial {
public:
    TPosixTrial(pid_t child, TFd output, TFd report)
        : child_(child), output_(std::move(output)), report_(std::move(report)) {}

    bool OutputOpen() const override { return outputOpen_; }

    bool Wait(std::chrono::milliseconds wait, TVersionRun& run) override {
        // Its output wakes the wait at once.
        pollfd p{output_.Get(), POLLIN, 0};
        if (poll(&p, outputOpen_ ? 1 : 0, static_cast<int>(wait.count())) > 0) {
            char buf[512];
            ssize_t n = read(output_.Get(), buf, sizeof buf);
            if (n > 0)
                run.Take(buf, static_cast<size_t>(n));
            outputOpen_ = n > 0 || (n < 0 && errno == EINTR);
        }
        return waitpid(child_, &status_, WNOHANG) == child_;
    }

    void Stop() override {
        kill(-child_, SIGKILL);
        kill(child_, SIGKILL);
        while (waitpid(child_, &status_, 0) < 0 && errno == EINTR) {
        }
    }

    void Conclude(TVersionRun& run) override {
        if (run.ended && outputOpen_ && fcntl(output_.Get(), F_SETFL, O_NONBLOCK) == 0) {
            // What it wrote just before it ended (a process it left behind may hold the pipe
            // open).
            char buf[512];
            ssize_t n;
            while (!run.Full() && (n = read(output_.Get(), buf, sizeof buf)) > 0)
                run.Take(buf, static_cast<size_t>(n));
        }
        run.signal = WIFSIGNALED(status_) ? WTERMSIG(status_) : 0;
        run.status = WEXITSTATUS(status_);
        int execError = 0;
        if (read(report_.Get(), &execError, sizeof execError) == sizeof execError)
            startFault_ = std::string("it cannot be started: ") + std::strerror(execError);
    }

    std::string StartFault() const override { return startFault_; }

private:
    pid_t child_;
    TFd output_, report_;
    int status_ = 0;
    bool outputOpen_ = true;
    std::string startFault_;
};
} // namespace

std::unique_ptr<TVersionTrial> StartVersionTrial(const std::string& path, std::string& fault) {
    if (!MakeExecutable(path, fault))
        return nullptr;
    // Everything the child needs is prepared before forking.
    std::vector<std::string> environment = EnvironmentWithoutDisplay();
    std::vector<char*> envp = Pointers(environment);
    std::vector<std::string> arguments = {path, "--version"};
    std::vector<char*> argv = Pointers(arguments);
    TFd output, outputEnd, report, reportEnd;
    int err = OpenPipe(output, outputEnd);
    if (err == 0)
        err = OpenPipe(report, reportEnd);
    if (err != 0) {
        fault = std::string("it cannot be started: ") + std::strerror(err);
        return nullptr;
    }

    pid_t child = fork();
    if (child == 0) {
        // A process group of its own, so that a time-out stops whatever it started too.
        setpgid(0, 0);
        // In an order that holds even when the tool runs with 0, 1 or 2 closed: only the report
        // end (close-on-exec) stays above the standard three.
        int keep = fcntl(reportEnd.Get(), F_DUPFD_CLOEXEC, 3);
        dup2(outputEnd.Get(), 1);
        int null = open("/dev/null", O_RDWR | O_CLOEXEC);
        if (null >= 0) {
            dup2(null, 0);
            dup2(null, 2);
        }
        CloseDescriptorsFrom(3, keep);
        ExecOrReport(argv.data(), envp.data(), keep);
    }
    int forkError = errno;
    if (child > 0)
        setpgid(child, child); // also here: a time-out may come before the child has run
    outputEnd.Reset();
    reportEnd.Reset();
    if (child < 0) {
        fault = std::string("it cannot be started: ") + std::strerror(forkError);
        return nullptr;
    }
    return std::make_unique<TPosixTrial>(child, std::move(output), std::move(report));
}

long CurrentProcessId() {
    return static_cast<long>(getpid());
}

namespace {
// The report pipe of a start, its writing end above the standard three (the child points them at
// /dev/null): 0, or the error number.
int OpenReportPipe(TFd& readEnd, TFd& writeEnd) {
    if (int err = OpenPipe(readEnd, writeEnd))
        return err;
    if (writeEnd.Get() < 3) {
        TFd high(fcntl(writeEnd.Get(), F_DUPFD_CLOEXEC, 3));
        int err = errno;
        writeEnd = std::move(high);
        if (!writeEnd)
            return err;
    }
    return 0;
}

// Whether the first child ended well and the script's exec closed the report pipe; otherwise
// the error number in `err`.
bool ScriptStarted(pid_t child, int report, int& err) {
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        err = EAGAIN;
        return false;
    }
    ssize_t n;
    while ((n = read(report, &err, sizeof err)) < 0 && errno == EINTR) {
    }
    return n == 0;
}

// Starts the shell on the script, detached: true, or false with the error number in `err`.
bool StartScript(std::string path, int& err) {
    // Everything the children need is prepared before forking.
    std::vector<std::string> arguments = {"/bin/sh", std::move(path)};
    std::vector<char*> argv = Pointers(arguments);
    TFd report, reportEnd;
    err = OpenReportPipe(report, reportEnd);
    if (err != 0)
        return false;

    // Two forks: the script is adopted by init at once, so it neither becomes a zombie of the
    // tool nor shares its session or terminal. Only async-signal-safe calls after fork.
    pid_t child = fork();
    int forkError = errno;
    if (child == 0) {
        setsid();
        pid_t grandchild = fork();
        if (grandchild != 0)
            _exit(grandchild < 0 ? 1 : 0);
        int null = open("/dev/null", O_RDWR);
        if (null >= 0) {
            dup2(null, 0);
            dup2(null, 1);
            dup2(null, 2);
        }
        CloseDescriptorsFrom(3, reportEnd.Get());
        ExecOrReport(argv.data(), environ, reportEnd.Get());
    }
    reportEnd.Reset();
    if (child < 0) {
        err = forkError;
        return false;
    }
    // The report pipe closes on a successful exec; otherwise it carries the error number.
    return ScriptStarted(child, report.Get(), err);
}
} // namespace

bool StartReplacement(const std::string& exePath, long waitPid, std::string& error) {
    TUpdateScript script = BuildUpdateScript(exePath, waitPid);
    if (!WriteUpdateScript(script.path, script.text, error))
        return false;
    if (int err = 0; !StartScript(script.path, err)) {
        error = std::string("Cannot start the update script: ") + std::strerror(err);
        std::remove(script.path.c_str());
        return false;
    }
    return true;
}
