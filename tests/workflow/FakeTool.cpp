// Stands in for a new version of the tool: writes its arguments, one a line, to the file named
// by KESTREL_FAKE_TOOL_LOG, and, when KESTREL_FAKE_TOOL_WATCH_PID names a process, whether that
// process was still alive ("watched-alive" / "watched-gone"). The file appears whole at once.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
    const char* log = std::getenv("KESTREL_FAKE_TOOL_LOG");
    if (!log)
        return 1;
    std::string text;
    for (int i = 1; i < argc; ++i)
        text += std::string(argv[i]) + "\n";
    if (const char* watch = std::getenv("KESTREL_FAKE_TOOL_WATCH_PID"))
        text += kill(std::atoi(watch), 0) == 0 ? "watched-alive\n" : "watched-gone\n";
    std::string partial = std::string(log) + ".part";
    std::FILE* f = std::fopen(partial.c_str(), "wb");
    if (!f)
        return 1;
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
    return std::rename(partial.c_str(), log) == 0 ? 0 : 1;
}
