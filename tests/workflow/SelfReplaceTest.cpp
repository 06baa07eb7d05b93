// Self-replacement on POSIX: the running executable's header, the update script run for real.
// The texts and the header checks of both platforms are in SelfReplaceTextTest.cpp.
#include "SelfReplace.h"
#include "ChildProcess.h"
#include "Deadline.h"
#include "FakeUI.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

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
        long ppid = std::stol(stat.substr(stat.find(' ', close + 2) + 1));
        found.emplace_back(std::stol(name), ppid);
    }
    return found;
}

// Once the update script sits in its waiting loop (a process of the script has a `sleep`
// child): the nice value of that sleep.
std::optional<int> WaitingNice(const std::string& scriptPath) {
    for (auto [script, parent] : Processes(scriptPath))
        for (auto [child, ppid] : Processes("sleep")) {
            // By its command name: `nice`, between its start and its own change of priority,
            // has "sleep" in its command line too, and the script as parent.
            if (ppid != script ||
                ReadFileBytes("/proc/" + std::to_string(child) + "/comm") != "sleep\n")
                continue;
            // Field 19 of /proc/PID/stat, the 17th after the command name in parentheses.
            std::string stat = ReadFileBytes("/proc/" + std::to_string(child) + "/stat");
            size_t at = stat.rfind(')');
            for (int field = 0; field < 17 && at != std::string::npos; ++field)
                at = stat.find(' ', at + 1);
            if (at != std::string::npos)
                return std::stoi(stat.substr(at + 1));
        }
    return std::nullopt;
}

// A little-endian field of an ELF64 image, and where its program headers are (x86-64 here).
uint64_t Field(const std::vector<uint8_t>& b, size_t at, size_t size) {
    uint64_t value = 0;
    std::memcpy(&value, b.data() + at, size);
    return value;
}
struct TProgramHeader {
    size_t at;       // where the header lies in the image
    uint32_t type;   // p_type
    uint64_t fileTo; // p_offset + p_filesz
};
std::vector<TProgramHeader> ProgramHeaders(const std::vector<uint8_t>& elf) {
    std::vector<TProgramHeader> headers;
    for (uint64_t i = 0; i < Field(elf, 56, 2); ++i) {
        size_t at = Field(elf, 32, 8) + i * Field(elf, 54, 2);
        headers.push_back({at, static_cast<uint32_t>(Field(elf, at, 4)),
                           Field(elf, at + 8, 8) + Field(elf, at + 32, 8)});
    }
    return headers;
}

// A folder name that needs every kind of shell quoting.
const std::string AwkwardDir = "tool dir 'q' \"d\" $HOME;&|*`x`";
} // namespace

// ---- Header checks of the running platform ----

TEST(ToolImage, ElfMustBeAProgramOfTheRunningMachine) {
    std::vector<uint8_t> self = FileVector("/proc/self/exe");
    ASSERT_GT(self.size(), 64u);
    std::vector<uint8_t> header(self.begin(), self.begin() + 64);
    EXPECT_TRUE(IsElfProgram(self, header));
    EXPECT_TRUE(IsExecutableForThisPlatform(self));
    EXPECT_TRUE(IsExecutableForThisPlatform(FileVector(KESTREL_PATH_FAKE_TOOL)));

    std::vector<uint8_t> foreign = self;
    foreign[18] ^= 0x5A; // another machine
    EXPECT_FALSE(IsElfProgram(foreign, header));
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

TEST(ToolImage, LibrariesBareHeadersAndCutFilesAreRefusedWithTheirReason) {
    // Each was once accepted and installed, and the tool was dead afterwards.
    const std::vector<uint8_t> tool = FileVector(KESTREL_PATH_FAKE_TOOL);
    ASSERT_EQ(tool[4], 2) << "the checks below read a 64-bit image";
    std::string fault;
    EXPECT_FALSE(IsExecutableForThisPlatform(FileVector(KESTREL_PATH_FAKE_SHARED), &fault));
    EXPECT_EQ(fault, "it is a shared library, not a program");
    EXPECT_FALSE(IsExecutableForThisPlatform({tool.begin(), tool.begin() + 64}, &fault));
    EXPECT_EQ(fault, "its program headers are missing or lie beyond the end of the file");

    auto headers = ProgramHeaders(tool);
    ASSERT_GE(headers.size(), 2u);
    std::vector<uint8_t> cutHeaders(tool.begin(), tool.begin() + long(headers[1].at) + 8);
    EXPECT_FALSE(IsExecutableForThisPlatform(cutHeaders, &fault));
    EXPECT_EQ(fault, "its program headers are missing or lie beyond the end of the file");
    uint64_t loadedTo = 0;
    for (const auto& h : headers)
        if (h.type == 1) // PT_LOAD
            loadedTo = std::max(loadedTo, h.fileTo);
    std::vector<uint8_t> cutLoad(tool.begin(), tool.begin() + long(loadedTo) - 1);
    EXPECT_FALSE(IsExecutableForThisPlatform(cutLoad, &fault));
    EXPECT_EQ(fault, "a part it loads lies beyond the end of the file");

    // Without its interpreter the program is still one: a static PIE, marked DF_1_PIE.
    std::vector<uint8_t> staticPie = tool;
    for (const auto& h : headers)
        if (h.type == 3) // PT_INTERP becomes PT_NULL
            std::memset(staticPie.data() + h.at, 0, 4);
    EXPECT_TRUE(IsExecutableForThisPlatform(staticPie, &fault)) << fault;
}

// ---- The trial run ----

TEST(VersionTrial, OnlyAProgramThatAnswersInTimePasses) {
    TempDir tmp;
    auto program = [&](const std::string& name, const std::string& body) {
        std::string path = tmp / name;
        WriteFileBytes(path, "#!/bin/sh\n" + body);
        return path;
    };
    const auto limit = 500ms;
    std::string fault;
    // Made executable by the trial itself, as the saved backup is.
    EXPECT_TRUE(
        AnswersVersion(program("good", "[ \"$1\" = --version ] && echo tool 1.5\n"), limit, fault))
        << fault;
    EXPECT_FALSE(AnswersVersion(program("fails", "echo tool 1.5; exit 3\n"), limit, fault));
    EXPECT_EQ(fault, "it ended with status 3 on --version");
    EXPECT_FALSE(AnswersVersion(program("silent", "exit 0\n"), limit, fault));
    EXPECT_EQ(fault, "it printed nothing on --version");
    EXPECT_FALSE(AnswersVersion(program("crashes", "kill -SEGV $$\n"), limit, fault));
    EXPECT_EQ(fault, "it was ended by signal 11 on --version");
    EXPECT_FALSE(AnswersVersion(tmp / "missing", limit, fault));
    EXPECT_NE(fault.find("No such file or directory"), std::string::npos) << fault;

    // A program that hangs is stopped at the limit, with what it started.
    std::string hangs = program("hangs", "echo tool 1.5; exec sleep 600\n");
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(AnswersVersion(hangs, limit, fault));
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(fault, "it did not answer --version within 500 ms");
    EXPECT_GE(took, limit);
    EXPECT_LT(took, limit + 5s);
    EXPECT_TRUE(Processes(hangs).empty());
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
        unsetenv("KESTREL_FAKE_TOOL_NICE");
        unsetenv("KESTREL_FAKE_TOOL_VERSION_STATUS");
    }

    TempDir tmp;
    std::string dir, exe, log;
};

TEST_F(UpdateScriptRun, WaitsForTheOldToolThenPutsTheNewOneInPlaceAndStartsIt) {
    ChildProcess oldTool({exe});
    setenv("KESTREL_FAKE_TOOL_WATCH_PID", std::to_string(oldTool.Pid()).c_str(), 1);
    setenv("KESTREL_FAKE_TOOL_NICE", "1", 1);
    const std::string newImage = ReadFileBytes(KESTREL_PATH_FAKE_TOOL);
    WriteFileBytes(BackupPath(exe), newImage); // saved without the executable bit

    std::string error;
    ASSERT_TRUE(StartReplacement(exe, oldTool.Pid(), error)) << error;
    const std::string scriptPath = exe + ".update.sh";
    // While the old tool runs, the script only waits.
    std::optional<int> waitingNice;
    ASSERT_TRUE(WaitUntil([&] {
        waitingNice = WaitingNice(scriptPath);
        return waitingNice || fs::exists(log) || !fs::exists(scriptPath);
    }));
    EXPECT_EQ(waitingNice, 19) << "the wait for the old tool runs at the lowest priority";
    EXPECT_FALSE(fs::exists(log));
    EXPECT_TRUE(fs::exists(scriptPath));
    EXPECT_NE(ReadFileBytes(exe), newImage);
    EXPECT_TRUE(fs::exists(BackupPath(exe)));

    oldTool.Stop();
    ASSERT_TRUE(WaitUntil([&] { return fs::exists(log); })) << "the new tool was not started";
    // The new tool started with AG, after the old one had ended, at the tool's own priority.
    EXPECT_EQ(ReadFileBytes(log),
              "AG\nwatched-gone\nnice " + std::to_string(getpriority(PRIO_PROCESS, 0)) + "\n");
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
    ASSERT_TRUE(StartReplacement(exe, oldTool.Pid(), error)) << error;
    oldTool.Stop();
    ASSERT_TRUE(WaitUntil([&] { return !fs::exists(exe + ".update.sh"); }));
    EXPECT_EQ(ReadFileBytes(exe), oldImage);
    EXPECT_FALSE(fs::exists(log));
}

TEST_F(UpdateScriptRun, ScriptThatCannotBeWrittenIsReported) {
    std::string error;
    EXPECT_FALSE(StartReplacement(tmp / "no such folder/kestrel", 1, error));
    EXPECT_EQ(error, "File not found");
}

// ---- The kind-7 branch ----

class ReplaceSelfTest : public UpdateScriptRun {};

TEST_F(ReplaceSelfTest, RefusesImagesThatCannotRunHere) {
    FakeUI ui;
    std::string text = "#!/bin/sh\necho not a program\n";
    const std::vector<uint8_t> tool = FileVector(KESTREL_PATH_FAKE_TOOL);
    std::vector<uint8_t> foreign = tool;
    foreign[18] ^= 0x5A;
    std::vector<uint8_t> bareHeader(tool.begin(), tool.begin() + 64);
    std::string why;
    for (const auto& image :
         {std::vector<uint8_t>{}, std::vector<uint8_t>(text.begin(), text.end()),
          std::vector<uint8_t>{'M', 'Z', 0, 0}, foreign, bareHeader,
          FileVector(KESTREL_PATH_FAKE_SHARED)}) {
        EXPECT_EQ(ReplaceSelf(ui, StreamOf(image), exe, 1, true, why), TReplaceOutcome::Refused);
        EXPECT_FALSE(why.empty());
        EXPECT_EQ(DirEntries(dir), std::vector<std::string>{"kestrel tool"});
    }
    EXPECT_TRUE(ui.Calls().empty());
}

TEST_F(ReplaceSelfTest, ANewToolThatFailsOnVersionOrVerifiesNothingReplacesNothing) {
    FakeUI ui;
    ChildProcess oldTool({exe});
    const struct {
        const char* env;
        const char* value;
        TReplaceOutcome outcome;
        const char* why;
    } cases[] = {
        {"KESTREL_FAKE_TOOL_VERSION_STATUS", "126", TReplaceOutcome::Refused,
         "it ended with status 126 on --version"},
        // A verifying tool never hands over to one that would take unsigned updates.
        {"KESTREL_FAKE_TOOL_KEYS", "0", TReplaceOutcome::Untrusted,
         "\"kestrel-fake-tool 1.5 (update keys: 0)\" names no update key"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.env);
        setenv(c.env, c.value, 1);
        std::string why;
        EXPECT_EQ(ReplaceSelf(ui, StreamOf(FileVector(KESTREL_PATH_FAKE_TOOL)), exe, oldTool.Pid(),
                              true, why),
                  c.outcome);
        unsetenv(c.env);
        EXPECT_NE(why.find(c.why), std::string::npos) << why;
        // The backup it ran as is gone, no script started, and the tool goes on.
        EXPECT_EQ(DirEntries(dir), std::vector<std::string>{"kestrel tool"});
        EXPECT_TRUE(ui.Calls().empty());
    }
}

TEST_F(ReplaceSelfTest, BackupThatCannotBeWrittenIsReportedAndNothingEnds) {
    FakeUI ui;
    std::string missing = tmp / "gone/kestrel";
    std::string why;
    EXPECT_EQ(ReplaceSelf(ui, StreamOf(FileVector(KESTREL_PATH_FAKE_TOOL)), missing, 1, true, why),
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
    std::string why;
    EXPECT_EQ(ReplaceSelf(ui, StreamOf(FileVector(KESTREL_PATH_FAKE_TOOL)), exe, 1, true, why),
              TReplaceOutcome::Failed);
    EXPECT_FALSE(fs::exists(BackupPath(exe)));
    EXPECT_TRUE(ui.Has("error File access denied"));
    EXPECT_FALSE(ui.Has("terminate"));
}

// In a shared folder another user may have put a file (or a link) where the backup or the script
// goes: it is left as it is, nothing is replaced, and the cause names it; written over, the
// installed program would have become that user's file, with their mode.
TEST_F(ReplaceSelfTest, AFileOfAnotherUserInTheWayIsLeftAndNamed) {
    if (geteuid() != 0)
        GTEST_SKIP() << "making another user's file needs root";
    const std::string elsewhere = tmp / "elsewhere";
    const struct {
        std::string path;
        bool link;
        std::string error;
    } cases[] = {
        {BackupPath(exe), false, "error Cannot create file \"" + BackupPath(exe) + "\". "},
        {BackupPath(exe), true, "error Cannot create file \"" + BackupPath(exe) + "\". "},
        {exe + ".update.sh", false, "error "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path + (c.link ? " (link)" : ""));
        WriteFileBytes(elsewhere, "not to be touched");
        if (c.link)
            fs::create_symlink(elsewhere, c.path);
        else
            WriteFileBytes(c.path, "another user's");
        ASSERT_EQ(lchown(c.path.c_str(), 65534, 65534), 0);
        FakeUI ui;
        std::string why;
        EXPECT_EQ(ReplaceSelf(ui, StreamOf(FileVector(KESTREL_PATH_FAKE_TOOL)), exe, 1, true, why),
                  TReplaceOutcome::Failed);
        EXPECT_EQ(ui.Calls(), std::vector<std::string>{c.error + InTheWayText(c.path)});
        struct stat st {};
        ASSERT_EQ(lstat(c.path.c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, 65534u);
        EXPECT_EQ(ReadFileBytes(c.link ? elsewhere : c.path),
                  c.link ? "not to be touched" : "another user's");
        fs::remove(c.path);
        EXPECT_EQ(DirEntries(dir), std::vector<std::string>{"kestrel tool"});
    }
}

TEST_F(ReplaceSelfTest, ReplacesTheToolWithTheWholeStream) {
    FakeUI ui;
    ChildProcess oldTool({exe});
    std::vector<uint8_t> image = FileVector(KESTREL_PATH_FAKE_TOOL);
    TMemoryStream stream = StreamOf(image);
    stream.Seek(stream.Size() / 2);                     // the position does not matter
    WriteFileBytes(BackupPath(exe), "an older backup"); // replaced

    std::string why;
    EXPECT_EQ(ReplaceSelf(ui, stream, exe, oldTool.Pid(), true, why), TReplaceOutcome::Started);
    EXPECT_EQ(ui.Calls(), std::vector<std::string>{"terminate"});
    EXPECT_EQ(FileVector(BackupPath(exe)), image);

    oldTool.Stop();
    ASSERT_TRUE(WaitUntil([&] { return fs::exists(log); }));
    EXPECT_EQ(ReadFileBytes(log), "AG\n");
    EXPECT_EQ(FileVector(exe), image);
    EXPECT_TRUE(WaitUntil([&] { return DirEntries(dir).size() == 1; }));
}
