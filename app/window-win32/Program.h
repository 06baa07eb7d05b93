#pragma once
// The window program's start on Windows, shared by wWinMain and the window tests.
#include <memory>
#include <optional>
#include <string>
#include <vector>

class TForm_Main;
class TWorkflow;
enum class TWorkflowResult;

// The usage text of `kestrel.exe --help`.
const char* ProgramUsage();

// A program of the window subsystem has no console: its standard output and error go nowhere
// unless its starter gave it files or pipes. Started from a console window, it writes to that
// console instead (in UTF-8).
void UseParentConsole();

// The common controls and OLE (the browser control) for the window's thread, once.
void InitialiseWindowThread();

// The main window Form_Main (its creation runs FormCreate) and the hidden dialog HintForm, in
// that order; installs the link of Form_Main as the window of the device and server links.
// `arguments` exclude the program name.
void CreateProgramWindows(const std::vector<std::string>& arguments);
// Releases both windows and restores the null window link.
void DestroyProgramWindows();

// Runs the message loop until the window is closed or the program is asked to end; returns the
// exit status.
int RunMessageLoop();

// The upgrade workflow tied to the main window for as long as this object lives:
//   But_Stat (a click or the automatic start)  -> the start action, one at a time;
//   But_Stop                                   -> cancels the running server exchange;
//   closing the window                         -> closes at once when idle; otherwise the close
//       waits for the action to end (an exchange is cancelled, discovery and programming run to
//       their end) and the program then ends.
class TWorkflowWiring {
public:
    explicit TWorkflowWiring(TForm_Main& form);
    ~TWorkflowWiring();
    TWorkflowWiring(const TWorkflowWiring&) = delete;
    TWorkflowWiring& operator=(const TWorkflowWiring&) = delete;

    TWorkflow& Flow() { return *flow_; }
    // How the last start action ended; nothing before the first one has ended.
    std::optional<TWorkflowResult> LastResult() const { return lastResult_; }

private:
    void StartAction();

    TForm_Main& form_;
    std::unique_ptr<TWorkflow> flow_;
    std::optional<TWorkflowResult> lastResult_;
};
