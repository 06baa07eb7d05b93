#pragma once
// The program's start, shared by main() and the window tests.
#include "MainWindow.h"
#include "WindowThreadLink.h"
#include "WorkflowWiring.h"

#include <QStringList>

#include <memory>
#include <optional>
#include <string>

class TForm_Main;
class TWorkflow;
enum class TWorkflowResult;

// The usage text of `kestrel --help` (AnswerCommandLine of WindowTexts.h prints it).
std::string ProgramUsage();

// Before the application object exists: the embedded browser's needs (shared GL contexts, and
// no sandbox when running as root, which it refuses otherwise). The browser's own diagnostics
// stay off standard error unless KESTREL_BROWSER_LOG is set to 1.
void PrepareProcess();

// After the application object exists: the application title, the main window Form_Main (its
// creation runs FormCreate) and the hidden dialog HintForm, in that order; installs the link of
// Form_Main as the window of the device and server links. `arguments` exclude the program name.
void CreateProgramWindows(const QStringList& arguments);

// Releases both windows and restores the null window link.
void DestroyProgramWindows();

// The upgrade workflow tied to the main window (WorkflowWiring.h).
using TWorkflowWiring = TWindowWorkflow<TForm_Main>;

// Wires the workflow into `form`, on the default device and server links (main() and the tests
// use the same wiring). Release the result before the windows.
std::unique_ptr<TWorkflowWiring> WireWorkflow(TForm_Main& form);
