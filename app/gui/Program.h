#pragma once
// The program's start, shared by main() and the window tests.
#include <QStringList>

#include <memory>
#include <optional>

class TForm_Main;
class TWorkflow;
enum class TWorkflowResult;

// The usage text of `kestrel --help` (AnswerVersionQuery of WindowTexts.h prints it).
const char* ProgramUsage();

// Before the application object exists: the priority of a replaced tool when an update script
// started this one, and the embedded browser's needs (shared GL contexts, and no sandbox when
// running as root, which it refuses otherwise). The browser's own diagnostics stay off standard
// error unless KESTREL_BROWSER_LOG is set to 1.
void PrepareProcess();

// After the application object exists: the application title, the main window Form_Main (its
// creation runs FormCreate) and the hidden dialog HintForm, in that order; installs the link of
// Form_Main as the window of the device and server links. `arguments` exclude the program name.
void CreateProgramWindows(const QStringList& arguments);

// Releases both windows and restores the null window link.
void DestroyProgramWindows();

// The upgrade workflow tied to the main window for as long as this object lives:
//   But_Stat (a click or the automatic start)  -> the start action, one at a time;
//   But_Stop                                   -> cancels the running server exchange;
//   closing the window                         -> closes at once when idle; otherwise the close
//       waits for the action to end (an exchange is cancelled, discovery and programming run to
//       their end) and the program then ends.
// The workflow's end-of-program request and its error box are the window's own.
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

// Wires the workflow into `form` (main() and the tests use the same wiring). Release the result
// before the windows.
std::unique_ptr<TWorkflowWiring> WireWorkflow(TForm_Main& form);
