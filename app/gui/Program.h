#pragma once
// The program's start, shared by main() and the window tests.
#include <QStringList>

// Before the application object exists: the embedded browser's needs (shared GL contexts, and
// no sandbox when running as root, which it refuses otherwise).
void PrepareProcess();

// After the application object exists: the application title, the main window Form_Main (its
// creation runs FormCreate) and the hidden dialog HintForm, in that order; installs Form_Main as
// the window of the device and server links. `arguments` exclude the program name.
void CreateProgramWindows(const QStringList& arguments);

// Releases both windows and restores the null window link.
void DestroyProgramWindows();
