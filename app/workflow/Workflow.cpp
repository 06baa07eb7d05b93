#include "Workflow.h"

#include "PCInfo.h"
#include "SelfReplace.h"

#include <cstdio>
#include <mutex>

namespace {
std::string Hex(uint32_t value, int digits) {
    char text[12];
    std::snprintf(text, sizeof text, "%0*X", digits, value);
    return text;
}

// Marks the controller idle again when the action ends, however it ends.
struct TBusyScope {
    std::atomic<bool>& busy;
    std::atomic<TWorkflowPhase>& phase;
    ~TBusyScope() {
        phase.store(TWorkflowPhase::Idle);
        busy.store(false);
    }
};
} // namespace

const char* ResultName(TWorkflowResult result) {
    switch (result) {
    case TWorkflowResult::FirmwareApplied:
        return "firmware-applied";
    case TWorkflowResult::UpToDate:
        return "up-to-date";
    case TWorkflowResult::ToolReplaced:
        return "tool-replaced";
    case TWorkflowResult::NewToolAvailable:
        return "new-tool-available";
    case TWorkflowResult::UnknownKind:
        return "unknown-kind";
    case TWorkflowResult::DeviceNotFound:
        return "device-not-found";
    case TWorkflowResult::ServerFailed:
        return "server-failed";
    case TWorkflowResult::ProgrammingFailed:
        return "programming-failed";
    case TWorkflowResult::ToolRefused:
        return "tool-refused";
    case TWorkflowResult::SignatureRefused:
        return "signature-refused";
    case TWorkflowResult::Cancelled:
        return "cancelled";
    case TWorkflowResult::AlreadyRunning:
        return "already-running";
    }
    return "?";
}

std::string ProgrammingFailureCause(const TDeviceLink& device, const std::string& again) {
    if (!device.Failure().LeftHalfProgrammed())
        return device.FailureCause();
    return device.FailureCause() +
           " — the device is half-programmed and does not start until it is programmed again: "
           "reconnect it and " +
           again + ".";
}

TUpdatePolicy::TUpdatePolicy(const std::vector<std::string>& keyTexts, bool requireSignedFirmware,
                             bool allowUnsigned)
    : keyTexts_(keyTexts), requireSignedFirmware_(requireSignedFirmware),
      allowUnsigned_(allowUnsigned) {
    for (size_t i = 0; i < keyTexts.size() && keyFault_.empty(); ++i) {
        std::string error;
        if (auto key = ParsePublicKey(keyTexts[i], error))
            keys_.push_back(*key);
        else
            keyFault_ = "update key " + std::to_string(i + 1) + " of this tool is unusable (" +
                        error + "); build the tool again with the maker's public key";
    }
}

void NoteUnverifiedUpdates() {
    static std::once_flag noted;
    std::call_once(noted, [] {
        std::fprintf(stderr, "Updates are not verified: this tool was built without update keys "
                             "(KESTREL_UPDATE_PUBKEYS) to take unsigned updates.\n");
    });
}

std::string UpdateTrustText() {
    std::string text = "update keys: " + std::to_string(BuiltInUpdateKeys().size());
    if (BuiltInUpdateKeys().empty())
        text +=
            BuiltInAllowUnsignedUpdates() ? "; unsigned updates allowed" : "; every update refused";
    if (BuiltInForPackageManager())
        text += "; updated by the package manager";
    return text;
}

TUpdateCheck TUpdatePolicy::CheckAndStrip(TMemoryStream& data,
                                          const TReleaseExpectation& expected) const {
    TUpdateCheck refused;
    if (!keyFault_.empty()) {
        refused.fault = keyFault_;
        return refused;
    }
    if (keys_.empty() && !allowUnsigned_) {
        refused.fault = "this build of Kestrel trusts no signing key, so it takes no firmware or "
                        "tool from a server; build it with the maker's public key "
                        "(cmake -DKESTREL_UPDATE_PUBKEYS=kestrel.pub, see README.md, Signing "
                        "releases)";
        return refused;
    }
    // A new tool always needs a signature once there are keys; firmware as the build says.
    const bool tool = expected.kind == TReleaseKind::Tool;
    TUpdateCheck check = CheckUpdatePayload(data.Bytes(), keys_, tool || requireSignedFirmware_);
    if (check.accepted && check.verified) {
        // The signature holds; its statement must say the file is for this use.
        std::string error;
        check.statement = ParseReleaseStatement(check.comment, error);
        if (check.statement)
            error = CheckReleaseStatement(*check.statement, expected);
        if (!error.empty()) {
            refused.fault = error;
            return refused;
        }
    }
    if (check.accepted)
        data.SetSize(static_cast<int64_t>(check.fileSize));
    return check;
}

TWorkflow::TWorkflow(TWorkflowUI& ui, TDeviceLink& device, TServerLink& server,
                     TWorkflowOptions options)
    : ui_(ui), device_(device), server_(server), options_(std::move(options)),
      policy_(options_.updateKeys, options_.requireSignedFirmware, options_.allowUnsigned) {
    if (!policy_.HasKeys() && options_.allowUnsigned)
        NoteUnverifiedUpdates();
}

TWorkflowResult TWorkflow::Start() {
    // One action at a time, whatever the start button shows: the worker enables it as it ends,
    // a moment before the action disables it again, and device waits process window messages.
    if (busy_.exchange(true))
        return TWorkflowResult::AlreadyRunning;
    TWorkflowResult result;
    {
        TBusyScope scope{busy_, phase_};
        closeRequested_ = false;
        result = Run();
        SetPhase(TWorkflowPhase::Idle);
    }
    // A close of the window that came while the action ran takes effect now.
    if (closeRequested_)
        ui_.RequestTerminate();
    return result;
}

void TWorkflow::SetPhase(TWorkflowPhase phase) {
    std::lock_guard lock(phaseMutex_);
    if (phase_.load() == phase)
        return;
    // The phase first: whoever reacts to a control's change (on the window's thread, at once or
    // from its queue when the worker sets the phase) sees the phase the change belongs to.
    phase_.store(phase);
    TControls controls = ControlsFor(phase);
    ui_.SetStartEnabled(controls.startEnabled);
    ui_.SetStopEnabled(controls.stopEnabled);
    ui_.ShowBusy(controls.busyShown);
}

void TWorkflow::ExchangePhase(TExchangePhase phase) {
    switch (phase) {
    case TExchangePhase::Running:
        SetPhase(TWorkflowPhase::Exchanging);
        break;
    case TExchangePhase::Transferring:
        SetPhase(TWorkflowPhase::Transferring);
        break;
    case TExchangePhase::Ended:
        SetPhase(TWorkflowPhase::ExchangeEnded);
        break;
    }
}

void TWorkflow::Pause(std::chrono::milliseconds duration) {
    ui_.Sleep(static_cast<int>(duration.count()));
}

void TWorkflow::ShowCause(const std::string& cause) {
    lastCause_ = cause;
    if (!cause.empty())
        ui_.ShowCause(cause);
}

std::string TWorkflow::DeviceVersion() const {
    return TypeFields(device_.IOPack.TypeText).software;
}

std::string TWorkflow::DeviceHardwareVersion() const {
    return TypeFields(device_.IOPack.TypeText).hardware;
}

// Every end of the action leaves the controls of Idle (set by Start).
TWorkflowResult TWorkflow::Run() {
    if (!Connect())
        return TWorkflowResult::DeviceNotFound;
    // A close (or Ctrl-C) that came during discovery or the pause: no exchange begins.
    if (closeRequested_)
        return TWorkflowResult::Cancelled;

    TCliInfo request;
    if (!Exchange(request)) {
        // The start button stays enabled from here on, also through the pause of an up-to-date
        // device (the phase stays ExchangeEnded).
        if (request.ResultCode == kResultNoRepeat || request.ResultCode == kResultLatest) {
            End(false);
            return TWorkflowResult::UpToDate;
        }
        if (request.ResultCode == kResultCancelled || closeRequested_)
            return TWorkflowResult::Cancelled;
        ShowCause(server_.Cause());
        return TWorkflowResult::ServerFailed;
    }
    // The window was closed as the exchange ended: nothing more begins.
    if (closeRequested_)
        return TWorkflowResult::Cancelled;

    SetPhase(TWorkflowPhase::Applying);
    const TWorkflowResult result = ApplyCliInfo(request);
    // A tool's answer ends the action here, and so does firmware that was not programmed.
    if (result != TWorkflowResult::FirmwareApplied && result != TWorkflowResult::UnknownKind)
        return result;
    request.Data.reset();
    SetPhase(TWorkflowPhase::Finishing);
    End(true);
    return result;
}

// 1-3: the device, found and shown. A new action's record starts empty.
bool TWorkflow::Connect() {
    SetPhase(TWorkflowPhase::Connecting);
    ui_.ShowStatus(WorkflowText::Connecting);
    lastCode_ = 0;
    lastSigner_.clear();
    lastStatement_.reset();
    lastCause_.clear();
    device_.SetOnlyPort(options_.onlyPort);
    if (!device_.ConnectDevice()) {
        ui_.ShowStatus(WorkflowText::ConnectFailed);
        ShowCause(device_.FailureCause());
        return false;
    }
    ui_.ShowPort(device_.IOPack.ComID);
    ui_.SetDeviceType(TypeFields(device_.IOPack.TypeText).type);
    ui_.ShowStatus(WorkflowText::Connected);
    Pause(ServerLimits::AfterConnect);
    return true;
}

// 4-5: the server.
bool TWorkflow::Exchange(TCliInfo& request) {
    FillCliInfo(request);
    request.UPType = RequestKind::Firmware;
    const bool exchanged = RunUPThread(request);
    lastCode_ = request.ResultCode;
    lastRequest_ = request;
    lastRequest_.Data.reset();
    return exchanged;
}

// 8-9: the end. A window being closed skips the wait and the guided steps.
void TWorkflow::End(bool applied) {
    if (closeRequested_)
        return;
    Pause(ServerLimits::BeforeFinish);
    if (applied)
        ui_.ShowHintSteps();
    else
        ui_.ShowStatus(ui_.DeviceType() + WorkflowText::UpdateDoneSuffix);
}

void TWorkflow::FillCliInfo(TCliInfo& request) {
    const TIOPack& pack = device_.IOPack;
    request.UserName = ui_.DeviceType();
    request.HVer = DeviceHardwareVersion();
    request.SVer = DeviceVersion();
    request.UseCount = pack.Count1;
    request.RegInfo =
        Hex(static_cast<uint32_t>(pack.Count1), 8) + Hex(static_cast<uint32_t>(pack.Count2), 8);
    request.PCInfo = GetPCInfo();
    request.OriginalID = pack.DevID;
    request.CID1 = Hex(pack.CID[0], 2);
    request.CID2 = Hex(pack.CID[1], 2);
    request.CID3 = Hex(pack.CID[2], 2);
    request.CID4 = Hex(pack.CID[3], 2);
    request.ResultCode = 0;
    request.SWVer = KestrelToolVersion;
    request.Data = std::make_shared<TMemoryStream>();
}

bool TWorkflow::RunUPThread(TCliInfo& request) {
    TUPThread worker(server_, this);
    server_.Record().Set(request);
    // The stop button is live exactly while the exchange runs; the worker's end disables it.
    SetPhase(TWorkflowPhase::Exchanging);
    worker_ = &worker;
    worker.Start();
    // Wait for the worker's result without spinning, keeping the front end live: the stop
    // button and a close of the window are handled inside ProcessMessages. The last pass comes
    // after the worker's end has enabled the start button.
    while (request.ResultCode == 0) {
        server_.Record().Wait(request, options_.workerPoll);
        ui_.ProcessMessages();
    }
    worker.WaitFor();
    worker_ = nullptr;
    SetPhase(TWorkflowPhase::ExchangeEnded);
    // The worker has shown the result's status text: paint it now.
    ui_.Repaint();
    return request.ResultCode == kResultSuccess;
}

bool TWorkflow::Cancel() {
    if (!worker_)
        return false;
    // A result already published stays: the exchange has ended by itself.
    TCliInfo info;
    server_.Record().Get(info);
    bool running = info.ResultCode == 0;
    if (running) {
        info.ResultCode = kResultCancelled;
        server_.Record().Set(info);
    }
    server_.CloseClient();
    worker_->Terminate();
    SetPhase(TWorkflowPhase::ExchangeEnded);
    worker_->WaitFor();
    return running;
}

bool TWorkflow::RequestClose() {
    if (!busy_.load())
        return true;
    closeRequested_ = true;
    Cancel(); // only during the exchange; discovery and programming run to their end
    return false;
}

// 6-7: act on the answer.
TWorkflowResult TWorkflow::ApplyCliInfo(TCliInfo& request) {
    if (!request.Data)
        request.Data = std::make_shared<TMemoryStream>();
    switch (request.UPType) {
    case RequestKind::Firmware:
        return ApplyFirmware(request);
    case RequestKind::Tool:
        return ApplyTool(request);
    default:
        ui_.ShowStatus(WorkflowText::UnknownError);
        Pause(ServerLimits::AfterApply);
        return TWorkflowResult::UnknownKind;
    }
}

TWorkflowResult TWorkflow::ApplyFirmware(TCliInfo& request) {
    // Checked before the port is opened; the trailer never reaches the device.
    TReleaseExpectation firmware{.kind = TReleaseKind::Firmware,
                                 .device = TypeFields(device_.IOPack.TypeText).type,
                                 .newerThan = DeviceVersion()};
    if (!AcceptPayload(request, firmware))
        return TWorkflowResult::SignatureRefused;
    ui_.ShowStatus(WorkflowText::Programming);
    ui_.Repaint();
    TMemoryStream& image = *request.Data;
    if (!device_.DownloadFirmware(&ui_.ProgressBar(), request.UserName, image,
                                  static_cast<int32_t>(image.Size()), 0, ImageKind::Firmware)) {
        ui_.ShowStatus(WorkflowText::ProgrammingFailed);
        ShowCause(ProgrammingFailureCause(device_, "start the update again"));
        return TWorkflowResult::ProgrammingFailed;
    }
    ui_.ShowStatus(WorkflowText::ProgrammingDone);
    Pause(ServerLimits::AfterApply);
    return TWorkflowResult::FirmwareApplied;
}

TWorkflowResult TWorkflow::ApplyTool(TCliInfo& request) {
    // The checks of the image and its trial run see the file without its trailer, and the
    // installed executable is byte for byte the signed file.
    TReleaseExpectation tool{.kind = TReleaseKind::Tool,
                             .platform = std::string(ThisPlatform()),
                             .newerThan = KestrelToolVersion};
    if (!AcceptPayload(request, tool))
        return TWorkflowResult::SignatureRefused;
    if (options_.forPackageManager) {
        // The package manager owns the executable: nothing is written or run.
        ui_.ShowStatus(WorkflowText::NewToolFromSystem);
        ShowCause("Version " + (lastStatement_ ? lastStatement_->version : request.SWVer) +
                  " of the tool is available; this copy was installed by the system's "
                  "package manager and is updated with the system's software updates.");
        return TWorkflowResult::NewToolAvailable;
    }
    if (!options_.replaceTool) {
        if (IsExecutableForThisPlatform(request.Data->Bytes()))
            return TWorkflowResult::NewToolAvailable;
        ui_.ShowStatus(WorkflowText::UnknownError);
        return TWorkflowResult::ToolRefused;
    }
    return ReplaceTool(request, tool);
}

TWorkflowResult TWorkflow::ReplaceTool(TCliInfo& request, const TReleaseExpectation& tool) {
    std::string exe =
        options_.executablePath.empty() ? RunningExecutablePath() : options_.executablePath;
    long pid = options_.waitPid != 0 ? options_.waitPid : CurrentProcessId();
    std::string why;
    switch (ReplaceSelf(ui_, *request.Data, exe, pid, policy_.HasKeys(), why)) {
    case TReplaceOutcome::Started:
        break;
    case TReplaceOutcome::Untrusted:
        return Refuse(tool, why);
    case TReplaceOutcome::Refused:
    case TReplaceOutcome::Failed:
        ui_.ShowStatus(WorkflowText::UnknownError);
        ShowCause(why.empty() ? std::string() : "The new tool was not installed: " + why + ".");
        return TWorkflowResult::ToolRefused;
    }
    Pause(ServerLimits::AfterApply);
    return TWorkflowResult::ToolReplaced;
}

bool TWorkflow::AcceptPayload(const TCliInfo& request, const TReleaseExpectation& expected) {
    // The model flag sent to the device comes from the server's echo of the device type.
    const std::string deviceType = TypeFields(device_.IOPack.TypeText).type;
    if (policy_.HasKeys() && expected.kind == TReleaseKind::Firmware &&
        request.UserName != deviceType) {
        Refuse(expected, "the server's answer names the device type " + request.UserName +
                             ", not the connected " + deviceType);
        return false;
    }
    TUpdateCheck check = policy_.CheckAndStrip(*request.Data, expected);
    if (!check.accepted) {
        Refuse(expected, check.fault);
        return false;
    }
    lastSigner_ = check.signer;
    lastStatement_ = check.statement;
    return true;
}

TWorkflowResult TWorkflow::Refuse(const TReleaseExpectation& expected, const std::string& why) {
    ui_.ShowStatus(WorkflowText::UnknownError);
    ShowCause(std::string(expected.kind == TReleaseKind::Firmware
                              ? "The firmware was not programmed: "
                              : "The new tool was not installed: ") +
              why + ".");
    return TWorkflowResult::SignatureRefused;
}
