#include "Balancer.h"

#include "Deadline.h"
#include "RawClient.h"
#include "ServerLink.h"

#include <cstdlib>
#include <stdexcept>
#include <unistd.h>

THaproxy::THaproxy(const std::string& a, const std::string& b)
    : address_(UniqueLoopbackAddress()),
      process_({KESTREL_HAPROXY, "-f", KESTREL_HAPROXY_CONFIG, "-db"},
               {"KESTREL_LB_BIND=" + address_ + ":5001", "KESTREL_SERVER_A=" + a + ":5001",
                "KESTREL_SERVER_B=" + b + ":5001", "KESTREL_HTTP_PORT=8080",
                "KESTREL_CHECK_MS=200"},
               true) {
    bool listening = WaitUntil([&] {
        int fd = ConnectFrom("", address_);
        if (fd >= 0)
            close(fd);
        return fd >= 0;
    });
    if (!listening)
        throw std::runtime_error("haproxy does not listen on " + address_ +
                                 ":5001: " + process_.Stderr());
    setenv("KESTREL_UPDATE_HOST", address_.c_str(), 1);
}

THaproxy::~THaproxy() {
    unsetenv("KESTREL_UPDATE_HOST");
}

TClientOutcome RunClientSession(const TCliInfo& request) {
    TTcpClient tcp;
    TNullWindowLink window;
    TServerLink link(tcp, window);
    tcp.CreateClient();
    link.Prepare(nullptr);
    link.Record().Set(request);
    link.RunSession();
    link.CloseClient();
    TClientOutcome outcome;
    outcome.result = link.SessionResult();
    const auto& bytes = request.Data->Bytes();
    outcome.data.assign(bytes.begin(), bytes.end());
    return outcome;
}

// An announcement step's code, the length that does not come (-10), the refused length echo
// (28), a missing check line (41), CRC text (44), chunk handshake (29) or data (45, the CRC
// differs), or a failure during the transfer (30).
const std::set<int32_t> kConnectionLost = {14, 15, 42, 43,  1,  2,  31, 32, 3,  4,  5,  6,
                                           7,  8,  10, 11,  12, 13, 16, 17, 18, 19, 20, 21,
                                           22, 23, 24, -10, 28, 41, 44, 29, 45, 30};

void LogCollector::Poll() {
    for (int n = 0; n < 64 && !stopped; ++n) {
        auto line = server.Process().ReadLine(std::chrono::milliseconds(5));
        if (!line)
            return;
        lines.push_back(*line);
    }
}

size_t LogCollector::Count(const std::string& needle) const {
    size_t n = 0;
    for (const auto& line : lines)
        n += line.find(needle) != std::string::npos;
    return n;
}

int LogCollector::Stop() {
    int status = server.Process().Stop();
    while (auto line = server.Process().ReadLine(std::chrono::seconds(5)))
        lines.push_back(*line);
    stopped = true;
    return status;
}
