// upgrade-server: the reference upgrade server (see README.md beside this file).
#include "Catalogue.h"
#include "Log.h"
#include "Options.h"
#include "UpgradeServer.h"

#include <algorithm>
#include <csignal>
#include <iostream>
#include <thread>

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    ServerOptions options;
    std::string error;
    if (!ParseOptions(std::vector<std::string>(argv + 1, argv + argc), options, error)) {
        std::cerr << "upgrade-server: " << error << "\n" << kUsage;
        return 2;
    }
    if (options.help) {
        std::cout << kUsage;
        return 0;
    }
    auto catalogue = LoadCatalogue(options.catalogueDir, error, options.pubkeys);
    if (!catalogue) {
        std::cerr << "upgrade-server: " << error << "\n";
        return 2;
    }
    for (const auto& warning : catalogue->warnings)
        std::cerr << "upgrade-server: warning: " << warning << "\n";
    if (options.faults.kind == 7 && !catalogue->tool) {
        std::cerr << "upgrade-server: the fault kind:7 needs a tool line in the manifest\n";
        return 2;
    }
    UpgradeServer server(options, std::move(*catalogue));
    if (!server.Bind(error)) {
        std::cerr << "upgrade-server: " << error << "\n";
        return 1;
    }
    WriteLogLine(server.ListeningLine());
    server.Run(std::clamp(std::thread::hardware_concurrency(), 2u, 8u));
    WriteLogLine("stopped");
    return 0;
}
