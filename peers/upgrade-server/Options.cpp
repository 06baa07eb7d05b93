#include "Options.h"

#include <asio/ip/address.hpp>

#include <fstream>
#include <iterator>

const char* const kUsage =
    "usage: upgrade-server --catalogue DIR [--address ADDR] [--port N] [--http-port N]\n"
    "                      [--step-timeout-ms MS] [--first-line-timeout-ms MS]\n"
    "                      [--session-timeout-ms MS] [--min-rate BYTES]\n"
    "                      [--max-sessions N] [--max-per-peer N] [--pubkey FILE]...\n"
    "                      [--fault FAULT]...\n"
    "  --catalogue DIR              the catalogue folder (manifest and the files it names)\n"
    "  --address ADDR               address of both ports (default 0.0.0.0)\n"
    "  --port N                     upgrade dialogue port (default 5001; 0: any free port)\n"
    "  --http-port N                information page port (default 8080; 0: off)\n"
    "  --step-timeout-ms MS         time limit of one step of a session (default 30000)\n"
    "  --first-line-timeout-ms MS   the first line (or request head) must be complete this\n"
    "                               long after the connection is accepted (default 5000)\n"
    "  --session-timeout-ms MS      a whole session may last this long plus one second for\n"
    "  --min-rate BYTES             every BYTES it receives and sends (defaults 60000, 1024)\n"
    "  --max-sessions N             concurrent connections on each port (default 256)\n"
    "  --max-per-peer N             concurrent connections on each port from one address\n"
    "                               (an IPv6 /64 counts as one address; default 16)\n"
    "  --pubkey FILE                the maker's minisign public key (minisign.pub): every\n"
    "                               signature FILE.minisig in the catalogue must match\n"
    "                               its file and be by this key (or another --pubkey)\n"
    "  --fault FAULT                a scripted misbehaviour for tests (see README.md)\n";

namespace {
bool Number(const std::string& text, uint64_t lo, uint64_t hi, uint64_t& value) {
    auto n = ParseCount(text);
    if (!n || *n < lo || *n > hi)
        return false;
    value = *n;
    return true;
}
} // namespace

bool ParseOptions(const std::vector<std::string>& args, ServerOptions& options,
                  std::string& error) {
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& name = args[i];
        if (name == "--help" || name == "-h") {
            options.help = true;
            continue;
        }
        if (i + 1 >= args.size()) {
            error = name.rfind("--", 0) == 0 ? name + " needs a value" : "unknown argument " + name;
            return false;
        }
        const std::string& value = args[++i];
        uint64_t n = 0;
        auto bad = [&](const char* range) {
            error = name + " " + value + ": expected " + range;
            return false;
        };
        if (name == "--catalogue") {
            options.catalogueDir = value;
        } else if (name == "--address") {
            std::error_code ec;
            asio::ip::make_address(value, ec);
            if (ec)
                return bad("an IPv4 or IPv6 address");
            options.address = value;
        } else if (name == "--port") {
            if (!Number(value, 0, 65535, n))
                return bad("a port number 0..65535");
            options.port = static_cast<uint16_t>(n);
        } else if (name == "--http-port") {
            if (!Number(value, 0, 65535, n))
                return bad("a port number 0..65535 (0 = off)");
            options.httpPort = static_cast<uint16_t>(n);
        } else if (name == "--step-timeout-ms") {
            if (!Number(value, 1, 24ull * 3600 * 1000, n))
                return bad("milliseconds from 1 to 86400000");
            options.stepLimit = std::chrono::milliseconds(n);
        } else if (name == "--first-line-timeout-ms") {
            if (!Number(value, 1, 24ull * 3600 * 1000, n))
                return bad("milliseconds from 1 to 86400000");
            options.firstLineLimit = std::chrono::milliseconds(n);
        } else if (name == "--session-timeout-ms") {
            if (!Number(value, 1, 7ull * 24 * 3600 * 1000, n))
                return bad("milliseconds from 1 to 604800000");
            options.sessionLimit = std::chrono::milliseconds(n);
        } else if (name == "--min-rate") {
            if (!Number(value, 1, 1000000000, n))
                return bad("bytes per second from 1 to 1000000000");
            options.minRate = n;
        } else if (name == "--max-sessions") {
            if (!Number(value, 1, 1000000, n))
                return bad("a number from 1 to 1000000");
            options.maxSessions = static_cast<size_t>(n);
        } else if (name == "--max-per-peer") {
            if (!Number(value, 1, 1000000, n))
                return bad("a number from 1 to 1000000");
            options.maxPerPeer = static_cast<size_t>(n);
        } else if (name == "--pubkey") {
            std::ifstream in(value, std::ios::binary);
            std::string text((std::istreambuf_iterator<char>(in)),
                             std::istreambuf_iterator<char>());
            if (!in && !in.eof()) {
                error = name + " " + value + ": cannot read the file";
                return false;
            }
            std::string why;
            auto key = ParsePublicKey(text, why);
            if (!key) {
                error = name + " " + value + ": " + why;
                return false;
            }
            options.pubkeys.push_back(*key);
        } else if (name == "--fault") {
            if (!ParseFault(value, options.faults, error))
                return false;
        } else {
            error = "unknown option " + name;
            return false;
        }
    }
    if (!options.help && options.catalogueDir.empty()) {
        error = "--catalogue DIR is required";
        return false;
    }
    return true;
}
