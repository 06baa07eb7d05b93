#pragma once
// What the upgrade workflow needs of its front end: the window link of the device and server
// links, plus the controls that only the workflow sets (the busy picture, the two buttons, a
// repaint), the two display boxes, the plain waits, the guided dialog and the end of the
// program. The window implements it with Qt, the command line on the terminal.
#include "PortNames.h"
#include "WindowLink.h"

#include <cstdio>
#include <string>

// Like the window link's calls, the control calls may come from the upgrade worker thread (the
// workflow turns the worker's phases into controls there): never wait for the front end's thread.
class TWorkflowUI : public TWindowLink {
public:
    virtual void ShowBusy(bool busy) = 0;           // true: busy picture IMG2 shown, IMG1 hidden
    virtual void SetStartEnabled(bool enabled) = 0; // But_Stat
    virtual void SetStopEnabled(bool enabled) = 0;  // But_Stop
    virtual void Repaint() = 0;
    // Port box CBox_COMIID: selects the entry "COM<number>" of the device's port (entries COM1 to
    // COM16; a higher port is added to the box).
    virtual void ShowPort(const TPortId& port) = 0;
    // Device type box CBox_HardTyp: its text.
    virtual void SetDeviceType(const std::string& text) = 0;
    virtual std::string DeviceType() = 0;
    // A plain pause of the front end's thread (the window does not react meanwhile).
    virtual void Sleep(int ms) = 0;
    // The guided loader-entry steps; returns when the user has confirmed the last one.
    virtual void ShowHintSteps() = 0;
    // Ask the program to end once the current action has returned (self-replacement, or a close
    // of the window that was deferred until the action ended).
    virtual void RequestTerminate() = 0;
    // An unexpected platform failure while writing the files of the self-replacement, shown in
    // the application's error box (the command line prints it). By default on the status line.
    virtual void ShowError(const std::string& text) { ShowStatus(text); }
    // Why the step whose failure status was just shown failed: one English line (the device's
    // port and what went wrong, or the server's host and port and what went wrong). The status
    // text itself stays as it is; this comes beside it. By default on standard error, which is
    // what the window does.
    virtual void ShowCause(const std::string& cause) {
        std::fprintf(stderr, "%s\n", cause.c_str());
        std::fflush(stderr);
    }
};
