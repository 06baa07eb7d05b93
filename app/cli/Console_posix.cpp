#include "Console.h"

#include <unistd.h>

bool IsTerminal(int fd) {
    return isatty(fd) == 1;
}

void PrepareConsole() {}

void RestoreConsole() {}
