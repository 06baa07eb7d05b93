// The serial ports of a POSIX system: existence, holders, owning group, USB details from sysfs.
#include "PortInventory.h"
#include "PortNames.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <grp.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string RealPath(const std::string& path) {
    char buf[PATH_MAX];
    return realpath(path.c_str(), buf) ? std::string(buf) : std::string();
}

std::string BaseName(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The first line of a sysfs attribute, without its line end; empty when there is none.
std::string ReadAttribute(const std::string& file) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' '))
        line.pop_back();
    return line;
}

std::string SysfsRoot() {
    const char* root = std::getenv("KESTREL_SYSFS_ROOT");
    return root && *root ? root : "/sys";
}

// A USB bridge's tty hangs below its USB device in sysfs: walk up from the tty's device until a
// directory with idVendor, staying inside the sysfs tree.
void FillUsbDetails(TPortInfo& info) {
    std::string root = RealPath(SysfsRoot());
    if (root.empty())
        return;
    std::string target = RealPath(info.path);
    std::string name = BaseName(target.empty() ? info.path : target);
    std::string dir = RealPath(root + "/class/tty/" + name + "/device");
    while (dir.size() > root.size() && dir.compare(0, root.size(), root) == 0) {
        struct stat st {};
        if (stat((dir + "/idVendor").c_str(), &st) == 0) {
            info.usb = true;
            info.vendorId = ReadAttribute(dir + "/idVendor");
            info.productId = ReadAttribute(dir + "/idProduct");
            info.manufacturer = ReadAttribute(dir + "/manufacturer");
            info.product = ReadAttribute(dir + "/product");
            info.serial = ReadAttribute(dir + "/serial");
            return;
        }
        dir = dir.substr(0, dir.rfind('/'));
    }
}

// Opens the port for a moment, the way the port layer does, to learn whether another program
// keeps it to itself (TIOCEXCL or the advisory lock).
void ProbeUse(TPortInfo& info) {
    int fd = ::open(info.path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        int err = errno;
        if (err == EBUSY)
            info.inUse = true;
        else
            info.openError = OpenFailureCause(info.path, err);
    } else {
        if (flock(fd, LOCK_EX | LOCK_NB) != 0)
            info.inUse = true;
        ::close(fd); // the lock, if taken, goes with it
    }
    if (info.inUse)
        info.usedBy = PortHolders(info.path);
}

} // namespace

bool PortExists(const std::string& path) {
    struct stat st {};
    return !path.empty() && stat(path.c_str(), &st) == 0 && S_ISCHR(st.st_mode);
}

std::string PortHolders(const std::string& path) {
    std::string device = RealPath(path);
    if (device.empty())
        return {};
    const std::string self = std::to_string(getpid());
    std::string found;
    DIR* proc = opendir("/proc");
    if (!proc)
        return {};
    while (dirent* p = readdir(proc)) {
        std::string pid = p->d_name;
        if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos || pid == self)
            continue;
        std::string fdDir = "/proc/" + pid + "/fd";
        DIR* fds = opendir(fdDir.c_str()); // other users' processes are not readable: skipped
        if (!fds)
            continue;
        bool holds = false;
        while (dirent* f = readdir(fds)) {
            if (f->d_name[0] == '.')
                continue;
            char target[PATH_MAX];
            ssize_t n = readlink((fdDir + "/" + f->d_name).c_str(), target, sizeof target - 1);
            if (n > 0 &&
                device.compare(0, std::string::npos, target, static_cast<size_t>(n)) == 0) {
                holds = true;
                break;
            }
        }
        closedir(fds);
        if (holds) {
            std::string name = ReadAttribute("/proc/" + pid + "/comm");
            found += (found.empty() ? "" : "; ") + (name.empty() ? "?" : name) + ", pid " + pid;
        }
    }
    closedir(proc);
    return found;
}

std::string PortGroup(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0)
        return {};
    group* g = getgrgid(st.st_gid);
    return g && g->gr_name ? g->gr_name : "";
}

std::vector<TPortInfo> ListPorts() {
    std::vector<TPortInfo> ports;
    std::vector<std::string> paths = SerialPortPaths();
    for (size_t i = 0; i < paths.size() && i < 256; ++i) {
        if (!PortExists(paths[i]))
            continue;
        TPortInfo info;
        info.number = static_cast<int32_t>(i + 1);
        info.path = paths[i];
        FillUsbDetails(info);
        ProbeUse(info);
        ports.push_back(std::move(info));
    }
    return ports;
}
