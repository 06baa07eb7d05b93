// Self-replacement on POSIX: the running executable's header, the update script run for real.
// The texts and the header checks of both platforms are in SelfReplaceTextTest.cpp.
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

// ---- Header checks of the running platform ----

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
