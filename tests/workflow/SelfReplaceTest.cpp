#include "SelfReplace.h"
#include "ChildProcess.h"
#include "Deadline.h"
#include "FakeUI.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <thread>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {
std::vector<uint8_t> FileVector(const std::string& path) {
    std::string bytes = ReadFileBytes(path);
    return std::vector<uint8_t>(bytes.begin(), bytes.end());
}

TMemoryStream StreamOf(const std::vector<uint8_t>& bytes) {
    TMemoryStream stream;
    stream.Write(bytes.data(), bytes.size());
    return stream;
}

bool IsExecutable(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && (st.st_mode & S_IXUSR);
}

std::vector<std::string> DirEntries(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// The ids of the processes whose command line contains `needle`, with their parents.
std::vector<std::pair<long, long>> Processes(const std::string& needle = "") {
    std::vector<std::pair<long, long>> found;
    for (const auto& e : fs::directory_iterator("/proc")) {
        std::string name = e.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        std::string cmdline = ReadFileBytes(e.path().string() + "/cmdline");
        if (cmdline.find(needle) == std::string::npos)
            continue;
        std::string stat = ReadFileBytes(e.path().string() + "/stat");
        size_t close = stat.rfind(')');
        if (close == std::string::npos)
            continue;
        long ppid = std::atol(stat.c_str() + stat.find(' ', close + 2) + 1);
        found.emplace_back(std::stol(name), ppid);
    }
    return found;
}

// True once the update script sits in its waiting loop: it has a `sleep` child.
bool ScriptIsWaiting(const std::string& scriptPath) {
    for (auto [script, parent] : Processes(scriptPath))
        for (auto [child, ppid] : Processes("sleep"))
            if (ppid == script)
                return true;
    return false;
}

// A folder name that needs every kind of shell quoting.
const std::string AwkwardDir = "tool dir 'q' \"d\" $HOME;&|*`x`";
} // namespace

// ---- The Windows batch file ----

TEST(UpdateBat, SevenLinesWithExactSpacingAndCrLf) {
    TUpdateBat bat = BuildUpdateBat("C:\\PROGRA~1\\VELT", "\\Kestrel.exe");
    EXPECT_EQ(bat.exe, "C:\\PROGRA~1\\VELT\\Kestrel.exe");
    EXPECT_EQ(bat.backup, "C:\\PROGRA~1\\VELT\\Kestrel.exe.bak");
    EXPECT_EQ(bat.path, "C:\\PROGRA~1\\VELT\\Kestrel.bat");
    EXPECT_EQ(bat.text,
              ":try\r\n"
              "del  C:\\PROGRA~1\\VELT\\Kestrel.exe\r\n"
              "if   exist  C:\\PROGRA~1\\VELT\\Kestrel.exe  goto   try\r\n"
              "copy C:\\PROGRA~1\\VELT\\Kestrel.exe.bak  C:\\PROGRA~1\\VELT\\Kestrel.exe\r\n"
              "del  C:\\PROGRA~1\\VELT\\Kestrel.exe.bak\r\n"
              "C:\\PROGRA~1\\VELT\\Kestrel.exe AG\r\n"
              "del   %0\r\n");
}

TEST(UpdateBat, UsesTheExecutablesOwnLongName) {
    // Directory in short form, file name long; the backup follows the file name.
    TUpdateBat bat = BuildUpdateBat("D:\\DOCUME~1\\UPDATE~1", "\\VeltUpgradeTool.exe");
    EXPECT_EQ(bat.text, ":try\r\n"
                        "del  D:\\DOCUME~1\\UPDATE~1\\VeltUpgradeTool.exe\r\n"
                        "if   exist  D:\\DOCUME~1\\UPDATE~1\\VeltUpgradeTool.exe  goto   try\r\n"
                        "copy D:\\DOCUME~1\\UPDATE~1\\VeltUpgradeTool.exe.bak  "
                        "D:\\DOCUME~1\\UPDATE~1\\VeltUpgradeTool.exe\r\n"
                        "del  D:\\DOCUME~1\\UPDATE~1\\VeltUpgradeTool.exe.bak\r\n"
                        "D:\\DOCUME~1\\UPDATE~1\\VeltUpgradeTool.exe AG\r\n"
                        "del   %0\r\n");
    EXPECT_EQ(bat.path, "D:\\DOCUME~1\\UPDATE~1\\VeltUpgradeTool.bat");
}

TEST(UpdateBat, BatchFileNaming) {
    EXPECT_EQ(UpdateBatPath("C:\\K\\Kestrel.exe"), "C:\\K\\Kestrel.bat");
    EXPECT_EQ(UpdateBatPath("C:\\K\\Kestrel"), "C:\\K\\Kestrel.bat");
    EXPECT_EQ(UpdateBatPath("C:\\K\\Kestrel.v2.exe"), "C:\\K\\Kestrel.v2.bat");
    // A dot in the directory is no extension of the file name.
    EXPECT_EQ(UpdateBatPath("C:\\TOOLS~1.2\\kestrel"), "C:\\TOOLS~1.2\\kestrel.bat");
    EXPECT_EQ(UpdateBatPath("C:\\K\\Kestrel."), "C:\\K\\Kestrel.bat");
}

TEST(UpdateBat, SplitsAtTheLastBackslash) {
    std::string dir, name;
    SplitWindowsPath("C:\\Program Files\\VELT\\Kestrel.exe", dir, name);
    EXPECT_EQ(dir, "C:\\Program Files\\VELT");
    EXPECT_EQ(name, "\\Kestrel.exe");
    SplitWindowsPath("Kestrel.exe", dir, name);
    EXPECT_EQ(dir, "");
    EXPECT_EQ(name, "\\Kestrel.exe");
}

TEST(UpdateBat, BackupWrittenIsTheFileTheBatchCopies) {
    // The tool writes the backup under the long path, the batch names it under the short one:
    // both end in the executable's own name + ".bak", whatever that name is.
    for (std::string name : {"\\Kestrel.exe", "\\velt.exe", "\\kestrel"}) {
        TUpdateBat bat = BuildUpdateBat("C:\\PROGRA~1\\VELT", name);
        EXPECT_EQ(BackupPath("C:\\Program Files\\VELT" + name),
                  "C:\\Program Files\\VELT" +
                      bat.backup.substr(std::string("C:\\PROGRA~1\\VELT").size()));
    }
    EXPECT_EQ(BackupPath("/opt/kestrel/kestrel"), "/opt/kestrel/kestrel.bak");
    EXPECT_EQ(BackupPath("C:\\K\\Kestrel.exe"), "C:\\K\\Kestrel.exe.bak");
}

TEST(UpdateBat, FileNameWithSpacesOrSpecialCharactersIsQuoted) {
    // Unquoted, "del  C:\K\my tool.exe" would delete "C:\K\my" and "tool.exe" of the current
    // folder, and the "if exist" line would run "tool.exe".
    TUpdateBat bat = BuildUpdateBat("C:\\K", "\\my tool&100%.exe");
    EXPECT_EQ(bat.text, ":try\r\n"
                        "del  \"C:\\K\\my tool&100%%.exe\"\r\n"
                        "if   exist  \"C:\\K\\my tool&100%%.exe\"  goto   try\r\n"
                        "copy \"C:\\K\\my tool&100%%.exe.bak\"  \"C:\\K\\my tool&100%%.exe\"\r\n"
                        "del  \"C:\\K\\my tool&100%%.exe.bak\"\r\n"
                        "\"C:\\K\\my tool&100%%.exe\" AG\r\n"
                        "del   %0\r\n");
    EXPECT_EQ(bat.path, "C:\\K\\my tool&100%.bat");
}

// ---- Header checks ----

TEST(ToolImage, ElfMustMatchTheRunningExecutable) {
    std::vector<uint8_t> self = FileVector("/proc/self/exe");
    ASSERT_GT(self.size(), 64u);
    std::vector<uint8_t> header(self.begin(), self.begin() + 64);
    EXPECT_TRUE(IsElfImageLike(self, header));
    EXPECT_TRUE(IsExecutableForThisPlatform(self));

    std::vector<uint8_t> foreign = self;
    foreign[18] ^= 0x5A; // another machine
    EXPECT_FALSE(IsElfImageLike(foreign, header));
    EXPECT_FALSE(IsExecutableForThisPlatform(foreign));
    std::vector<uint8_t> otherClass = self;
    otherClass[4] = otherClass[4] == 1 ? 2 : 1;
    EXPECT_FALSE(IsExecutableForThisPlatform(otherClass));
    std::vector<uint8_t> relocatable = self;
    relocatable[16] = 1; // ET_REL: an object file, not a program
    relocatable[17] = 0;
    EXPECT_FALSE(IsExecutableForThisPlatform(relocatable));

    EXPECT_FALSE(IsExecutableForThisPlatform({}));
    EXPECT_FALSE(IsExecutableForThisPlatform({0x7F, 'E', 'L', 'F'}));
    std::string script = "#!/bin/sh\necho hello\n";
    EXPECT_FALSE(IsExecutableForThisPlatform(std::vector<uint8_t>(script.begin(), script.end())));
}

TEST(ToolImage, PeNeedsMzAndPeSignature) {
    std::vector<uint8_t> pe(0x100, 0);
    pe[0] = 'M';
    pe[1] = 'Z';
    pe[0x3C] = 0x80;
    pe[0x80] = 'P';
    pe[0x81] = 'E';
    EXPECT_TRUE(IsPeImage(pe));
    std::vector<uint8_t> mzOnly = pe;
    mzOnly[0x80] = 0;
    EXPECT_FALSE(IsPeImage(mzOnly));
    std::vector<uint8_t> pastEnd = pe;
    pastEnd[0x3C] = 0xFE; // the signature would lie beyond the image
    EXPECT_FALSE(IsPeImage(pastEnd));
    std::vector<uint8_t> huge = pe;
    huge[0x3F] = 0xFF;
    EXPECT_FALSE(IsPeImage(huge));
    EXPECT_FALSE(IsPeImage({'M', 'Z'}));
    EXPECT_FALSE(IsPeImage({}));
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

class UpdateScriptRun : public ::testing::Test {
protected:
    void SetUp() override {
        dir = tmp / AwkwardDir;
        fs::create_directory(dir);
        exe = dir + "/kestrel tool";
        log = tmp / "started.txt";
        // The old tool: a shell script that runs until it is stopped.
        WriteFileBytes(exe, "#!/bin/sh\nwhile :; do sleep 1; done\n");
        fs::permissions(exe, fs::perms::owner_all);
        setenv("KESTREL_FAKE_TOOL_LOG", log.c_str(), 1);
    }
    void TearDown() override {
        unsetenv("KESTREL_FAKE_TOOL_LOG");
        unsetenv("KESTREL_FAKE_TOOL_WATCH_PID");
    }

    TempDir tmp;
    std::string dir, exe, log;
};

TEST_F(UpdateScriptRun, WaitsForTheOldToolThenPutsTheNewOneInPlaceAndStartsIt) {
    ChildProcess oldTool({exe});
    setenv("KESTREL_FAKE_TOOL_WATCH_PID", std::to_string(oldTool.Pid()).c_str(), 1);
    const std::string newImage = ReadFileBytes(KESTREL_PATH_FAKE_TOOL);
    WriteFileBytes(BackupPath(exe), newImage); // saved without the executable bit

    std::string error;
    ASSERT_TRUE(RunUpdateBat(exe, oldTool.Pid(), error)) << error;
    const std::string scriptPath = exe + ".update.sh";
    // While the old tool runs, the script only waits.
    ASSERT_TRUE(WaitUntil(
        [&] { return ScriptIsWaiting(scriptPath) || fs::exists(log) || !fs::exists(scriptPath); }));
    EXPECT_FALSE(fs::exists(log));
    EXPECT_TRUE(fs::exists(scriptPath));
    EXPECT_NE(ReadFileBytes(exe), newImage);
    EXPECT_TRUE(fs::exists(BackupPath(exe)));

    oldTool.Stop();
    ASSERT_TRUE(WaitUntil([&] { return fs::exists(log); })) << "the new tool was not started";
    // The new tool started with AG, after the old one had ended.
    EXPECT_EQ(ReadFileBytes(log), "AG\nwatched-gone\n");
    EXPECT_EQ(ReadFileBytes(exe), newImage);
    EXPECT_TRUE(IsExecutable(exe));
    EXPECT_FALSE(fs::exists(BackupPath(exe)));
    EXPECT_TRUE(WaitUntil([&] { return !fs::exists(scriptPath); })) << "the script stayed";
    EXPECT_EQ(DirEntries(dir), std::vector<std::string>{"kestrel tool"});
}

TEST_F(UpdateScriptRun, MissingBackupLeavesTheOldToolInPlace) {
    ChildProcess oldTool({exe});
    const std::string oldImage = ReadFileBytes(exe);
    std::string error;
    ASSERT_TRUE(RunUpdateBat(exe, oldTool.Pid(), error)) << error;
    oldTool.Stop();
    ASSERT_TRUE(WaitUntil([&] { return !fs::exists(exe + ".update.sh"); }));
    EXPECT_EQ(ReadFileBytes(exe), oldImage);
    EXPECT_FALSE(fs::exists(log));
}

TEST_F(UpdateScriptRun, ScriptThatCannotBeWrittenIsReported) {
    std::string error;
    EXPECT_FALSE(RunUpdateBat(tmp / "no such folder/kestrel", 1, error));
    EXPECT_EQ(error, "File not found");
}

// ---- The kind-7 branch ----

class ReplaceSelfTest : public UpdateScriptRun {};

TEST_F(ReplaceSelfTest, RefusesImagesThatCannotRunHere) {
    FakeUI ui;
    std::string text = "#!/bin/sh\necho not a program\n";
    std::vector<uint8_t> foreign = FileVector(KESTREL_PATH_FAKE_TOOL);
    foreign[18] ^= 0x5A;
    for (const auto& image :
         {std::vector<uint8_t>{}, std::vector<uint8_t>(text.begin(), text.end()),
          std::vector<uint8_t>{'M', 'Z', 0, 0}, foreign}) {
        EXPECT_EQ(ReplaceSelf(ui, StreamOf(image), exe, 1), TReplaceOutcome::Refused);
        EXPECT_EQ(DirEntries(dir), std::vector<std::string>{"kestrel tool"});
    }
    EXPECT_TRUE(ui.Calls().empty());
}

TEST_F(ReplaceSelfTest, BackupThatCannotBeWrittenIsReportedAndNothingEnds) {
    FakeUI ui;
    std::string missing = tmp / "gone/kestrel";
    EXPECT_EQ(ReplaceSelf(ui, StreamOf(FileVector(KESTREL_PATH_FAKE_TOOL)), missing, 1),
              TReplaceOutcome::Failed);
    auto calls = ui.Calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0],
              "error Cannot create file \"" + missing + ".bak\". No such file or directory");
    EXPECT_FALSE(ui.Has("terminate"));
}

TEST_F(ReplaceSelfTest, ScriptThatCannotBeWrittenRemovesTheBackup) {
    FakeUI ui;
    // A folder in the script's place makes its creation fail after the backup was saved.
    fs::create_directory(exe + ".update.sh");
    EXPECT_EQ(ReplaceSelf(ui, StreamOf(FileVector(KESTREL_PATH_FAKE_TOOL)), exe, 1),
              TReplaceOutcome::Failed);
    EXPECT_FALSE(fs::exists(BackupPath(exe)));
    EXPECT_TRUE(ui.Has("error File access denied"));
    EXPECT_FALSE(ui.Has("terminate"));
}

TEST_F(ReplaceSelfTest, ReplacesTheToolWithTheWholeStream) {
    FakeUI ui;
    ChildProcess oldTool({exe});
    std::vector<uint8_t> image = FileVector(KESTREL_PATH_FAKE_TOOL);
    TMemoryStream stream = StreamOf(image);
    stream.Seek(stream.Size() / 2);                     // the position does not matter
    WriteFileBytes(BackupPath(exe), "an older backup"); // replaced

    EXPECT_EQ(ReplaceSelf(ui, stream, exe, oldTool.Pid()), TReplaceOutcome::Started);
    EXPECT_EQ(ui.Calls(), std::vector<std::string>{"terminate"});
    EXPECT_EQ(FileVector(BackupPath(exe)), image);

    oldTool.Stop();
    ASSERT_TRUE(WaitUntil([&] { return fs::exists(log); }));
    EXPECT_EQ(ReadFileBytes(log), "AG\n");
    EXPECT_EQ(FileVector(exe), image);
    EXPECT_TRUE(WaitUntil([&] { return DirEntries(dir).size() == 1; }));
}
