#pragma once
// The one small interface through which the device link and the server link reach their
// window: the status line, the progress bar and the message pump. app/ implements it with Qt;
// tests and the command line have their own implementations. device/ and serverlink/ never see a
// window toolkit, nor the window's buttons and pictures (those are the workflow's, TWorkflowUI).
#include <string>

// The progress bar the programming transfer and the download move.
class TProgressBar {
public:
    virtual ~TProgressBar() = default;
    virtual void SetMax(int max) = 0;
    virtual void SetPosition(int position) = 0;
};

// Calls other than ProcessMessages may come from the upgrade worker thread: an implementation
// carries them over to its own thread and never waits for that thread (it may itself be waiting
// for the worker). All texts are UTF-8.
class TWindowLink {
public:
    virtual ~TWindowLink() = default;
    virtual void ShowStatus(const std::string& text) = 0; // the status line Lab_Err
    virtual TProgressBar& ProgressBar() = 0;              // PBar
    // Processes all pending window messages; called on the window's thread only (device waits).
    virtual void ProcessMessages() = 0;
};

// A window that shows nothing: the default until a program installs its own.
class TNullWindowLink : public TWindowLink, public TProgressBar {
public:
    void ShowStatus(const std::string&) override {}
    TProgressBar& ProgressBar() override { return *this; }
    void ProcessMessages() override {}
    void SetMax(int) override {}
    void SetPosition(int) override {}
};

// The process-wide window. Installed once at start-up, before any worker thread exists; nullptr
// restores the null window.
TWindowLink& MainWindow();
void SetMainWindow(TWindowLink* window);

// The window of the default device and server links: it hands every call to MainWindow() as it
// is at that moment, so those links follow whatever window the program installs.
TWindowLink& MainWindowFollower();
