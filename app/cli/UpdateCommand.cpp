// `kestrel-cli update`: the upgrade workflow of the window, on a terminal.
#include "Console.h"
#include "DeviceCommands.h"
#include "Interrupt.h"
#include "TerminalWorkflowUI.h"

#include <cstdio>

int UpdateExitStatus(TWorkflowResult result, bool interrupted) {
    if (interrupted)
        return ExitInterrupted;
    switch (result) {
    case TWorkflowResult::FirmwareApplied:
    case TWorkflowResult::UpToDate:
        return ExitOk;
    case TWorkflowResult::NewToolAvailable:
        return ExitNewTool;
    case TWorkflowResult::DeviceNotFound:
    case TWorkflowResult::ProgrammingFailed:
        return ExitDevice;
    case TWorkflowResult::ServerFailed:
        return ExitServer;
    case TWorkflowResult::Cancelled:
        return ExitInterrupted;
    case TWorkflowResult::UnknownKind:
    case TWorkflowResult::ToolRefused:
    case TWorkflowResult::SignatureRefused:
    case TWorkflowResult::ToolReplaced:   // never with replaceTool off
    case TWorkflowResult::AlreadyRunning: // never: one action per process
        return ExitAnswer;
    }
    return ExitAnswer;
}

int RunUpdate(const std::vector<std::string>& args, TTerminalWindow& window) {
    if (!args.empty()) {
        std::fprintf(stderr, "kestrel-cli update: no arguments expected\n");
        return ExitUsage;
    }
    // Every status becomes a line on standard error; the progress bar only on a terminal.
    window.PrintEveryStatus(true);
    TTerminalWorkflowUI ui(window, fileno(stdin), IsTerminal(fileno(stdin)));
    // The command line never replaces itself: a new tool version is only reported.
    TWorkflowOptions options;
    options.replaceTool = false;
    Interrupt::Install();
    TWorkflowResult result;
    int kind = 0;
    std::string signer;
    {
        TWorkflow flow(ui, options);
        ui.Attach(&flow);
        result = flow.Start();
        ui.Attach(nullptr);
        kind = flow.LastRequest().UPType;
        signer = flow.LastSigner();
    }
    bool interrupted = Interrupt::Raised();

    auto say = [&](const std::string& text) { window.PrintLine("kestrel-cli update: " + text); };
    if (!signer.empty())
        say("the update is signed by " + signer + ".");
    switch (result) {
    case TWorkflowResult::NewToolAvailable:
        say("a new version of the tool is available. kestrel-cli does not replace itself: "
            "install the new version, or let the window program kestrel update itself.");
        break;
    case TWorkflowResult::ToolRefused:
        say("the server offered a new tool that cannot run here; nothing was replaced.");
        break;
    case TWorkflowResult::SignatureRefused:
        say("the server's update has no valid signature by a key this tool trusts; nothing was "
            "programmed or replaced (the reason is above).");
        break;
    case TWorkflowResult::UnknownKind:
        say("the server answered with an unknown request kind (" + std::to_string(kind) +
            "); nothing was programmed.");
        break;
    case TWorkflowResult::FirmwareApplied:
        if (ui.HintOutcome() == TTerminalWorkflowUI::THintOutcome::InputEnded)
            say("input ended: the guided steps were not confirmed.");
        if (interrupted)
            say("the firmware was programmed, but the guided steps were not completed.");
        break;
    default:
        break;
    }
    if (interrupted && result != TWorkflowResult::FirmwareApplied)
        say("interrupted.");
    return UpdateExitStatus(result, interrupted);
}
