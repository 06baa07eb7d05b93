// `kestrel-cli update`: the upgrade workflow of the window, on a terminal.
#include "Console.h"
#include "DeviceCommands.h"
#include "HostToIP.h"
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

// How the workflow ended, as the lines and the JSON object of `update` tell it.
struct TUpdateEnd {
    TWorkflowResult result = TWorkflowResult::DeviceNotFound;
    bool interrupted = false;
    int status = ExitOk;
    bool found = false; // a device was found
    TCliInfo answer;    // the last request, with the server's answer
    uint8_t code = 0;   // the server's result code
    std::string signer; // who signed the update, when it was signed
    std::optional<TReleaseStatement> statement;
    std::string deviceVersion; // the device's software version (empty when none was found)
    std::string offered;       // the version offered (empty when the answer does not name it)
};

// How the workflow stands with `result`: what the device and the server said, and signed.
TUpdateEnd EndOf(const TWorkflow& flow, TWorkflowResult result, bool interrupted) {
    TUpdateEnd end;
    end.result = result;
    end.answer = flow.LastRequest();
    end.code = flow.LastCode();
    end.signer = flow.LastSigner();
    end.statement = flow.LastStatement();
    end.deviceVersion = flow.DeviceVersion();
    end.interrupted = interrupted;
    end.status = UpdateExitStatus(end.result, end.interrupted);
    end.found = end.result != TWorkflowResult::DeviceNotFound;
    if (!end.found)
        end.deviceVersion.clear();
    if (end.code == kResultSuccess)
        end.offered = OfferedVersion(end.answer, end.deviceVersion);
    // A signed statement names the version it releases.
    if (end.statement &&
        (end.code == kResultSuccess || result == TWorkflowResult::NewToolAvailable))
        end.offered = end.statement->version;
    return end;
}

void ReportUpdate(TCliRun& run, TTerminalWorkflowUI& ui, const TUpdateEnd& end,
                  const TIOPack& found);

// Runs the upgrade workflow on `ui` and the links, and tells how it ended.
TUpdateEnd RunWorkflow(TCliRun& run, TTerminalWorkflowUI& ui, TDeviceLink& device,
                       TServerLink& server, const TWorkflowOptions& options) {
    TWorkflowResult result = TWorkflowResult::DeviceNotFound;
    std::optional<TUpdateEnd> end;
    {
        // The links main hands in follow the main window: while the workflow runs that is ui,
        // whose waits see a Ctrl-C.
        SetMainWindow(&ui);
        TWorkflow flow(ui, device, server, options);
        // A stop half-way through programming ends the program in the interrupt handler: its
        // JSON object, with everything known so far, is made as programming begins.
        ui.OnProgramming([&run, &ui, &device, &flow] {
            TCliRun stopped = run;
            ReportUpdate(stopped, ui, EndOf(flow, TWorkflowResult::ProgrammingFailed, true),
                         device.IOPack);
            stopped.SetOutcome("stopped-half-programmed", WorkflowText::ProgrammingFailed);
            stopped.NoteCause(Interrupt::HalfProgrammedCause);
            Interrupt::SetStopOutput(run.Options().json ? stopped.JsonText(ExitInterrupted) + "\n"
                                                        : std::string());
        });
        ui.Attach(&flow);
        result = flow.Start();
        ui.Attach(nullptr);
        ui.OnProgramming(nullptr);
        end = EndOf(flow, result, Interrupt::Raised());
    }
    SetMainWindow(nullptr);
    Interrupt::SetProgramming(false);
    Interrupt::SetStopOutput("");
    // A Ctrl-C while the workflow was ending still counts.
    end->interrupted = Interrupt::Raised();
    end->status = UpdateExitStatus(end->result, end->interrupted);
    return *end;
}

// The lines that tell what the result means for the user.
void SayHowItEnded(TCliRun& run, TTerminalWorkflowUI& ui, const TUpdateEnd& end,
                   bool forPackageManager) {
    auto say = [&](const std::string& text) { run.Say("kestrel-cli update: " + text); };
    if (!end.signer.empty())
        say("the update is signed by " + end.signer + ".");
    switch (end.result) {
    case TWorkflowResult::NewToolAvailable:
        say("a new version of the tool is available" +
            (end.offered.empty() ? std::string(" (the server's answer does not name it)")
                                 : " (version " + end.offered + ")") +
            (forPackageManager
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
        say("the server answered with an unknown request kind (" +
            std::to_string(end.answer.UPType) + "); nothing was programmed.");
        break;
    case TWorkflowResult::FirmwareApplied:
        if (ui.HintOutcome() == TTerminalWorkflowUI::THintOutcome::InputEnded)
            say("input ended: the guided steps were not confirmed.");
        if (end.interrupted)
            say("the firmware was programmed, but the guided steps were not completed.");
        break;
    default:
        break;
    }
    if (end.interrupted && end.result != TWorkflowResult::FirmwareApplied)
        say("interrupted.");
    // With -q a failure without a cause line has not been shown yet.
    if (run.Options().quiet && end.status != ExitOk && ui.LastCause().empty())
        run.Fail(ui.LastStatus());
}

// How it ended, in one word.
std::string OutcomeName(const TUpdateEnd& end) {
    return end.interrupted ? "interrupted" : ResultName(end.result);
}

// The line a log keeps: how it ended, the device and the versions.
void PrintEndLine(TCliRun& run, const TUpdateEnd& end, const TIOPack& found) {
    std::string line = "kestrel-cli update: " + OutcomeName(end);
    if (end.found)
        line += "; device " + TypeFields(found.TypeText).type + " " + found.DevID + " on " +
                found.ComID.Name() + ", software " + end.deviceVersion;
    if (end.code == kResultSuccess)
        line += std::string("; offered ") +
                (end.answer.UPType == RequestKind::Tool ? "tool " : "firmware ") +
                (end.offered.empty() ? "(version not named)" : end.offered);
    if (end.code != 0)
        line += "; result code " + CodeText(end.code);
    line += "; exit status " + std::to_string(end.status);
    run.Window().PrintLine(line);
}

// The members of the JSON object: the result, the device, the versions, the signature.
void ReportUpdate(TCliRun& run, TTerminalWorkflowUI& ui, const TUpdateEnd& end,
                  const TIOPack& found) {
    run.SetOutcome(OutcomeName(end), ui.LastStatus());
    run.NoteCause(ui.LastCause());
    TJson& report = run.Report();
    report.Add("result", ResultName(end.result));
    report.Add("result_code", int(end.code));
    if (end.found)
        report.Add("device", DeviceJson(found));
    else
        report.AddNull("device");
    TJson versions = TJson::Object();
    versions.Add("tool", KestrelToolVersion);
    if (end.found)
        versions.Add("device_software", end.deviceVersion);
    if (end.code == kResultSuccess) {
        const char* offered =
            end.answer.UPType == RequestKind::Tool ? "offered_tool" : "offered_firmware";
        report.Add("request_kind", int64_t(end.answer.UPType));
        if (end.offered.empty())
            versions.AddNull(offered);
        else
            versions.Add(offered, end.offered);
    }
    report.Add("versions", versions);
    report.Add("guided_steps", HintName(ui.HintOutcome()));
    if (end.signer.empty())
        report.AddNull("signed_by");
    else
        report.Add("signed_by", end.signer);
    if (end.statement)
        report.Add("release", StatementJson(*end.statement));
    else
        report.AddNull("release");
}

} // namespace

int RunUpdate(TCliRun& run, TDeviceLink& device, TServerLink& server) {
    if (!run.Options().operands.empty()) {
        run.Error("kestrel-cli update: no arguments expected (see kestrel-cli help update)");
        return ExitUsage;
    }
    // A host the server cannot be reached by is refused before the device is touched.
    const std::string host = UpgradeServerHost();
    if (std::string problem = HostNameProblem(host); !problem.empty()) {
        run.Error("kestrel-cli update: " + problem + " (KESTREL_UPDATE_HOST is \"" + host + "\")");
        run.SetOutcome("usage-error", "");
        return ExitUsage;
    }
    std::optional<TPortId> only;
    if (!PortToTry(run, only))
        return ExitUsage;
    TTerminalWindow& window = run.Window();
    // Every status becomes a line on standard error; the progress bar only on a terminal.
    window.PrintEveryStatus(!run.Options().quiet);
    TTerminalWorkflowUI ui(window, fileno(stdin), IsTerminal(fileno(stdin)));
    // The command line never replaces itself: a new tool version is only reported.
    TWorkflowOptions options;
    options.replaceTool = false;
    options.onlyPort = std::move(only);
    run.Detail("upgrade server: " + host + " port " + kUpgradeServerPort);
    Interrupt::Install();
    TUpdateEnd end = RunWorkflow(run, ui, device, server, options);
    SayHowItEnded(run, ui, end, options.forPackageManager);
    PrintEndLine(run, end, device.IOPack);
    ReportUpdate(run, ui, end, device.IOPack);
    return end.status;
}
