// Self-replacement on Linux: the running executable is found through /proc/self/exe, and the
// update script runs in a session of its own at idle priority, outliving the tool.
#include "SelfReplace.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {
// Closes every descriptor from `from` on except `keep`, so that the script holds no port,
// socket or pipe of the tool open after the tool has ended.
void CloseDescriptorsFrom(int from, int keep) {
    const auto first = static_cast<unsigned>(from);
    const auto kept = static_cast<unsigned>(keep);
    bool below = keep <= from || close_range(first, kept - 1, 0) == 0;
    if (below && close_range(kept + 1, ~0U, 0) == 0)
        return;
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

bool IsExecutableForThisPlatform(const std::vector<uint8_t>& image) {
    std::vector<uint8_t> reference(64);
    int fd = open("/proc/self/exe", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    ssize_t n = read(fd, reference.data(), reference.size());
    close(fd);
    if (n < 0)
        return false;
    reference.resize(static_cast<size_t>(n));
    return IsElfImageLike(image, reference);
}

long CurrentProcessId() {
    return static_cast<long>(getpid());
}

bool RunUpdateBat(const std::string& exePath, long waitPid, std::string& error) {
    TUpdateScript script = BuildUpdateScript(exePath, waitPid);
    if (int err = WriteWholeFile(script.path,
                                 std::vector<uint8_t>(script.text.begin(), script.text.end()))) {
        error = IoErrorText(err);
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
        setpriority(PRIO_PROCESS, 0, 19); // idle priority: the script mostly waits
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
