#include "TerminalWindow.h"

#include "Console.h"
#include "TimeLimits.h"
#include "VisibleText.h"

#include <algorithm>
#include <cmath>

namespace {
constexpr int kBarWidth = 40;

std::string OneDecimal(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", value);
    return text;
}

std::string Duration(int64_t seconds) {
    if (seconds < 60)
        return std::to_string(seconds) + " s";
    char text[32];
    std::snprintf(text, sizeof text, "%lld min %02lld s", static_cast<long long>(seconds / 60),
                  static_cast<long long>(seconds % 60));
    return text;
}
} // namespace

TTerminalWindow::TTerminalWindow(std::FILE* out) : TTerminalWindow(out, IsTerminal(fileno(out))) {}

TTerminalWindow::TTerminalWindow(std::FILE* out, bool interactive)
    : out_(out), interactive_(interactive) {}

TTerminalWindow::~TTerminalWindow() {
    FinishLine();
}

int TTerminalWindow::Percent(int position, int max) {
    long long pos = std::clamp<long long>(position, 0, std::max(max, 0));
    return max > 0 ? int(pos * 100 / max) : 0;
}

std::string TTerminalWindow::RenderBar(int position, int max, int width) {
    long long pos = std::clamp<long long>(position, 0, std::max(max, 0));
    int percent = Percent(position, max);
    int filled = max > 0 ? int(pos * width / max) : 0;
    std::string bar =
        "[" + std::string(size_t(filled), '#') + std::string(size_t(width - filled), '-') + "] ";
    std::string pct = std::to_string(percent);
    return bar + std::string(3 - std::min<size_t>(3, pct.size()), ' ') + pct + "%";
}

std::string TTerminalWindow::Bytes(int64_t bytes) {
    if (bytes < 1024)
        return std::to_string(bytes) + " B";
    if (bytes < int64_t(1024) * 1024)
        return OneDecimal(double(bytes) / 1024) + " KiB";
    return OneDecimal(double(bytes) / (1024 * 1024)) + " MiB";
}

std::string TTerminalWindow::RenderDetail(int position, int max,
                                          std::chrono::milliseconds elapsed) {
    int64_t done = std::clamp<int64_t>(position, 0, std::max(max, 0));
    std::string text = Bytes(done) + " of " + Bytes(std::max(max, 0));
    if (elapsed < TerminalLimits::RateAfter || done == 0)
        return text;
    double rate = double(done) * 1000.0 / double(elapsed.count()); // bytes per second
    text += ", " + Bytes(int64_t(rate)) + "/s";
    if (done < max)
        text += ", " + Duration(std::llround(double(max - done) / rate)) + " left";
    return text;
}

void TTerminalWindow::FinishLine() {
    std::lock_guard lock(mutex_);
    if (openLine_.exchange(false)) {
        std::fputc('\n', out_);
        std::fflush(out_);
    }
    drawn_.clear();
    drawnLength_ = 0;
}

void TTerminalWindow::ShowStatus(const std::string& text) {
    if (interactive_ || everyStatus_)
        PrintLine(text);
}

void WriteVisible(std::FILE* to, const std::string& text, const char* end) {
    std::fputs((VisibleText(text) + end).c_str(), to);
    std::fflush(to);
}

void TTerminalWindow::PrintLine(std::FILE* to, const std::string& text) {
    std::lock_guard lock(mutex_);
    drawn_.clear();
    drawnLength_ = 0;
    barShown_ = false;
    WriteLocked(to, text, true);
}

void TTerminalWindow::Prompt(const std::string& text) {
    std::lock_guard lock(mutex_);
    drawn_.clear();
    drawnLength_ = 0;
    barShown_ = false;
    WriteLocked(out_, text, false);
}

void TTerminalWindow::WriteLocked(std::FILE* to, const std::string& text, bool line) {
    if (openLine_.exchange(false)) {
        std::fputc('\n', out_);
        std::fflush(out_);
    }
    // A text that does not end its line (a question) leaves it open. That is marked before the
    // text leaves: a Ctrl-C that comes once the question is seen must find its line open, to end
    // it before its notice.
    if (!line && !text.empty() && to == out_)
        openLine_.store(true);
    WriteVisible(to, text, line ? "\n" : "");
}

void TTerminalWindow::SetMax(int max) {
    std::lock_guard lock(mutex_);
    max_ = max;
    position_ = 0;
    barShown_ = true;
    start_ = clock_();
    drawnAt_ = start_;
    endReported_ = false;
    DrawLocked();
}

void TTerminalWindow::SetPosition(int position) {
    std::lock_guard lock(mutex_);
    bool moved = position != position_;
    position_ = position;
    barShown_ = barShown_ || position > 0;
    if (moved || drawn_.empty())
        DrawLocked();
}

void TTerminalWindow::DrawLocked() {
    if (!barShown_)
        return;
    Clock::time_point now = clock_();
    auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(now - start_);
    if (!interactive_) {
        // No terminal: a line now and then, and one at the end.
        bool atEnd = max_ > 0 && position_ >= max_;
        bool due = progressPeriod_.count() > 0 && now - drawnAt_ >= progressPeriod_;
        if (progressPeriod_.count() <= 0 || (!due && !(atEnd && !endReported_)))
            return;
        endReported_ = endReported_ || atEnd;
        drawnAt_ = now;
        WriteLocked(out_,
                    "progress: " + std::to_string(Percent(position_, max_)) + "%, " +
                        RenderDetail(position_, max_, elapsed),
                    true);
        return;
    }
    // A bar reset to 0 after a line (a transfer that has not begun) draws nothing. The bar is
    // redrawn when its text changes, and now and then for its rate: a download moves it a
    // thousand times.
    std::string bar = RenderBar(position_, max_, kBarWidth);
    if (bar == drawn_ && now - drawnAt_ < TerminalLimits::Redraw)
        return;
    std::string line = "\r" + bar + "  " + RenderDetail(position_, max_, elapsed);
    // Erase what a longer line before left behind.
    if (line.size() < drawnLength_)
        line += std::string(drawnLength_ - line.size(), ' ');
    drawnLength_ = line.size();
    // The bar goes on its own line: after a question left open it starts a new one; over a bar
    // it returns to the start of the line.
    if (openLine_.exchange(true) && drawn_.empty())
        std::fputc('\n', out_);
    std::fputs(line.c_str(), out_);
    std::fflush(out_);
    drawn_ = bar;
    drawnAt_ = now;
}
