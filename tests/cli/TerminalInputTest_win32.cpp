// The terminal front end's questions on Windows: answers read from a pipe (its bytes looked for
// without blocking, so an interrupt could wake the wait), the end of the input, and a pause that
// lasts its time when nobody interrupts.
#include "HintSteps.h"
#include "Interrupt.h"
#include "TerminalWorkflowUI.h"
#include "TestFiles.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <io.h>

namespace {

// A pipe whose read end is the front end's standard input.
struct TInput {
    int fds[2] = {-1, -1};
    TInput() { EXPECT_EQ(_pipe(fds, 4096, _O_BINARY), 0); }
    ~TInput() {
        for (int fd : fds)
            if (fd >= 0)
                _close(fd);
    }
    void Write(const std::string& text) {
        ASSERT_EQ(_write(fds[1], text.data(), static_cast<unsigned>(text.size())),
                  static_cast<int>(text.size()));
    }
    void End() {
        _close(fds[1]);
        fds[1] = -1;
    }
};

class TerminalInput : public ::testing::Test {
protected:
    void SetUp() override { Interrupt::Install(); }
    TempDir dir;
    std::FILE* out = std::fopen((dir / "out.txt").c_str(), "w+b");
    void TearDown() override { std::fclose(out); }
};

TEST_F(TerminalInput, GuidedStepsAreAnsweredThroughAPipe) {
    TTerminalWindow window(out, false);
    TInput input;
    // Steps 1-3 take any line (CR LF as a Windows program writes them); "n" starts again at
    // step 1, "y" ends the steps.
    input.Write("\r\n\r\ndone\r\nn\r\n\r\n\r\n\r\ny\r\n");
    TTerminalWorkflowUI ui(window, input.fds[0], true);
    ui.ShowHintSteps();
    EXPECT_EQ(ui.HintOutcome(), TTerminalWorkflowUI::THintOutcome::Confirmed);
}

TEST_F(TerminalInput, GuidedStepsStopWhenTheWriterHasGone) {
    TTerminalWindow window(out, false);
    TInput input;
    input.Write("\n\n");
    input.End();
    TTerminalWorkflowUI ui(window, input.fds[0], true);
    ui.ShowHintSteps();
    EXPECT_EQ(ui.HintOutcome(), TTerminalWorkflowUI::THintOutcome::InputEnded);
}

TEST_F(TerminalInput, APauseLastsItsTimeWithoutAnInterrupt) {
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(Interrupt::WaitFor(std::chrono::milliseconds(200)));
    // Wine's timed waits may end early; the pause is waited out to its end all the same.
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(200));
    EXPECT_FALSE(Interrupt::Raised());
}

} // namespace
