#pragma once
// Upgrade servers behind HAProxy in TCP mode, with the configuration shipped in
// upgrade-server/deploy, driven by the Kestrel client (the server link): what the tests of
// several servers share.
#include "ChildProcess.h"
#include "TestRequest.h"
#include "UpgradeServer.h"

#include <chrono>
#include <set>
#include <string>
#include <vector>

// HAProxy in front of two servers' upgrade ports (their health checked on page port 8080), on
// port 5001 of a loopback address of its own; running once constructed (it throws when it does
// not listen). While it lives KESTREL_UPDATE_HOST names it, for the client's sessions.
class THaproxy {
public:
    THaproxy(const std::string& a, const std::string& b);
    ~THaproxy();
    THaproxy(const THaproxy&) = delete;
    THaproxy& operator=(const THaproxy&) = delete;
    const std::string& Address() const { return address_; }
    ChildProcess& Process() { return process_; }

private:
    std::string address_;
    ChildProcess process_;
};

// What one session of the client came to.
struct TClientOutcome {
    int32_t result = -1000;
    std::string data;
};

// One whole session of the client over a link of its own, to KESTREL_UPDATE_HOST on port 5001.
TClientOutcome RunClientSession(const TCliInfo& request);

// The results a session of the client ends with when its connection is cut at some step.
extern const std::set<int32_t> kConnectionLost;

// The lines of a server's log, read as they come so that its output never fills up.
struct LogCollector {
    explicit LogCollector(TUpgradeServer& s) : server(s) {}

    TUpgradeServer& server;
    std::vector<std::string> lines;
    bool stopped = false;

    // Reads what has come, a bounded number of lines, so that a server that logs without a
    // pause cannot keep the driver from its next step.
    void Poll();
    size_t Count(const std::string& needle) const;
    // Stops the server and keeps the rest of its log.
    int Stop();
};
