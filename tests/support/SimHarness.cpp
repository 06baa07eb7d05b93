#include "SimHarness.h"

#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <sys/file.h>
#include <unistd.h>

TSimDevice::TSimDevice(std::vector<std::string> args)
    : proc_([&] {
          args.insert(args.begin(), KESTREL_PATH_QX40_SIM);
          return args;
      }()) {
    path_ = proc_.ReadLine().value_or("");
}

bool TSimDevice::WaitFor(const std::string& needle) {
    return proc_.WaitForLine(needle).has_value();
}

std::string PortList(const std::vector<std::string>& entries) {
    std::string list;
    for (size_t i = 0; i < entries.size(); ++i)
        list += (i ? ":" : "") + entries[i];
    return list;
}

std::string PortListAt(int port, const std::string& path) {
    return std::string(size_t(port - 1), ':') + path;
}

void SetPorts(const std::string& list) {
    setenv("KESTREL_PORTS", list.c_str(), 1);
}

bool HeldOpenHere(const std::string& path) {
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator("/proc/self/fd", ec)) {
        std::error_code ec2;
        auto target = std::filesystem::read_symlink(e.path(), ec2);
        if (!ec2 && target == path)
            return true;
    }
    return false;
}

bool Lockable(const std::string& path) {
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool ok = flock(fd, LOCK_EX | LOCK_NB) == 0;
    close(fd);
    return ok;
}
