#pragma once
// The memory of the embedded browser, which is most of what the window program holds.

// Before any thread starts: at most two allocation arenas of the C library. Every thread that
// allocates would otherwise get an arena of its own (up to eight per core), and the browser
// runs some twenty threads whose freed memory stays spread over them.
void LimitAllocationArenas();

// Once the information page is shown: gives back what the browser's start-up touched and does
// not need again. Its library's code and read-only data were read in while it started; the
// pages are handed back to the system and read in again from the library file when code runs
// again, which while the page stands is a few MiB. Free memory of the C library's heap goes
// back too.
void ReleaseBrowserStartupMemory();
