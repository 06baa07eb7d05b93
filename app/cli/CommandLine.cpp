#include "CommandLine.h"

#include <cstdio>

namespace {
// "-qv": several of the one-letter flags -h, -q, -v in one argument.
bool FlagCluster(const std::string& a) {
    return a.size() > 2 && a[0] == '-' && a[1] != '-' &&
           a.find_first_not_of("hqv", 1) == std::string::npos;
}
} // namespace

bool ParseCliOptions(const std::vector<std::string>& args, const TOptionSet& allowed,
                     TCliOptions& options, std::string& error) {
    bool optionsEnded = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (optionsEnded || a.empty() || a[0] != '-' || a == "-") {
            options.operands.push_back(a);
        } else if (a == "--") {
            optionsEnded = true;
        } else if (a == "-h" || a == "--help") {
            options.help = true;
        } else if (a == "-q" || a == "--quiet") {
            options.quiet = true;
        } else if (a == "-v" || a == "--verbose") {
            options.verbose = true;
        } else if (FlagCluster(a)) {
            options.help = options.help || a.find('h') != std::string::npos;
            options.quiet = options.quiet || a.find('q') != std::string::npos;
            options.verbose = options.verbose || a.find('v') != std::string::npos;
        } else if (a == "--allow-downgrade" && allowed.allowDowngrade) {
            options.allowDowngrade = true;
        } else if (a == "--json" && allowed.json) {
            options.json = true;
        } else if ((a == "--port" || a.rfind("--port=", 0) == 0) && allowed.port) {
            if (a == "--port" && i + 1 == args.size()) {
                error = "--port needs a value: a port number 1 to 256 or a device path "
                        "(kestrel-cli ports lists them)";
                return false;
            }
            options.port = a == "--port" ? args[++i] : a.substr(7);
        } else {
            error = "unknown option " + a;
            return false;
        }
    }
    if (options.quiet && options.verbose) {
        error = "-q (--quiet) and -v (--verbose) exclude each other: -q prints only errors "
                "and the result, -v every step; give one of them";
        return false;
    }
    return true;
}

TCliRun::TCliRun(std::string command, TCliOptions options, TTerminalWindow& window)
    : command_(std::move(command)), options_(std::move(options)), window_(window) {}

void TCliRun::Say(const std::string& text) {
    if (!options_.quiet)
        window_.PrintLine(text);
}

void TCliRun::Detail(const std::string& text) {
    if (options_.verbose)
        window_.PrintLine(text);
}

void TCliRun::Error(const std::string& text) {
    if (text.empty())
        return;
    if (cause_.empty())
        cause_ = text;
    window_.PrintLine(text);
}

void TCliRun::Result(const std::string& text) {
    // Under --json the object is the result: the line is for a reader, unless -q.
    if (options_.json) {
        Say(text);
        return;
    }
    window_.PrintLine(stdout, text);
}

void TCliRun::SetOutcome(const std::string& name, const std::string& text) {
    outcome_ = name;
    outcomeText_ = text;
}

std::string TCliRun::JsonText(int status) const {
    TJson json = TJson::Object();
    json.Add("command", command_);
    json.Add("exit_status", status);
    json.Add("outcome", outcome_);
    json.Add("outcome_text", outcomeText_);
    if (cause_.empty())
        json.AddNull("cause");
    else
        json.Add("cause", cause_);
    return json.Merge(report_).Text();
}

int TCliRun::Finish(int status) {
    if (options_.json) {
        std::printf("%s\n", JsonText(status).c_str());
        std::fflush(stdout);
    }
    return status;
}
