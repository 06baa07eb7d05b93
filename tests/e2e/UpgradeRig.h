#pragma once
// The upgrade server's side of the end-to-end tests: catalogues and the reference upgrade
// server on a loopback address of its own. The device side is TSimDevice (SimHarness.h).
#include "ChildProcess.h"
#include "SimHarness.h"

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// A catalogue offering firmware `version` of device type QX40 with the given image, plus any
// further manifest lines (a `tool` line names a file the test has put into `dir` itself).
void WriteCatalogue(const std::string& dir, const std::string& version, const std::string& image,
                    const std::vector<std::string>& moreLines = {});
// Runs peers/upgrade-server/make-sample-catalogue DIR ARGS...; true when it succeeded.
bool MakeSampleCatalogue(const std::string& dir, const std::vector<std::string>& args = {});

// The reference upgrade server on port 5001 of UniqueLoopbackAddress(), serving `catalogue`,
// misbehaving as the --fault specs say; no page server. Stopped when the object goes.
class TRigServer {
public:
    explicit TRigServer(const std::string& catalogue, const std::vector<std::string>& faults = {});
    // The address to put into KESTREL_UPDATE_HOST; empty when the server did not start.
    const std::string& Address() const { return address_; }
    // The log line of the next session that ends (sessions are logged as they end).
    std::optional<std::string>
    NextSession(std::chrono::milliseconds limit = std::chrono::seconds(60));
    // Stops the server and returns the session lines it logged that were not read yet.
    std::vector<std::string> StopAndCollectSessions();

private:
    ChildProcess process_;
    std::string address_;
};

// One finished run of a program: exit status (128 + signal when killed, -1 when it did not end),
// standard output and standard error.
struct TRun {
    int status = -1;
    std::string out;
    std::string err;
    // Standard error split into lines.
    std::vector<std::string> ErrLines() const;
};

// Waits for a started program to end (within `limit`) and collects what it wrote.
TRun Finish(ChildProcess& program, std::chrono::milliseconds limit = std::chrono::seconds(180));
