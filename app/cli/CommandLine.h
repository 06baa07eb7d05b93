#pragma once
// What every kestrel-cli subcommand shares: its options, where each kind of output goes, and
// the `--json` object it leaves behind.
//
// Output: results (identify's listing, flash's last line) on standard output; statuses,
// progress, causes and errors on standard error. `-q` keeps only errors and the result, `-v`
// adds each step and its detail. With `--json` standard output carries exactly one JSON object
// and every human line goes to standard error.
#include "Json.h"
#include "TerminalWindow.h"

#include <cstdint>
#include <string>
#include <vector>

// The options a subcommand accepts besides -h/--help, -q, -v.
struct TOptionSet {
    bool port = false;           // --port N|PATH
    bool json = false;           // --json
    bool allowDowngrade = false; // --allow-downgrade
};

struct TCliOptions {
    bool help = false;
    bool json = false;
    bool quiet = false;
    bool verbose = false;
    bool allowDowngrade = false;
    std::string port; // --port as given; empty: every port
    std::vector<std::string> operands;
};

// Reads the arguments after the subcommand's name: options anywhere, "--" ends them. False with
// the problem in `error` (one line, without the program's name).
bool ParseCliOptions(const std::vector<std::string>& args, const TOptionSet& allowed,
                     TCliOptions& options, std::string& error);

// One run of a subcommand.
class TCliRun {
public:
    TCliRun(std::string command, TCliOptions options, TTerminalWindow& window);

    const std::string& Command() const { return command_; }
    const TCliOptions& Options() const { return options_; }
    TTerminalWindow& Window() { return window_; }

    // A line for the user on standard error (not with -q).
    void Say(const std::string& text);
    // Detail for -v only.
    void Detail(const std::string& text);
    // The status text of a failure (the window's text): standard error, always.
    void Fail(const std::string& text) { window_.PrintLine(text); }
    // A warning: standard error, always.
    void Warn(const std::string& text) { window_.PrintLine(text); }
    // An error, or the cause of a failure: standard error, always; nothing when empty. The
    // first one is the `cause` of the JSON object.
    void Error(const std::string& text);
    // Records the cause of a failure that was shown already.
    void NoteCause(const std::string& text) {
        if (cause_.empty())
            cause_ = text;
    }
    // A result line: standard output, or standard error under --json (not with -q then).
    void Result(const std::string& text);

    // The JSON object's members that the command adds ("device", "image", ...).
    TJson& Report() { return report_; }
    // How the command ended: a short English name ("identified", "programmed", ...) and the
    // status text the user saw (the window's text, where there is one).
    void SetOutcome(const std::string& name, const std::string& text);
    // The JSON object for the command ending with `status` (the common members first).
    std::string JsonText(int status) const;
    // Prints the JSON object (under --json) and returns `status`.
    int Finish(int status);

private:
    std::string command_;
    TCliOptions options_;
    TTerminalWindow& window_;
    TJson report_ = TJson::Object();
    std::string outcome_;
    std::string outcomeText_;
    std::string cause_;
};
