#pragma once
// Shared pieces of the window tests: the test program's main(), the program's windows shown,
// capture of standard error, and a driver that answers the modal guided dialog.
#include "Program.h"

#include <QApplication>
#include <QTest>

#include <cstdio>
#include <functional>
#include <string>

// Every window test program: offscreen unless told otherwise, and the same process preparation
// as the program itself (the embedded browser refuses to start as root with its sandbox).
#define KESTREL_WINDOW_TEST_MAIN(TestClass)                                                        \
    int main(int argc, char** argv) {                                                              \
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))                                        \
            qputenv("QT_QPA_PLATFORM", "offscreen");                                               \
        PrepareProcess();                                                                          \
        QApplication app(argc, argv);                                                              \
        TestClass test;                                                                            \
        return QTest::qExec(&test, argc, argv);                                                    \
    }

// The program's windows as the program creates them at start-up, with Form_Main shown; false when
// the window did not appear on the screen.
bool CreateShownProgramWindows();

// Redirects standard error into a temporary file while it lives; Text() is what was written.
class StderrCapture {
public:
    StderrCapture();
    ~StderrCapture();
    std::string Text();

private:
    std::FILE* file_;
    int saved_;
};

// Calls `onShown` once for every modal display of `dialog`, from a timer on the window's thread
// while the dialog's own loop runs. The callback answers the display (clicks a button, presses
// Escape, closes it).
class ModalDriver : public QObject {
public:
    ModalDriver(QWidget* dialog, std::function<void(int display)> onShown);
    int Displays() const { return displays_; }

private:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void timerEvent(QTimerEvent*) override;
    QWidget* dialog_;
    std::function<void(int)> onShown_;
    int displays_ = 0;
    bool pending_ = false; // shown and not answered yet
};
