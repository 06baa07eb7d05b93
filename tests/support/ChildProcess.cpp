#include "ChildProcess.h"

#include "Deadline.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

ChildProcess::ChildProcess(std::vector<std::string> argv, const std::vector<std::string>& env,
                           bool captureStderr) {
    int outPipe[2];
    int errPipe[2] = {-1, -1};
    if (pipe2(outPipe, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    if (captureStderr && pipe2(errPipe, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");

    // Build the environment before forking: only async-signal-safe calls after fork.
    std::vector<std::string> envStore;
    for (char** e = environ; *e; ++e) {
        std::string entry(*e);
        std::string name = entry.substr(0, entry.find('='));
        bool replaced = false;
        for (const auto& add : env)
            replaced = replaced || add.substr(0, add.find('=')) == name;
        if (!replaced)
            envStore.push_back(entry);
    }
    for (const auto& add : env)
        envStore.push_back(add);
    std::vector<char*> envp;
    envp.reserve(envStore.size() + 1);
    for (auto& e : envStore)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<char*> args;
    args.reserve(argv.size() + 1);
    for (auto& a : argv)
        args.push_back(a.data());
    args.push_back(nullptr);

    pid_ = fork();
    if (pid_ < 0)
        throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        setpgid(0, 0); // its own process group, so Stop reaches its children too
        int devnull = open("/dev/null", O_RDONLY);
        dup2(devnull, 0);
        dup2(outPipe[1], 1);
        if (captureStderr)
            dup2(errPipe[1], 2);
        execve(args[0], args.data(), envp.data());
        _exit(127);
    }
    close(outPipe[1]);
    out_.Attach(outPipe[0]);
    if (captureStderr) {
        close(errPipe[1]);
        err_.Attach(errPipe[0]);
    }
}

ChildProcess::~ChildProcess() {
    if (pid_ > 0 && !status_)
        Stop(std::chrono::seconds(5));
    for (auto* pipe : {&out_, &err_})
        if (pipe->Fd() >= 0)
            close(pipe->Fd());
}

std::optional<std::string> ChildProcess::ReadLine(std::chrono::milliseconds limit) {
    return out_.ReadLine(limit);
}

std::optional<std::string> ChildProcess::WaitForLine(const std::string& needle,
                                                     std::chrono::milliseconds limit) {
    return out_.WaitForLine(needle, limit);
}

std::string ChildProcess::Stderr() {
    err_.Drain();
    return err_.Buffered();
}

void ChildProcess::Pump(std::chrono::milliseconds period) {
    pollfd fds[2];
    nfds_t count = 0;
    for (auto* pipe : {&out_, &err_})
        if (pipe->Fd() >= 0 && !pipe->Closed())
            fds[count++] = {pipe->Fd(), POLLIN, 0};
    // With no pipe left open this only lets the period pass.
    if (poll(fds, count, static_cast<int>(period.count())) > 0) {
        out_.Drain();
        err_.Drain();
    }
}

std::optional<int> ChildProcess::Wait(std::chrono::milliseconds limit) {
    if (status_)
        return status_;
    auto until = std::chrono::steady_clock::now() + limit;
    for (;;) {
        int st = 0;
        pid_t r = waitpid(pid_, &st, WNOHANG);
        if (r == pid_) {
            status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
            return status_;
        }
        if (std::chrono::steady_clock::now() >= until)
            return std::nullopt;
        Pump(std::chrono::milliseconds(5));
    }
}

int ChildProcess::Stop(std::chrono::milliseconds grace) {
    if (status_)
        return *status_;
    kill(-pid_, SIGTERM);
    kill(pid_, SIGTERM);
    if (auto st = Wait(grace))
        return *st;
    kill(-pid_, SIGKILL);
    kill(pid_, SIGKILL);
    return Wait(std::chrono::seconds(30)).value_or(-1);
}

std::vector<std::string> TRun::ErrLines() const {
    std::vector<std::string> lines;
    std::istringstream in(err);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

TRun Finish(ChildProcess& program, std::chrono::milliseconds limit) {
    TRun run;
    run.status = program.Wait(limit).value_or(-1);
    while (auto line = program.ReadLine(std::chrono::seconds(5)))
        run.out += *line + "\n";
    run.err = program.Stderr();
    return run;
}
