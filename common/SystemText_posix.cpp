#include "SystemText.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

std::FILE* OpenFile(const std::string& path, const char* mode) {
    return std::fopen(path.c_str(), mode);
}

std::FILE* CreateNewFile(const std::string& path) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0)
        return nullptr;
    std::FILE* file = fdopen(fd, "wb");
    if (!file) {
        const int err = errno;
        close(fd);
        errno = err;
    }
    return file;
}

bool RemoveOwnFile(const std::string& path) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0)
        return errno == ENOENT;
    // In a shared sticky folder another user's file could be unlinked by nobody but its owner
    // anyway; written over, it would stay theirs, with their mode.
    if (st.st_uid != geteuid()) {
        errno = EEXIST;
        return false;
    }
    return unlink(path.c_str()) == 0 || errno == ENOENT;
}

std::optional<std::string> EnvironmentVariable(const char* name) {
    const char* value = std::getenv(name);
    if (!value)
        return std::nullopt;
    return std::string(value);
}

std::vector<std::string> ProgramArguments(int argc, char** argv) {
    return std::vector<std::string>(argv, argv + argc);
}
