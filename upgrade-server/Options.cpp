#include "Options.h"

#include "Register.h"
#include "RegisterCommands.h"

#include <asio/ip/address.hpp>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string_view>

namespace {
// The --help text around the two places that name the program.
const char* const kUsageLine = " --catalogue DIR [OPTION]...\n";
const char* const kUsageOptions =
    "Serves firmware and tool upgrades to Kestrel over the upgrade dialogue (TCP port 5001) from\n"
    "a catalogue directory, and the device information page, a health check and metrics over\n"
    "HTTP. Many sessions run at once; every step, the first line and the whole session have time\n"
    "limits, the connections are capped in all and per peer address, and a full server shares\n"
    "its places among the peers.\n"
    "\n"
    "Options:\n"
    "  --catalogue DIR             the catalogue directory: a file \"manifest\" and the files it\n"
    "                              names (required)\n"
    "  --address ADDR              address the upgrade and page ports listen on, an IPv4 or\n"
    "                              IPv6 literal (default 0.0.0.0)\n"
    "  --port N                    upgrade dialogue port; 0: any free port, which the first\n"
    "                              line tells (default 5001)\n"
    "  --http-port N               HTTP port of the pages, /healthz and /metrics; 0: no HTTP\n"
    "                              (default 8080)\n"
    "  --admin-address ADDR        address the dashboard's port listens on (default\n"
    "                              127.0.0.1: this host only)\n"
    "  --admin-port N              HTTP port of the dashboard (the releases, the fleet's\n"
    "                              versions, recent failures, as a page and as JSON under\n"
    "                              /api/); 0: no dashboard (default 8081)\n"
    "  --step-timeout-ms MS        time limit of one step of a session (default 30000)\n"
    "  --first-line-timeout-ms MS  the first line (or HTTP request head) must be complete this\n"
    "                              long after the connection is accepted (default 5000)\n"
    "  --session-timeout-ms MS     a whole session may last this long plus one second for every\n"
    "                              --min-rate bytes it receives and sends (default 60000)\n"
    "  --min-rate BYTES            bytes per second that earn a session its time beyond\n"
    "                              --session-timeout-ms (default 1024)\n"
    "  --progress-window-ms MS     a connection that moves fewer than --min-progress bytes\n"
    "                              (received and sent) in a window this long is closed; 0: no\n"
    "                              such limit (default 10000)\n"
    "  --min-progress BYTES        bytes a connection must move in each progress window\n"
    "                              (default 256)\n"
    "  --max-sessions N            concurrent connections on each port (default 256); when all\n"
    "                              are taken, a new connection from the peer holding the most\n"
    "                              places is refused, else it takes the place of the connection\n"
    "                              of the peer holding the most that moved bytes at the lowest\n"
    "                              rate lately, sparing sessions past their announcement that\n"
    "                              keep --min-progress unless that peer holds more than its\n"
    "                              share (the places divided by the peers holding them)\n"
    "  --max-per-peer N            concurrent connections on each port from one address, an\n"
    "                              IPv6 /64 counting as one (default 16); behind a load\n"
    "                              balancer every connection comes from the balancer: give it\n"
    "                              the value of --max-sessions\n"
    "  --max-per-network N         concurrent connections on each port from one IPv6 /56\n"
    "                              network, a subscriber's usual allocation (default 64)\n"
    "  --connect-rate N            new connections a second one peer may open on each port,\n"
    "                              beyond --connect-burst; more are closed at once; 0: no such\n"
    "                              limit, as behind a load balancer (default 8)\n"
    "  --connect-burst N           new connections one peer may open at once before\n"
    "                              --connect-rate applies (default 32)\n"
    "  --pubkey FILE               the maker's minisign public key (its .pub file, never the\n"
    "                              secret key), repeatable: every signature FILE.minisig in the\n"
    "                              catalogue must match its file, be by one of these keys and\n"
    "                              carry the release statement of its entry (else it is only\n"
    "                              checked to be a signature)\n"
    "  --register URI              the device register: sqlite:PATH, an SQLite file made when\n"
    "                              missing; postgresql://[USER[:PASSWORD]@][HOST][:PORT]/DB\n"
    "                              [?PARAM=VALUE...], a PostgreSQL database that servers on\n"
    "                              several hosts share (libpq's URI, sslmode= for TLS); or\n"
    "                              none (default sqlite:upgrade-register.sqlite, in the\n"
    "                              working folder); it records every session and each\n"
    "                              device's latest state, and holds the rollouts\n"
    "  --keep-sessions-days N      session rows, the releases' figures per minute (and a\n"
    "                              device's peer address and PCInfo once it is not seen) are\n"
    "                              kept this many days (default 400)\n"
    "  --register-queue N          records that wait in memory while the register cannot be\n"
    "                              written; more are lost and counted (default 16384)\n"
    "  --fault FAULT               a scripted misbehaviour for tests, repeatable (see \"Faults\"\n"
    "                              in /usr/share/doc/kestrel-upgrade-server/README.md.gz)\n"
    "  -h, --help                  print this help and exit\n"
    "  --version                   print the version and exit\n"
    "\n"
    "HTTP endpoints:\n"
    "  GET /PATH     a page of the catalogue (its \"page\" lines), else 404\n"
    "  GET /healthz  200 \"ok generation N\", N being the catalogue generation: 1 at start-up,\n"
    "                one more at each successful reload (for load balancers' health checks)\n"
    "  GET /metrics  sessions, outcomes, bytes sent, refusals and reloads in the Prometheus\n"
    "                text format\n"
    "\n"
    "Dashboard endpoints (on --admin-port, this host only by default):\n"
    "  GET /         the dashboard: releases, the fleet's versions, recent failures\n"
    "  GET /api/...  its data as JSON: /api/releases, /api/summary, /api/sessions?since=MS,\n"
    "                /api/devices?type=&version=&state=&offset=&limit=\n"
    "\n"
    "Signals:\n"
    "  SIGHUP           reload the catalogue: the new one is read and checked whole first; if\n"
    "                   it is valid it replaces the old one (sessions under way finish with the\n"
    "                   files they started with, but those still on the catalogue before the\n"
    "                   previous one are closed: two catalogues at most stay in memory), else\n"
    "                   the old one stays and the log says why\n"
    "  SIGTERM, SIGINT  stop accepting, close the open sessions, write \"stopped\" and exit 0\n"
    "\n"
    "Output:\n"
    "  Standard output is the log: first \"listening ADDR:PORT http PORT|off admin\n"
    "  ADDR:PORT|off catalogue entries=N bytes=B\" once the ports listen, then one line per\n"
    "  session, per page request, per reload, per rollout change, when the register cannot be\n"
    "  written and when it is written again, and \"stopped\" at the end; refusals,\n"
    "  connections closed without a word or before the first answer, connections displaced\n"
    "  during their announcement and page and dashboard requests answered with an error are\n"
    "  counted in a line a second.\n"
    "  Errors and warnings go to standard error, one line each, starting with\n";

const char* const kUsageEnd =
    "  At start-up the server raises its limit of open files to the hard limit.\n"
    "\n"
    "Exit status:\n"
    "  0  stopped by SIGTERM or SIGINT (also after --help and --version)\n"
    "  1  a port cannot be listened on, or the server failed while running\n"
    "  2  a bad command line or catalogue, or a file that is no register (or of a newer\n"
    "     server)\n";

// The value of one base64 digit, or -1.
int Base64Digit(char c) {
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    return c == '+' ? 62 : c == '/' ? 63 : -1;
}

// Whether `line` is the base64 line of a minisign secret key: "Ed", the key derivation (two zero
// bytes without a password, "Sc" with one), "B2" (its checksum), then the key, in 158 bytes. A
// public key line is 56 characters (42 bytes), so its key id can never make it look like one.
bool SecretKeyLine(std::string_view line) {
    constexpr size_t kPublicKeyLine = 56;
    if (line.size() <= kPublicKeyLine)
        return false;
    uint8_t head[6];
    for (size_t group = 0; group < 2; ++group) {
        uint32_t bits = 0;
        for (size_t i = 0; i < 4; ++i) {
            int digit = Base64Digit(line[group * 4 + i]);
            if (digit < 0)
                return false;
            bits = bits << 6 | static_cast<uint32_t>(digit);
        }
        for (size_t i = 0; i < 3; ++i)
            head[group * 3 + i] = static_cast<uint8_t>(bits >> (16 - 8 * i));
    }
    return head[0] == 'E' && head[1] == 'd' && head[4] == 'B' && head[5] == '2';
}

// A secret key given where the public one belongs is an easy slip (minisign -G writes both side
// by side). It is recognised before the text is parsed as a public key, whose error would quote
// the start of the key line: that must not end up in a terminal or a journal.
bool IsSecretKey(std::string_view text) {
    while (!text.empty()) {
        size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if ((line.starts_with("untrusted comment:") &&
             line.find("secret key") != std::string_view::npos) ||
            SecretKeyLine(line))
            return true;
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    }
    return false;
}

// "OPTION VALUE: why", the start of every error about a value.
std::string BadValue(const std::string& name, const std::string& value, const std::string& why) {
    return name + " " + value + ": " + why;
}

// An option that takes a whole number from lo to hi; `expected` is what its error says it must
// be.
struct TNumberOption {
    std::string_view name;
    uint64_t lo;
    uint64_t hi;
    const char* expected;
    void (*set)(ServerOptions& options, uint64_t value);
};

constexpr uint64_t kDayMs = 24ull * 3600 * 1000;
constexpr uint64_t kWeekMs = 7 * kDayMs;
using std::chrono::milliseconds;

constexpr TNumberOption kNumberOptions[] = {
    {"--port", 0, 65535, "a port number 0..65535",
     [](ServerOptions& o, uint64_t n) { o.port = static_cast<uint16_t>(n); }},
    {"--http-port", 0, 65535, "a port number 0..65535 (0 = off)",
     [](ServerOptions& o, uint64_t n) { o.httpPort = static_cast<uint16_t>(n); }},
    {"--admin-port", 0, 65535, "a port number 0..65535 (0 = off)",
     [](ServerOptions& o, uint64_t n) { o.adminPort = static_cast<uint16_t>(n); }},
    {"--step-timeout-ms", 1, kDayMs, "milliseconds from 1 to 86400000",
     [](ServerOptions& o, uint64_t n) { o.stepLimit = milliseconds(n); }},
    {"--first-line-timeout-ms", 1, kDayMs, "milliseconds from 1 to 86400000",
     [](ServerOptions& o, uint64_t n) { o.firstLineLimit = milliseconds(n); }},
    {"--session-timeout-ms", 1, kWeekMs, "milliseconds from 1 to 604800000",
     [](ServerOptions& o, uint64_t n) { o.sessionLimit = milliseconds(n); }},
    {"--min-rate", 1, 1000000000, "bytes per second from 1 to 1000000000",
     [](ServerOptions& o, uint64_t n) { o.minRate = n; }},
    {"--max-sessions", 1, 1000000, "a number from 1 to 1000000",
     [](ServerOptions& o, uint64_t n) { o.maxSessions = static_cast<size_t>(n); }},
    {"--max-per-peer", 1, 1000000, "a number from 1 to 1000000",
     [](ServerOptions& o, uint64_t n) { o.maxPerPeer = static_cast<size_t>(n); }},
    {"--max-per-network", 1, 1000000, "a number from 1 to 1000000",
     [](ServerOptions& o, uint64_t n) { o.maxPerNetwork = static_cast<size_t>(n); }},
    {"--connect-rate", 0, 1000000, "connections a second from 0 to 1000000 (0 = no limit)",
     [](ServerOptions& o, uint64_t n) { o.connectRate = n; }},
    {"--connect-burst", 1, 1000000, "a number from 1 to 1000000",
     [](ServerOptions& o, uint64_t n) { o.connectBurst = n; }},
    {"--progress-window-ms", 0, kDayMs, "milliseconds from 0 to 86400000",
     [](ServerOptions& o, uint64_t n) { o.progressWindow = milliseconds(n); }},
    {"--min-progress", 0, 1000000000, "bytes from 0 to 1000000000",
     [](ServerOptions& o, uint64_t n) { o.minProgress = n; }},
    {"--keep-sessions-days", 1, 36500, "days from 1 to 36500",
     [](ServerOptions& o, uint64_t n) { o.keepSessionsDays = n; }},
    {"--register-queue", 1, 1000000, "a number from 1 to 1000000",
     [](ServerOptions& o, uint64_t n) { o.registerQueue = static_cast<size_t>(n); }},
};

bool ApplyNumber(const TNumberOption& option, const std::string& value, ServerOptions& options,
                 std::string& error) {
    auto n = ParseCount(value);
    if (!n || *n < option.lo || *n > option.hi) {
        error =
            BadValue(std::string(option.name), value, std::string("expected ") + option.expected);
        return false;
    }
    option.set(options, *n);
    return true;
}

// An address option: `field` takes the value when it is an IP address.
template <std::string ServerOptions::*field>
bool SetAddress(const std::string& name, const std::string& value, ServerOptions& options,
                std::string& error) {
    std::error_code ec;
    asio::ip::make_address(value, ec);
    if (ec) {
        error = BadValue(name, value, "expected an IPv4 or IPv6 address");
        return false;
    }
    options.*field = value;
    return true;
}

bool AddPublicKey(const std::string& name, const std::string& value, ServerOptions& options,
                  std::string& error) {
    std::ifstream in(value, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in && !in.eof()) {
        error = BadValue(name, value, "cannot read the file");
        return false;
    }
    if (IsSecretKey(text)) {
        error = BadValue(name, value,
                         "this is a minisign secret key, not a public key: --pubkey takes the "
                         ".pub file that minisign -G wrote beside it; keep the secret key off the "
                         "server");
        return false;
    }
    std::string why;
    auto key = ParsePublicKey(text, why);
    if (!key) {
        error = BadValue(name, value, why);
        return false;
    }
    options.pubkeys.push_back(*key);
    return true;
}

// The other options with a value: each applies it, or says in `error` why it cannot.
struct TTextOption {
    std::string_view name;
    bool (*apply)(const std::string& name, const std::string& value, ServerOptions& options,
                  std::string& error);
};

constexpr TTextOption kTextOptions[] = {
    {"--catalogue",
     [](const std::string&, const std::string& value, ServerOptions& o, std::string&) {
         o.catalogueDir = value;
         return true;
     }},
    {"--address", SetAddress<&ServerOptions::address>},
    {"--admin-address", SetAddress<&ServerOptions::adminAddress>},
    {"--register",
     [](const std::string& name, const std::string& value, ServerOptions& o, std::string& error) {
         if (!ValidRegisterUri(value, error)) {
             error = BadValue(name, RegisterUriText(value), error);
             return false;
         }
         o.registerUri = value;
         return true;
     }},
    {"--pubkey", AddPublicKey},
    {"--fault", [](const std::string&, const std::string& value, ServerOptions& o,
                   std::string& error) { return ParseFault(value, o.faults, error); }},
};

// The options without a value.
struct TFlag {
    std::string_view name;
    bool ServerOptions::*field;
};

constexpr TFlag kFlags[] = {
    {"--help", &ServerOptions::help},
    {"-h", &ServerOptions::help},
    {"--version", &ServerOptions::version},
};

// Applies the option at args[i] and its value, if it takes one (then i moves onto it).
bool ApplyOption(const std::vector<std::string>& args, size_t& i, ServerOptions& options,
                 std::string& error) {
    const std::string& name = args[i];
    if (const auto* flag = std::ranges::find(kFlags, name, &TFlag::name);
        flag != std::end(kFlags)) {
        options.*flag->field = true;
        return true;
    }
    const auto* number = std::ranges::find(kNumberOptions, name, &TNumberOption::name);
    const auto* text = std::ranges::find(kTextOptions, name, &TTextOption::name);
    if (number == std::end(kNumberOptions) && text == std::end(kTextOptions)) {
        error = (name.rfind('-', 0) == 0 ? "unknown option " : "unknown argument ") + name;
        return false;
    }
    if (i + 1 >= args.size()) {
        error = name + " needs a value";
        return false;
    }
    const std::string& value = args[++i];
    return number != std::end(kNumberOptions) ? ApplyNumber(*number, value, options, error)
                                              : text->apply(name, value, options, error);
}
} // namespace

std::string ProgramName(const char* argv0) {
    std::string path = argv0 != nullptr ? argv0 : "";
    std::string name = path.substr(path.find_last_of('/') + 1);
    return name.empty() ? kDefaultProgramName : name;
}

std::string Usage(const std::string& program) {
    return "Usage: " + program + kUsageLine + RegisterUsageLines(program) + kUsageOptions + "  \"" +
           program + ":\".\n" + kUsageEnd + RegisterCommandsHelp();
}

bool ParseOptions(const std::vector<std::string>& args, ServerOptions& options,
                  std::string& error) {
    for (size_t i = 0; i < args.size(); ++i)
        if (!ApplyOption(args, i, options, error))
            return false;
    if (!options.help && !options.version && options.catalogueDir.empty()) {
        error = "--catalogue DIR is required";
        return false;
    }
    return true;
}
