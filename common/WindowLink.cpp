#include "WindowLink.h"

namespace {
TWindowLink& NullWindow() {
    static TNullWindowLink window;
    return window;
}

// The installed window; the null window until a program installs its own.
TWindowLink*& Installed() {
    static TWindowLink* window = &NullWindow();
    return window;
}

class TMainWindowFollower : public TWindowLink {
public:
    void ShowStatus(const std::string& text) override { MainWindow().ShowStatus(text); }
    TProgressBar& ProgressBar() override { return MainWindow().ProgressBar(); }
    void ProcessMessages() override { MainWindow().ProcessMessages(); }
};
} // namespace

TWindowLink& MainWindow() {
    return *Installed();
}

void SetMainWindow(TWindowLink* window) {
    Installed() = window ? window : &NullWindow();
}

TWindowLink& MainWindowFollower() {
    static TMainWindowFollower follower;
    return follower;
}
