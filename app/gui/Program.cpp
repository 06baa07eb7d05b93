#include "Program.h"

#include "Demo.h"
#include "HintWin.h"

#include <QApplication>

#include <unistd.h>

void PrepareProcess() {
    if (::geteuid() == 0 && qEnvironmentVariableIsEmpty("QTWEBENGINE_DISABLE_SANDBOX"))
        qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
}

void CreateProgramWindows(const QStringList& arguments) {
    // The application title is the name the desktop shows for the program; the caption of the
    // window is separate ("VELT在线升级1.4").
    QApplication::setApplicationName(ApplicationTitle());
    Form_Main = new TForm_Main(arguments);
    HintForm = new THintForm(Form_Main);
    Form_Main->SetHintForm(HintForm);
    SetMainWindow(Form_Main);
}

void DestroyProgramWindows() {
    SetMainWindow(nullptr);
    delete Form_Main; // also deletes HintForm, its child
    Form_Main = nullptr;
    HintForm = nullptr;
}
