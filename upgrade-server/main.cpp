// The reference upgrade server (see README.md beside this file).
#include "Catalogue.h"
#include "Log.h"
#include "Options.h"
#include "RegisterCommands.h"
#include "UpgradeServer.h"

#include <algorithm>
#include <csignal>
#include <iostream>
#include <sys/resource.h>
#include <thread>

namespace {
// Every connection holds a descriptor: take as many as the system allows, and say so when that
// is fewer than the caps may need.
void RaiseDescriptorLimit(const ServerOptions& options) {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return;
    if (limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &limit) != 0)
            getrlimit(RLIMIT_NOFILE, &limit);
    }
    const rlim_t needed = options.maxSessions * (options.httpPort != 0 ? 2 : 1) + 64;
    if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < needed)
        std::cerr << options.program << ": warning: --max-sessions " << options.maxSessions
                  << " needs up to " << needed << " open files, but the limit is " << limit.rlim_cur
                  << ": connections beyond it fail to be accepted (raise it with ulimit -Hn, or "
                     "LimitNOFILE= in the service unit)\n";
}

int Serve(const std::string& program, int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    // Until the server listens for it (after the catalogue is loaded), SIGHUP is not an order to
    // stop.
    std::signal(SIGHUP, SIG_IGN);
    ServerOptions options;
    options.program = program;
    std::string error;
    // With an empty argv (argc 0), there are no arguments either.
    const std::vector<std::string> args(argc > 0 ? argv + 1 : argv, argv + argc);
    if (IsRegisterCommand(args))
        return RunRegisterCommand(program, args);
    if (!ParseOptions(args, options, error)) {
        std::cerr << program << ": " << error << " (" << program << " --help lists the options)\n";
        return 2;
    }
    if (options.help) {
        std::cout << Usage(program);
        return 0;
    }
    if (options.version) {
        std::cout << program << " " << KESTREL_VERSION << "\n";
        return 0;
    }
    auto catalogue = LoadCatalogue(options.catalogueDir, error, options.pubkeys);
    if (!catalogue) {
        std::cerr << program << ": " << error << "\n";
        return 2;
    }
    for (const auto& warning : catalogue->warnings)
        std::cerr << program << ": warning: " << warning << "\n";
    if (!CatalogueFitsOptions(*catalogue, options, error)) {
        std::cerr << program << ": " << error << "\n";
        return 2;
    }
    auto fleet =
        std::make_shared<Fleet>(MakeRegister(options.registerUri, error),
                                Fleet::Settings{options.keepSessionsDays, options.registerQueue});
    if (!fleet->Open(*catalogue, error)) {
        std::cerr << program << ": " << error << "\n";
        return 2;
    }
    if (!fleet->HasRegister())
        for (const auto& [type, plan] : catalogue->rollouts)
            std::cerr << program << ": warning: without a register (--register none) the rollout "
                      << type << " " << plan.version << " stays at its first stage ("
                      << plan.stages.front() << "%)\n";
    RaiseDescriptorLimit(options);
    UpgradeServer server(options, std::move(*catalogue), fleet);
    if (!server.Bind(error)) {
        std::cerr << program << ": " << error << "\n";
        return 1;
    }
    WriteLogLine(server.ListeningLine());
    fleet->Start();
    server.Run(std::clamp(std::thread::hardware_concurrency(), 2u, 8u));
    fleet->Stop();
    WriteLogLine("stopped");
    return 0;
}
} // namespace

int main(int argc, char** argv) {
    // Installed, the program has another name than built: its messages, help and version say
    // the name it was started by.
    const std::string program = ProgramName(argc > 0 ? argv[0] : nullptr);
    // Whatever fails (memory, threads), the server ends with one line that says what.
    try {
        return Serve(program, argc, argv);
    } catch (const std::exception& e) {
        std::cerr << program << ": stopped by an unexpected failure: " << e.what() << "\n";
    } catch (...) {
        std::cerr << program << ": stopped by an unexpected failure\n";
    }
    return 1;
}
