// kestrel.exe: the window program on Windows. Started by the tool it replaces, finishes the
// replacement; answers --version and --help on the console it was started from, and refuses a
// command line it does not take; keeps to one window per user (a second start brings the first
// window to the front and ends); otherwise creates the main window and the hidden guided dialog,
// ties the upgrade workflow to the window, and runs the message loop until the window is closed
// or the program is told to end.
#include "LibrarySearch.h"
#include "MainWindow.h"
#include "Program.h"
#include "SelfReplace.h"
#include "SingleInstance.h"
#include "SystemText.h"
#include "WindowTexts.h"

#include <cstdio>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    RestrictLibrarySearch();
    return RunWindowProgram([] {
        UseParentConsole();
        // The wide command line in UTF-8 (wWinMain's own arguments are not split).
        const std::vector<std::string> arguments = ProgramArguments(0, nullptr);
        // Started by the tool it replaces, to take its place.
        if (auto status = FinishReplacement(arguments))
            return *status;
        std::vector<const char*> argv;
        argv.reserve(arguments.size());
        for (const std::string& argument : arguments)
            argv.push_back(argument.c_str());
        const int argc = static_cast<int>(argv.size());
        if (auto status = AnswerCommandLine(argc, argv.data(), ProgramUsage()))
            return *status;
        std::string message;
        auto single = TSingleWindow::Claim(message);
        if (!message.empty())
            std::fprintf(stderr, "%s\n", message.c_str());
        if (!single)
            return 0;
        CreateProgramWindows({arguments.begin() + (arguments.empty() ? 0 : 1), arguments.end()});
        single->RaiseOnRequest(Form_Main->Handle());
        int code;
        {
            auto wiring = WireWorkflow(*Form_Main);
            Form_Main->Show();
            code = RunMessageLoop();
        }
        DestroyProgramWindows();
        return code;
    });
}
