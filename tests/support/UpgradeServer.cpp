#include "UpgradeServer.h"

#include "Signing.h"

#include <algorithm>
#include <cstdlib>
#include <stdexcept>

namespace {
// Session lines carry the client's identity; no other log line has it.
const std::string kSessionMark = " id=";

// The server's default register is a file in the working folder, and its dashboard listens on
// 127.0.0.1:8081, which servers of tests running side by side would share: a test that wants
// either names its own (--register; --admin-port, on the server's own address unless
// --admin-address says otherwise), every other test runs without.
std::vector<std::string> WithDefaults(std::vector<std::string> args, const std::string& address) {
    auto given = [&](const char* option) {
        return std::find(args.begin(), args.end(), option) != args.end();
    };
    if (!given("--register"))
        args.insert(args.end(), {"--register", "none"});
    if (!given("--admin-port"))
        args.insert(args.end(), {"--admin-port", "0"});
    if (!given("--admin-address"))
        args.insert(args.end(), {"--admin-address", address});
    return args;
}

std::string WriteCatalogue(const TempDir& dir, const TServerSetup& setup) {
    if (!setup.catalogue.empty())
        return setup.catalogue;
    auto release = [&](const std::string& file, const std::string& bytes,
                       const std::string& statement) {
        WriteFileBytes(dir / file, bytes);
        if (!setup.signingKey.empty())
            WriteFileBytes(dir / (file + ".minisig"),
                           MinisignSignature(bytes, setup.signingKey, false, statement));
    };
    std::string firmwareFile = "qx40-" + setup.version + ".bin";
    release(firmwareFile, setup.firmware, FirmwareStatement(setup.version));
    std::string manifest = "firmware QX40 " + setup.version + " " + firmwareFile + "\n";
    if (!setup.tool.empty()) {
        std::string toolFile = "kestrel-" + setup.toolVersion;
        release(toolFile, setup.tool, ToolStatement(setup.toolVersion, setup.toolPlatform));
        manifest += "tool " + setup.toolVersion + " " + toolFile + "\n";
    }
    for (const auto& line : setup.manifest)
        manifest += line + "\n";
    for (const auto& [name, bytes] : setup.files)
        WriteFileBytes(dir / name, bytes);
    WriteFileBytes(dir / "manifest", manifest);
    return dir.Path();
}
} // namespace

TUpgradeServer::TUpgradeServer(const TServerSetup& setup) : address_(UniqueLoopbackAddress()) {
    std::vector<std::string> argv = {KESTREL_PATH_UPGRADE_SERVER,
                                     "--catalogue",
                                     WriteCatalogue(dir_, setup),
                                     "--address",
                                     address_,
                                     "--http-port",
                                     "0"};
    for (const auto& fault : setup.faults) {
        argv.push_back("--fault");
        argv.push_back(fault);
    }
    for (auto& arg : WithDefaults(setup.args, address_))
        argv.push_back(std::move(arg));
    process_ = std::make_unique<ChildProcess>(argv);
    auto line = process_->ReadLine(std::chrono::seconds(60));
    if (!line || line->rfind("listening ", 0) != 0)
        throw std::runtime_error("upgrade-server did not start: " + line.value_or("no output"));
    firstLine_ = *line;
    setenv("KESTREL_UPDATE_HOST", address_.c_str(), 1);
}

TUpgradeServer::~TUpgradeServer() {
    unsetenv("KESTREL_UPDATE_HOST");
    process_->Stop();
}

std::string TUpgradeServer::LogLine(const std::string& needle, std::chrono::milliseconds limit) {
    return process_->WaitForLine(needle, limit).value_or("<no log line with \"" + needle + "\">");
}

std::string TUpgradeServer::NextSession(std::chrono::milliseconds limit) {
    return LogLine(kSessionMark, limit);
}

std::vector<std::string> TUpgradeServer::StopAndCollectSessions() {
    process_->Stop();
    std::vector<std::string> sessions;
    while (auto line = process_->ReadLine(std::chrono::seconds(10)))
        if (line->find(kSessionMark) != std::string::npos)
            sessions.push_back(*line);
    return sessions;
}

bool MakeSampleCatalogue(const std::string& dir, const std::vector<std::string>& args) {
    std::vector<std::string> argv = {KESTREL_PATH_MAKE_SAMPLE_CATALOGUE, dir};
    argv.insert(argv.end(), args.begin(), args.end());
    ChildProcess maker(argv);
    return maker.Wait(std::chrono::seconds(60)) == 0;
}

TRun RunUpgradeServer(const std::string& catalogue, const std::vector<std::string>& args) {
    const std::string address = UniqueLoopbackAddress();
    std::vector<std::string> argv = {KESTREL_PATH_UPGRADE_SERVER, "--catalogue", catalogue,
                                     "--address", address};
    for (auto& arg : WithDefaults(args, address))
        argv.push_back(std::move(arg));
    ChildProcess server(argv, {}, true);
    return Finish(server, std::chrono::seconds(60));
}
