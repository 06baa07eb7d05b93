// Stands in for a new version of the tool: writes its arguments, one a line, to the file named
// by KESTREL_FAKE_TOOL_LOG, and, when KESTREL_FAKE_TOOL_WATCH_PID names a process, whether that
// process was still alive ("watched-alive" / "watched-gone"), and with KESTREL_FAKE_TOOL_NICE
// set its own nice value ("nice N"). The file appears whole at once.
// `--version` is answered as the tool answers it, naming KESTREL_FAKE_TOOL_KEYS update keys (1
// when unset), or with the exit status in KESTREL_FAKE_TOOL_VERSION_STATUS (a new tool that
// cannot run); it creates the file named by KESTREL_FAKE_TOOL_RAN, if set, so that a test sees
// whether the tool was run at all.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/resource.h>

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        if (const char* ran = std::getenv("KESTREL_FAKE_TOOL_RAN"))
            if (std::FILE* mark = std::fopen(ran, "wb"))
                std::fclose(mark);
        if (const char* status = std::getenv("KESTREL_FAKE_TOOL_VERSION_STATUS"))
            return std::stoi(status);
        const char* keys = std::getenv("KESTREL_FAKE_TOOL_KEYS");
        std::printf("kestrel-fake-tool 1.5 (update keys: %s)\n", keys ? keys : "1");
        return 0;
    }
    const char* log = std::getenv("KESTREL_FAKE_TOOL_LOG");
    if (!log)
        return 1;
    std::string text;
    for (int i = 1; i < argc; ++i)
        text += std::string(argv[i]) + "\n";
    if (const char* watch = std::getenv("KESTREL_FAKE_TOOL_WATCH_PID"))
        text += kill(std::stoi(watch), 0) == 0 ? "watched-alive\n" : "watched-gone\n";
    if (std::getenv("KESTREL_FAKE_TOOL_NICE"))
        text += "nice " + std::to_string(getpriority(PRIO_PROCESS, 0)) + "\n";
    std::string partial = std::string(log) + ".part";
    std::FILE* f = std::fopen(partial.c_str(), "wb");
    if (!f)
        return 1;
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
    return std::rename(partial.c_str(), log) == 0 ? 0 : 1;
}
