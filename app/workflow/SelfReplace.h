#pragma once
// Self-replacement of the tool. When the upgrade server answers with a new version of the tool
// itself, the running executable cannot overwrite itself: the new image, once its headers show
// a program for this platform, is saved next to it as "<executable file name>.bak" and run there
// once with --version. Only when it answers does a small script, started detached, wait until
// the running tool has ended, put the backup in the executable's place, start the new tool with
// the switch AG and delete itself.
//
// On Windows the script is the classic seven-line batch file, which names the executable through
// its own path (see BuildUpdateBat); on Linux it is a POSIX shell script that waits for the old
// process by its id and moves the new executable into place with one atomic rename, so the tool is
// never left deleted without its replacement.
//
// The text builders are plain functions, available on every platform so that both scripts can be
// checked anywhere; writing and starting the script lives in one file per platform.
#include "MemoryStream.h"
#include "TimeLimits.h"
#include "WorkflowUI.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// ---- The Windows batch file ----

struct TUpdateBat {
    std::string exe;    // E: the executable's full path
    std::string backup; // B: E + ".bak"
    std::string path;   // the batch file: E with its extension replaced by ".bat"
    std::string text;   // the seven lines, each ended by CR LF
};

// The batch file for the executable at exePath. Its lines name E and B as "%~dpn0" (the batch
// file's own full path without its extension, which is E's) followed by E's extension, in
// quotes: cmd reads a batch file in the console's code page, which cannot hold every folder
// name (Chinese in a Western code page), and short 8.3 names may not exist on the volume, but
// the path cmd was started with is kept in UTF-16. The text is ASCII whatever the folder.
TUpdateBat BuildUpdateBat(const std::string& exePath);

// E with the extension of its file name (from the last dot after the last backslash) replaced by
// ".bat"; a file name without extension gets ".bat" appended.
std::string UpdateBatPath(const std::string& exe);

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
// ("Kestrel.exe" -> "Kestrel.exe.bak", "kestrel" -> "kestrel.bak"), which is exactly the B that
// the script moves or copies into place.
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
// Writes the update script next to exePath and starts it detached, without waiting for it. Its
// waiting runs at idle priority, the new tool it starts at the running tool's priority. On Linux
// the script waits for process waitPid (the running tool); on Windows it waits until the
// executable can be deleted, and waitPid is not used. On failure returns false with the reason
// in `error` (the script file is then removed again).
bool RunUpdateBat(const std::string& exePath, long waitPid, std::string& error);
// At the start of the tool: takes on the priority of the tool an update script replaced, when
// this process was started by one (Windows; nothing to do on Linux).
void AdoptReplacedToolPriority();
// The id of the running process.
long CurrentProcessId();

// ---- The kind-7 branch of the workflow ----

// The number of update keys a tool's version line names ("kestrel 1.5 (update keys: 2)"); -1
// when it names none.
int UpdateKeyCount(std::string_view versionLine);

enum class TReplaceOutcome {
    Started,   // backup saved, script running, the program has been asked to terminate
    Refused,   // the image is empty, no program for this platform, or does not answer --version:
               // nothing replaced, no file left
    Untrusted, // a verifying tool's replacement would verify no updates (its --version names no
               // update key): nothing replaced, no file left
    Failed,    // a file could not be written or the script not started: reported with
               // ui.ShowError, nothing replaced
};

// Checks `image`, saves it as the backup next to exePath, has it answer --version there (naming
// at least one update key when `mustVerify`), writes and starts the update script (which waits
// for process waitPid, normally CurrentProcessId()), and asks the front end to terminate. After
// any failure the backup is removed again, the tool keeps running and `why` says what happened
// (empty when ui.ShowError has shown it).
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
