// kestrel: the window program. Refuses a command line it does not take, keeps to one window per
// user (a second start brings the first window to the front and ends), starts the application,
// creates the main window and the hidden guided dialog, ties the upgrade workflow to the window,
// and runs the message loop until the window is closed or the program is told to end.
#include "MainWindow.h"
#include "Program.h"
#include "SingleInstance.h"
#include "WindowTexts.h"

#include <QApplication>

#include <cstdio>

int main(int argc, char** argv) {
    return RunWindowProgram([&] {
        if (auto status = AnswerCommandLine(argc, argv, ProgramUsage()))
            return *status;
        PrepareProcess();
        QApplication app(argc, argv);
        std::string message;
        auto single = TSingleWindow::Claim(message);
        if (!message.empty())
            std::fprintf(stderr, "%s\n", message.c_str());
        if (!single)
            return 0;
        CreateProgramWindows(app.arguments().mid(1));
        single->RaiseOnRequest(*Form_Main);
        auto wiring = WireWorkflow(*Form_Main);
        Form_Main->show();
        const int code = app.exec();
        wiring.reset();
        DestroyProgramWindows();
        return code;
    });
}
