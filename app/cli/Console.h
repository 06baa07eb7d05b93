#pragma once
// The terminal under the command-line programs, one file per platform (a console on Windows).

// True when descriptor `fd` is an interactive terminal (on Windows a console, not the NUL
// device or a pipe).
bool IsTerminal(int fd);
// Makes the terminal show the programs' UTF-8 texts (on Windows the console's code pages; on
// POSIX the terminal's own setting holds). What it changes is undone when the program exits.
void PrepareConsole();
// Undoes PrepareConsole now: for an end that runs no exit handlers (ExitProcess).
void RestoreConsole();
