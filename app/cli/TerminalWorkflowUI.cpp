#include "TerminalWorkflowUI.h"

#include "DeviceCommands.h"
#include "HintSteps.h"
#include "Interrupt.h"

#include <algorithm>
#include <cctype>
#include <chrono>

namespace {
std::string Trimmed(const std::string& text) {
    const char* space = " \t\r\n";
    size_t from = text.find_first_not_of(space);
    if (from == std::string::npos)
        return "";
    return text.substr(from, text.find_last_not_of(space) - from + 1);
}

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

const std::string PromptDone = std::string("[") + HintText::Done + "] 请按 Enter 键：";
const std::string PromptSeen =
    std::string("[") + HintText::Seen + "] 请输入 y，[" + HintText::NotSeen + "] 请输入 n：";
} // namespace

int ParseSeenAnswer(const std::string& answer) {
    std::string a = Lower(Trimmed(answer));
    if (a == "y" || a == "yes" || a == "是" || a == HintText::Seen)
        return 1;
    if (a == "n" || a == "no" || a == "否" || a == HintText::NotSeen)
        return 2;
    return 0;
}

TTerminalWorkflowUI::TTerminalWorkflowUI(TTerminalWindow& window, int input, bool ask)
    : window_(window), input_(input), ask_(ask) {}

void TTerminalWorkflowUI::ProcessMessages() {
    if (Interrupt::Raised())
        HandleInterrupt();
}

std::string OfferedVersion(const TCliInfo& answer, const std::string& deviceVersion) {
    const std::string& named = answer.UPType == RequestKind::Tool ? answer.SWVer : answer.SVer;
    const std::string own =
        answer.UPType == RequestKind::Tool ? std::string(KestrelToolVersion) : deviceVersion;
    return named == own ? "" : named;
}

std::string TTerminalWorkflowUI::LastStatus() {
    std::lock_guard lock(mutex_);
    return lastStatus_;
}

std::string TTerminalWorkflowUI::LastCause() {
    std::lock_guard lock(mutex_);
    return lastCause_;
}

void TTerminalWorkflowUI::ShowStatus(const std::string& text) {
    {
        std::lock_guard lock(mutex_);
        lastStatus_ = text;
    }
    // Programming runs between these texts (TWorkflow::ApplyCliInfo). The state changes before
    // the text is printed: a Ctrl-C that follows the text must find programming under way.
    bool programming = text == WorkflowText::Programming;
    if (programming) {
        if (onProgramming_)
            onProgramming_();
        Interrupt::SetProgramming(true);
    } else if (text == WorkflowText::ProgrammingDone || text == WorkflowText::ProgrammingFailed) {
        Interrupt::SetProgramming(false);
    }
    if (programming && flow_)
        window_.ShowStatus(OfferLine());
    window_.ShowStatus(text);
}

std::string TTerminalWorkflowUI::OfferLine() const {
    std::string device = flow_->DeviceVersion();
    // A signed release names its version in its statement; the answer's own fields may not.
    const auto& statement = flow_->LastStatement();
    std::string offered =
        statement ? statement->version : OfferedVersion(flow_->LastRequest(), device);
    return "device software version " + device + "; the server offers " +
           (offered.empty() ? "new firmware without naming its version" : "firmware " + offered);
}

void TTerminalWorkflowUI::ShowCause(const std::string& cause) {
    std::string status;
    {
        std::lock_guard lock(mutex_);
        lastCause_ = cause;
        status = lastStatus_;
    }
    // A failure is shown also when statuses are not (-q): its text, then why.
    if (!window_.ShowsStatus())
        window_.PrintLine(status);
    window_.PrintLine(cause);
}

void TTerminalWorkflowUI::HandleInterrupt() {
    // Repeated on every pass: an exchange that starts after the first request is cancelled
    // too. Outside an exchange this only marks the action as ending.
    if (flow_)
        flow_->RequestClose();
}

void TTerminalWorkflowUI::ShowPort(const TPortId& port) {
    window_.PrintLine(PortLine(port));
}

void TTerminalWorkflowUI::SetDeviceType(const std::string& text) {
    deviceType_ = text;
    window_.PrintLine("device type: " + text);
}

void TTerminalWorkflowUI::Sleep(int ms) {
    if (Interrupt::WaitFor(std::chrono::milliseconds(ms)))
        HandleInterrupt();
}

TTerminalWorkflowUI::TAnswer TTerminalWorkflowUI::ReadAnswer(std::string& line) {
    for (;;) {
        if (Interrupt::Raised())
            return TAnswer::Interrupted;
        if (size_t nl = pending_.find('\n'); nl != std::string::npos) {
            line = pending_.substr(0, nl);
            pending_.erase(0, nl + 1);
            window_.AnswerReceived();
            return TAnswer::Line;
        }
        if (inputEnded_) {
            if (pending_.empty())
                return TAnswer::End;
            line.swap(pending_);
            pending_.clear();
            return TAnswer::Line;
        }
        if (Interrupt::ReadInput(input_, pending_) == Interrupt::TInput::End)
            inputEnded_ = true;
    }
}

void TTerminalWorkflowUI::ShowHintSteps() {
    // Ctrl-C in the pause before the steps: the user has left, nothing more is shown.
    if (Interrupt::Raised()) {
        hint_ = THintOutcome::Interrupted;
        return;
    }
    if (!ask_) {
        for (const char* text : HintText::Steps)
            window_.PrintLine(text);
        hint_ = THintOutcome::Printed;
        return;
    }
    // As the dialog: steps 1 to 3 go on whatever the answer; step 4 ends the steps on
    // "看到了" and starts again at step 1 on "没有看到".
    auto ended = [this](TAnswer answer) {
        if (answer == TAnswer::Line)
            return false;
        window_.FinishLine(); // end the question's line
        hint_ = answer == TAnswer::End ? THintOutcome::InputEnded : THintOutcome::Interrupted;
        return true;
    };
    std::string line;
    for (;;) {
        for (int step = 1; step <= 3; ++step) {
            if (step == 1)
                window_.PrintLine(HintText::Steps[0]);
            window_.PrintLine(HintText::Steps[step]);
            window_.Prompt(PromptDone);
            if (ended(ReadAnswer(line)))
                return;
        }
        window_.PrintLine(HintText::Steps[4]);
        int seen = 0;
        while (seen == 0) {
            window_.Prompt(PromptSeen);
            if (ended(ReadAnswer(line)))
                return;
            seen = ParseSeenAnswer(line);
        }
        if (seen == 1) {
            hint_ = THintOutcome::Confirmed;
            return;
        }
    }
}
