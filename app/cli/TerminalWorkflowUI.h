#pragma once
// The upgrade workflow's front end on a terminal (`kestrel-cli update`): status texts, the port
// and the device type as lines, the progress bar and the questions on a TTerminalWindow; the
// guided steps asked one by one on standard input when it is a terminal, otherwise printed.
// Ctrl-C (see Interrupt.h) reaches the controller as a close of the window: a running server
// exchange is cancelled, discovery and programming finish, no further step begins. While the
// firmware is programmed the interrupt handler knows it: a stop then takes three Ctrl-C.
// Before programming begins it prints the device's software version and the one offered.
#include "TerminalWindow.h"
#include "Workflow.h"

#include <functional>
#include <mutex>
#include <string>

class TTerminalWorkflowUI : public TWorkflowUI {
public:
    // How the guided steps went.
    enum class THintOutcome {
        NotShown,    // the action did not get that far
        Confirmed,   // the user answered "看到了" at the fourth step
        Printed,     // no questions asked (standard input is no terminal): the texts only
        InputEnded,  // standard input ended before the user confirmed
        Interrupted, // Ctrl-C while a question waited
    };

    // `window` shows everything; answers are read from descriptor `input` when `ask` is set.
    TTerminalWorkflowUI(TTerminalWindow& window, int input, bool ask);

    // The controller that an interrupt is handed to (its RequestClose).
    void Attach(TWorkflow* flow) { flow_ = flow; }
    THintOutcome HintOutcome() const { return hint_; }

    // Called as programming begins (the JSON object of a stop half-way is made there).
    void OnProgramming(std::function<void()> call) { onProgramming_ = std::move(call); }
    // The last status text shown, and the last cause line.
    std::string LastStatus();
    std::string LastCause();

    void ShowStatus(const std::string& text) override;
    // Why the last step failed: a line on the terminal, after the failure's status text when
    // statuses are not shown.
    void ShowCause(const std::string& cause) override;
    TProgressBar& ProgressBar() override { return window_.ProgressBar(); }
    void ShowBusy(bool) override {}
    void SetStartEnabled(bool) override {}
    void SetStopEnabled(bool) override {}
    void Repaint() override {}
    void ProcessMessages() override;

    void ShowPort(const TPortId& port) override;
    void SetDeviceType(const std::string& text) override;
    std::string DeviceType() override { return deviceType_; }
    void Sleep(int ms) override;
    void ShowHintSteps() override;
    void RequestTerminate() override {} // the command ends when the action has returned
    void ShowError(const std::string& text) override { window_.PrintLine(text); }

private:
    enum class TAnswer { Line, End, Interrupted };
    // The next line of input, waking up on an interrupt.
    TAnswer ReadAnswer(std::string& line);
    // Passes an interrupt on to the controller (the handler has told the user).
    void HandleInterrupt();
    // The device's version and the one offered, printed as programming begins.
    std::string OfferLine() const;

    TTerminalWindow& window_;
    int input_;
    bool ask_;
    TWorkflow* flow_ = nullptr;
    std::string deviceType_ = "未连接";
    THintOutcome hint_ = THintOutcome::NotShown;
    std::string pending_; // input read beyond the last answer
    bool inputEnded_ = false;
    std::function<void()> onProgramming_;
    std::mutex mutex_; // statuses come from the worker too
    std::string lastStatus_;
    std::string lastCause_;
};

// The version the server's answer names for what it offers: the firmware's (kind 3, in SVer)
// or the tool's (kind 7, in SWVer); empty when the answer repeats the request's own value.
std::string OfferedVersion(const TCliInfo& answer, const std::string& deviceVersion);

// How a step-4 answer reads: 1 "看到了", 2 "没有看到", 0 neither (ask again).
int ParseSeenAnswer(const std::string& answer);
