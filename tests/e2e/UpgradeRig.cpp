#include "UpgradeRig.h"

#include <sstream>

void WriteCatalogue(const std::string& dir, const std::string& version, const std::string& image,
                    const std::vector<std::string>& moreLines) {
    std::string file = "qx40-" + version + ".bin";
    WriteFileBytes(dir + "/" + file, image);
    std::string manifest = "firmware QX40 " + version + " " + file + "\n";
    for (const auto& line : moreLines)
        manifest += line + "\n";
    WriteFileBytes(dir + "/manifest", manifest);
}

bool MakeSampleCatalogue(const std::string& dir, const std::vector<std::string>& args) {
    std::vector<std::string> argv = {KESTREL_PATH_MAKE_SAMPLE_CATALOGUE, dir};
    argv.insert(argv.end(), args.begin(), args.end());
    ChildProcess maker(argv);
    return maker.Wait(std::chrono::seconds(60)) == 0;
}

TRigServer::TRigServer(const std::string& catalogue, const std::vector<std::string>& faults)
    : process_([&] {
          std::vector<std::string> argv = {KESTREL_PATH_UPGRADE_SERVER,
                                           "--catalogue",
                                           catalogue,
                                           "--address",
                                           UniqueLoopbackAddress(),
                                           "--port",
                                           "5001",
                                           "--http-port",
                                           "0"};
          for (const auto& fault : faults) {
              argv.push_back("--fault");
              argv.push_back(fault);
          }
          return argv;
      }()) {
    // "listening 127.x.y.z:5001 http off"
    if (auto line = process_.WaitForLine("listening")) {
        std::string where = line->substr(line->find(' ') + 1);
        address_ = where.substr(0, where.find(':'));
    }
}

std::optional<std::string> TRigServer::NextSession(std::chrono::milliseconds limit) {
    return process_.WaitForLine(" id=", limit);
}

std::vector<std::string> TRigServer::StopAndCollectSessions() {
    process_.Stop();
    std::vector<std::string> sessions;
    while (auto line = process_.ReadLine(std::chrono::seconds(10)))
        if (line->find(" id=") != std::string::npos)
            sessions.push_back(*line);
    return sessions;
}

std::vector<std::string> TRun::ErrLines() const {
    std::vector<std::string> lines;
    std::istringstream in(err);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

TRun Finish(ChildProcess& program, std::chrono::milliseconds limit) {
    TRun run;
    run.status = program.Wait(limit).value_or(-1);
    while (auto line = program.ReadLine(std::chrono::seconds(5)))
        run.out += *line + "\n";
    run.err = program.Stderr();
    return run;
}
