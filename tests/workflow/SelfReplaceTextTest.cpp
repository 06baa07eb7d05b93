// Self-replacement on every platform: the backup path, the shell script text and the header
// checks.
#include "SelfReplace.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

TEST(SelfReplace, BackupPathIsTheExecutablesOwnNameWithBak) {
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
