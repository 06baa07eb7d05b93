#pragma once
// One window per user: the first start holds a named mutex of the user's session (its name holds
// the user's security id and the window's name, WindowInstanceName) and marks its main window; a
// later start finds the mutex taken, asks the marked window to come to the front, lets it take
// the foreground, and ends. The mutex goes with the last handle to it, so a crashed window leaves
// nothing that blocks the next start.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <memory>
#include <string>

class TSingleWindow {
public:
    ~TSingleWindow();
    TSingleWindow(const TSingleWindow&) = delete;
    TSingleWindow& operator=(const TSingleWindow&) = delete;

    // Claims the window for this process. nullptr when another process holds it: that window was
    // asked to come to the front, and `message` says so for standard error. When the mutex cannot
    // be made, the window is claimed without it and `message` names the cause.
    static std::unique_ptr<TSingleWindow> Claim(std::string& message);

    // From now on a later start finds `window` and brings it to the front (restored, foreground).
    void RaiseOnRequest(HWND window);

private:
    TSingleWindow() = default;

    HANDLE mutex_ = nullptr;
    HWND window_ = nullptr;
};
