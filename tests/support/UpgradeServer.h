#pragma once
// The reference upgrade server (upgrade-server) as the tests start it: on port 5001 of a
// loopback address of its own, serving a catalogue written for the test, misbehaving as the
// --fault specs say.
#include "ChildProcess.h"

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

// What the server is started with; designated initialisers name the parts a test needs. Every
// member has an initialiser of its own: GCC warns when a designated initialiser leaves out one
// without.
struct TServerSetup {
    // The catalogue: firmware `version` of device type QX40 with this image, the tool image
    // offered as version `toolVersion` when there is one, further manifest lines and the files
    // they name.
    std::string firmware{};
    std::string version = "1.21";
    std::string tool{};
    std::string toolVersion = "1.5";
    std::vector<std::string> manifest{};
    std::map<std::string, std::string> files{};
    // With a key (MinisignSignature's `key`, e.g. "trusted"), the firmware and the tool are signed
    // as the maker signs releases: with release statements for their entries, the tool's for
    // `toolPlatform`. A .minisig among `files` replaces the one made here.
    std::string signingKey{};
    std::string toolPlatform = "linux-x86_64";
    // A catalogue folder made beforehand (make-sample-catalogue), served instead of the above.
    std::string catalogue{};
    std::vector<std::string> faults{}; // --fault specs
    // Further arguments: the page server and the dashboard are off, and the register is none
    // (--register none), unless given.
    std::vector<std::string> args{};
};

// The server, running once constructed (it throws when the server does not start). While it
// lives KESTREL_UPDATE_HOST names it, for the tool's code running in the test itself; programs
// started by the test are given Address() explicitly.
class TUpgradeServer {
public:
    explicit TUpgradeServer(const TServerSetup& setup);
    ~TUpgradeServer();
    TUpgradeServer(const TUpgradeServer&) = delete;
    TUpgradeServer& operator=(const TUpgradeServer&) = delete;

    const std::string& Address() const { return address_; }
    // "listening ADDRESS:PORT http PORT|off admin ADDRESS:PORT|off catalogue ..."
    const std::string& FirstLine() const { return firstLine_; }
    // The next log line containing `needle` (earlier lines are dropped), or a text that says
    // there was none.
    std::string LogLine(const std::string& needle,
                        std::chrono::milliseconds limit = std::chrono::seconds(60));
    // The log line of the next session that ends (sessions are logged as they end).
    std::string NextSession(std::chrono::milliseconds limit = std::chrono::seconds(60));
    // Stops the server and returns the session lines it logged that were not read yet.
    std::vector<std::string> StopAndCollectSessions();
    ChildProcess& Process() { return *process_; }

private:
    TempDir dir_;
    std::string address_;
    std::string firstLine_;
    std::unique_ptr<ChildProcess> process_;
};

// Runs upgrade-server/make-sample-catalogue DIR ARGS...; true when it succeeded.
bool MakeSampleCatalogue(const std::string& dir, const std::vector<std::string>& args = {});
// The server started with `args` on a catalogue folder and a loopback address of its own, run to
// its end: for start-up failures (a bad catalogue or argument); without a register and a dashboard
// unless `args` name them.
TRun RunUpgradeServer(const std::string& catalogue, const std::vector<std::string>& args = {});
