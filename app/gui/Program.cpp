#include "Program.h"

#include "HintWin.h"
#include "MainWindow.h"
#include "SelfReplace.h"
#include "WindowThreadLink.h"
#include "Workflow.h"

#include <QApplication>

#include <cstdio>
#include <cstring>
#include <unistd.h>

bool AnswerVersionQuery(int argc, char** argv) {
    if (argc != 2 || std::strcmp(argv[1], "--version") != 0)
        return false;
    std::printf("kestrel %s\n", KestrelToolVersion);
    return true;
}

void PrepareProcess() {
    AdoptReplacedToolPriority();
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
    Form_Main->Link().SetHintForm(HintForm);
    SetMainWindow(&Form_Main->Link());
}

void DestroyProgramWindows() {
    SetMainWindow(nullptr);
    delete Form_Main; // also deletes HintForm, its child
    Form_Main = nullptr;
    HintForm = nullptr;
}

TWorkflowWiring::TWorkflowWiring(TForm_Main& form)
    : form_(form), flow_(std::make_unique<TWorkflow>(form.Link())) {
    form_.OnStart = [this] { StartAction(); };
    form_.OnStop = [this] { flow_->Cancel(); };
    form_.OnCloseRequest = [this] { return flow_->RequestClose(); };
}

TWorkflowWiring::~TWorkflowWiring() {
    form_.OnStart = nullptr;
    form_.OnStop = nullptr;
    form_.OnCloseRequest = nullptr;
}

void TWorkflowWiring::StartAction() {
    TWorkflowResult result = flow_->Start();
    if (result == TWorkflowResult::AlreadyRunning)
        return; // a click while the action runs: that action goes on, nothing else starts
    lastResult_ = result;
    if (result == TWorkflowResult::Cancelled) {
        // The worker's own message for the interrupted step is posted to the window; it must
        // not arrive after, and replace, the plain cancel text.
        QCoreApplication::sendPostedEvents(&form_, QEvent::MetaCall);
        form_.Link().ShowStatus(CancelledStatusText);
    }
}

std::unique_ptr<TWorkflowWiring> WireWorkflow(TForm_Main& form) {
    return std::make_unique<TWorkflowWiring>(form);
}
