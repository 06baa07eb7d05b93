#include "DeviceCommands.h"

#include "Dialogue.h"
#include "Interrupt.h"
#include "SystemText.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace {

std::string Hex2(uint8_t v) {
    char b[4];
    std::snprintf(b, sizeof b, "%02X", v);
    return b;
}

// The identity text split into its parts (blanks where the device sent fewer characters).
TTypeFields PaddedTypeFields(std::string text) {
    text.resize(9, ' ');
    return TypeFields(text);
}

// Finds and identifies the device on `device`; on failure tells the user why and returns false.
// With `deviceLines` the port and the device type get lines of their own, as the upgrade shows
// them; otherwise (identify, whose result lists both) they are part of the status.
bool Connect(TCliRun& run, TDeviceLink& device, bool deviceLines) {
    TTerminalWindow& window = run.Window();
    window.ShowStatus(WorkflowText::Connecting);
    if (!device.ConnectDevice()) {
        // Interrupted: the search was cut short by the user, not failed by the device.
        if (Interrupt::Raised())
            return false;
        run.SetOutcome("device-not-found", WorkflowText::ConnectFailed);
        run.Fail(WorkflowText::ConnectFailed);
        run.Error(device.FailureCause());
        return false;
    }
    const TIOPack& found = device.IOPack;
    std::string type = TypeFields(found.TypeText).type;
    if (deviceLines) {
        run.Say(PortLine(found.ComID));
        run.Say("device type: " + type);
        window.ShowStatus(WorkflowText::Connected);
    } else {
        window.ShowStatus(found.ComID.Name() + " " + type + " " + WorkflowText::Connected);
        run.Detail(PortLine(found.ComID));
    }
    return true;
}

// The end of a command that an interrupt stopped after its current step.
int Interrupted(TCliRun& run, const std::string& what) {
    run.SetOutcome("interrupted", "");
    run.Error("kestrel-cli " + run.Command() + ": interrupted" + what);
    return ExitInterrupted;
}

} // namespace

std::string PortLine(const TPortId& port) {
    if (port.number == 0)
        return "port: " + port.path + " (not in the numbered list)";
    return "port: " + std::to_string(port.number) + " (" + port.Name() + ", " + port.path + ")";
}

TJson StatementJson(const TReleaseStatement& statement) {
    TJson json = TJson::Object().Add("kind", ReleaseKindName(statement.kind));
    if (statement.kind == TReleaseKind::Tool)
        json.Add("platform", statement.platform);
    else
        json.Add("device", statement.device);
    return json.Add("version", statement.version);
}

TJson DeviceJson(const TIOPack& d) {
    TTypeFields parts = PaddedTypeFields(d.TypeText);
    std::string bytes;
    for (uint8_t b : d.CID)
        bytes += Hex2(b);
    TJson json = TJson::Object();
    // A device outside the numbered list has no number of its own, only its path.
    if (d.ComID.number == 0)
        json.AddNull("port").AddNull("port_name");
    else
        json.Add("port", int(d.ComID.number)).Add("port_name", d.ComID.Name());
    return json.Add("path", d.ComID.path)
        .Add("type", parts.type)
        .Add("software_version", parts.software)
        .Add("hardware_version", parts.hardware)
        .Add("identity", d.DevID)
        .Add("identity_bytes", bytes)
        .Add("use_counter", int64_t(d.Count1))
        .Add("second_counter", int64_t(d.Count2));
}

namespace {

// Warns when more than one device answered the probe, naming the one identified (on port
// `identified`); the answering ports go into the JSON object.
void ReportAnsweringPorts(TCliRun& run, const std::vector<TPortId>& answering,
                          const TPortId& identified) {
    if (answering.empty())
        return;
    TJson numbers = TJson::Array();
    std::string list;
    for (const TPortId& port : answering) {
        numbers.Push(TJson::Number(port.number));
        list += (list.empty() ? "" : ", ") + port.Name() + " (" + port.path + ")";
    }
    run.Report().Add("answering_ports", numbers);
    if (answering.size() > 1)
        run.Warn("kestrel-cli identify: " + std::to_string(answering.size()) +
                 " devices answered the probe: " + list + "; this is the one on " +
                 identified.Name() + ". Choose one with --port N.");
}

// The result of identify: the device's lines and its JSON object.
void ShowIdentity(TCliRun& run, const TIOPack& d) {
    TTypeFields parts = PaddedTypeFields(d.TypeText);
    run.Report().Add("device", DeviceJson(d));
    run.SetOutcome("identified", WorkflowText::Connected);
    run.Result(PortLine(d.ComID));
    run.Result("device type: " + parts.type);
    run.Result("software version: " + parts.software);
    run.Result("hardware version: " + parts.hardware);
    run.Result("device identity: " + d.DevID);
    run.Result("identity bytes: " + Hex2(d.CID[0]) + " " + Hex2(d.CID[1]) + " " + Hex2(d.CID[2]) +
               " " + Hex2(d.CID[3]));
    run.Result("use counter: " + std::to_string(d.Count1));
    run.Result("second counter: " + std::to_string(d.Count2));
}

} // namespace

int RunIdentify(TCliRun& run, TDeviceLink& device) {
    if (!run.Options().operands.empty()) {
        run.Error("kestrel-cli identify: no arguments expected (see kestrel-cli help identify)");
        return ExitUsage;
    }
    std::optional<TPortId> only;
    if (!PortToTry(run, only))
        return ExitUsage;
    Interrupt::Install();
    // Discovery takes the first port that answers: look at every port first, to say so when it
    // is not the only one (before discovery's key exchange, which the probe answers depend on),
    // then identify the first without probing again.
    std::vector<TPortId> answering;
    if (!only) {
        answering = device.AnsweringPorts();
        if (Interrupt::Raised())
            return Interrupted(run, ".");
        if (!answering.empty())
            only = answering.front();
    }
    device.SetOnlyPort(only);
    bool connected = Connect(run, device, false);
    if (Interrupt::Raised())
        return Interrupted(run, ".");
    if (!connected)
        return ExitDevice;
    ReportAnsweringPorts(run, answering, device.IOPack.ComID);
    ShowIdentity(run, device.IOPack);
    return ExitOk;
}

bool ReadImageFile(const std::string& path, std::vector<uint8_t>& bytes, std::string& error) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path file = Utf8Path(path);
    fs::file_status status = fs::status(file, ec);
    if (ec) {
        error = path + ": " + ec.message();
        return false;
    }
    if (fs::is_directory(status)) {
        error = path + " is a directory, not an image file";
        return false;
    }
    // A FIFO or a device would be read without end or block: only files are images.
    if (!fs::is_regular_file(status)) {
        error = path + " is not a regular file";
        return false;
    }
    uintmax_t size = fs::file_size(file, ec);
    if (ec) {
        error = path + ": " + ec.message();
        return false;
    }
    if (size == 0) {
        error = path + " is empty: there is nothing to program";
        return false;
    }
    if (size > uintmax_t(kMaxDataLength)) {
        error = path + " is " + std::to_string(size) + " bytes, more than the largest image (" +
                std::to_string(kMaxDataLength) + " bytes, 64 MiB)";
        return false;
    }
    bytes.resize(size_t(size)); // before the open: nothing between open and close can throw
    std::FILE* in = OpenFile(path, "rb");
    if (!in) {
        error = "cannot read " + path + ": " + std::strerror(errno);
        return false;
    }
    size_t got = std::fread(bytes.data(), 1, bytes.size(), in);
    bool failed = std::ferror(in) != 0;
    int readError = errno;
    std::fclose(in);
    if (failed || got != bytes.size()) {
        error = "cannot read " + path + ": " +
                (failed ? std::strerror(readError) : "it became shorter while it was read");
        return false;
    }
    return true;
}

namespace {

// The image of `flash`, checked and ready to program: the bytes without a signature trailer.
struct TFlashImage {
    std::string path;
    TMemoryStream data;
    int64_t padded = 0; // the bytes programmed: filled with 0xFF to a multiple of 512
    std::optional<std::string> signer; // who signed it, when a signature was verified
    std::optional<TReleaseStatement> statement;
};

const char* const NothingWritten = " before programming; nothing was written to the device.";

// Refuses the image file: why it cannot be programmed.
int RefuseImage(TCliRun& run, const std::string& path, const std::string& why) {
    run.SetOutcome("image-refused", "");
    run.Error("kestrel-cli flash: " + path + " is refused: " + why);
    return ExitUsage;
}

TJson ImageJson(const TFlashImage& image) {
    TJson json = TJson::Object()
                     .Add("path", image.path)
                     .Add("bytes", int64_t(image.data.Size()))
                     .Add("programmed_bytes", image.padded);
    if (image.signer)
        json.Add("signed_by", *image.signer);
    if (image.statement)
        json.Add("release", StatementJson(*image.statement));
    return json;
}

// Reads and checks the image file; tells the user why when it cannot be programmed.
std::optional<TFlashImage> LoadImage(TCliRun& run, const std::string& path) {
    std::vector<uint8_t> bytes;
    std::string error;
    if (!ReadImageFile(path, bytes, error)) {
        run.SetOutcome("image-refused", "");
        run.Error("kestrel-cli flash: " + error);
        return std::nullopt;
    }
    TFlashImage image;
    image.path = path;
    image.data.Write(bytes.data(), bytes.size());
    // The technician's own file is programmed as it is; one with a signature trailer must carry a
    // valid signature (with update keys built in) and is programmed without its trailer. Its
    // statement is checked here for the kind, and once the device is known for its type and
    // version.
    TUpdatePolicy policy(BuiltInUpdateKeys(), false, true);
    TUpdateCheck check = policy.CheckAndStrip(image.data, {.kind = TReleaseKind::Firmware});
    if (!check.accepted) {
        RefuseImage(run, path, check.fault);
        return std::nullopt;
    }
    if (!policy.HasKeys() && check.fileSize != bytes.size())
        NoteUnverifiedUpdates();
    if (check.verified) {
        run.Say("kestrel-cli flash: " + path + " is signed by " + check.signer);
        image.signer = check.signer;
    }
    image.padded = (image.data.Size() + 511) / 512 * 512;
    image.statement = check.statement;
    run.Report().Add("image", ImageJson(image));
    run.Detail("image: " + path + ", " + std::to_string(image.data.Size()) +
               " bytes, filled with 0xFF to " + std::to_string(image.padded) + " bytes");
    return image;
}

// Why a signed image is not for the connected device: another device type, or a release not
// newer than its software (unless --allow-downgrade). Empty when it is, or when unsigned.
std::string ReleaseMismatch(const TFlashImage& image, const TIOPack& found, bool allowDowngrade) {
    if (!image.statement)
        return "";
    TTypeFields parts = PaddedTypeFields(found.TypeText);
    TReleaseExpectation device{.kind = TReleaseKind::Firmware, .device = parts.type};
    std::string why = CheckReleaseStatement(*image.statement, device);
    if (why.empty() && !allowDowngrade) {
        device.newerThan = parts.software;
        why = CheckReleaseStatement(*image.statement, device);
        if (!why.empty())
            why += "; --allow-downgrade programs it on purpose";
    }
    return why;
}

// Programs the image into the device found on `device`, with the progress bar.
int Program(TCliRun& run, TDeviceLink& device, TFlashImage& image) {
    // A stop half-way is the user's explicit choice (Interrupt.h); its JSON object is ready.
    TCliRun stopped = run;
    stopped.SetOutcome("stopped-half-programmed", WorkflowText::ProgrammingFailed);
    stopped.NoteCause(Interrupt::HalfProgrammedCause);
    Interrupt::SetStopOutput(run.Options().json ? stopped.JsonText(ExitInterrupted) + "\n" : "");
    // The state before the text: a Ctrl-C that follows the text finds programming under way.
    Interrupt::SetProgramming(true);
    run.Window().ShowStatus(WorkflowText::Programming);
    auto started = TTerminalWindow::Clock::now();
    bool ok = device.DownloadFirmware(
        &run.Window().ProgressBar(), TypeFields(device.IOPack.TypeText).type, image.data,
        static_cast<int32_t>(image.data.Size()), 0, ImageKind::Firmware);
    Interrupt::SetProgramming(false);
    Interrupt::SetStopOutput("");
    run.Window().FinishLine();
    if (!ok) {
        run.SetOutcome("programming-failed", WorkflowText::ProgrammingFailed);
        run.Fail(WorkflowText::ProgrammingFailed);
        run.Error(ProgrammingFailureCause(device, "run this kestrel-cli flash command again"));
        return ExitDevice;
    }
    auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
        TTerminalWindow::Clock::now() - started);
    run.Detail("programmed " + std::to_string(image.padded) + " bytes in " +
               std::to_string(took.count()) + " ms");
    run.SetOutcome("programmed", WorkflowText::ProgrammingDone);
    run.Result(WorkflowText::ProgrammingDone);
    return ExitOk;
}

} // namespace

int RunFlash(TCliRun& run, TDeviceLink& device) {
    const auto& operands = run.Options().operands;
    if (operands.size() != 1) {
        run.Error("kestrel-cli flash: expects one image file (see kestrel-cli help flash)");
        return ExitUsage;
    }
    // Every status is a line, also in a log, as the upgrade shows them; -q keeps them out.
    run.Window().PrintEveryStatus(!run.Options().quiet);
    std::optional<TPortId> only;
    if (!PortToTry(run, only))
        return ExitUsage;
    device.SetOnlyPort(only);
    // The image is read before the device is touched: a file that cannot be programmed costs
    // no discovery and never reaches the device.
    std::optional<TFlashImage> image = LoadImage(run, operands[0]);
    if (!image)
        return ExitUsage;
    Interrupt::Install();
    if (!Connect(run, device, true))
        return Interrupt::Raised() ? Interrupted(run, NothingWritten) : ExitDevice;
    run.Report().Add("device", DeviceJson(device.IOPack));
    if (std::string why = ReleaseMismatch(*image, device.IOPack, run.Options().allowDowngrade);
        !why.empty())
        return RefuseImage(run, image->path, why);
    if (Interrupt::Raised())
        return Interrupted(run, NothingWritten);
    return Program(run, device, *image);
}
