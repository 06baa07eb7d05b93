#include "SelfReplace.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {
const char* const CRLF = "\r\n";

// Batch files split command words at spaces and treat & | < > ^ ( ) , ; = specially; a path
// holding any of them is written in double quotes, and % (expanded even inside quotes) is
// doubled. Paths without such characters are written exactly as they are.
std::string BatchWord(const std::string& path) {
    bool quote = path.find_first_of(" &|<>^(),;=") != std::string::npos;
    std::string word;
    for (char c : path) {
        word += c;
        if (c == '%')
            word += '%';
    }
    return quote ? "\"" + word + "\"" : word;
}

uint32_t LittleEndian32(const std::vector<uint8_t>& b, size_t at) {
    return b[at] | static_cast<uint32_t>(b[at + 1]) << 8 | static_cast<uint32_t>(b[at + 2]) << 16 |
           static_cast<uint32_t>(b[at + 3]) << 24;
}
} // namespace

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
    return "Cannot create file \"" + path + "\". " + std::strerror(err);
}

int WriteWholeFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    errno = 0;
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file)
        return errno ? errno : EIO;
    int err = 0;
    if (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size())
        err = errno ? errno : EIO;
    if (std::fclose(file) != 0 && err == 0)
        err = errno ? errno : EIO;
    if (err != 0)
        std::remove(path.c_str());
    return err;
}

void SplitWindowsPath(const std::string& path, std::string& dir, std::string& namePart) {
    size_t cut = path.rfind('\\');
    if (cut == std::string::npos) {
        dir.clear();
        namePart = "\\" + path;
        return;
    }
    dir = path.substr(0, cut);
    namePart = path.substr(cut);
}

std::string UpdateBatPath(const std::string& exe) {
    size_t nameStart = exe.rfind('\\');
    nameStart = nameStart == std::string::npos ? 0 : nameStart + 1;
    size_t dot = exe.rfind('.');
    if (dot == std::string::npos || dot < nameStart)
        return exe + ".bat";
    return exe.substr(0, dot) + ".bat";
}

TUpdateBat BuildUpdateBat(const std::string& shortDir, const std::string& namePart) {
    TUpdateBat bat;
    bat.exe = shortDir + namePart;
    bat.backup = bat.exe + ".bak";
    bat.path = UpdateBatPath(bat.exe);
    const std::string e = BatchWord(bat.exe);
    const std::string b = BatchWord(bat.backup);
    bat.text = std::string(":try") + CRLF +                 //
               "del  " + e + CRLF +                         //
               "if   exist  " + e + "  goto   try" + CRLF + //
               "copy " + b + "  " + e + CRLF +              //
               "del  " + b + CRLF +                         //
               e + " AG" + CRLF +                           //
               "del   %0" + CRLF;
    return bat;
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
    // The rename is the only step that touches the executable: until it has happened the old
    // tool is in place, afterwards the new one. A failed chmod or mv leaves both files as they
    // are and starts nothing.
    script.text = "#!/bin/sh\n"
                  "# Puts the new Kestrel executable in place once the running one has ended.\n"
                  "exe=" +
                  ShellQuote(script.exe) + "\n" + "bak=" + ShellQuote(script.backup) + "\n" +
                  "self=" + ShellQuote(script.path) + "\n" + "while kill -0 " + pid +
                  " 2>/dev/null; do sleep 0.1; done\n" +
                  "if chmod +x -- \"$bak\" && mv -f -- \"$bak\" \"$exe\"; then\n"
                  "    nohup nice -n 19 \"$exe\" AG </dev/null >/dev/null 2>&1 &\n"
                  "fi\n"
                  "rm -f -- \"$self\"\n";
    return script;
}

bool IsElfImageLike(const std::vector<uint8_t>& image, const std::vector<uint8_t>& reference) {
    // e_ident (16 bytes), e_type (2), e_machine (2).
    const size_t header = 20;
    if (image.size() < header || reference.size() < header)
        return false;
    if (image[0] != 0x7F || image[1] != 'E' || image[2] != 'L' || image[3] != 'F')
        return false;
    // Class (32/64 bit) and byte order must be those of the running executable.
    if (image[4] != reference[4] || image[5] != reference[5])
        return false;
    bool little = image[5] == 1;
    auto half = [little](const std::vector<uint8_t>& b, size_t at) {
        return little ? b[at] | (b[at + 1] << 8) : (b[at] << 8) | b[at + 1];
    };
    int type = half(image, 16);
    if (type != 2 && type != 3) // ET_EXEC or ET_DYN (position-independent executables)
        return false;
    return half(image, 18) == half(reference, 18);
}

bool IsPeImage(const std::vector<uint8_t>& image) {
    if (image.size() < 0x40 || image[0] != 'M' || image[1] != 'Z')
        return false;
    uint32_t pe = LittleEndian32(image, 0x3C);
    if (pe > image.size() || image.size() - pe < 4)
        return false;
    return image[pe] == 'P' && image[pe + 1] == 'E' && image[pe + 2] == 0 && image[pe + 3] == 0;
}

TReplaceOutcome ReplaceSelf(TWorkflowUI& ui, const TMemoryStream& image, const std::string& exePath,
                            long waitPid) {
    if (image.Size() == 0 || exePath.empty() || !IsExecutableForThisPlatform(image.Bytes()))
        return TReplaceOutcome::Refused;

    // The whole stream, from its first byte whatever its position.
    const std::string backup = BackupPath(exePath);
    if (int err = WriteWholeFile(backup, image.Bytes())) {
        ui.ShowError(CreateFileErrorText(backup, err));
        return TReplaceOutcome::Failed;
    }
    std::string error;
    // Terminate only once the script runs: a tool that ended without a script would not come
    // back at all.
    if (!RunUpdateBat(exePath, waitPid, error)) {
        std::remove(backup.c_str());
        ui.ShowError(error);
        return TReplaceOutcome::Failed;
    }
    ui.RequestTerminate();
    return TReplaceOutcome::Started;
}
