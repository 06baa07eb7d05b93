#include "BrowserMemory.h"

#include <cstdint>
#include <cstring>
#include <link.h>
#include <malloc.h>
#include <sys/mman.h>
#include <unistd.h>

namespace {
// The shared library that holds the browser engine (Chromium).
constexpr const char* BrowserLibrary = "libQt6WebEngineCore.so";

// Hands back the pages of the browser library's segments that are never written (code,
// read-only data, symbol and relocation tables): they are clean copies of the file. Segments
// written by the loader (relocated data, even once it is made read-only) keep their pages.
int ReleaseReadOnlySegments(dl_phdr_info* info, size_t, void*) {
    if (info->dlpi_name == nullptr || std::strstr(info->dlpi_name, BrowserLibrary) == nullptr)
        return 0;
    const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
    for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& segment = info->dlpi_phdr[i];
        if (segment.p_type != PT_LOAD || (segment.p_flags & PF_W) != 0)
            continue;
        // Whole pages inside the segment only: the neighbouring segment may be written.
        const std::uintptr_t start = (info->dlpi_addr + segment.p_vaddr + page - 1) & ~(page - 1);
        const std::uintptr_t end =
            (info->dlpi_addr + segment.p_vaddr + segment.p_memsz) & ~(page - 1);
        // Best effort: a kernel before 5.4 knows no MADV_PAGEOUT and the pages simply stay.
        if (end > start)
            ::madvise(reinterpret_cast<void*>(start), end - start, MADV_PAGEOUT);
    }
    return 1;
}
} // namespace

void LimitAllocationArenas() {
    ::mallopt(M_ARENA_MAX, 2);
}

void ReleaseBrowserStartupMemory() {
    ::dl_iterate_phdr(ReleaseReadOnlySegments, nullptr);
    ::malloc_trim(0);
}
