// Self-replacement on every platform: the batch file text, the shell script text, the backup
// path and the PE header check.
#include "SelfReplace.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

// ---- The Windows batch file ----

TEST(UpdateBat, SevenLinesWithExactSpacingAndCrLf) {
    TUpdateBat bat = BuildUpdateBat("C:\\Program Files\\VELT\\Kestrel.exe");
    EXPECT_EQ(bat.exe, "C:\\Program Files\\VELT\\Kestrel.exe");
    EXPECT_EQ(bat.backup, "C:\\Program Files\\VELT\\Kestrel.exe.bak");
    EXPECT_EQ(bat.path, "C:\\Program Files\\VELT\\Kestrel.bat");
    EXPECT_EQ(bat.text, ":try\r\n"
                        "del  \"%~dpn0.exe\"\r\n"
                        "if   exist  \"%~dpn0.exe\"  goto   try\r\n"
                        "copy \"%~dpn0.exe.bak\"  \"%~dpn0.exe\"\r\n"
                        "del  \"%~dpn0.exe.bak\"\r\n"
                        "\"%~dpn0.exe\" AG\r\n"
                        "del   %0\r\n");
}

namespace {
// The lines as cmd runs them: %~dpn0 is the batch file's full path without its extension, %%
// one percent sign.
std::vector<std::string> ExpandedLines(const TUpdateBat& bat) {
    const std::string self = bat.path.substr(0, bat.path.size() - 4);
    std::vector<std::string> lines;
    std::string line;
    for (size_t at = 0; at < bat.text.size(); ++at) {
        if (bat.text.compare(at, 2, "\r\n") == 0) {
            lines.push_back(line);
            line.clear();
            ++at;
        } else if (bat.text.compare(at, 6, "%~dpn0") == 0) {
            line += self;
            at += 5;
        } else {
            line += bat.text[at];
            if (bat.text.compare(at, 2, "%%") == 0)
                ++at;
        }
    }
    return lines;
}
} // namespace

TEST(UpdateBat, NamesTheExecutableAndItsBackupInAnyFolder) {
    // Chinese and spaces in the folder or the name, dots in the folder, several dots or none in
    // the name, characters cmd treats specially, and a path longer than 260 characters.
    const std::string deep = "D:\\" + std::string(250, 'd') + "\\" + std::string(30, 'e');
    for (const std::string& exe : std::vector<std::string>{
             "C:\\Program Files\\VELT\\Kestrel.exe", "D:\\升级 工具\\Kestrel Upgrade.exe",
             "D:\\升级 工具\\升级工具.exe", "C:\\TOOLS 1.2\\kestrel", "C:\\K\\my tool&100%.v2.e%e",
             deep + "\\Kestrel.exe"}) {
        SCOPED_TRACE(exe);
        TUpdateBat bat = BuildUpdateBat(exe);
        EXPECT_EQ(bat.backup, BackupPath(exe));
        // Plain ASCII, whatever the folder: any code page cmd reads it in holds it.
        EXPECT_TRUE(std::all_of(bat.text.begin(), bat.text.end(),
                                [](char c) { return static_cast<unsigned char>(c) < 0x80; }));
        const std::string e = "\"" + exe + "\"", b = "\"" + BackupPath(exe) + "\"";
        EXPECT_EQ(
            ExpandedLines(bat),
            (std::vector<std::string>{":try", "del  " + e, "if   exist  " + e + "  goto   try",
                                      "copy " + b + "  " + e, "del  " + b, e + " AG", "del   %0"}));
    }
}

TEST(UpdateBat, BatchFileNaming) {
    EXPECT_EQ(UpdateBatPath("C:\\K\\Kestrel.exe"), "C:\\K\\Kestrel.bat");
    EXPECT_EQ(UpdateBatPath("C:\\K\\Kestrel"), "C:\\K\\Kestrel.bat");
    EXPECT_EQ(UpdateBatPath("C:\\K\\Kestrel.v2.exe"), "C:\\K\\Kestrel.v2.bat");
    // A dot in the directory is no extension of the file name.
    EXPECT_EQ(UpdateBatPath("C:\\TOOLS~1.2\\kestrel"), "C:\\TOOLS~1.2\\kestrel.bat");
    EXPECT_EQ(UpdateBatPath("C:\\K\\Kestrel."), "C:\\K\\Kestrel.bat");
}

TEST(UpdateBat, BackupPathIsTheExecutablesOwnNameWithBak) {
    EXPECT_EQ(BackupPath("/opt/kestrel/kestrel"), "/opt/kestrel/kestrel.bak");
    EXPECT_EQ(BackupPath("C:\\K\\Kestrel.exe"), "C:\\K\\Kestrel.exe.bak");
}

// ---- Header checks ----

TEST(ToolImage, PeMustBeAProgramForTheMachineWithinTheFile) {
    // MZ, the PE header at 0x80, an optional header of 0xF0 bytes, one section with raw data.
    std::vector<uint8_t> pe(0x210, 0);
    auto put16 = [&](size_t at, uint16_t v) {
        pe[at] = uint8_t(v);
        pe[at + 1] = uint8_t(v >> 8);
    };
    pe[0] = 'M';
    pe[1] = 'Z';
    pe[0x3C] = 0x80;
    pe[0x80] = 'P';
    pe[0x81] = 'E';
    put16(0x84, kPeMachineAmd64);
    put16(0x86, 1);      // sections
    put16(0x94, 0xF0);   // optional header size
    put16(0x96, 0x0022); // executable image, large address aware
    put16(0x98, 0x20B);  // PE32+
    pe[0x188 + 20] = 0x00;
    pe[0x188 + 21] = 0x02; // raw data at 0x200
    pe[0x188 + 16] = 0x10; // of 16 bytes
    std::string fault;
    EXPECT_TRUE(IsPeImage(pe, kPeMachineAmd64, &fault)) << fault;

    auto refusedFor = [&](const std::vector<uint8_t>& image, const std::string& why) {
        std::string got;
        EXPECT_FALSE(IsPeImage(image, kPeMachineAmd64, &got));
        EXPECT_EQ(got, why);
    };
    std::vector<uint8_t> dll = pe;
    dll[0x97] |= 0x20;
    refusedFor(dll, "it is a library (DLL), not a program");
    std::vector<uint8_t> notExecutable = pe;
    notExecutable[0x96] &= 0xFD;
    refusedFor(notExecutable, "it is not marked executable");
    EXPECT_FALSE(IsPeImage(pe, 0x014C)); // built for x86-64, not i386
    refusedFor({pe.begin(), pe.begin() + 0x190}, "its headers lie beyond the end of the file");
    refusedFor({pe.begin(), pe.begin() + 0x208}, "a section lies beyond the end of the file");
    std::vector<uint8_t> mzOnly = pe;
    mzOnly[0x80] = 0;
    refusedFor(mzOnly, "it is not a Windows program (no PE header)");
    std::vector<uint8_t> pastEnd = pe;
    pastEnd[0x3D] = 0x02; // the signature would lie beyond the image
    refusedFor(pastEnd, "it is not a Windows program (no PE header)");
    std::vector<uint8_t> huge = pe;
    huge[0x3F] = 0xFF;
    EXPECT_FALSE(IsPeImage(huge, kPeMachineAmd64));
    EXPECT_FALSE(IsPeImage({'M', 'Z'}, kPeMachineAmd64));
    EXPECT_FALSE(IsPeImage({}, kPeMachineAmd64));
}

// ---- The POSIX script ----

TEST(UpdateScript, QuotesEveryPath) {
    EXPECT_EQ(ShellQuote("a b"), "'a b'");
    EXPECT_EQ(ShellQuote("it's"), "'it'\\''s'");
    TUpdateScript script = BuildUpdateScript("/opt/k k/kestrel", 4242);
    EXPECT_EQ(script.backup, "/opt/k k/kestrel.bak");
    EXPECT_EQ(script.path, "/opt/k k/kestrel.update.sh");
    EXPECT_NE(script.text.find("while kill -0 4242 2>/dev/null"), std::string::npos);
    // Nothing removes the executable: it is only ever replaced by the rename.
    EXPECT_EQ(script.text.find("rm -f -- \"$exe\""), std::string::npos);
}
