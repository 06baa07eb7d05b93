// The serial ports of a POSIX system: existence, holders, owning group, USB details from sysfs.
#include "OwnedHandle.h"
#include "PortInventory.h"
#include "PortNames.h"
#include "SystemText.h"

#include <algorithm>
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
    std::string root = EnvironmentVariable("KESTREL_SYSFS_ROOT").value_or("");
    return root.empty() ? "/sys" : root;
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
// keeps it to itself (TIOCEXCL or the advisory lock). Programs that merely hold it open are in
// `holders`: they lock nothing, yet whatever they read is lost to this tool.
void ProbeUse(TPortInfo& info, const std::vector<std::string>& holders) {
    const TFd fd(::open(info.path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!fd) {
        int err = errno;
        if (err == EBUSY)
            info.inUse = true;
        else
            info.openError = OpenFailureCause(info.path, err);
    } else if (flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) {
        info.inUse = true;
    } // the descriptor closes here, and the lock, if taken, goes with it
    if (!holders.empty())
        info.inUse = true;
    for (const std::string& holder : holders)
        info.usedBy += (info.usedBy.empty() ? "" : "; ") + holder;
}

// A port as the scan of open descriptors compares it.
struct TScannedPort {
    std::string device; // the real path; empty when there is none
    bool node = false;  // a character device: rdev is its number
    dev_t rdev = 0;
    long ptyIndex = -1; // N for the serial end /dev/pts/N of a pseudo-terminal
};

// The number of a pseudo-terminal's serial end from its path, -1 for anything else.
long PtyIndex(const std::string& device) {
    const std::string dir = "/dev/pts/";
    if (device.rfind(dir, 0) != 0 || device.size() == dir.size() ||
        device.find_first_not_of("0123456789", dir.size()) != std::string::npos)
        return -1;
    return std::strtol(device.c_str() + dir.size(), nullptr, 10);
}

// For a master side of a pseudo-terminal (an open /dev/ptmx), the number of its serial end as
// the kernel reports it; -1 when it does not.
long MasterIndex(const std::string& fdInfo) {
    std::ifstream in(fdInfo);
    const std::string key = "tty-index:";
    for (std::string line; std::getline(in, line);)
        if (line.rfind(key, 0) == 0)
            return std::strtol(line.c_str() + key.size(), nullptr, 10);
    return -1;
}

// What one process holds: which of `ports`, and the master sides of which pseudo-terminals.
struct TProcessUse {
    std::vector<bool> holds;
    std::vector<long> masters;
};

TProcessUse ScanProcess(const std::string& pid, const std::vector<TScannedPort>& ports) {
    TProcessUse use{std::vector<bool>(ports.size()), {}};
    const std::string fdDir = "/proc/" + pid + "/fd/";
    DIR* fds = opendir(fdDir.c_str()); // other users' processes are not readable: skipped
    if (!fds)
        return use;
    while (dirent* f = readdir(fds)) {
        if (f->d_name[0] == '.')
            continue;
        const std::string link = fdDir + f->d_name;
        char target[PATH_MAX];
        ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
        if (n <= 0 || target[0] != '/')
            continue; // gone meanwhile, or a pipe, socket or anonymous inode
        const std::string seen(target, static_cast<size_t>(n));
        if (seen.size() >= 5 && seen.compare(seen.size() - 5, 5, "/ptmx") == 0) {
            if (long index = MasterIndex("/proc/" + pid + "/fdinfo/" + f->d_name); index >= 0)
                use.masters.push_back(index);
            continue;
        }
        // The path names the node as this process sees it; the device number also matches a
        // node made elsewhere or reached through another mount. stat() follows the descriptor,
        // not the path, so it is asked only once the path did not match.
        struct stat st {};
        bool statted = false;
        for (size_t i = 0; i < ports.size(); ++i) {
            if (ports[i].device.empty() || use.holds[i])
                continue;
            bool same = seen == ports[i].device;
            if (!same && ports[i].node) {
                if (!statted) {
                    statted = true;
                    if (stat(link.c_str(), &st) != 0)
                        st.st_mode = 0;
                }
                same = S_ISCHR(st.st_mode) && st.st_rdev == ports[i].rdev;
            }
            if (same)
                use.holds[i] = true;
        }
    }
    closedir(fds);
    return use;
}

} // namespace

bool PortExists(const std::string& path) {
    struct stat st {};
    return !path.empty() && stat(path.c_str(), &st) == 0 && S_ISCHR(st.st_mode);
}

std::vector<std::vector<std::string>> PortHoldersOf(const std::vector<std::string>& paths) {
    std::vector<std::vector<std::string>> holders(paths.size());
    std::vector<TScannedPort> ports(paths.size());
    bool any = false;
    for (size_t i = 0; i < paths.size(); ++i) {
        TScannedPort& port = ports[i];
        port.device = RealPath(paths[i]);
        struct stat st {};
        if (port.device.empty() || stat(port.device.c_str(), &st) != 0)
            continue;
        any = true;
        port.node = S_ISCHR(st.st_mode);
        port.rdev = st.st_rdev;
        port.ptyIndex = PtyIndex(port.device);
    }
    DIR* proc = any ? opendir("/proc") : nullptr;
    if (!proc)
        return holders;
    const std::string self = std::to_string(getpid());
    while (dirent* p = readdir(proc)) {
        const std::string pid = p->d_name;
        if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos || pid == self)
            continue;
        TProcessUse use = ScanProcess(pid, ports);
        if (std::find(use.holds.begin(), use.holds.end(), true) == use.holds.end())
            continue;
        const std::string name = ReadAttribute("/proc/" + pid + "/comm");
        if (name.empty())
            continue; // ended meanwhile
        for (size_t i = 0; i < ports.size(); ++i) {
            // A process with the master side is the line's far end (a simulated device, a
            // bridge): it keeps the serial end open so that the line stays up, it reads nothing.
            const long pty = ports[i].ptyIndex;
            if (use.holds[i] && (pty < 0 || std::find(use.masters.begin(), use.masters.end(),
                                                      pty) == use.masters.end()))
                holders[i].push_back(name + ", pid " + pid);
        }
    }
    closedir(proc);
    return holders;
}

std::string PortGroup(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0)
        return {};
    group* g = getgrgid(st.st_gid);
    return g && g->gr_name ? g->gr_name : "";
}

std::string InstalledUdevRule() {
    for (const char* dir : {"/etc/udev/rules.d", "/lib/udev/rules.d", "/usr/lib/udev/rules.d"}) {
        std::string rule = std::string(dir) + "/70-kestrel.rules";
        if (access(rule.c_str(), F_OK) == 0)
            return rule;
    }
    return {};
}

std::string UnnamedHolderNote() {
    return {};
}

namespace {

// The entries of SerialPortPaths() that name a device (only those that exist, with
// `existingOnly`), each that exists with its USB details.
std::vector<TPortInfo> NumberedPorts(bool existingOnly) {
    std::vector<TPortInfo> ports;
    const std::vector<std::string> paths = SerialPortPaths();
    for (size_t i = 0; i < paths.size() && i < static_cast<size_t>(ComPortCount); ++i) {
        if (paths[i].empty())
            continue;
        const bool exists = PortExists(paths[i]);
        if (!exists && existingOnly)
            continue;
        TPortInfo info;
        info.number = static_cast<int32_t>(i + 1);
        info.path = paths[i];
        if (exists)
            FillUsbDetails(info);
        ports.push_back(std::move(info));
    }
    return ports;
}

} // namespace

std::vector<TPortId> ListSerialPorts() {
    std::vector<TPortId> ports;
    for (const TPortInfo& info : NumberedPorts(false))
        ports.push_back(
            {.path = info.path, .number = info.number, .description = PortDescription(info)});
    return ports;
}

std::vector<TPortInfo> DescribePorts() {
    return NumberedPorts(true);
}

std::vector<TPortInfo> ListPorts() {
    std::vector<TPortInfo> ports = DescribePorts();
    std::vector<std::string> listed;
    listed.reserve(ports.size());
    for (const TPortInfo& info : ports)
        listed.push_back(info.path);
    std::vector<std::vector<std::string>> holders = PortHoldersOf(listed);
    for (size_t i = 0; i < ports.size(); ++i)
        ProbeUse(ports[i], holders[i]);
    return ports;
}
