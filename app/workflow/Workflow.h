#pragma once
// The upgrade workflow controller: the start action of the main window ("在线更新") and the steps
// it is built from, written against TWorkflowUI so that the window and the command line run the
// same logic and differ only in how they show texts, progress, the two boxes and the guided
// steps.
//
// How a front end uses it (all calls on the front end's thread, the one that runs Start):
//
//   TWorkflow flow(ui, device, server);  // works only on the device and server links handed in;
//       // their window (status line, progress bar, message pump) should be ui: a test builds
//       // TDeviceLink(ui) and TServerLink(tcp, ui); a window program's wiring makes its device
//       // link on the window, and hands in DefaultServerLink() with ui installed as MainWindow()
//   TWorkflowResult r = flow.Start();  // the start button / automatic start / `kestrel-cli update`
//       // runs the whole action and returns when it has ended; texts, progress, the controls and
//       // the guided steps reach the front end through ui meanwhile. A Start while one runs
//       // (e.g. from ProcessMessages) returns TWorkflowResult::AlreadyRunning and does nothing:
//       // this is the only guard, also in the moment after the worker's end in which the start
//       // button is enabled before the next step disables it again.
//   flow.Cancel();                   // the stop button: ends a running server exchange
//       // (enabled only while the exchange runs; does nothing at any other moment)
//   if (flow.RequestClose()) close();  // window closing: true means close now. Otherwise the
//       // close is deferred: a running exchange is cancelled, discovery and programming finish
//       // (never interrupted half-way), no further step begins, and when the action has ended
//       // the controller calls ui.RequestTerminate().
//   flow.Busy();                     // true while an action runs
//
// The result of Start tells the command line its exit status; LastCode() holds the server's
// result code of the last exchange (0 when none ran) and LastRequest() the request record after
// it (the server's values on success). After a failure LastCause() says why in one English line,
// which the front end has also been given through TWorkflowUI::ShowCause right after the failure
// status.
//
// For the command line, TWorkflowOptions::replaceTool = false turns the self-replacement off: a
// new tool version is only reported (TWorkflowResult::NewToolAvailable), nothing is written.
//
// Signed updates (UpdateSignature.h, ReleaseStatement.h): with update keys, a new tool must carry
// a valid signature by one of them, and so must firmware when a signature is present or required;
// the signature's statement must say that the file is what the answer uses it for (firmware for
// the connected device type and newer than its software, a tool for this platform and newer than
// this tool), and the server's echoed device type must be the device's. Otherwise the answer is
// refused (TWorkflowResult::SignatureRefused) before anything is run, written or the port is
// opened, with the general error text and the reason as the cause. A build without keys refuses
// every answer the same way, unless it was built to allow unsigned updates. An accepted payload
// loses its signature trailer before use; LastSigner() names the key that signed it.
//
// A tool installed by a package manager (TWorkflowOptions::forPackageManager) never replaces
// itself: a new tool is announced (NewToolAvailable) with its own status text.
#include "DeviceLink.h"
#include "ReleaseStatement.h"
#include "TimeLimits.h"
#include "UPT.h"
#include "UpdateKeys.h"
#include "UpdateSignature.h"
#include "WorkflowUI.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

// The tool's own version (the project's), sent to the server as SWVer.
inline constexpr const char* KestrelToolVersion = KESTREL_VERSION;

// The status texts of the workflow.
namespace WorkflowText {
inline constexpr const char* Connecting = "连接设备！请稍后......";
inline constexpr const char* ConnectFailed = "设备连接失败，请检查USB或电源连接！";
inline constexpr const char* Connected = "连接成功！";
inline constexpr const char* Programming = "正在更新设备程序......请不要断开连接！";
inline constexpr const char* ProgrammingDone = "软件更新成功！";
inline constexpr const char* ProgrammingFailed =
    "程序下载失败！请检查电源或USB连接问题后重新尝试。";
inline constexpr const char* UnknownError = "未知错误,联系技术支持！";
// A new version of the tool, which a package manager installs.
inline constexpr const char* NewToolFromSystem = "发现升级工具的新版本，请通过系统的软件更新安装！";
inline constexpr const char* UpdateDoneSuffix = "更新成功！"; // after the device type
} // namespace WorkflowText

// How one start action ended.
enum class TWorkflowResult {
    FirmwareApplied,  // kind 3: the firmware was programmed (and the guided steps shown)
    UpToDate,         // the server answered 248 or 254: nothing to do
    ToolReplaced,     // kind 7: the replacement runs and the program has been asked to end
    NewToolAvailable, // kind 7 with replaceTool off, or installed by a package manager:
                      // reported only
    UnknownKind, // an answer of another kind: "未知错误,联系技术支持！", then the guided steps
    DeviceNotFound,    // discovery failed
    ServerFailed,      // the exchange ended with any other result code (see LastCode)
    ProgrammingFailed, // DownloadFirmware failed
    ToolRefused,       // kind 7 with an image that cannot run here (or, when replacing, does not
                       // answer --version), or files that could not be written: nothing
                       // replaced, the tool keeps running
    SignatureRefused,  // kind 3 or 7 without a valid signature by an update key for that use
                       // (or no key at all): nothing run, programmed, written or replaced
    Cancelled,         // the stop button, or a close of the window, ended the action
    AlreadyRunning,    // Start while an action ran: nothing done
};

// A short English name of a result, for logs and the command line ("firmware-applied", ...).
const char* ResultName(TWorkflowResult result);

// The cause line of a failed programming on `device`; when the transfer had begun it adds that
// the device is half-programmed and how to finish (`again`: what programs it again).
std::string ProgrammingFailureCause(const TDeviceLink& device, const std::string& again);

// What the action is doing now. The phase alone decides the controls (ControlsFor).
enum class TWorkflowPhase {
    Idle,          // no action runs
    Connecting,    // discovery and identification of the device, the pause after it
    Exchanging,    // the worker runs the server exchange
    Transferring,  // the worker has reached the transfer announcement (the busy picture)
    ExchangeEnded, // the worker has ended, or was cancelled; an up-to-date device also waits
                   // here for its final text
    Applying,      // programming the firmware or replacing the tool
    Finishing,     // the pause and the guided steps after an applied answer
};

// The state of the front end's controls: But_Stat, But_Stop and the busy picture IMG2.
struct TControls {
    bool startEnabled;
    bool stopEnabled;
    bool busyShown;
};

// The controls in each phase. The start button is enabled when the worker ends, before the
// workflow's next step disables it again; TWorkflow::Start guards that moment.
constexpr TControls ControlsFor(TWorkflowPhase phase) {
    switch (phase) {
    case TWorkflowPhase::Connecting:
    case TWorkflowPhase::Applying:
    case TWorkflowPhase::Finishing:
        return {false, false, false};
    case TWorkflowPhase::Exchanging:
        return {false, true, false};
    case TWorkflowPhase::Transferring:
        return {false, true, true};
    case TWorkflowPhase::Idle:
    case TWorkflowPhase::ExchangeEnded:
        break;
    }
    return {true, false, false};
}

struct TWorkflowOptions {
    // Kind 7: replace the running executable (the window) or only report it (the command line).
    bool replaceTool = true;
    // The executable to replace; empty: the running one.
    std::string executablePath;
    // The process the replacement waits for to end; 0: this process.
    long waitPid = 0;
    // How long one wait for the worker lasts before pending window messages are processed.
    std::chrono::milliseconds workerPoll = ServerLimits::WorkerPoll;
    // Installed by a package manager: kind 7 is only announced, whatever replaceTool says.
    bool forPackageManager = BuiltInForPackageManager();
    // The minisign public keys updates must be signed with (base64 lines or .pub texts); none:
    // every update is refused, unless allowUnsigned.
    std::vector<std::string> updateKeys = BuiltInUpdateKeys();
    // With keys: firmware without a signature is refused too.
    bool requireSignedFirmware = BuiltInRequireSignedFirmware();
    // Without keys: updates are taken unverified.
    bool allowUnsigned = BuiltInAllowUnsignedUpdates();
    // The port discovery tries: nothing every port (the default), or only that one.
    std::optional<TPortId> onlyPort;
};

// Says once per process on standard error that updates are not verified (a tool without keys).
void NoteUnverifiedUpdates();

// What this build trusts, for its --version line: "update keys: 2", "update keys: 0; unsigned
// updates allowed", with "; updated by the package manager" for a packaged build. A keyed tool
// installs a new tool only when its version line names at least one key.
std::string UpdateTrustText();

// The signature rule for received payloads, from the update keys.
class TUpdatePolicy {
public:
    TUpdatePolicy(const std::vector<std::string>& keyTexts, bool requireSignedFirmware,
                  bool allowUnsigned);
    bool HasKeys() const { return !keyTexts_.empty(); }
    // Checks a payload against what it is expected to be (a new tool always needs a signature
    // when there are keys) and, when it is accepted, cuts `data` to the file without its trailer.
    TUpdateCheck CheckAndStrip(TMemoryStream& data, const TReleaseExpectation& expected) const;

private:
    std::vector<std::string> keyTexts_;
    std::vector<TPublicKey> keys_;
    std::string keyFault_; // a built-in key that is no key: every payload is refused
    bool requireSignedFirmware_;
    bool allowUnsigned_;
};

class TWorkflow : private TExchangeListener {
public:
    TWorkflow(TWorkflowUI& ui, TDeviceLink& device, TServerLink& server,
              TWorkflowOptions options = {});
    TWorkflow(const TWorkflow&) = delete;
    TWorkflow& operator=(const TWorkflow&) = delete;

    // The start action (But_StatClick). Returns when it has ended.
    TWorkflowResult Start();
    // The stop button (But_StopClick): cancels a running server exchange; true when it did
    // (false outside an exchange, or when the exchange had just ended by itself).
    bool Cancel();
    // The window is being closed: true when it may close at once; otherwise see above.
    bool RequestClose();
    bool Busy() const { return busy_.load(); }
    TWorkflowPhase Phase() const { return phase_.load(); }

    uint8_t LastCode() const { return lastCode_; }
    // The key and trusted comment of the last accepted signed payload; empty when none.
    const std::string& LastSigner() const { return lastSigner_; }
    // The release statement of the last accepted signed payload, when it had one.
    const std::optional<TReleaseStatement>& LastStatement() const { return lastStatement_; }
    const TCliInfo& LastRequest() const { return lastRequest_; }
    // Why the last action failed (device or server), empty when it did not fail or no cause is
    // known.
    const std::string& LastCause() const { return lastCause_; }
    // The device's software version (characters 5 to 8 of its identity text, as sent in SVer),
    // and its hardware version (character 9, HVer); empty before a device was identified.
    std::string DeviceVersion() const;
    std::string DeviceHardwareVersion() const;

    // The steps of the start action, usable on their own.
    // Fills the request from the device link's IOPack and the device type box; UPType is left
    // to the caller.
    void FillCliInfo(TCliInfo& request);
    // Runs one server exchange on a new worker and waits for it, processing window messages;
    // true exactly when ResultCode is 34. The request then holds the worker's final record.
    bool RunUPThread(TCliInfo& request);
    // Acts on a successful exchange by its UPType and says how that went: FirmwareApplied or
    // UnknownKind let the action go on to its end; every other result ends it.
    TWorkflowResult ApplyCliInfo(TCliInfo& request);

private:
    TWorkflowResult Run();
    // The steps of Run. Connect finds and shows the device; Exchange runs the server exchange
    // for it (true when it succeeded) and records its outcome; End is the pause and then the
    // guided steps (after an applied answer) or the final text.
    bool Connect();
    bool Exchange(TCliInfo& request);
    void End(bool applied);
    // The steps of ApplyCliInfo.
    TWorkflowResult ApplyFirmware(TCliInfo& request);
    TWorkflowResult ApplyTool(TCliInfo& request);
    TWorkflowResult ReplaceTool(TCliInfo& request, const TReleaseExpectation& tool);
    // Enters the phase and, when it differs from the current one, sets the controls to
    // ControlsFor(phase). From the front end's thread and from the worker's.
    void SetPhase(TWorkflowPhase phase);
    // The worker's phases, on the worker thread.
    void ExchangePhase(TExchangePhase phase) override;
    // A plain pause of the front end's thread.
    void Pause(std::chrono::milliseconds duration);
    // The signature check of a received payload; on refusal (false) the status line shows the
    // general error and the reason is the cause (Refuse, which returns SignatureRefused).
    bool AcceptPayload(const TCliInfo& request, const TReleaseExpectation& expected);
    TWorkflowResult Refuse(const TReleaseExpectation& expected, const std::string& why);
    // Records the cause of the failure just shown and hands it to the front end (when known).
    void ShowCause(const std::string& cause);

    TWorkflowUI& ui_;
    TDeviceLink& device_;
    TServerLink& server_;
    TWorkflowOptions options_;
    std::atomic<bool> busy_{false};
    std::mutex phaseMutex_; // a phase and its controls change together
    std::atomic<TWorkflowPhase> phase_{TWorkflowPhase::Idle};
    bool closeRequested_ = false;
    TUPThread* worker_ = nullptr; // the running exchange's worker (UPThread)
    uint8_t lastCode_ = 0;
    TCliInfo lastRequest_;
    TUpdatePolicy policy_;
    std::string lastSigner_;
    std::optional<TReleaseStatement> lastStatement_;
    std::string lastCause_;
};
