#pragma once
// Starts a helper program (the simulated device, the upgrade server, the tool itself) for a test
// and makes sure it is gone when the test ends.
#include "LineReader.h"
#include "TestFiles.h"

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
    explicit ChildProcess(std::vector<std::string> argv, const std::vector<std::string>& env = {},
                          bool captureStderr = false);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t Pid() const { return pid_; }

    // The next line of standard output (without its newline), or nothing when the program closed
    // its output or no line came within the limit.
    std::optional<std::string> ReadLine(std::chrono::milliseconds limit = std::chrono::seconds(30));
    // Reads standard output until a line containing `needle` arrives; returns that line.
    std::optional<std::string>
    WaitForLine(const std::string& needle,
                std::chrono::milliseconds limit = std::chrono::seconds(60));
    // Everything read from standard error so far (when captured) and what is waiting now.
    std::string Stderr();
    // Waits for the program to end: its exit status, 128 + signal, or nothing on time-out.
    // Meanwhile what it writes is read into the buffers of ReadLine and Stderr.
    std::optional<int> Wait(std::chrono::milliseconds limit = std::chrono::seconds(60));
    // SIGTERM, then SIGKILL after a grace period; returns the exit status.
    int Stop(std::chrono::milliseconds grace = std::chrono::seconds(10));

private:
    // Reads what the pipes bring for up to `period`, so that a chatty program never blocks on a
    // full one while the test waits for its end.
    void Pump(std::chrono::milliseconds period);

    pid_t pid_ = -1;
    TLineReader out_;
    TLineReader err_;
    std::optional<int> status_;
};

// One finished run of a program: exit status (128 + signal when killed, -1 when it did not end),
// standard output and standard error.
struct TRun {
    int status = -1;
    std::string out;
    std::string err;
    // Standard error split into lines.
    std::vector<std::string> ErrLines() const;
};

// Waits for a started program to end (within `limit`) and collects what it wrote.
TRun Finish(ChildProcess& program, std::chrono::milliseconds limit = std::chrono::seconds(180));
