#include "SelfReplace.h"
#include "SystemText.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

std::string IoErrorText(int err) {
    switch (err) {
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
        return "File access denied";
    case ENOSPC:
#ifdef EDQUOT
    case EDQUOT:
#endif
        return "Disk full";
    case ENOENT:
    case ENOTDIR:
        return "File not found";
    case EINVAL:
    case ENAMETOOLONG:
        return "Invalid filename";
    case EMFILE:
    case ENFILE:
        return "Too many open files";
    default:
        return "I/O error " + std::to_string(err);
    }
}

std::string CreateFileErrorText(const std::string& path, int err) {
    return "Cannot create file \"" + path + "\". " +
           (err == EEXIST ? InTheWayText(path) : std::strerror(err));
}

std::string InTheWayText(const std::string& path) {
    return "A file that is not this user's own (another user's, or one that cannot be deleted) is "
           "in the way at \"" +
           path + "\": remove it, then try again.";
}

int WriteWholeFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    errno = 0;
    if (!RemoveOwnFile(path))
        return errno ? errno : EIO;
    std::FILE* file = CreateNewFile(path);
    if (!file)
        return errno ? errno : EIO;
    int err = 0;
    if (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size())
        err = errno ? errno : EIO;
    if (std::fclose(file) != 0 && err == 0)
        err = errno ? errno : EIO;
    if (err != 0)
        RemoveFile(path);
    return err;
}

std::string ShellQuote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    return quoted + "'";
}

std::string BackupPath(const std::string& exePath) {
    return exePath + ".bak";
}

TUpdateScript BuildUpdateScript(const std::string& exePath, long waitPid) {
    TUpdateScript script;
    script.exe = exePath;
    script.backup = BackupPath(exePath);
    script.path = exePath + ".update.sh";
    const std::string pid = std::to_string(waitPid);
    // Only the wait for the old tool runs at the lowest priority (in a shell of its own, named
    // after the script); the script, and so the new tool, keeps the priority of the tool that
    // started it. Without `nice` the wait runs as it is. The rename is the only step that
    // touches the executable: until it has happened the old tool is in place, afterwards the
    // new one. A failed chmod or mv leaves both files as they are and starts nothing.
    const std::string wait = "while kill -0 " + pid + " 2>/dev/null; do sleep 0.1; done";
    script.text = "#!/bin/sh\n"
                  "# Puts the new Kestrel executable in place once the running one has ended.\n"
                  "exe=" +
                  ShellQuote(script.exe) + "\n" + "bak=" + ShellQuote(script.backup) + "\n" +
                  "self=" + ShellQuote(script.path) + "\n" + "nice -n 19 /bin/sh -c '" + wait +
                  "' \"$self\" || " + wait + "\n" +
                  "if chmod +x -- \"$bak\" && mv -f -- \"$bak\" \"$exe\"; then\n"
                  "    nohup \"$exe\" AG </dev/null >/dev/null 2>&1 &\n"
                  "fi\n"
                  "rm -f -- \"$self\"\n";
    return script;
}

namespace {
// Reads unsigned fields of an image in its own byte order; a field past the end reads as absent.
struct TFields {
    const std::vector<uint8_t>& b;
    bool little;
    bool Has(uint64_t at, uint64_t size) const { return at <= b.size() && size <= b.size() - at; }
    uint64_t Get(uint64_t at, unsigned size) const {
        uint64_t value = 0;
        for (unsigned i = 0; i < size; ++i)
            value |= uint64_t{b[at + (little ? i : size - 1 - i)]} << (8 * i);
        return value;
    }
};

bool Refuse(std::string* fault, const char* why) {
    if (fault)
        *fault = why;
    return false;
}
} // namespace

namespace {
// What an ELF header says, once it has been checked against the running executable's.
struct TElfHeader {
    bool wide = false; // a 64-bit image
    unsigned word = 4; // the size of an address or offset
    uint64_t type = 0; // ET_EXEC or ET_DYN
};

// An ELF file of the running executable's class, byte order and machine, its header whole, an
// executable or a position-independent one.
bool ReadElfHeader(const std::vector<uint8_t>& image, const std::vector<uint8_t>& reference,
                   TElfHeader& header, std::string* fault) {
    if (image.size() < 20 || image[0] != 0x7F || image[1] != 'E' || image[2] != 'L' ||
        image[3] != 'F')
        return Refuse(fault, "it is not an ELF file");
    // Class (32/64 bit), byte order and machine must be those of the running executable.
    if (reference.size() < 20 || image[4] != reference[4] || image[5] != reference[5] ||
        (image[4] != 1 && image[4] != 2))
        return Refuse(fault, "it is built for another word size or byte order");
    const TFields f{image, image[5] == 1};
    if (f.Get(18, 2) != TFields{reference, f.little}.Get(18, 2))
        return Refuse(fault, "it is built for another machine");
    header.wide = image[4] == 2;
    header.word = header.wide ? 8 : 4;
    if (image.size() < (header.wide ? 64U : 52U))
        return Refuse(fault, "its ELF header is cut short");
    header.type = f.Get(16, 2);
    if (header.type != 2 && header.type != 3) // ET_EXEC, or ET_DYN for a position-independent one
        return Refuse(fault, "it is not an executable program");
    return true;
}

// What the program headers name: whether anything is loaded, a program interpreter, and where
// the dynamic section lies.
struct TElfSegments {
    bool loads = false;
    bool interpreter = false;
    uint64_t dynamicAt = 0, dynamicSize = 0;
};

// The program headers, and every part of the file they load or name, lie within the file.
bool ReadElfSegments(const TFields& f, const TElfHeader& header, TElfSegments& segments,
                     std::string* fault) {
    const bool wide = header.wide;
    const uint64_t entrySize = wide ? 56 : 32; // one program header
    const uint64_t phoff = f.Get(wide ? 32 : 28, header.word);
    const uint64_t phentsize = f.Get(wide ? 54 : 42, 2);
    const uint64_t phnum = f.Get(wide ? 56 : 44, 2);
    if (phnum == 0 || phnum == 0xFFFF || phentsize < entrySize || !f.Has(phoff, phnum * phentsize))
        return Refuse(fault, "its program headers are missing or lie beyond the end of the file");
    for (uint64_t i = 0; i < phnum; ++i) {
        const uint64_t at = phoff + i * phentsize;
        const uint64_t ptype = f.Get(at, 4);
        const uint64_t offset = f.Get(at + (wide ? 8 : 4), header.word);
        const uint64_t filesz = f.Get(at + (wide ? 32 : 16), header.word);
        if (ptype != 1 && ptype != 2 && ptype != 3) // PT_LOAD, PT_DYNAMIC, PT_INTERP
            continue;
        if (!f.Has(offset, filesz))
            return Refuse(fault, "a part it loads lies beyond the end of the file");
        segments.loads = segments.loads || ptype == 1;
        segments.interpreter = segments.interpreter || ptype == 3;
        if (ptype == 2) {
            segments.dynamicAt = offset;
            segments.dynamicSize = filesz;
        }
    }
    return true;
}

// Whether the dynamic section marks a static position-independent executable (DF_1_PIE in
// DT_FLAGS_1).
bool MarkedPie(const TFields& f, unsigned word, const TElfSegments& segments) {
    const uint64_t entry = 2 * uint64_t{word}; // d_tag and d_val
    const uint64_t end = segments.dynamicAt + segments.dynamicSize;
    for (uint64_t at = segments.dynamicAt; at + entry <= end; at += entry) {
        const uint64_t tag = f.Get(at, word);
        if (tag == 0) // DT_NULL
            break;
        if (tag == 0x6FFFFFFB && (f.Get(at + word, word) & 0x08000000) != 0)
            return true;
    }
    return false;
}
} // namespace

bool IsElfProgram(const std::vector<uint8_t>& image, const std::vector<uint8_t>& reference,
                  std::string* fault) {
    TElfHeader header;
    if (!ReadElfHeader(image, reference, header, fault))
        return false;
    const TFields f{image, image[5] == 1};
    TElfSegments segments;
    if (!ReadElfSegments(f, header, segments, fault))
        return false;
    if (!segments.loads)
        return Refuse(fault, "it loads nothing");
    if (header.type == 2 || segments.interpreter)
        return true;
    // ET_DYN without an interpreter: only a static position-independent executable; anything
    // else is a shared library.
    if (MarkedPie(f, header.word, segments))
        return true;
    return Refuse(fault, "it is a shared library, not a program");
}

bool IsPeImage(const std::vector<uint8_t>& image, uint16_t machine, std::string* fault) {
    const TFields f{image, true};
    if (image.size() < 0x40 || image[0] != 'M' || image[1] != 'Z')
        return Refuse(fault, "it is not a Windows program (no MZ header)");
    const uint64_t pe = f.Get(0x3C, 4);
    // The signature and the file header (20 bytes) after it.
    if (!f.Has(pe, 24) || image[pe] != 'P' || image[pe + 1] != 'E' || image[pe + 2] != 0 ||
        image[pe + 3] != 0)
        return Refuse(fault, "it is not a Windows program (no PE header)");
    if (f.Get(pe + 4, 2) != machine)
        return Refuse(fault, "it is built for another machine");
    const uint64_t sections = f.Get(pe + 6, 2);
    const uint64_t optionalSize = f.Get(pe + 20, 2);
    const uint64_t characteristics = f.Get(pe + 22, 2);
    if ((characteristics & 0x0002) == 0) // IMAGE_FILE_EXECUTABLE_IMAGE
        return Refuse(fault, "it is not marked executable");
    if ((characteristics & 0x2000) != 0) // IMAGE_FILE_DLL
        return Refuse(fault, "it is a library (DLL), not a program");
    // The optional header and the section table, 40 bytes a section, and the sections' raw
    // data lie within the file.
    const uint64_t table = pe + 24 + optionalSize;
    if (optionalSize < 2 || !f.Has(pe + 24, optionalSize) || !f.Has(table, sections * 40))
        return Refuse(fault, "its headers lie beyond the end of the file");
    const uint64_t magic = f.Get(pe + 24, 2); // PE32 or PE32+
    if (magic != 0x10B && magic != 0x20B)
        return Refuse(fault, "its optional header is not that of a program image");
    for (uint64_t i = 0; i < sections; ++i) {
        const uint64_t at = table + i * 40;
        if (!f.Has(f.Get(at + 20, 4), f.Get(at + 16, 4))) // PointerToRawData, SizeOfRawData
            return Refuse(fault, "a section lies beyond the end of the file");
    }
    return true;
}

int UpdateKeyCount(std::string_view versionLine) {
    constexpr std::string_view label = "update keys: ";
    size_t at = versionLine.find(label);
    if (at == std::string_view::npos)
        return -1;
    int count = -1;
    for (size_t i = at + label.size(); i < versionLine.size() && count < 1000; ++i) {
        char c = versionLine[i];
        if (c < '0' || c > '9')
            break;
        count = (count < 0 ? 0 : count * 10) + (c - '0');
    }
    return count;
}

TReplaceOutcome ReplaceSelf(TWorkflowUI& ui, const TMemoryStream& image, const std::string& exePath,
                            long waitPid, bool mustVerify, std::string& why) {
    why.clear();
    if (image.Size() == 0 || exePath.empty()) {
        why = image.Size() == 0 ? "the server sent an empty file"
                                : "the path of the running executable is unknown";
        return TReplaceOutcome::Refused;
    }
    if (!IsExecutableForThisPlatform(image.Bytes(), &why))
        return TReplaceOutcome::Refused;

    // The whole stream, from its first byte whatever its position.
    const std::string backup = BackupPath(exePath);
    if (int err = WriteWholeFile(backup, image.Bytes())) {
        ui.ShowError(CreateFileErrorText(backup, err));
        return TReplaceOutcome::Failed;
    }
    // A tool that does not even answer --version would leave the user without a working one; a
    // verifying tool never hands over to one that would take unsigned updates.
    std::string answer;
    if (!AnswersVersion(backup, ReplaceLimits::VersionAnswer, why, &answer)) {
        RemoveFile(backup);
        return TReplaceOutcome::Refused;
    }
    if (mustVerify && UpdateKeyCount(answer) < 1) {
        RemoveFile(backup);
        std::string line = answer.substr(0, answer.find_first_of("\r\n"));
        why = "the new tool would verify no updates (its version line \"" + line.substr(0, 120) +
              "\" names no update key), and this tool never installs one that takes unsigned "
              "updates";
        return TReplaceOutcome::Untrusted;
    }
    std::string error;
    // Terminate only once the replacement is under way: a tool that ended without it would not
    // come back at all.
    if (!StartReplacement(exePath, waitPid, error)) {
        RemoveFile(backup);
        ui.ShowError(error);
        return TReplaceOutcome::Failed;
    }
    ui.RequestTerminate();
    return TReplaceOutcome::Started;
}

bool JudgeVersionRun(TVersionRun run, std::chrono::milliseconds limit, std::string& fault,
                     std::string* answer) {
    if (!run.ended)
        fault = "it did not answer --version within " + std::to_string(limit.count()) + " ms";
    else if (run.signal != 0)
        fault = "it was ended by signal " + std::to_string(run.signal) + " on --version";
    else if (run.status != 0)
        fault = "it ended with status " + std::to_string(run.status) + " on --version";
    else if (run.output.find_first_not_of(" \t\r\n") == std::string::npos)
        fault = "it printed nothing on --version";
    else {
        if (answer)
            *answer = std::move(run.output);
        return true;
    }
    return false;
}

void TVersionRun::Take(const char* bytes, size_t count) {
    if (!Full())
        output.append(bytes, count);
}

TVersionRun WatchVersionTrial(TVersionTrial& trial, std::chrono::milliseconds limit) {
    // Its output and its end, both within the limit; a wait that returns early is waited again.
    const auto deadline = std::chrono::steady_clock::now() + limit;
    TVersionRun run;
    while (!run.ended) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            break;
        // Its end is looked for every few milliseconds, more often once its output has closed.
        const std::chrono::milliseconds look =
            trial.OutputOpen() ? ReplaceLimits::TrialLook : ReplaceLimits::TrialEndLook;
        run.ended = trial.Wait(std::min(left, look), run);
    }
    if (!run.ended)
        trial.Stop();
    trial.Conclude(run);
    return run;
}

bool AnswersVersion(const std::string& path, std::chrono::milliseconds limit, std::string& fault,
                    std::string* answer) {
    std::unique_ptr<TVersionTrial> trial = StartVersionTrial(path, fault);
    if (!trial)
        return false;
    TVersionRun run = WatchVersionTrial(*trial, limit);
    if (std::string failed = trial->StartFault(); !failed.empty()) {
        fault = std::move(failed);
        return false;
    }
    return JudgeVersionRun(std::move(run), limit, fault, answer);
}

bool WriteUpdateScript(const std::string& path, const std::string& text, std::string& error) {
    if (int err = WriteWholeFile(path, std::vector<uint8_t>(text.begin(), text.end()))) {
        error = err == EEXIST ? InTheWayText(path) : IoErrorText(err);
        return false;
    }
    return true;
}
