#pragma once
// The window link of the command-line programs: status texts as lines and a progress bar drawn
// on one terminal line. Calls may come from a worker thread; each one prints at once under a
// lock and never waits for another thread.
#include "WindowLink.h"

#include <cstdio>
#include <mutex>
#include <string>

class TTerminalWindow : public TWindowLink, public TProgressBar {
public:
    // Draws on `out`. The progress bar and status lines appear only when `out` is a terminal
    // (or `interactive` forces it), so that scripts see nothing but the results; a command
    // prints its outcome itself, or asks for every status line with PrintEveryStatus.
    explicit TTerminalWindow(std::FILE* out = stderr);
    TTerminalWindow(std::FILE* out, bool interactive);
    ~TTerminalWindow() override;

    bool Interactive() const { return interactive_; }
    // Status texts become lines also when `out` is no terminal (the progress bar still not).
    void PrintEveryStatus(bool every) { everyStatus_ = every; }
    // Ends a progress line in progress so that the next output starts on a fresh line.
    void FinishLine();
    // One line of text, after ending a progress line in progress.
    void PrintLine(const std::string& text);
    // Text without a line end (a question), after ending a progress line in progress.
    void Prompt(const std::string& text);

    void ShowStatus(const std::string& text) override;
    TProgressBar& ProgressBar() override { return *this; }
    void ProcessMessages() override {}

    void SetMax(int max) override;
    void SetPosition(int position) override;

    // The text of the progress line for a position and maximum: "[#####-----]  50%".
    static std::string RenderBar(int position, int max, int width);

private:
    void DrawLocked();

    std::FILE* out_;
    bool interactive_;
    bool everyStatus_ = false;
    std::mutex mutex_;
    bool barShown_ = false; // since the last line: a maximum set or a position above 0
    int max_ = 100;
    int position_ = 0;
    std::string drawn_; // what the progress line currently shows; empty when none is shown
};
