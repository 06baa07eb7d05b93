// Self-replacement on Linux: the running executable is found through /proc/self/exe, the new
// executable must answer --version, and the update script runs in a session of its own,
// outliving the tool.
#include "SelfReplace.h"

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
    int fd = open("/proc/self/exe", O_RDONLY | O_CLOEXEC);
    ssize_t n = fd < 0 ? -1 : read(fd, reference.data(), reference.size());
    if (fd >= 0)
        close(fd);
    if (n < 0) {
        if (fault)
            *fault = "the running executable cannot be read to compare";
        return false;
    }
    reference.resize(static_cast<size_t>(n));
    return IsElfProgram(image, reference, fault);
}

bool AnswersVersion(const std::string& path, std::chrono::milliseconds limit, std::string& fault,
                    std::string* answer) {
    // Executable where readable, as chmod +x would make it.
    struct stat st {};
    if (stat(path.c_str(), &st) != 0 ||
        chmod(path.c_str(), st.st_mode | ((st.st_mode & 0444) >> 2)) != 0) {
        fault = "cannot make " + path + " executable: " + std::strerror(errno);
        return false;
    }
    // Everything the child needs is prepared before forking. No display: a program that
    // ignores --version must not open a window on the user's screen.
    std::vector<std::string> envStore = {"QT_QPA_PLATFORM=offscreen"};
    for (char** e = environ; *e; ++e) {
        std::string entry = *e;
        if (!entry.starts_with("DISPLAY=") && !entry.starts_with("WAYLAND_DISPLAY=") &&
            !entry.starts_with("QT_QPA_PLATFORM="))
            envStore.push_back(std::move(entry));
    }
    std::vector<char*> envp;
    envp.reserve(envStore.size() + 1);
    for (auto& e : envStore)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string program = path, option = "--version";
    std::vector<char*> argv = {program.data(), option.data(), nullptr};
    int out[2], report[2];
    if (pipe2(out, O_CLOEXEC) != 0) {
        fault = std::string("it cannot be started: ") + std::strerror(errno);
        return false;
    }
    if (pipe2(report, O_CLOEXEC) != 0) {
        fault = std::string("it cannot be started: ") + std::strerror(errno);
        close(out[0]);
        close(out[1]);
        return false;
    }

    pid_t child = fork();
    if (child == 0) {
        // A process group of its own, so that a time-out stops whatever it started too.
        setpgid(0, 0);
        // In an order that holds even when the tool runs with 0, 1 or 2 closed: only the report
        // end (close-on-exec) stays above the standard three.
        int keep = fcntl(report[1], F_DUPFD_CLOEXEC, 3);
        dup2(out[1], 1);
        int null = open("/dev/null", O_RDWR | O_CLOEXEC);
        if (null >= 0) {
            dup2(null, 0);
            dup2(null, 2);
        }
        CloseDescriptorsFrom(3, keep);
        execve(argv[0], argv.data(), envp.data());
        int err = errno;
        ssize_t ignored = write(keep, &err, sizeof err);
        (void)ignored;
        _exit(127);
    }
    int forkError = errno;
    if (child > 0)
        setpgid(child, child); // also here: a time-out may come before the child has run
    close(out[1]);
    close(report[1]);
    if (child < 0) {
        close(out[0]);
        close(report[0]);
        fault = std::string("it cannot be started: ") + std::strerror(forkError);
        return false;
    }

    // Its output until it closes it, and its end, both within the limit.
    const auto deadline = std::chrono::steady_clock::now() + limit;
    std::string output;
    bool outputOpen = true;
    int status = 0;
    bool ended = false;
    while (!ended) {
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline -
                                                                 std::chrono::steady_clock::now());
        if (left.count() <= 0)
            break;
        // Its end is looked for every few milliseconds; its output wakes the wait at once.
        pollfd p{out[0], POLLIN, 0};
        int wait = static_cast<int>(std::min<long long>(
            left.count(),
            (outputOpen ? ReplaceLimits::TrialLook : ReplaceLimits::TrialEndLook).count()));
        if (poll(&p, outputOpen ? 1 : 0, wait) > 0) {
            char buf[512];
            ssize_t n = read(out[0], buf, sizeof buf);
            if (n > 0 && output.size() < 4096)
                output.append(buf, static_cast<size_t>(n));
            outputOpen = n > 0 || (n < 0 && errno == EINTR);
        }
        ended = waitpid(child, &status, WNOHANG) == child;
    }
    if (!ended) {
        kill(-child, SIGKILL);
        kill(child, SIGKILL);
        while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
        }
    } else if (outputOpen && fcntl(out[0], F_SETFL, O_NONBLOCK) == 0) {
        // What it wrote just before it ended (a process it left behind may hold the pipe open).
        char buf[512];
        ssize_t n;
        while (output.size() < 4096 && (n = read(out[0], buf, sizeof buf)) > 0)
            output.append(buf, static_cast<size_t>(n));
    }
    int execError = 0;
    bool execFailed = read(report[0], &execError, sizeof execError) == sizeof execError;
    close(out[0]);
    close(report[0]);

    if (execFailed) {
        fault = std::string("it cannot be started: ") + std::strerror(execError);
        return false;
    }
    return JudgeVersionRun(
        {ended, WIFSIGNALED(status) ? WTERMSIG(status) : 0, WEXITSTATUS(status), std::move(output)},
        limit, fault, answer);
}

void AdoptReplacedToolPriority() {
    // Nothing to take on: the update script keeps the tool's priority and idles only its wait.
}

long CurrentProcessId() {
    return static_cast<long>(getpid());
}

bool RunUpdateBat(const std::string& exePath, long waitPid, std::string& error) {
    TUpdateScript script = BuildUpdateScript(exePath, waitPid);
    if (int err = WriteWholeFile(script.path,
                                 std::vector<uint8_t>(script.text.begin(), script.text.end()))) {
        error = err == EEXIST ? InTheWayText(script.path) : IoErrorText(err);
        return false;
    }

    // Everything the children need is prepared before forking.
    std::string shell = "/bin/sh";
    std::vector<char*> argv = {shell.data(), script.path.data(), nullptr};
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) {
        error = std::string("Cannot start the update script: ") + std::strerror(errno);
        std::remove(script.path.c_str());
        return false;
    }
    // The child points 0, 1 and 2 at /dev/null: the report end must lie above them.
    if (report[1] < 3) {
        int high = fcntl(report[1], F_DUPFD_CLOEXEC, 3);
        int err = errno;
        close(report[1]);
        if (high < 0) {
            close(report[0]);
            std::remove(script.path.c_str());
            error = std::string("Cannot start the update script: ") + std::strerror(err);
            return false;
        }
        report[1] = high;
    }

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
        CloseDescriptorsFrom(3, report[1]);
        execv(argv[0], argv.data());
        int err = errno;
        ssize_t ignored = write(report[1], &err, sizeof err);
        (void)ignored;
        _exit(127);
    }
    close(report[1]);
    int err = 0;
    bool started = child > 0;
    if (child > 0) {
        int status = 0;
        while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
        }
        started = WIFEXITED(status) && WEXITSTATUS(status) == 0;
        if (!started)
            err = EAGAIN;
    } else {
        err = forkError;
    }
    // The report pipe closes on a successful exec; otherwise it carries the error number.
    if (started) {
        ssize_t n;
        while ((n = read(report[0], &err, sizeof err)) < 0 && errno == EINTR) {
        }
        started = n == 0;
    }
    close(report[0]);
    if (!started) {
        error = std::string("Cannot start the update script: ") + std::strerror(err);
        std::remove(script.path.c_str());
    }
    return started;
}
