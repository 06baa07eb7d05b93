#pragma once
// The window link of the command-line programs: status texts as lines and a progress bar drawn
// on one terminal line, with the bytes done, the rate and the time left. Calls may come from a
// worker thread; each one prints at once under a lock and never waits for another thread.
#include "WindowLink.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>

// The one way the command-line programs write text: `text`, then `end`, on `to`, every character
// from outside (a device's reply, a port's name or holder, a server's cause, a file name) made
// visible (VisibleText). A window's lines and questions come here; so do the few lines written
// before there is a window.
void WriteVisible(std::FILE* to, const std::string& text, const char* end = "\n");

class TTerminalWindow : public TWindowLink, public TProgressBar {
public:
    using Clock = std::chrono::steady_clock;

    // Draws on `out`. The progress bar and status lines appear only when `out` is a terminal
    // (or `interactive` forces it), so that scripts see nothing but the results; a command
    // prints its outcome itself, or asks for every status line with PrintEveryStatus.
    explicit TTerminalWindow(std::FILE* out = stderr);
    TTerminalWindow(std::FILE* out, bool interactive);
    ~TTerminalWindow() override;

    // True when ShowStatus prints.
    bool ShowsStatus() const { return interactive_ || everyStatus_; }
    // Status texts become lines also when `out` is no terminal (the progress bar still not).
    void PrintEveryStatus(bool every) { everyStatus_ = every; }
    // Where `out` is no terminal: a progress line every `period` of a transfer and one at its
    // end (0: none, the default).
    void PrintProgressLines(std::chrono::milliseconds period) { progressPeriod_ = period; }
    // The clock of rates and periods (tests give a fixed one).
    void SetClock(std::function<Clock::time_point()> clock) { clock_ = std::move(clock); }
    // Ends a progress line in progress so that the next output starts on a fresh line.
    void FinishLine();
    // One line of text, after ending a progress line in progress: on the window's stream, or on
    // `to` (standard output, for a command's results). Characters from outside are made visible
    // (WriteVisible).
    void PrintLine(const std::string& text) { PrintLine(out_, text); }
    void PrintLine(std::FILE* to, const std::string& text);
    // Text without a line end (a question), after ending a progress line in progress.
    void Prompt(const std::string& text);
    // Set while the last output left its line open (a progress bar, a question): whoever else
    // writes on `out` (the interrupt handler) clears it and ends that line first.
    std::atomic<bool>& OpenLine() { return openLine_; }
    // The user has answered a question with a line (a terminal's echo ended the line).
    void AnswerReceived() { openLine_.store(false); }

    void ShowStatus(const std::string& text) override;
    TProgressBar& ProgressBar() override { return *this; }
    void ProcessMessages() override {}

    void SetMax(int max) override;
    void SetPosition(int position) override;

    // The text of the progress line for a position and maximum: "[#####-----]  50%".
    static std::string RenderBar(int position, int max, int width);
    // 0 to 100.
    static int Percent(int position, int max);
    // What follows the bar: "1.5 KiB of 3.0 KiB, 24.0 KiB/s, 2 s left" after `elapsed` since
    // the transfer began (the rate once half a second has passed; no time left at the end).
    static std::string RenderDetail(int position, int max, std::chrono::milliseconds elapsed);
    // "512 B", "1.5 KiB", "2.0 MiB".
    static std::string Bytes(int64_t bytes);

private:
    void DrawLocked();
    // Text on `to`, after ending an open line of the window's; `line`: a whole line.
    void WriteLocked(std::FILE* to, const std::string& text, bool line);

    std::FILE* out_;
    bool interactive_;
    bool everyStatus_ = false;
    std::chrono::milliseconds progressPeriod_{0};
    std::function<Clock::time_point()> clock_ = [] { return Clock::now(); };
    std::mutex mutex_;
    std::atomic<bool> openLine_{false};
    bool barShown_ = false; // since the last line: a maximum set or a position above 0
    int max_ = 100;
    int position_ = 0;
    Clock::time_point start_{};   // when the maximum was set: the transfer's start
    Clock::time_point drawnAt_{}; // the last drawing or progress line
    std::string drawn_;           // the bar part currently shown; empty when none is shown
    size_t drawnLength_ = 0;      // the length of the progress line shown
    bool endReported_ = false;    // the progress line at the end of the transfer is out
};
