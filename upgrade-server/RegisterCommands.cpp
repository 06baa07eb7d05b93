#include "RegisterCommands.h"

#include "Json.h"
#include "Log.h"
#include "Options.h"
#include "Register.h"
#include "RegisterJson.h"

#include <algorithm>
#include <chrono>
#include <iostream>
#include <optional>

namespace {
constexpr int kDone = 0;
constexpr int kCannotNow = 1; // busy, unreadable, or a change that does not apply
constexpr int kUsage = 2;     // a bad command line, no such register or release

struct Command {
    std::string name; // rollout, devices
    std::optional<RolloutAction> action;
    std::string type;
    std::string version;
    std::string registerUri = ServerOptions{}.registerUri;
    bool json = false;
};

// The command line after the command's name; false with the reason.
bool Parse(const std::vector<std::string>& args, Command& c, std::string& error) {
    c.name = args[0];
    std::vector<std::string> words;
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string& a = args[i];
        std::string* value = a == "--register"                         ? &c.registerUri
                             : a == "--type" && c.name == "devices"    ? &c.type
                             : a == "--version" && c.name == "devices" ? &c.version
                                                                       : nullptr;
        if (a == "--json") {
            c.json = true;
        } else if (value != nullptr) {
            if (i + 1 == args.size()) {
                error = a + " needs a value";
                return false;
            }
            *value = args[++i];
        } else if (a.starts_with("-")) {
            error = "unknown option " + a;
            return false;
        } else {
            words.push_back(a);
        }
    }
    if (!ValidRegisterUri(c.registerUri, error) || c.registerUri == "none") {
        error = "--register " + RegisterUriText(c.registerUri) + ": " +
                (c.registerUri == "none" ? "the commands need the register: sqlite:PATH (its "
                                           "file) or postgresql://... (its database)"
                                         : error);
        return false;
    }
    if (c.name == "devices" && !words.empty()) {
        error = "devices takes no argument \"" + words[0] + "\"";
        return false;
    }
    if (c.name == "rollout" && !words.empty()) {
        c.action = ParseRolloutAction(words[0]);
        if (!c.action || words.size() != 3) {
            error = "expected: rollout [pause|resume|advance|halt TYPE VERSION]";
            return false;
        }
        if (c.json) {
            error = "--json lists the releases: give it without a change";
            return false;
        }
        c.type = words[1];
        c.version = words[2];
    }
    return true;
}

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// Rows of words in columns, each as wide as its widest word.
void PrintTable(const std::vector<std::vector<std::string>>& rows) {
    std::vector<size_t> widths;
    for (const auto& row : rows)
        for (size_t i = 0; i < row.size(); ++i) {
            widths.resize(std::max(widths.size(), row.size()));
            widths[i] = std::max(widths[i], row[i].size());
        }
    for (const auto& row : rows) {
        std::string line;
        for (size_t i = 0; i < row.size(); ++i)
            line += i + 1 == row.size() ? row[i]
                                        : row[i] + std::string(widths[i] - row[i].size() + 2, ' ');
        std::cout << line << '\n';
    }
}

std::string StageText(const ReleaseRow& r) {
    if (!r.staged)
        return "100% (no rollout)";
    auto at = std::find(r.plan.stages.begin(), r.plan.stages.end(), r.percent);
    return std::to_string(r.percent) + "% (" + std::to_string(at - r.plan.stages.begin() + 1) +
           " of " + std::to_string(r.plan.stages.size()) + ")";
}

void ListReleases(Register& store, bool json) {
    auto rows = store.Releases({});
    if (json) {
        TJson releases = TJson::Array();
        for (const auto& r : rows)
            releases.Push(ReleaseJson(r));
        std::cout << TJson::Object().Add("register", store.Name()).Add("releases", releases).Text()
                  << '\n';
        return;
    }
    std::vector<std::vector<std::string>> table{{"TYPE", "VERSION", "STAGE", "STATE", "RULES",
                                                 "OFFERED", "DOWNLOADED", "INSTALLED",
                                                 "CAME-BACK"}};
    for (const auto& r : rows)
        table.push_back({LogValue(r.type), LogValue(r.version), StageText(r), ReleaseStateText(r),
                         r.staged ? StagesText(r.plan.stages) +
                                        " advance=" + std::to_string(r.plan.advance) +
                                        " halt=" + PercentText(r.plan.haltBasisPoints)
                                  : "-",
                         std::to_string(r.counts.offered), std::to_string(r.counts.downloaded),
                         std::to_string(r.counts.installed), std::to_string(r.counts.cameBack)});
    if (rows.empty())
        std::cout << "no release in " << store.Name() << " yet\n";
    else
        PrintTable(table);
}

void ListDevices(Register& store, const DeviceFilter& filter, bool json) {
    auto rows = store.Devices(filter);
    if (json) {
        TJson devices = TJson::Array();
        for (const auto& d : rows)
            devices.Push(DeviceJson(d));
        std::cout << TJson::Object().Add("register", store.Name()).Add("devices", devices).Text()
                  << '\n';
        return;
    }
    std::vector<std::vector<std::string>> table{{"ORIGINALID", "TYPE", "SVER", "HVER", "SWVER",
                                                 "LAST SEEN", "SESSIONS", "ANSWER", "END",
                                                 "RELEASE"}};
    auto value = [](const std::optional<std::string>& v) { return v ? LogValue(*v) : "-"; };
    for (const auto& d : rows)
        table.push_back(
            {LogValue(d.originalId), LogValue(d.type), value(d.values[SessionRecord::SVer]),
             value(d.values[SessionRecord::HVer]), value(d.values[SessionRecord::SWVer]),
             TimeText(d.lastSeenMs), std::to_string(d.sessions), d.answer, d.end,
             d.releaseState ? LogValue(d.release) + " " + DeviceStateName(*d.releaseState) : "-"});
    if (rows.empty())
        std::cout << "no device in " << store.Name()
                  << (filter.type.empty() && filter.version.empty() ? "" : " matches") << '\n';
    else
        PrintTable(table);
}
} // namespace

bool IsRegisterCommand(const std::vector<std::string>& args) {
    return !args.empty() && (args[0] == "rollout" || args[0] == "devices");
}

int RunRegisterCommand(const std::string& program, const std::vector<std::string>& args) {
    Command c;
    std::string error;
    if (!Parse(args, c, error)) {
        std::cerr << program << ": " << c.name << ": " << error << " (" << program
                  << " --help lists the commands)\n";
        return kUsage;
    }
    auto store = MakeRegister(c.registerUri, error);
    try {
        store->Open(false);
        DeviceFilter filter;
        filter.type = c.type;
        filter.version = c.version;
        if (c.name == "devices")
            ListDevices(*store, filter, c.json);
        else if (!c.action)
            ListReleases(*store, c.json);
        else
            std::cout << RolloutEventText(store->Change(c.type, c.version, *c.action, NowMs()))
                      << "; running servers take it within a second\n";
    } catch (const RegisterError& e) {
        using Kind = RegisterError::Kind;
        std::cerr << program << ": " << c.name << ": " << e.what() << "\n";
        bool usage = e.kind == Kind::Missing || e.kind == Kind::NotARegister ||
                     e.kind == Kind::NewerSchema || e.kind == Kind::Unknown;
        return usage ? kUsage : kCannotNow;
    }
    return kDone;
}

std::string RegisterUsageLines(const std::string& program) {
    return "  or:  " + program +
           " rollout [pause|resume|advance|halt TYPE VERSION] [--register URI]" +
           " [--json]\n  or:  " + program +
           " devices [--type TYPE] [--version VERSION] [--register URI] [--json]\n";
}

std::string RegisterCommandsHelp() {
    return "\nCommands on the register, which work while servers run on it:\n"
           "  rollout [--json]              every release the register knows: its stage,\n"
           "                                percentage, state (running, paused, halted, done)\n"
           "                                and its devices offered, downloaded, installed and\n"
           "                                came back\n"
           "  rollout ACTION TYPE VERSION   ACTION pause: the stage no longer advances by\n"
           "                                itself; resume: after a pause or a halt; advance: to\n"
           "                                the next stage now; halt: offered only to the\n"
           "                                devices that downloaded it. Running servers take it\n"
           "                                within a second\n"
           "  devices [--json]              every device with its latest state; --type TYPE and\n"
           "                                --version VERSION keep those of that type and last\n"
           "                                announced firmware version\n"
           "  --register URI                the register, as for the server\n"
           "  exit status                   0 done; 1 the register is busy or cannot be read, or\n"
           "                                the change does not apply; 2 a bad command line, no\n"
           "                                such register or release\n";
}
