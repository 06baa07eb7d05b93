#pragma once
// The main window as the upgrade workflow and the device and server links see it (TWorkflowUI),
// for both windows (Qt and Win32: each program implements it for its own TForm_Main).
// Their calls may come from the upgrade worker thread: each one acts at once on the window's
// thread and is posted to the window from any other thread, never waiting for it (the window's
// thread may itself be waiting for the caller).
#include "WorkflowUI.h"

#include <memory>
#include <mutex>
#include <string>

class TForm_Main;
class THintForm;

class TWindowThreadLink : public TWorkflowUI {
public:
    // Made once the window's controls exist; lives as long as the window.
    explicit TWindowThreadLink(TForm_Main& form);
    ~TWindowThreadLink() override;
    TWindowThreadLink(const TWindowThreadLink&) = delete;
    TWindowThreadLink& operator=(const TWindowThreadLink&) = delete;

    // The guided dialog that ShowHintSteps runs.
    void SetHintForm(THintForm* hintForm) { hintForm_ = hintForm; }

    // TWorkflowUI, with the TWindowLink it extends.
    void ShowStatus(const std::string& text) override;
    TProgressBar& ProgressBar() override;
    void ShowBusy(bool busy) override;
    void SetStartEnabled(bool enabled) override;
    void SetStopEnabled(bool enabled) override;
    void Repaint() override;
    // Runs the window messages waiting on this thread (device waits). On Windows a request to
    // end the program that it meets stays queued for the message loop.
    void ProcessMessages() override;
    void ShowPort(const TPortId& port) override;
    void SetDeviceType(const std::string& text) override;
    std::string DeviceType() override;
    void Sleep(int ms) override;
    void ShowHintSteps() override;
    void RequestTerminate() override;
    // An error box (and the same text on standard error).
    void ShowError(const std::string& text) override;
    // The status line's tooltip and copy entry (and the same line on standard error).
    void ShowCause(const std::string& cause) override;

private:
    class TFormProgress;

    bool OnWindowThread() const;
    // Runs `action` now on the window's thread, or posts it there from any other thread.
    template <typename F> void Dispatch(F action);

    TForm_Main& form_;
    std::unique_ptr<TFormProgress> progress_;
    THintForm* hintForm_ = nullptr;
    std::mutex deviceTypeMutex_;
    std::string deviceType_; // CBox_HardTyp's text, readable from any thread
};
