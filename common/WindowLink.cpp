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
} // namespace

TWindowLink& MainWindow() {
    return *Installed();
}

void SetMainWindow(TWindowLink* window) {
    Installed() = window ? window : &NullWindow();
}
