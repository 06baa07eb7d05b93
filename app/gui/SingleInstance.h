#pragma once
// One window per user: the first start holds a lock file in the user's runtime folder
// ($XDG_RUNTIME_DIR) and listens on a local socket beside it; a later start finds the lock taken,
// asks the first window through the socket to come to the front, and ends. The lock is the
// kernel's (flock): it goes with the process that held it, so a crashed window leaves nothing
// that blocks the next start. KESTREL_INSTANCE names the window (WindowInstanceName), so that
// tests and demonstrations run windows of their own beside a user's.
#include "OwnedHandle.h"

#include <QLocalServer>
#include <QPointer>
#include <QWidget>

#include <memory>
#include <string>

class TSingleWindow {
public:
    ~TSingleWindow();
    TSingleWindow(const TSingleWindow&) = delete;
    TSingleWindow& operator=(const TSingleWindow&) = delete;

    // Claims the window for this process (the application object exists). nullptr when another
    // process holds it: that window was asked to come to the front, and `message` says so for
    // standard error. When the lock cannot be used at all (no runtime folder), the window is
    // claimed without it and `message` names the cause.
    static std::unique_ptr<TSingleWindow> Claim(std::string& message);

    // From now on a later start brings `window` to the front (restored, raised, activated).
    void RaiseOnRequest(QWidget& window);

private:
    TSingleWindow() = default;
    void Answer();

    TFd lock_;
    QLocalServer server_;
    QPointer<QWidget> window_;
};
