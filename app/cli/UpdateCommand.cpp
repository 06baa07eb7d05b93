// `kestrel-cli update`: the upgrade workflow of the window, on a terminal.
#include "Console.h"
#include "DeviceCommands.h"
#include "HostToIP.h"
#include "IOPack.h"
#include "Interrupt.h"
#include "PortNames.h"
#include "TerminalWorkflowUI.h"

#include <cstdio>
#include <optional>

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

namespace {
std::string CodeText(uint8_t code) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", code);
    return text;
}

const char* HintName(TTerminalWorkflowUI::THintOutcome outcome) {
    switch (outcome) {
    case TTerminalWorkflowUI::THintOutcome::NotShown:
        return "not-shown";
    case TTerminalWorkflowUI::THintOutcome::Confirmed:
        return "confirmed";
    case TTerminalWorkflowUI::THintOutcome::Printed:
        return "printed";
    case TTerminalWorkflowUI::THintOutcome::InputEnded:
        return "input-ended";
    case TTerminalWorkflowUI::THintOutcome::Interrupted:
        return "interrupted";
    }
    return "?";
}
} // namespace

int RunUpdate(TCliRun& run) {
    if (!run.Options().operands.empty()) {
        run.Error("kestrel-cli update: no arguments expected (see kestrel-cli help update)");
        return ExitUsage;
    }
    bool refused = false;
    int32_t only = PortToTry(run, refused);
    if (refused)
        return ExitUsage;
    TTerminalWindow& window = run.Window();
    // Every status becomes a line on standard error; the progress bar only on a terminal.
    window.PrintEveryStatus(!run.Options().quiet);
    TTerminalWorkflowUI ui(window, fileno(stdin), IsTerminal(fileno(stdin)));
    // The command line never replaces itself: a new tool version is only reported.
    TWorkflowOptions options;
    options.replaceTool = false;
    options.onlyPort = only;
    const std::string host = UpgradeServerHost();
    const std::string hostProblem = HostNameProblem(host);
    run.Detail("upgrade server: " + host + " port " + kUpgradeServerPort +
               (hostProblem.empty() ? "" : " (" + hostProblem + ")"));
    Interrupt::Install();
    // A stop half-way through programming ends the program in the interrupt handler: its JSON
    // object is made as programming begins.
    ui.OnProgramming([&run] {
        TCliRun stopped = run;
        stopped.Report().Add("device", DeviceJson());
        stopped.SetOutcome("stopped-half-programmed", WorkflowText::Programming);
        Interrupt::SetStopOutput(run.Options().json ? stopped.JsonText(ExitInterrupted) + "\n"
                                                    : std::string());
    });
    TWorkflowResult result;
    TCliInfo answer;
    uint8_t code = 0;
    std::string signer;
    std::optional<TReleaseStatement> statement;
    std::string device; // the device's software version
    {
        // The default links talk to ui while the workflow runs (its waits see a Ctrl-C).
        SetMainWindow(&ui);
        TWorkflow flow(ui, DefaultDeviceLink(), DefaultServerLink(), options);
        ui.Attach(&flow);
        result = flow.Start();
        ui.Attach(nullptr);
        answer = flow.LastRequest();
        code = flow.LastCode();
        signer = flow.LastSigner();
        statement = flow.LastStatement();
        device = flow.DeviceVersion();
    }
    SetMainWindow(nullptr);
    Interrupt::SetProgramming(false);
    Interrupt::SetStopOutput("");
    bool interrupted = Interrupt::Raised();
    int status = UpdateExitStatus(result, interrupted);

    bool found = result != TWorkflowResult::DeviceNotFound;
    if (!found)
        device.clear();
    std::string offered = code == kResultSuccess ? OfferedVersion(answer, device) : "";
    auto say = [&](const std::string& text) { run.Say("kestrel-cli update: " + text); };
    if (!signer.empty())
        say("the update is signed by " + signer + ".");
    switch (result) {
    case TWorkflowResult::NewToolAvailable:
        if (statement)
            offered = statement->version;
        say("a new version of the tool is available" +
            (offered.empty() ? std::string(" (the server's answer does not name it)")
                             : " (version " + offered + ")") +
            (options.forPackageManager
                 ? ". It comes with the system's software updates."
                 : ". kestrel-cli does not replace itself: install the new version, or let the "
                   "window program kestrel update itself."));
        break;
    case TWorkflowResult::ToolRefused:
        say("the server offered a new tool that cannot run here; nothing was replaced.");
        break;
    case TWorkflowResult::SignatureRefused:
        say("the server's update is not signed by a key this tool trusts for this use; nothing "
            "was programmed or replaced (the reason is above).");
        break;
    case TWorkflowResult::UnknownKind:
        say("the server answered with an unknown request kind (" + std::to_string(answer.UPType) +
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
    // With -q a failure without a cause line has not been shown yet.
    if (run.Options().quiet && status != ExitOk && ui.LastCause().empty())
        run.Fail(ui.LastStatus());

    // The line a log keeps: how it ended, the device and the versions.
    std::string outcome = interrupted ? "interrupted" : ResultName(result);
    std::string line = "kestrel-cli update: " + outcome;
    if (found)
        line += "; device " + TypeFields(IOPack.TypeText).type + " " + IOPack.DevID + " on " +
                ComPortName(IOPack.ComID) + ", software " + device;
    if (code == kResultSuccess)
        line += std::string("; offered ") +
                (answer.UPType == RequestKind::Tool ? "tool " : "firmware ") +
                (offered.empty() ? "(version not named)" : offered);
    if (code != 0)
        line += "; result code " + CodeText(code);
    line += "; exit status " + std::to_string(status);
    run.Window().PrintLine(line);

    run.SetOutcome(outcome, ui.LastStatus());
    run.NoteCause(ui.LastCause());
    TJson& report = run.Report();
    report.Add("result", ResultName(result));
    report.Add("result_code", int(code));
    if (found)
        report.Add("device", DeviceJson());
    else
        report.AddNull("device");
    TJson versions = TJson::Object();
    versions.Add("tool", KestrelToolVersion);
    if (found)
        versions.Add("device_software", device);
    if (code == kResultSuccess) {
        report.Add("request_kind", int64_t(answer.UPType));
        if (offered.empty())
            versions.AddNull(answer.UPType == RequestKind::Tool ? "offered_tool"
                                                                : "offered_firmware");
        else
            versions.Add(answer.UPType == RequestKind::Tool ? "offered_tool" : "offered_firmware",
                         offered);
    }
    report.Add("versions", versions);
    report.Add("guided_steps", HintName(ui.HintOutcome()));
    if (signer.empty())
        report.AddNull("signed_by");
    else
        report.Add("signed_by", signer);
    if (statement)
        report.Add("release", StatementJson(*statement));
    else
        report.AddNull("release");
    return status;
}
