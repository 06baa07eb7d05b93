#pragma once
// Starts a helper program (the simulated device, the upgrade server, the tool itself) for a test
// and makes sure it is gone when the test ends.
#include <chrono>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

class ChildProcess {
public:
    // argv[0] is the program's path. env entries "NAME=value" are added to (or replace those of)
    // the test's own environment. Standard input is /dev/null; standard output is a pipe read by
    // ReadLine; standard error goes to the test's standard error unless captureStderr is set.
    explicit ChildProcess(std::vector<std::string> argv, std::vector<std::string> env = {},
                          bool captureStderr = false);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t Pid() const { return pid_; }

    // The next line of standard output (without its newline), or nothing when the program closed
    // its output or no line came within the limit.
    std::optional<std::string> ReadLine(std::chrono::milliseconds limit = std::chrono::seconds(30));
    // Reads standard output until a line containing `needle` arrives; returns that line.
    std::optional<std::string> WaitForLine(const std::string& needle,
                                           std::chrono::milliseconds limit = std::chrono::seconds(60));
    // Everything read from standard error so far (when captured) and what is waiting now.
    std::string Stderr();
    // Waits for the program to end: its exit status, 128 + signal, or nothing on time-out.
    std::optional<int> Wait(std::chrono::milliseconds limit = std::chrono::seconds(60));
    // SIGTERM, then SIGKILL after a grace period; returns the exit status.
    int Stop(std::chrono::milliseconds grace = std::chrono::seconds(10));

private:
    bool Fill(int fd, std::string& into, std::chrono::steady_clock::time_point until);

    pid_t pid_ = -1;
    int out_ = -1;
    int err_ = -1;
    std::string outBuf_;
    std::string errBuf_;
    std::optional<int> status_;
};

// A loopback address of its own for one server in this test process (127.x.y.z, never
// 127.0.0.1), so that tests running side by side never share a port.
std::string UniqueLoopbackAddress();

// A fresh empty directory under the system's temporary folder, removed with its content when
// the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& Path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Whole-file helpers for tests.
std::string ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const std::string& bytes);
