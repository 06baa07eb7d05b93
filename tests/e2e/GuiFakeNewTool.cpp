// Stands in for a new version of the window program in the self-replacement test: answers
// --version as the program does; otherwise writes its arguments, one a line, to
// "<its own path>.args" and exits. The file appears whole at once, so a test that sees it can
// read it.
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("kestrel 1.5 (update keys: 1)\n");
        return 0;
    }
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0)
        return 1;
    const std::string record = std::string(self, static_cast<size_t>(n)) + ".args";
    std::string text;
    for (int i = 1; i < argc; ++i)
        text += std::string(argv[i]) + "\n";
    const std::string partial = record + ".part";
    std::FILE* f = std::fopen(partial.c_str(), "wb");
    if (!f)
        return 1;
    bool written = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    written = std::fclose(f) == 0 && written;
    return written && std::rename(partial.c_str(), record.c_str()) == 0 ? 0 : 1;
}
