// The causes the device link gives when a port cannot be used or the device stops answering,
// the choice of one port, and the listing of the system's ports (with a sysfs tree of the test's
// own).
#include "ChildProcess.h"
#include "Deadline.h"
#include "DeviceLink.h"
#include "PortInventory.h"
#include "PortNames.h"
#include "PtyDevice.h"
#include "TestFiles.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

using qx40sim::TSimConfig;

namespace {

class PortDiagnosis : public ::testing::Test {
protected:
    void TearDown() override {
        unsetenv("KESTREL_PORTS");
        unsetenv("KESTREL_SYSFS_ROOT");
    }

    TNullWindowLink window;
    TDeviceLink link{window};
};

bool StartsWith(const std::string& text, const std::string& prefix) {
    return text.rfind(prefix, 0) == 0;
}

// Another program holding the advisory lock on `path` (flock(1) becoming sleep, so that stopping
// it leaves nothing behind), once it has it.
class LockHolder {
public:
    explicit LockHolder(const std::string& path)
        : child_({"/usr/bin/flock", "--no-fork", path, "/usr/bin/sleep", "600"}) {
        held_ = WaitUntil([&path] {
            int fd = ::open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
            bool locked = fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
            if (fd >= 0)
                ::close(fd);
            return locked;
        });
    }
    bool Held() const { return held_; }
    pid_t Pid() const { return child_.Pid(); }

private:
    ChildProcess child_;
    bool held_ = false;
};

} // namespace

TEST_F(PortDiagnosis, PermissionDeniedNamesTheGroupAndTheRule) {
    PtyPair pty;
    const std::string& path = pty.SlavePath();
    SetPorts({path});
    // Root opens anything whatever the mode: the test gives up its rights for the open.
    ASSERT_EQ(chmod(path.c_str(), 0), 0);
    const bool root = geteuid() == 0;
    // Serial ports belong to the group dialout; a pseudo-terminal may not.
    if (const group* dialout = getgrnam("dialout"); root && dialout) {
        ASSERT_EQ(chown(path.c_str(), static_cast<uid_t>(-1), dialout->gr_gid), 0);
    }
    if (root && seteuid(65534) != 0)
        GTEST_SKIP() << "cannot drop root rights here to provoke a refused open";
    const bool connected = link.ConnectDevice();
    const std::string cause = link.FailureCause();
    if (root) {
        ASSERT_EQ(seteuid(0), 0);
    }
    EXPECT_FALSE(connected);
    // The fix names the group that owns the device, unless that is root, and the udev rule.
    EXPECT_EQ(cause, PermissionCause(path, PortGroup(path), InstalledUdevRule()) +
                         "; no device answered on the other ports");

    // What the fix is, with and without the rule installed.
    const std::string rule = "/lib/udev/rules.d/70-kestrel.rules";
    const struct {
        std::string group, rule, cause;
    } cases[] = {
        {"dialout", "",
         "add yourself to the group dialout (sudo usermod -aG dialout $USER, then log in again) "
         "or install the udev rule of the kestrel package"},
        {"root", "", "install the udev rule of the kestrel package"},
        {"dialout", rule,
         "the udev rule " + rule +
             " gives the user at the seat access: log in again at the seat, or unplug and replug "
             "the device; in a remote session, add yourself to the group dialout (sudo usermod "
             "-aG dialout $USER, then log in again)"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(PermissionCause("/dev/ttyUSB0", c.group, c.rule),
                  "/dev/ttyUSB0: permission denied — " + c.cause);
}

TEST_F(PortDiagnosis, PortHeldByAnotherProgramNamesIt) {
    PtyPair pty;
    ScriptedDevice device(pty);
    SetPorts({pty.SlavePath()});
    LockHolder holder(pty.SlavePath());
    ASSERT_TRUE(holder.Held());
    link.SetOnlyPort(TPortId{.path = pty.SlavePath(), .number = 1});
    EXPECT_FALSE(link.ConnectDevice());
    const std::string cause = link.FailureCause();
    EXPECT_TRUE(StartsWith(cause, pty.SlavePath() + ": in use by another program (")) << cause;
    const std::string pid = "pid " + std::to_string(holder.Pid());
    EXPECT_TRUE(cause.find(pid + ")") != std::string::npos ||
                cause.find(pid + ";") != std::string::npos)
        << cause;

    std::vector<TPortInfo> ports = ListPorts();
    ASSERT_EQ(ports.size(), 1u);
    EXPECT_TRUE(ports[0].inUse);
    EXPECT_NE(ports[0].usedBy.find(pid), std::string::npos);
}

// A program that holds the port open without any lock (sleep with the port as its standard input)
// reads what the device answers: the listing and the cause of a failed search name it.
TEST_F(PortDiagnosis, PortOpenWithoutALockNamesTheProgram) {
    PtyPair pty;
    const std::string& path = pty.SlavePath();
    SetPortAt(3, path);
    ChildProcess reader({"/bin/sh", "-c", "exec /usr/bin/sleep 600 <\"$0\"", path});
    const std::string pid = std::to_string(reader.Pid());
    // The shell opens the port before it becomes sleep.
    ASSERT_TRUE(WaitUntil([&pid] { return ReadFileBytes("/proc/" + pid + "/comm") == "sleep\n"; }));
    const std::string named = "sleep, pid " + pid;

    std::vector<TPortInfo> ports = ListPorts();
    ASSERT_EQ(ports.size(), 1u);
    EXPECT_EQ(ports[0].number, 3);
    EXPECT_TRUE(ports[0].inUse);
    EXPECT_EQ(ports[0].usedBy, named); // this test's own handles are not named

    EXPECT_FALSE(link.ConnectDevice());
    EXPECT_EQ(link.FailureCause(), "no device answered on ports 1 to 256 (1 serial port exists: " +
                                       path + "); port 3 (" + path + ") is open in " + named +
                                       " — a program that has the port open may take the "
                                       "device's answers");
}

TEST_F(PortDiagnosis, DeviceThatStopsAfterTheProbeNamesTheCommand) {
    PtyPair pty;
    TSimConfig config;
    config.silent = {0xC9};
    ScriptedDevice device(pty, config);
    SetPorts({pty.SlavePath()});
    EXPECT_FALSE(link.ConnectDevice());
    EXPECT_EQ(link.FailureCause(), pty.SlavePath() + ": the device answered the probe but not "
                                                     "command 0xC9 (read device identity)");
    // A success leaves no cause behind.
    device.Change([](TSimConfig& c) { c.silent.clear(); });
    EXPECT_TRUE(link.ConnectDevice());
    EXPECT_EQ(link.FailureCause(), "");
}

TEST_F(PortDiagnosis, OnlyTheChosenPortIsTried) {
    PtyPair first, second;
    ScriptedDevice d1(first), d2(second);
    SetPorts({first.SlavePath(), "", second.SlavePath()});
    const std::vector<TPortId> answering = link.AnsweringPorts();
    ASSERT_EQ(answering.size(), 2u);
    EXPECT_EQ(answering[0].number, 1);
    EXPECT_EQ(answering[1].number, 3);
    EXPECT_EQ(answering[1].path, second.SlavePath());

    link.SetOnlyPort(TPortId{.number = 2}); // no device has that number
    EXPECT_TRUE(link.AnsweringPorts().empty());
    EXPECT_FALSE(link.ConnectDevice());
    EXPECT_EQ(link.FailureCause(), "COM2 has no device (2 serial ports exist: " +
                                       first.SlavePath() + ", " + second.SlavePath() + ")");
    link.SetOnlyPort(answering[1]);
    ASSERT_FALSE(link.ScanCom().Failed());
    EXPECT_EQ(link.IOPack.ComID.number, 3);
    ASSERT_TRUE(SyncWithDevice(d1, first));
    EXPECT_EQ(Codes(d1.Frames()), (Bytes{0x01})); // only the probe of AnsweringPorts
}

TEST_F(PortDiagnosis, PortArgumentsByNumberNameOrPath) {
    TempDir dir;
    PtyPair pty;
    SetPorts({"", pty.SlavePath()});
    std::filesystem::create_symlink(pty.SlavePath(), dir / "by-id");
    const std::vector<TPortId> listed = ListSerialPorts();
    std::string error;
    // The number the port is shown with and the path it is reached by (none without a device).
    auto chosen = [&listed, &error](const std::string& arg) {
        const std::optional<TPortId> port = PortFromArgument(arg, listed, error);
        return port ? std::to_string(port->number) + " " + port->path : std::string("none");
    };
    EXPECT_EQ(chosen("7"), "7 ");
    EXPECT_EQ(chosen("com12"), "12 ");
    EXPECT_EQ(chosen("COM12"), "12 ");
    EXPECT_EQ(chosen("256"), "256 ");
    EXPECT_EQ(chosen("2"), "2 " + pty.SlavePath());
    EXPECT_EQ(chosen(pty.SlavePath()), "2 " + pty.SlavePath());
    EXPECT_EQ(chosen(dir / "by-id"), "2 " + pty.SlavePath());
    EXPECT_EQ(error, "");

    EXPECT_EQ(chosen("257"), "none");
    EXPECT_EQ(error, "port 257 is out of range: port numbers go from 1 to 256 (`kestrel-cli ports` "
                     "lists them)");
    EXPECT_EQ(chosen("0"), "none");
    EXPECT_EQ(chosen("fast"), "none");
    EXPECT_EQ(error, "fast is neither a port number (1 to 256) nor a device path (`kestrel-cli "
                     "ports` lists them)");
    EXPECT_EQ(chosen(dir / "none"), "none");
    EXPECT_EQ(error, dir / "none" + ": no such device (`kestrel-cli ports` lists them)");
    EXPECT_EQ(chosen(dir.Path()), "none");
    EXPECT_EQ(error,
              dir.Path() + " is not one of the serial ports (`kestrel-cli ports` lists them)");
}

TEST_F(PortDiagnosis, ListingReadsUsbDetailsFromSysfs) {
    PtyPair usb, plain;
    SetPorts({usb.SlavePath(), "/nonexistent/tty", plain.SlavePath()});
    // A USB bridge as sysfs shows it: the tty's device link points below the USB device.
    TempDir sys;
    const std::string device = sys / "devices/pci0000:00/usb1/1-1";
    std::filesystem::create_directories(device + "/1-1:1.0/ttyUSB0");
    for (auto [name, value] : {std::pair{"idVendor", "0403\n"},
                               {"idProduct", "6001\n"},
                               {"manufacturer", "FTDI\n"},
                               {"product", "FT232R USB UART\n"},
                               {"serial", "A10K3XQ2\n"}})
        WriteFileBytes(device + "/" + name, value);
    const std::string tty = std::filesystem::path(usb.SlavePath()).filename().string();
    std::filesystem::create_directories(sys / ("class/tty/" + tty));
    std::filesystem::create_symlink(device + "/1-1:1.0/ttyUSB0",
                                    sys / ("class/tty/" + tty + "/device"));
    setenv("KESTREL_SYSFS_ROOT", sys.Path().c_str(), 1);

    // A search lists every port it may try, with what the system says about those that exist.
    const std::vector<TPortId> listed = ListSerialPorts();
    ASSERT_EQ(listed.size(), 3u);
    EXPECT_EQ(listed[0].description, "USB 0403:6001, FTDI, FT232R USB UART, serial A10K3XQ2");
    EXPECT_EQ(listed[1].path, "/nonexistent/tty");
    EXPECT_EQ(listed[1].description, "");
    EXPECT_EQ(listed[2].number, 3);

    std::vector<TPortInfo> ports = ListPorts();
    ASSERT_EQ(ports.size(), 2u); // the port without a device is left out
    EXPECT_EQ(ports[0].number, 1);
    EXPECT_EQ(ports[0].path, usb.SlavePath());
    EXPECT_TRUE(ports[0].usb);
    EXPECT_EQ(ports[0].vendorId, "0403");
    EXPECT_EQ(ports[0].productId, "6001");
    EXPECT_EQ(ports[0].manufacturer, "FTDI");
    EXPECT_EQ(ports[0].product, "FT232R USB UART");
    EXPECT_EQ(ports[0].serial, "A10K3XQ2");
    EXPECT_FALSE(ports[0].inUse);
    EXPECT_EQ(ports[1].number, 3);
    EXPECT_FALSE(ports[1].usb);
    EXPECT_EQ(ports[1].vendorId, "");

    // The port box's tooltip: every port before one is chosen, then the chosen one; a number
    // without a device shows what is known of it.
    const std::string bridge =
        usb.SlavePath() + "  USB 0403:6001, FTDI, FT232R USB UART, serial A10K3XQ2";
    EXPECT_EQ(PortOverview(0), "COM1  " + bridge + "\nCOM3  " + plain.SlavePath());
    EXPECT_EQ(PortOverview(1), bridge);
    EXPECT_EQ(PortOverview(2), "/nonexistent/tty");
    EXPECT_EQ(PortOverview(9), "COM9");
    EXPECT_EQ(PortTip(listed[0]), bridge);
}
