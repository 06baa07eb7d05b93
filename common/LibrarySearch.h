#pragma once
// Where a program's libraries are looked for.

// The first call of every program: libraries loaded while it runs (its own LoadLibrary calls,
// COM servers, the system DLLs' delay-loaded ones) come from the system folder only, never from
// the program's folder or the current one, where whoever may write there could plant a DLL of
// the same name. On Windows; Linux's loader never looks in the program's folder by itself.
// The DLLs a Windows program imports are loaded before it runs: every one of them is a known
// DLL (always the system's own copy) or, comctl32, bound to the system's copy by the manifest.
void RestrictLibrarySearch();
