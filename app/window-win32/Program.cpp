#include "Program.h"

#include "HintWin.h"
#include "MainWindow.h"
#include "WideText_win32.h"
#include "WindowTexts.h"
#include "WindowThreadLink.h"
#include "Workflow.h"

#include <commctrl.h>
#include <ole2.h>

#include <cstdio>

std::string ProgramUsage() {
    return WindowProgramUsage(
        "ports (port N is COMN), asks the upgrade server for new firmware and programs it.\n", "",
        "Status texts, and the cause of a failure, are written to standard error (or to the\n"
        "console the program was started from).\n"
        "Exit status: 0 when the window was closed (or the tool replaced itself, or the window\n"
        "was open already and came to the front), 1 when the program failed unexpectedly (the\n"
        "reason on standard error), 2 for a command line it does not take.\n");
}

namespace {
// Whether a standard handle leads somewhere already: a file or a pipe its starter gave it.
bool Redirected(DWORD which) {
    const DWORD type = GetFileType(GetStdHandle(which));
    return type == FILE_TYPE_DISK || type == FILE_TYPE_PIPE;
}
} // namespace

void UseParentConsole() {
    const bool output = Redirected(STD_OUTPUT_HANDLE), error = Redirected(STD_ERROR_HANDLE);
    if ((output && error) || !AttachConsole(ATTACH_PARENT_PROCESS))
        return;
    SetConsoleOutputCP(CP_UTF8);
    if (!output)
        std::freopen("CONOUT$", "w", stdout);
    if (!error)
        std::freopen("CONOUT$", "w", stderr);
}

void InitialiseWindowThread() {
    static const bool done = [] {
        INITCOMMONCONTROLSEX controls{};
        controls.dwSize = sizeof controls;
        controls.dwICC =
            ICC_STANDARD_CLASSES | ICC_PROGRESS_CLASS | ICC_BAR_CLASSES | ICC_LINK_CLASS;
        InitCommonControlsEx(&controls);
        // A single-threaded apartment: the browser control lives on the window's thread.
        OleInitialize(nullptr);
        return true;
    }();
    (void)done;
}

void CreateProgramWindows(const std::vector<std::string>& arguments) {
    InitialiseWindowThread();
    Form_Main = new TForm_Main(arguments);
    HintForm = new THintForm(Form_Main->Handle());
    Form_Main->Link().SetHintForm(HintForm);
    SetMainWindow(&Form_Main->Link());
}

void DestroyProgramWindows() {
    SetMainWindow(nullptr);
    delete HintForm;
    delete Form_Main;
    HintForm = nullptr;
    Form_Main = nullptr;
}

int RunMessageLoop() {
    MSG message;
    BOOL got;
    while ((got = GetMessageW(&message, nullptr, 0, 0)) != 0) {
        if (got == -1)
            return 1;
        if (Form_Main && IsDialogMessageW(Form_Main->Handle(), &message))
            continue;
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return static_cast<int>(message.wParam);
}

std::unique_ptr<TWorkflowWiring> WireWorkflow(TForm_Main& form) {
    return std::make_unique<TWorkflowWiring>(form, DefaultServerLink());
}
