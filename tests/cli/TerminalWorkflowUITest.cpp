// The terminal front end of `kestrel-cli update`: what reaches standard error, the guided steps
// asked on standard input as the dialog asks them, Ctrl-C waking a waiting question, and the
// terminal window's progress bar.
#include "TerminalWorkflowUI.h"
#include "HintSteps.h"
#include "Interrupt.h"
#include "TerminalWindow.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <thread>
#include <unistd.h>

namespace {

// Everything written to a FILE* so far.
std::string Contents(std::FILE* f) {
    std::fflush(f);
    std::fseek(f, 0, SEEK_SET);
    std::string s;
    for (int c; (c = std::fgetc(f)) != EOF;)
        s += char(c);
    return s;
}

// A pipe whose read end is the front end's standard input.
struct TInput {
    int fds[2] = {-1, -1};
    TInput() { EXPECT_EQ(pipe2(fds, O_CLOEXEC), 0); }
    ~TInput() {
        for (int fd : fds)
            if (fd >= 0)
                close(fd);
    }
    int ReadEnd() const { return fds[0]; }
    void Write(const std::string& text) {
        ASSERT_EQ(write(fds[1], text.data(), text.size()), ssize_t(text.size()));
    }
    void End() {
        close(fds[1]);
        fds[1] = -1;
    }
};

std::string Line(const char* text) {
    return std::string(text) + "\n";
}

const std::string AskDone = "[完 成] 请按 Enter 键：";
const std::string AskSeen = "[看到了] 请输入 y，[没有看到] 请输入 n：";

// One pass of the four steps as the terminal shows them, up to the question of step 4.
std::string Pass() {
    return Line(HintText::Steps[0]) + Line(HintText::Steps[1]) + AskDone +
           Line(HintText::Steps[2]) + AskDone + Line(HintText::Steps[3]) + AskDone +
           Line(HintText::Steps[4]);
}

class TerminalUITest : public ::testing::Test {
protected:
    void SetUp() override { out = std::tmpfile(); }
    void TearDown() override { std::fclose(out); }
    std::FILE* out = nullptr;
};

TEST_F(TerminalUITest, GuidedStepsStartAgainUntilTheUserHasSeenTheScreen) {
    TTerminalWindow window(out, false);
    TInput input;
    // Steps 1-3 take any line; step 4 asks again on an answer it does not know, starts again
    // at step 1 on "n" and ends on "看到了". The input stays open: the steps must end by
    // themselves, and what follows the last answer stays unread.
    input.Write("\n\ndone\nmaybe\nn\n\n\n\n看到了\nleft over\n");
    TTerminalWorkflowUI ui(window, input.ReadEnd(), true);
    ui.ShowHintSteps();
    EXPECT_EQ(ui.HintOutcome(), TTerminalWorkflowUI::THintOutcome::Confirmed);
    EXPECT_EQ(Contents(out), Pass() + AskSeen + AskSeen + Pass() + AskSeen);
}

TEST_F(TerminalUITest, GuidedStepsStopWhenTheInputEnds) {
    TTerminalWindow window(out, false);
    TInput input;
    input.Write("\n\n\nn\n\n\n"); // "no" once, then the input ends at step 3 of the second pass
    input.End();
    TTerminalWorkflowUI ui(window, input.ReadEnd(), true);
    ui.ShowHintSteps();
    EXPECT_EQ(ui.HintOutcome(), TTerminalWorkflowUI::THintOutcome::InputEnded);
    EXPECT_EQ(Contents(out), Pass() + AskSeen + Line(HintText::Steps[0]) +
                                 Line(HintText::Steps[1]) + AskDone + Line(HintText::Steps[2]) +
                                 AskDone + Line(HintText::Steps[3]) + AskDone + "\n");

    // An unfinished last line still counts as an answer; the window ends its line as it goes.
    std::FILE* out2 = std::tmpfile();
    {
        TTerminalWindow window2(out2, false);
        TInput input2;
        input2.Write("\n\n\ny");
        input2.End();
        TTerminalWorkflowUI ui2(window2, input2.ReadEnd(), true);
        ui2.ShowHintSteps();
        EXPECT_EQ(ui2.HintOutcome(), TTerminalWorkflowUI::THintOutcome::Confirmed);
    }
    EXPECT_TRUE(Contents(out2).ends_with(AskSeen + "\n"));
    std::fclose(out2);
}

TEST_F(TerminalUITest, WithoutATerminalTheStepsAreOnlyPrinted) {
    TTerminalWindow window(out, false);
    TInput input;
    input.Write("n\n");
    TTerminalWorkflowUI ui(window, input.ReadEnd(), false);
    ui.ShowHintSteps();
    EXPECT_EQ(ui.HintOutcome(), TTerminalWorkflowUI::THintOutcome::Printed);
    std::string expected;
    for (const char* text : HintText::Steps)
        expected += Line(text);
    EXPECT_EQ(Contents(out), expected);
    // The input was not touched.
    char c = 0;
    EXPECT_EQ(read(input.ReadEnd(), &c, 1), 1);
    EXPECT_EQ(c, 'n');
}

TEST(SeenAnswer, ReadsTheDialogsTwoAnswers) {
    for (const char* yes : {"y", "Y", " yes ", "是", "看到了", "y\r"})
        EXPECT_EQ(ParseSeenAnswer(yes), 1) << yes;
    for (const char* no : {"n", "NO", "否", "没有看到"})
        EXPECT_EQ(ParseSeenAnswer(no), 2) << no;
    for (const char* neither : {"", "   ", "x", "yn", "看到"})
        EXPECT_EQ(ParseSeenAnswer(neither), 0) << neither;
}

TEST_F(TerminalUITest, StatusPortAndTypeAreLinesWithoutATerminal) {
    TTerminalWindow window(out, false);
    window.PrintEveryStatus(true);
    TTerminalWorkflowUI ui(window, -1, false);
    ui.ShowStatus("连接设备！请稍后......");
    ui.ShowPort({.path = "/dev/kestrel-test-port", .number = 3});
    ui.SetDeviceType("QX40");
    ui.ProgressBar().SetMax(100); // no terminal: no bar
    ui.ProgressBar().SetPosition(50);
    ui.ShowError("无法写入");
    EXPECT_EQ(ui.DeviceType(), "QX40");
    EXPECT_EQ(Contents(out), "连接设备！请稍后......\nport: 3 (COM3, /dev/kestrel-test-port)\n"
                             "device type: QX40\n无法写入\n");
}

// A progress line as a terminal shows it, at a fixed moment: the bar and the bytes.
std::string Drawn(int position, int max) {
    return "\r" + TTerminalWindow::RenderBar(position, max, 40) + "  " +
           TTerminalWindow::RenderDetail(position, max, std::chrono::milliseconds(0));
}

TEST_F(TerminalUITest, BarAppearsOnceATransferMoves) {
    TTerminalWindow window(out, true);
    window.SetClock([] { return TTerminalWindow::Clock::time_point{}; });
    window.ShowStatus("升级开始：");
    window.ProgressBar().SetPosition(0); // a transfer resetting its bar: nothing drawn yet
    window.ShowStatus("升级进行中请等待");
    window.ProgressBar().SetMax(200);
    window.ProgressBar().SetPosition(200);
    window.PrintLine("note"); // a line in the middle of a transfer
    window.ProgressBar().SetPosition(100);
    window.FinishLine();
    EXPECT_EQ(Contents(out), "升级开始：\n升级进行中请等待\n" + Drawn(0, 200) + Drawn(200, 200) +
                                 "\nnote\n" + Drawn(100, 200) + "\n");
}

// Reads `fd` until `needle` has appeared; false when the writer closed first.
bool WaitForText(int fd, const std::string& needle) {
    std::string seen;
    char buffer[256];
    while (seen.find(needle) == std::string::npos) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 60000) <= 0)
            return false;
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0)
            return false;
        seen.append(buffer, size_t(n));
    }
    return true;
}

TEST(TerminalUIInterrupt, CtrlCWakesAWaitingQuestionAndEndsPauses) {
    int outPipe[2];
    ASSERT_EQ(pipe2(outPipe, O_CLOEXEC), 0);
    std::FILE* out = fdopen(outPipe[1], "w");
    ASSERT_NE(out, nullptr);
    TInput input; // nobody ever answers
    Interrupt::Install();
    ASSERT_FALSE(Interrupt::Raised());
    {
        TTerminalWindow window(out, false);
        Interrupt::SetOutput(outPipe[1], &window.OpenLine());
        TTerminalWorkflowUI ui(window, input.ReadEnd(), true);
        // Ctrl-C once the first question waits.
        std::thread user([&] {
            if (WaitForText(outPipe[0], AskDone))
                kill(getpid(), SIGINT);
        });
        ui.ShowHintSteps();
        user.join();
        EXPECT_TRUE(Interrupt::Raised());
        EXPECT_EQ(ui.HintOutcome(), TTerminalWorkflowUI::THintOutcome::Interrupted);

        // A pause after the interrupt ends at once (a ten-minute one would hit the test's
        // time limit), and the user is told once.
        ui.Sleep(600000);
        ui.ProcessMessages();
        ui.Sleep(600000);
        // Steps that would follow the pause are not shown at all.
        ui.ShowHintSteps();
        EXPECT_EQ(ui.HintOutcome(), TTerminalWorkflowUI::THintOutcome::Interrupted);
        Interrupt::SetOutput(2, nullptr);
    }
    std::fclose(out);
    std::string rest;
    char buffer[4096];
    for (ssize_t n; (n = read(outPipe[0], buffer, sizeof buffer)) > 0;)
        rest.append(buffer, size_t(n));
    close(outPipe[0]);
    // The question's line is ended, then the notice comes exactly once.
    EXPECT_EQ(rest.find("\nkestrel-cli: interrupted"), 0u) << rest;
    EXPECT_EQ(rest.find("interrupted", 20), std::string::npos) << rest;
    EXPECT_EQ(rest.find(HintText::Steps[0]), std::string::npos) << rest;
}

// The progress bar of the terminal window.
TEST(TerminalWindow, RendersBar) {
    EXPECT_EQ(TTerminalWindow::RenderBar(0, 1024, 8), "[--------]   0%");
    EXPECT_EQ(TTerminalWindow::RenderBar(512, 1024, 8), "[####----]  50%");
    EXPECT_EQ(TTerminalWindow::RenderBar(1024, 1024, 8), "[########] 100%");
    EXPECT_EQ(TTerminalWindow::RenderBar(2000, 1024, 8), "[########] 100%");
    EXPECT_EQ(TTerminalWindow::RenderBar(-5, 1024, 8), "[--------]   0%");
    EXPECT_EQ(TTerminalWindow::RenderBar(5, 0, 8), "[--------]   0%");
    // Large images: no overflow in position x width.
    EXPECT_EQ(TTerminalWindow::RenderBar(2000000000, 2000000000, 8), "[########] 100%");
}

TEST(TerminalWindow, RendersBytesRateAndTimeLeft) {
    using std::chrono::milliseconds;
    EXPECT_EQ(TTerminalWindow::RenderDetail(10, 100, milliseconds(100)), "10 B of 100 B");
    EXPECT_EQ(TTerminalWindow::RenderDetail(1536, 3072, milliseconds(1000)),
              "1.5 KiB of 3.0 KiB, 1.5 KiB/s, 1 s left");
    EXPECT_EQ(TTerminalWindow::RenderDetail(100, 100000, milliseconds(1000)),
              "100 B of 97.7 KiB, 100 B/s, 16 min 39 s left");
    EXPECT_EQ(TTerminalWindow::RenderDetail(3 << 20, 3 << 20, milliseconds(2000)),
              "3.0 MiB of 3.0 MiB, 1.5 MiB/s");
}

TEST(TerminalWindow, DrawsOnlyChangesAndEndsTheLine) {
    std::FILE* f = std::tmpfile();
    ASSERT_NE(f, nullptr);
    TTerminalWindow::Clock::time_point now{};
    {
        TTerminalWindow w(f, true);
        w.SetClock([&] { return now; });
        w.ShowStatus("状态");
        w.ProgressBar().SetMax(1000);
        w.ProgressBar().SetPosition(1); // same bar as position 0, no time passed: not drawn
        now += std::chrono::seconds(1);
        w.ProgressBar().SetPosition(2); // the same bar, but its rate is due
        w.ProgressBar().SetPosition(1000);
        w.ShowStatus("done");
    }
    std::string rate2 = "\r" + TTerminalWindow::RenderBar(2, 1000, 40) + "  " +
                        TTerminalWindow::RenderDetail(2, 1000, std::chrono::seconds(1));
    std::string rate1000 = "\r" + TTerminalWindow::RenderBar(1000, 1000, 40) + "  " +
                           TTerminalWindow::RenderDetail(1000, 1000, std::chrono::seconds(1));
    // A shorter line than the one before is padded over it.
    ASSERT_LT(rate1000.size(), rate2.size());
    rate1000 += std::string(rate2.size() - rate1000.size(), ' ');
    EXPECT_EQ(Contents(f), "状态\n" + Drawn(0, 1000) + rate2 + rate1000 + "\ndone\n");
    std::fclose(f);

    std::FILE* quiet = std::tmpfile();
    {
        TTerminalWindow w(quiet, false);
        w.ShowStatus("x");
        w.SetMax(10);
        w.SetPosition(5);
        w.SetPosition(10);
    }
    EXPECT_EQ(Contents(quiet), "");
    std::fclose(quiet);
}

TEST(TerminalWindow, WithoutATerminalProgressIsALineNowAndThenAndAtTheEnd) {
    std::FILE* f = std::tmpfile();
    ASSERT_NE(f, nullptr);
    TTerminalWindow::Clock::time_point now{};
    {
        TTerminalWindow w(f, false);
        w.PrintProgressLines(std::chrono::seconds(5));
        w.SetClock([&] { return now; });
        w.SetMax(1000);
        now += std::chrono::seconds(1);
        w.SetPosition(100);
        now += std::chrono::seconds(4);
        w.SetPosition(600);
        now += std::chrono::seconds(1);
        w.SetPosition(700);
        now += std::chrono::seconds(1);
        w.SetPosition(1000);
        w.SetPosition(1000);
    }
    EXPECT_EQ(Contents(f), "progress: 60%, 600 B of 1000 B, 120 B/s, 3 s left\n"
                           "progress: 100%, 1000 B of 1000 B, 142 B/s\n");
    std::fclose(f);
}

// The decisions of Ctrl-C: deferred, then at once; during programming never at once without a
// warning and a third interrupt within TerminalLimits::ConfirmStop of it.
TEST(InterruptCounter, ProgrammingStopsOnlyOnAConfirmedThirdInterrupt) {
    using Interrupt::TAction;
    Interrupt::TCounter counter;
    auto t = Interrupt::TCounter::Clock::time_point{} + std::chrono::hours(1);
    EXPECT_EQ(counter.Next(false, t), TAction::Defer);
    EXPECT_EQ(counter.Next(false, t), TAction::StopNow);

    counter.Reset();
    counter.StartProgramming();
    EXPECT_EQ(counter.Next(true, t), TAction::ProgrammingGoesOn);
    EXPECT_EQ(counter.Next(true, t), TAction::WarnHalfProgrammed);
    // Too late: a new warning, and the count of the confirmation starts again from it.
    t += TerminalLimits::ConfirmStop + std::chrono::milliseconds(1);
    EXPECT_EQ(counter.Next(true, t), TAction::WarnHalfProgrammed);
    t += TerminalLimits::ConfirmStop;
    EXPECT_EQ(counter.Next(true, t), TAction::StopHalfProgrammed);

    // A new programming starts from nothing; every action has its own line.
    counter.StartProgramming();
    EXPECT_EQ(counter.Next(true, t), TAction::ProgrammingGoesOn);
    for (TAction a : {TAction::Defer, TAction::StopNow, TAction::ProgrammingGoesOn,
                      TAction::WarnHalfProgrammed, TAction::StopHalfProgrammed})
        EXPECT_EQ(std::string(Interrupt::ActionText(a)).rfind("kestrel-cli: ", 0), 0u);
}

// Text from outside reaches the terminal only as visible text: a hostile server's escape
// sequences (hiding what follows, forging a line) are shown, not obeyed; Chinese stays as it is.
TEST_F(TerminalUITest, ControlCharactersFromOutsideAreShownAsEscapes) {
    const struct {
        std::string given, shown;
    } cases[] = {
        {"软件更新成功！", "软件更新成功！"},
        {"the server answered \"\x1b[8mhidden\"", "the server answered \"\\x1B[8mhidden\""},
        {"a\rfake line\nsecond\tcolumn\x7f", "a\\x0Dfake line\\x0Asecond\\x09column\\x7F"},
        {"\xc2\x9b"
         "31m C1",
         "\\u009B31m C1"}, // CSI as a C1 control in UTF-8
        {"\x9b"
         "31m \xe4\xb8",
         "\\x9B31m \\xE4\\xB8"},                                 // bytes that are not UTF-8
        {"\xc0\xaf \xed\xa0\x80", "\\xC0\\xAF \\xED\\xA0\\x80"}, // overlong, surrogate
    };
    TTerminalWindow window(out, false);
    std::string expected;
    for (const auto& c : cases) {
        window.PrintLine(c.given);
        expected += c.shown + "\n";
    }
    EXPECT_EQ(Contents(out), expected);
}

} // namespace
