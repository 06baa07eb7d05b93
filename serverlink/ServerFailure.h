#pragma once
// Why an upgrade exchange with the server did not succeed: a kind from a closed set with the
// detail its line names, and the one function that turns it into that line.
#include <string>
#include <utility>
#include <vector>

enum class TServerFailureKind {
    None,
    NameDoesNotResolve,  // the server's name gave no address (detail: the resolver's words)
    ConnectFailed,       // the one address did not take the connection (detail: the TCP fault)
    NoAddressAnswered,   // none of several addresses took it (attempts)
    DialogueFailed,      // connected, the dialogue failed (detail: at which step, what came)
    SessionError,        // the session failed unexpectedly (detail: the exception's words)
    SessionErrorUnknown, // the same, without words
};

struct TServerFailure {
    TServerFailureKind kind = TServerFailureKind::None;
    std::string host{};    // the server's name as the user configured it
    std::string address{}; // the address concerned, when one is
    std::string port{};    // the server's port
    std::string detail{};
    // NoAddressAnswered: each address tried, with why it did not take the connection.
    std::vector<std::pair<std::string, std::string>> attempts{};

    bool Failed() const { return kind != TServerFailureKind::None; }
};

// The failure as one English line naming the server's host and port ("upgrade server
// example.org (192.0.2.7) port 5001: connection refused: ..."); empty for None.
std::string ServerFailureText(const TServerFailure& failure);
