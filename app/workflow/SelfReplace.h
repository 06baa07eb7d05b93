#pragma once
// Self-replacement of the tool. When the upgrade server answers with a new version of the tool
// itself, the running executable cannot overwrite itself: the new image, once its headers show
// a program for this platform, is saved next to it as "<executable file name>.bak" and run there
// once with --version. Only when it answers is the rest handed to a process that outlives the
// tool: it waits until the running tool has ended, puts the backup in the executable's place and
// starts the new tool with the switch AG.
//
// On Linux that process is a POSIX shell script that waits for the old process by its id and
// moves the new executable into place with one atomic rename, so the tool is never left deleted
// without its replacement. On Windows it is the new executable itself, started from the backup
// to finish the replacement (FinishReplacement): it waits for the old process through a handle
// it inherits and renames its own file onto the executable's (Windows lets the file of a running
// program be renamed, never deleted). No command interpreter takes part: cmd expands %VAR% (and
// with delayed expansion !VAR!) in any path it is given or reads, wine's cmd even in the text an
// expansion gave, and it reads batch files in the console's code page, which cannot hold every
// folder name.
//
// The script's text builder is a plain function, available on every platform so that it can be
// checked anywhere; starting the replacement lives in one file per platform.
#include "MemoryStream.h"
#include "TimeLimits.h"
#include "WorkflowUI.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// ---- The POSIX shell script ----

struct TUpdateScript {
    std::string exe;    // the executable to replace
    std::string backup; // exe + ".bak": the new executable, moved onto exe
    std::string path;   // the script: exe + ".update.sh"
    std::string text;
};

// The script that waits for process waitPid to end, then moves the backup onto exe, starts the
// new tool with AG and deletes itself.
TUpdateScript BuildUpdateScript(const std::string& exePath, long waitPid);

// A text as one single-quoted shell word, whatever characters it contains.
std::string ShellQuote(const std::string& text);

// ---- Shared by both platforms ----

// The backup the new executable is saved to: the executable's own path followed by ".bak"
// ("Kestrel.exe" -> "Kestrel.exe.bak", "kestrel" -> "kestrel.bak"), which is the file moved into
// the executable's place.
std::string BackupPath(const std::string& exePath);

// Header checks of a received tool image; each gives the reason of a refusal in `fault`.
// An ELF image must be a program of the running executable's class, byte order and machine
// (`reference`: its first 64 bytes): an executable (ET_EXEC), or a position-independent one
// (ET_DYN with a program interpreter, or static and marked DF_1_PIE), whose program headers and
// the parts they load lie within the file. A shared library or a bare header is refused.
bool IsElfProgram(const std::vector<uint8_t>& image, const std::vector<uint8_t>& reference,
                  std::string* fault = nullptr);
// A PE image ("MZ", at the offset stored at 0x3C "PE\0\0") for `machine` whose headers and
// sections lie within the file, marked executable and not a DLL.
constexpr uint16_t kPeMachineAmd64 = 0x8664;
bool IsPeImage(const std::vector<uint8_t>& image, uint16_t machine, std::string* fault = nullptr);

// Platform operations (SelfReplace_posix.cpp / SelfReplace_win32.cpp).

// Full path of the running executable (/proc/self/exe on Linux); empty when unknown.
std::string RunningExecutablePath();
// True when the image can run on this platform as the tool's executable; otherwise the reason
// in `fault`.
bool IsExecutableForThisPlatform(const std::vector<uint8_t>& image, std::string* fault = nullptr);
// Runs the program at `path` once with --version, without a window, with no input and only its
// standard output connected: true when it exits with status 0 within `limit` having printed
// something (its first 4 KiB in `answer`). Otherwise (it cannot start, fails, stays silent or is
// stopped at the limit) false with the reason in `fault`. Makes the file executable first.
bool AnswersVersion(const std::string& path, std::chrono::milliseconds limit, std::string& fault,
                    std::string* answer = nullptr);
// How a started run of AnswersVersion ended, as the platform files observed it.
struct TVersionRun {
    static constexpr size_t Kept = 4096; // of its output
    bool ended = false;   // it ended by itself within the limit (else it was stopped)
    int signal = 0;       // the signal that ended it (POSIX), or 0
    long long status = 0; // its exit status
    std::string output;   // the first 4 KiB of its standard output

    bool Full() const { return output.size() >= Kept; }
    // Keeps bytes it wrote; a read that begins below the first 4 KiB is kept whole.
    void Take(const char* bytes, size_t count);
};
// AnswersVersion's verdict on a started run.
bool JudgeVersionRun(TVersionRun run, std::chrono::milliseconds limit, std::string& fault,
                     std::string* answer);
// A started run of a program with --version, as a platform file drives it.
class TVersionTrial {
public:
    virtual ~TVersionTrial() = default;
    // False once its output has closed (nothing more can come).
    virtual bool OutputOpen() const = 0;
    // Waits at most `wait` for its output or its end, keeping what it wrote in `run`; true once
    // it has ended.
    virtual bool Wait(std::chrono::milliseconds wait, TVersionRun& run) = 0;
    // At the limit: ends it, and what it started where the platform can.
    virtual void Stop() = 0;
    // Once it has ended or been stopped: what it wrote last (when it ended) and its status.
    virtual void Conclude(TVersionRun& run) = 0;
    // Why it could not run at all, once concluded; empty when it did.
    virtual std::string StartFault() const = 0;
};
// Makes the program at `path` executable and starts it with --version (platform file); null with
// the reason in `fault` when it cannot be started.
std::unique_ptr<TVersionTrial> StartVersionTrial(const std::string& path, std::string& fault);
// Watches a started trial until it ends or `limit` has passed (then it is stopped).
TVersionRun WatchVersionTrial(TVersionTrial& trial, std::chrono::milliseconds limit);
// Writes an update script's text to path; false with the error text of the failure in `error`.
bool WriteUpdateScript(const std::string& path, const std::string& text, std::string& error);
// Hands the replacement of exePath by its backup to a process that outlives the tool, which
// waits for process waitPid (normally the running tool) to end, moves the backup onto exePath
// and starts it with AG, at the running tool's priority. On Linux the update script, written
// next to exePath and started detached, its wait at idle priority; on Windows the backup
// itself, started to finish the replacement, once it has said that it takes the replacement
// over. On failure returns false with the reason in `error`: nothing is left running (the
// script file is removed again; the backup stays, for the caller to remove).
bool StartReplacement(const std::string& exePath, long waitPid, std::string& error);
// The start of the new tool on Windows, before anything else (the window program and the test
// tool call it with their arguments, their own name first): when started by StartReplacement to
// finish a replacement, it says it takes it over, waits for the old tool to end, renames its own
// file (<executable>.bak) onto the executable, starts that with AG and gives the process's exit
// status: 0, or 1 when the old executable stayed in use (then the old tool is started again,
// without AG, so that the user has a tool), or 2 for a call that is not StartReplacement's.
// Nothing for any other command line.
std::optional<int> FinishReplacement(const std::vector<std::string>& arguments);
// The id of the running process.
long CurrentProcessId();

// ---- The kind-7 branch of the workflow ----

// The number of update keys a tool's version line names ("kestrel 1.5 (update keys: 2)"); -1
// when it names none.
int UpdateKeyCount(std::string_view versionLine);

enum class TReplaceOutcome {
    Started,   // backup saved, its replacement started, the program has been asked to terminate
    Refused,   // the image is empty, no program for this platform, or does not answer --version:
               // nothing replaced, no file left
    Untrusted, // a verifying tool's replacement would verify no updates (its --version names no
               // update key): nothing replaced, no file left
    Failed,    // a file could not be written or the replacement not started: reported with
               // ui.ShowError, nothing replaced
};

// Checks `image`, saves it as the backup next to exePath, has it answer --version there (naming
// at least one update key when `mustVerify`), starts the replacement (StartReplacement, which
// waits for process waitPid, normally CurrentProcessId()), and asks the front end to terminate.
// After any failure the backup is removed again, the tool keeps running and `why` says what
// happened (empty when ui.ShowError has shown it).
TReplaceOutcome ReplaceSelf(TWorkflowUI& ui, const TMemoryStream& image, const std::string& exePath,
                            long waitPid, bool mustVerify, std::string& why);

// Writes bytes to path as a new file of this user's: a stale file of the user's own there is
// removed first; one that is not (another user's, in a shared folder) stays, and the write fails
// with EEXIST, so that the installed program never becomes someone else's file with their mode.
// A partly written file is removed. Returns 0 or the error number of the failure.
int WriteWholeFile(const std::string& path, const std::vector<uint8_t>& bytes);
// The error texts of the two files: the backup reports "Cannot create file "<path>". <reason>",
// the script the input/output error text of its error number ("Disk full", "I/O error 5", ...);
// a file in the way (EEXIST) is named with InTheWayText for both.
std::string CreateFileErrorText(const std::string& path, int err);
std::string IoErrorText(int err);
std::string InTheWayText(const std::string& path);
