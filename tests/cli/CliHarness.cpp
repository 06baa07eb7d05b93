#include "CliHarness.h"

#include "Deadline.h"

#include <gtest/gtest.h>

#include <csignal>
#include <pty.h>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

extern "C" char** environ;

TRun RunCli(const std::vector<std::string>& args, const std::vector<std::string>& env,
            const std::string& program) {
    std::vector<std::string> argv{program};
    argv.insert(argv.end(), args.begin(), args.end());
    ChildProcess cli(argv, env, true);
    return Finish(cli);
}

std::map<std::string, std::string> JsonLeaves(const std::string& text) {
    TempDir dir;
    WriteFileBytes(dir / "out.json", text);
    // One object, nothing before or after it but white space; leaves as path<TAB>json.
    const char* script = R"(
import json, sys
d = json.loads(open(sys.argv[1], encoding='utf-8').read())
assert isinstance(d, dict)
def walk(p, v):
    if isinstance(v, dict) and v:
        for k in v: walk(p + [k], v[k])
    elif isinstance(v, list) and v:
        for i, x in enumerate(v): walk(p + [str(i)], x)
    else:
        print('.'.join(p) + '\t' + json.dumps(v, ensure_ascii=False))
walk([], d)
)";
    // python3 as PATH finds it.
    ChildProcess python({"/usr/bin/env", "python3", "-c", script, dir / "out.json"}, {}, true);
    TRun run = Finish(python);
    std::map<std::string, std::string> leaves;
    if (run.status != 0) {
        ADD_FAILURE() << "not one JSON object: " << text << "\n" << run.err;
        return leaves;
    }
    std::istringstream lines(run.out);
    for (std::string line; std::getline(lines, line);)
        if (size_t tab = line.find('\t'); tab != std::string::npos)
            leaves[line.substr(0, tab)] = line.substr(tab + 1);
    return leaves;
}

TCliOnTerminal::TCliOnTerminal(const std::vector<std::string>& args,
                               const std::vector<std::string>& env) {
    // Everything the child needs is built before the fork.
    std::vector<std::string> envStore(env);
    for (char** e = environ; *e; ++e)
        envStore.emplace_back(*e); // later duplicates lose: getenv takes the first
    std::vector<char*> envp;
    envp.reserve(envStore.size() + 1);
    for (auto& e : envStore)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<std::string> argStore{KESTREL_PATH_KESTREL_CLI_KEYED};
    argStore.insert(argStore.end(), args.begin(), args.end());
    std::vector<char*> argv;
    argv.reserve(argStore.size() + 1);
    for (auto& a : argStore)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    pid_ = forkpty(&master_, nullptr, nullptr, nullptr);
    if (pid_ == 0) {
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    EXPECT_GT(pid_, 0) << "forkpty failed";
    reader_.Attach(master_);
}

TCliOnTerminal::~TCliOnTerminal() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (master_ >= 0)
        close(master_);
}

bool TCliOnTerminal::Fill(std::chrono::steady_clock::time_point until) {
    return reader_.Fill(until);
}

bool TCliOnTerminal::WaitFor(const std::string& text, size_t from,
                             std::chrono::milliseconds limit) {
    auto until = std::chrono::steady_clock::now() + limit;
    while (Shown().find(text, from) == std::string::npos)
        if (!reader_.Fill(until))
            return false;
    return true;
}

void TCliOnTerminal::Type(const std::string& bytes) {
    EXPECT_EQ(write(master_, bytes.data(), bytes.size()), ssize_t(bytes.size()));
}

int TCliOnTerminal::Finish(std::chrono::milliseconds limit) {
    auto until = std::chrono::steady_clock::now() + limit;
    // Fill ends with the limit, or when the program has closed the terminal (EIO).
    while (reader_.Fill(until)) {
    }
    int status = 0;
    // The terminal is closed, or the limit has passed: the end is a moment away, or never.
    bool ended = WaitUntil([&] { return waitpid(pid_, &status, WNOHANG) == pid_; },
                           std::chrono::seconds(10));
    if (!ended)
        return -1; // the destructor kills it
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

size_t Count(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}
