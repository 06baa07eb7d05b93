#pragma once
// The server's command line.
#include "Faults.h"
#include "UpdateSignature.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

// The name used when the program's own is unknown (an empty argv[0]).
inline constexpr const char* kDefaultProgramName = "upgrade-server";

struct ServerOptions {
    std::string catalogueDir;
    std::string address = "0.0.0.0";
    uint16_t port = 5001;
    uint16_t httpPort = 8080; // 0: no page server
    // The dashboard's port: loopback only unless the operator says otherwise.
    std::string adminAddress = "127.0.0.1";
    uint16_t adminPort = 8081; // 0: no dashboard
    std::chrono::milliseconds stepLimit{30000};
    size_t maxSessions = 256;
    size_t maxPerPeer = 16;
    // IPv6 peers of one /56 (one subscriber's allocation, 256 /64s).
    size_t maxPerNetwork = 64;
    // New connections one peer may open on each port: connectBurst at once, then connectRate a
    // second. Zero rate: no such limit.
    uint64_t connectRate = 8;
    uint64_t connectBurst = 32;
    // A connection that moves fewer than minProgress bytes in a window this long is closed: a
    // place held without moving data costs its holder the place. Zero: no such limit.
    std::chrono::milliseconds progressWindow{10000};
    uint64_t minProgress = 256;
    // An honest client sends its first line as soon as it is connected.
    std::chrono::milliseconds firstLineLimit{5000};
    // A session may last this long plus one second for every minRate bytes it moves.
    std::chrono::milliseconds sessionLimit{60000};
    uint64_t minRate = 1024;
    // The device register (--register): "sqlite:PATH" or "none".
    std::string registerUri = "sqlite:upgrade-register.sqlite";
    uint64_t keepSessionsDays = 400;
    size_t registerQueue = 16384;
    Faults faults;
    // The maker's minisign public keys (--pubkey): every FILE.minisig of the catalogue must be
    // a signature of FILE by one of them.
    std::vector<TPublicKey> pubkeys;
    // The name the program was started by, which starts every line it writes to standard error.
    std::string program = kDefaultProgramName;
    bool help = false;
    bool version = false;
};

// The name to call the program by: the last part of the path it was started by (argv[0]), as
// the installed program is called differently from the built one.
std::string ProgramName(const char* argv0);

// The whole --help text of `program` (help2man makes the manual page of it).
std::string Usage(const std::string& program);

// Parses argv[1..]; on a bad command line returns false with the reason in `error`.
bool ParseOptions(const std::vector<std::string>& args, ServerOptions& options, std::string& error);
