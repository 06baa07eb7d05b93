#include "TerminalWindow.h"

#include "Console.h"

#include <algorithm>

namespace {
constexpr int kBarWidth = 40;
}

TTerminalWindow::TTerminalWindow(std::FILE* out) : TTerminalWindow(out, IsTerminal(fileno(out))) {}

TTerminalWindow::TTerminalWindow(std::FILE* out, bool interactive)
    : out_(out), interactive_(interactive) {}

TTerminalWindow::~TTerminalWindow() {
    FinishLine();
}

std::string TTerminalWindow::RenderBar(int position, int max, int width) {
    long long pos = std::clamp<long long>(position, 0, std::max(max, 0));
    int percent = max > 0 ? int(pos * 100 / max) : 0;
    int filled = max > 0 ? int(pos * width / max) : 0;
    std::string bar =
        "[" + std::string(size_t(filled), '#') + std::string(size_t(width - filled), '-') + "] ";
    std::string pct = std::to_string(percent);
    return bar + std::string(3 - std::min<size_t>(3, pct.size()), ' ') + pct + "%";
}

void TTerminalWindow::FinishLine() {
    std::lock_guard lock(mutex_);
    if (!drawn_.empty()) {
        std::fputc('\n', out_);
        std::fflush(out_);
        drawn_.clear();
    }
}

void TTerminalWindow::ShowStatus(const std::string& text) {
    if (interactive_ || everyStatus_)
        PrintLine(text);
}

void TTerminalWindow::PrintLine(const std::string& text) {
    Prompt(text + "\n");
}

void TTerminalWindow::Prompt(const std::string& text) {
    std::lock_guard lock(mutex_);
    if (!drawn_.empty())
        std::fputc('\n', out_);
    drawn_.clear();
    barShown_ = false;
    std::fputs(text.c_str(), out_);
    std::fflush(out_);
}

void TTerminalWindow::SetMax(int max) {
    std::lock_guard lock(mutex_);
    max_ = max;
    position_ = 0;
    barShown_ = true;
    DrawLocked();
}

void TTerminalWindow::SetPosition(int position) {
    std::lock_guard lock(mutex_);
    position_ = position;
    barShown_ = barShown_ || position > 0;
    DrawLocked();
}

void TTerminalWindow::DrawLocked() {
    // A bar reset to 0 after a line (a transfer that has not begun) draws nothing.
    if (!interactive_ || !barShown_)
        return;
    // Redraw only when the visible text changes: a download moves the bar a thousand times.
    std::string line = RenderBar(position_, max_, kBarWidth);
    if (line == drawn_)
        return;
    std::fprintf(out_, "\r%s", line.c_str());
    std::fflush(out_);
    drawn_ = line;
}
