#include "WindowLink.h"

namespace {
TNullWindowLink nullWindow;
TWindowLink* current = &nullWindow;
} // namespace

TWindowLink& MainWindow() {
    return *current;
}

void SetMainWindow(TWindowLink* window) {
    current = window ? window : &nullWindow;
}
