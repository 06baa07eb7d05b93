#pragma once
// The window program's start on Windows, shared by wWinMain and the window tests.
#include "MainWindow.h"
#include "WindowThreadLink.h"
#include "WorkflowWiring.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

class TForm_Main;
class TWorkflow;
enum class TWorkflowResult;

// The usage text of `kestrel.exe --help`.
std::string ProgramUsage();

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

// The upgrade workflow tied to the main window (WorkflowWiring.h).
using TWorkflowWiring = TWindowWorkflow<TForm_Main>;

// Wires the workflow into `form`, on the default device and server links. Release the result
// before the windows.
std::unique_ptr<TWorkflowWiring> WireWorkflow(TForm_Main& form);
