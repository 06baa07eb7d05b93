// kestrel: the window program. Starts the application, creates the main window and the hidden
// guided dialog, and runs the message loop until the window is closed or the program is told to
// end.
#include "Demo.h"
#include "Program.h"

#include <QApplication>

int main(int argc, char** argv) {
    PrepareProcess();
    QApplication app(argc, argv);
    CreateProgramWindows(app.arguments().mid(1));
    // The start action of But_Stat is installed here: Form_Main->OnStart.
    Form_Main->show();
    const int code = app.exec();
    DestroyProgramWindows();
    return code;
}
