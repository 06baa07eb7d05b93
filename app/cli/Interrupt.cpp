// The decisions and lines of an interrupt, its flag and the timed wait, shared by the platform
// handlers. Everything the handler calls here may run inside a signal handler: atomics, fixed
// texts and raw writes only.
#include "Interrupt.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace {
std::atomic<bool> raised{false}; // NOLINT(readability-identifier-naming)
static_assert(std::atomic<bool>::is_always_lock_free, "the handler needs a lock-free flag");
Interrupt::TCounter counter;              // NOLINT(readability-identifier-naming)
std::atomic<bool> programming{false};     // NOLINT(readability-identifier-naming)
std::atomic<int> outputFd{2};             // NOLINT(readability-identifier-naming)
std::atomic<std::atomic<bool>*> openLine; // NOLINT(readability-identifier-naming)

// The stop output: written whole by the program before programming, read by the handler.
std::array<char, 8192> stopOutput{};   // NOLINT(readability-identifier-naming)
std::atomic<size_t> stopOutputSize{0}; // NOLINT(readability-identifier-naming)

void WriteText(int fd, const char* text) {
    Interrupt::Detail::WriteRaw(fd, text, std::strlen(text));
}
} // namespace

namespace Interrupt {

const char* ActionText(TAction action) {
    switch (action) {
    case TAction::Defer:
        return "kestrel-cli: interrupted; ending after the current step (Ctrl-C again quits at "
               "once)";
    case TAction::StopNow:
        return "kestrel-cli: stopped at once (second Ctrl-C).";
    case TAction::ProgrammingGoesOn:
        return "kestrel-cli: interrupted; programming continues until the image is complete "
               "(a device left half-programmed does not start), then kestrel-cli ends.";
    case TAction::WarnHalfProgrammed:
        return "kestrel-cli: stopping now leaves the device half-programmed: it will not start "
               "until it is programmed again. Press Ctrl-C again within 2 s to stop now.";
    case TAction::StopHalfProgrammed:
        return "kestrel-cli: stopped during programming. The device is half-programmed and must "
               "be programmed again (kestrel-cli flash FILE, or kestrel-cli update) before it "
               "starts.";
    }
    return "kestrel-cli: interrupted";
}

TAction TCounter::Next(bool isProgramming, Clock::time_point now) {
    if (!isProgramming)
        return count_.fetch_add(1) == 0 ? TAction::Defer : TAction::StopNow;
    int64_t ticks = now.time_since_epoch().count();
    switch (programmingCount_.fetch_add(1)) {
    case 0:
        return TAction::ProgrammingGoesOn;
    case 1:
        warnedAt_.store(ticks);
        return TAction::WarnHalfProgrammed;
    default:
        break;
    }
    // The third and later ones: a stop within TerminalLimits::ConfirmStop of the warning, else a
    // new warning.
    auto sinceWarning = Clock::duration(ticks - warnedAt_.load());
    if (sinceWarning <= TerminalLimits::ConfirmStop)
        return TAction::StopHalfProgrammed;
    warnedAt_.store(ticks);
    return TAction::WarnHalfProgrammed;
}

void TCounter::Reset() {
    count_.store(0);
    programmingCount_.store(0);
    warnedAt_.store(0);
}

void SetOutput(int fd, std::atomic<bool>* line) {
    outputFd.store(fd);
    openLine.store(line);
}

void SetProgramming(bool on) {
    if (on)
        counter.StartProgramming();
    programming.store(on);
}

void SetStopOutput(const std::string& text) {
    size_t size = std::min(text.size(), stopOutput.size());
    stopOutputSize.store(0);
    std::memcpy(stopOutput.data(), text.data(), size);
    stopOutputSize.store(size);
}

bool Raised() {
    return raised.load();
}

bool WaitFor(std::chrono::milliseconds limit) {
    using Clock = std::chrono::steady_clock;
    auto until = Clock::now() + limit;
    while (!Raised()) {
        auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now());
        // A timed wait may end a little early: wait again until the deadline has passed.
        if (left.count() <= 0)
            break;
        Detail::WaitForWake(left);
    }
    return Raised();
}

namespace Detail {

TAction Handle() {
    TAction action = counter.Next(programming.load(), TCounter::Clock::now());
    int fd = outputFd.load();
    std::atomic<bool>* line = openLine.load();
    if (line && line->exchange(false))
        WriteText(fd, "\n");
    WriteText(fd, ActionText(action));
    WriteText(fd, "\n");
    if (Stops(action))
        WriteRaw(1, stopOutput.data(), stopOutputSize.load());
    else
        raised.store(true);
    return action;
}

void ResetState() {
    raised.store(false);
    counter.Reset();
}

} // namespace Detail
} // namespace Interrupt
