// The serial devices of a POSIX system, or the list of KESTREL_PORTS.
#include "OwnedHandle.h"
#include "PortNames.h"
#include "SystemText.h"
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

bool IsCharDevice(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISCHR(st.st_mode);
}

// Terminals backed by hardware (or a USB function) have a "device" link in /sys/class/tty;
// virtual consoles and pseudo-terminals do not.
std::vector<std::string> EnumerateSerialDevices() {
    std::vector<std::string> found;
    if (DIR* dir = opendir("/sys/class/tty")) {
        while (dirent* e = readdir(dir)) {
            std::string name = e->d_name;
            if (name.empty() || name[0] == '.')
                continue;
            struct stat st {};
            if (stat(("/sys/class/tty/" + name + "/device").c_str(), &st) != 0)
                continue;
            if (IsCharDevice("/dev/" + name))
                found.push_back("/dev/" + name);
        }
        closedir(dir);
    }
    if (found.empty()) { // no sysfs: fall back to the usual device names
        if (DIR* dir = opendir("/dev")) {
            while (dirent* e = readdir(dir)) {
                std::string name = e->d_name;
                for (const char* prefix : {"ttyUSB", "ttyACM", "ttyS", "ttyAMA", "cu.", "tty."})
                    if (name.rfind(prefix, 0) == 0 && IsCharDevice("/dev/" + name)) {
                        found.push_back("/dev/" + name);
                        break;
                    }
            }
            closedir(dir);
        }
    }
    std::sort(found.begin(), found.end(), SerialPortBefore);
    if (found.size() > static_cast<size_t>(ComPortCount))
        found.resize(ComPortCount);
    return found;
}

} // namespace

std::vector<std::string> SerialPortPaths() {
    std::optional<std::string> list = EnvironmentVariable("KESTREL_PORTS");
    if (!list)
        return EnumerateSerialDevices();
    std::vector<std::string> paths;
    const std::string& text = *list;
    size_t from = 0;
    for (;;) {
        size_t colon = text.find(':', from);
        paths.push_back(text.substr(from, colon == std::string::npos ? colon : colon - from));
        if (colon == std::string::npos)
            break;
        from = colon + 1;
    }
    return paths;
}

const char* PortNumbering() {
    return "the serial devices of the system, or\n"
           "the ':'-separated device paths of KESTREL_PORTS (an empty entry leaves a port\n"
           "number free)";
}

std::string SerialDeviceProblem(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0)
        return path + ": " + (errno == ENOENT ? "no such device" : std::strerror(errno));
    if (!S_ISCHR(st.st_mode))
        return path + " is not a serial device (" +
               (S_ISDIR(st.st_mode) ? "a directory" : "not a character device") + ")";
    // Only a terminal takes line settings; /dev/null and the like are character devices too.
    // A port that does not open now (permission, another holder) is left to the open that
    // follows, whose cause says more.
    const TFd fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!fd)
        return {};
    termios settings{};
    if (tcgetattr(fd.Get(), &settings) != 0)
        return path + " is not a serial device (it takes no serial line settings)";
    return {};
}
