#pragma once
// kestrel-cli as the tests run it: a process with pipes, or on a pseudo-terminal that the test
// types into (answers, Ctrl-C), and the JSON object it prints.
#include "ChildProcess.h"

#include <chrono>
#include <map>
#include <string>
#include <sys/types.h>
#include <vector>

// kestrel-cli as a maker builds it (with the tests' key), or `program`, ARGS with the
// environment entries added; standard input is /dev/null.
TRun RunCli(const std::vector<std::string>& args, const std::vector<std::string>& env = {},
            const std::string& program = KESTREL_PATH_KESTREL_CLI_KEYED);

// The leaves of the JSON text, which must be exactly one JSON object (python3's json module
// reads it): "device.type" -> "\"QX40\"", "exit_status" -> "0", "cause" -> "null". Empty when
// the text is anything else.
std::map<std::string, std::string> JsonLeaves(const std::string& text);

// kestrel-cli on a pseudo-terminal: its standard input, output and error, in a session of its
// own whose controlling terminal that is, so a typed ^C is a SIGINT.
class TCliOnTerminal {
public:
    TCliOnTerminal(const std::vector<std::string>& args, const std::vector<std::string>& env);
    ~TCliOnTerminal();
    TCliOnTerminal(const TCliOnTerminal&) = delete;
    TCliOnTerminal& operator=(const TCliOnTerminal&) = delete;

    // Reads until the output after `from` contains `text` (true), or the program has closed the
    // terminal or `limit` passed (false).
    bool WaitFor(const std::string& text, size_t from = 0,
                 std::chrono::milliseconds limit = std::chrono::seconds(120));
    // Reads once, up to `until`; false when nothing more will come.
    bool Fill(std::chrono::steady_clock::time_point until);
    void Type(const std::string& bytes);
    // Reads to the end and waits for the program: its exit status, 128 + signal, -1 when it
    // did not end within the limit.
    int Finish(std::chrono::milliseconds limit = std::chrono::seconds(180));
    // Everything the terminal showed so far.
    const std::string& Shown() const { return reader_.Buffered(); }

private:
    pid_t pid_ = -1;
    int master_ = -1;
    TLineReader reader_;
};

// How often `part` occurs in `text`.
size_t Count(const std::string& text, const std::string& part);
