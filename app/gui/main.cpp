// kestrel: the window program. Starts the application, creates the main window and the hidden
// guided dialog, ties the upgrade workflow to the window, and runs the message loop until the
// window is closed or the program is told to end.
#include "MainWindow.h"
#include "Program.h"
#include "WindowTexts.h"

#include <QApplication>

int main(int argc, char** argv) {
    return RunWindowProgram([&] {
        if (AnswerVersionQuery(argc, argv, ProgramUsage()))
            return 0;
        PrepareProcess();
        QApplication app(argc, argv);
        CreateProgramWindows(app.arguments().mid(1));
        auto wiring = WireWorkflow(*Form_Main);
        Form_Main->show();
        const int code = app.exec();
        wiring.reset();
        DestroyProgramWindows();
        return code;
    });
}
