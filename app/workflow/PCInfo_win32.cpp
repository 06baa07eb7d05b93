// The PC identifier on Windows: the node field of two successive UUIDs from rpcrt4.dll, when
// both agree (a random node would differ, and no adapter gives a "local only" status).
#include "PCInfo.h"

#include <windows.h>

std::string GetPCInfo() {
    // From the system folder only, never from the program's or the current folder.
    HMODULE library = LoadLibraryExW(L"rpcrt4.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (!library)
        return {};
    // Every supported Windows belongs to the NT family, which has the sequential generator.
    using UuidFunction = long(__stdcall*)(uint8_t*);
    // Through void (*)(): the generic function pointer type, which any function type casts from.
    auto create = reinterpret_cast<UuidFunction>(
        reinterpret_cast<void (*)()>(GetProcAddress(library, "UuidCreateSequential")));
    std::string result;
    uint8_t first[16], second[16];
    if (create && create(first) == 0 && create(second) == 0)
        result = PCInfoFromUuids(first, second);
    FreeLibrary(library);
    return result;
}
