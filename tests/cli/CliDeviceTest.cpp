// kestrel-cli identify and flash as a process against simulated devices, its options and help,
// and Ctrl-C during programming on a pseudo-terminal.
#include "CliHarness.h"
#include "Signing.h"
#include "SimHarness.h"
#include "VisibleText.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <sstream>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

const std::string ConnectFailed = "设备连接失败，请检查USB或电源连接！";
const std::string UpdateDone = "软件更新成功！";
const std::string DownloadFailed = "程序下载失败！请检查电源或USB连接问题后重新尝试。";
const std::string NoPort = "/dev/kestrel-no-such-port";

TRun RunCli(const std::vector<std::string>& args, const std::string& ports) {
    return ::RunCli(args, std::vector<std::string>{"KESTREL_PORTS=" + ports});
}

TEST(KestrelCli, IdentifyPrintsTheDevice) {
    TSimDevice sim({"--cid", "0D111303", "--type-text", "QX401.31A", "--dev-id", "K1L2M3N4",
                    "--use-count", "321", "--count2", "99"});
    TRun run = RunCli({"identify"}, PortList({"", "", sim.Path()}));
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("port: 3 (COM3, " + sim.Path() + ")"), std::string::npos) << run.out;
    for (const char* expected :
         {"device type: QX40\n", "software version: 1.31\n", "hardware version: A\n",
          "device identity: K1L2M3N4\n", "identity bytes: 0D 11 13 03\n", "use counter: 321\n",
          "second counter: 99\n"})
        EXPECT_NE(run.out.find(expected), std::string::npos) << expected << run.out;
    EXPECT_EQ(run.err, ""); // standard error is no terminal: no progress or status lines

    // The same as one JSON object; the listing moves to standard error.
    TRun json = RunCli({"identify", "--json"}, PortList({"", "", sim.Path()}));
    EXPECT_EQ(json.status, 0) << json.err;
    auto leaves = JsonLeaves(json.out);
    std::map<std::string, std::string> expected = {
        {"command", "\"identify\""},
        {"exit_status", "0"},
        {"outcome", "\"identified\""},
        {"outcome_text", "\"连接成功！\""},
        {"cause", "null"},
        {"answering_ports.0", "3"}, // the only device that answered
        {"device.port", "3"},
        {"device.port_name", "\"COM3\""},
        {"device.path", "\"" + sim.Path() + "\""},
        {"device.type", "\"QX40\""},
        {"device.software_version", "\"1.31\""},
        {"device.hardware_version", "\"A\""},
        {"device.identity", "\"K1L2M3N4\""},
        {"device.identity_bytes", "\"0D111303\""},
        {"device.use_counter", "321"},
        {"device.second_counter", "99"},
    };
    EXPECT_EQ(leaves, expected) << json.out;
    EXPECT_NE(json.err.find("device identity: K1L2M3N4\n"), std::string::npos) << json.err;
}

TEST(KestrelCli, IdentifyWithoutDeviceFails) {
    TSimDevice mute({"--silent", "01"});
    std::string ports = PortList({NoPort, mute.Path()});
    TRun run = RunCli({"identify"}, ports);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.ErrLines().at(0), ConnectFailed) << run.err;
    EXPECT_EQ(run.out, "");

    TRun json = RunCli({"identify", "--json", "-q"}, ports);
    EXPECT_EQ(json.status, 1);
    auto leaves = JsonLeaves(json.out);
    EXPECT_EQ(leaves["exit_status"], "1") << json.out;
    EXPECT_EQ(leaves["outcome"], "\"device-not-found\"");
    EXPECT_EQ(leaves["outcome_text"], "\"" + ConnectFailed + "\"");
}

TEST(KestrelCli, FlashProgramsTheImage) {
    TempDir dir;
    TSimDevice sim({"--image-out", dir / "stored.bin"});
    std::string image = TestImage(3000);
    WriteFileBytes(dir / "fw.bin", image);
    TRun run = RunCli({"flash", dir / "fw.bin"}, sim.Path());
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, UpdateDone + "\n");
    // No terminal: statuses as lines (as update's), progress too, at least the one at the end.
    EXPECT_NE(run.err.find("progress: 100%, 3.0 KiB of 3.0 KiB"), std::string::npos) << run.err;
    auto lines = run.ErrLines();
    std::erase_if(lines, [](const std::string& l) { return l.rfind("progress: ", 0) == 0; });
    EXPECT_EQ(lines,
              (std::vector<std::string>{"连接设备！请稍后......",
                                        "port: 1 (COM1, " + sim.Path() + ")", "device type: QX40",
                                        "连接成功！", "正在更新设备程序......请不要断开连接！"}));
    ASSERT_TRUE(sim.WaitFor("image written: 3072 bytes"));
    EXPECT_EQ(ReadFileBytes(dir / "stored.bin"), Filled(image, 512));

    TRun json = RunCli({"flash", "--json", "-q", dir / "fw.bin"}, sim.Path());
    EXPECT_EQ(json.status, 0) << json.err;
    EXPECT_EQ(json.err, ""); // -q: no progress
    auto leaves = JsonLeaves(json.out);
    EXPECT_EQ(leaves["outcome"], "\"programmed\"") << json.out;
    EXPECT_EQ(leaves["outcome_text"], "\"" + UpdateDone + "\"");
    EXPECT_EQ(leaves["image.bytes"], "3000");
    EXPECT_EQ(leaves["image.programmed_bytes"], "3072");
    EXPECT_EQ(leaves["device.type"], "\"QX40\"");
}

// A file with a signature trailer: checked with the keys built in (refused before the device is
// looked for when the signature is not valid, and once the device is known when the file is not
// firmware for it) and programmed without its trailer.
TEST(KestrelCli, FlashChecksASignatureTrailer) {
    TempDir dir;
    TSimDevice sim({"--image-out", dir / "stored.bin"});
    const std::string image = TestImage(3000);
    // The signature is always that of `image`.
    auto signedFile = [&](const std::string& name, const std::string& bytes,
                          const std::string& statement) {
        WriteFileBytes(dir / name,
                       SignedPayload(bytes, MinisignSignature(image, "trusted", false, statement)));
        return dir / name;
    };
    const std::string good = signedFile("signed.bin", image, FirmwareStatement("1.21"));
    std::string changed = image;
    changed[0] ^= 0x01;
    auto run = [&](const std::vector<std::string>& args,
                   const std::string& cli = KESTREL_PATH_KESTREL_CLI_KEYED) {
        return ::RunCli(args, {"KESTREL_PORTS=" + sim.Path()}, cli);
    };

    const struct {
        std::string file;
        std::vector<std::string> options;
        std::string cause;
    } refusals[] = {
        {signedFile("changed.bin", changed, FirmwareStatement("1.21")),
         {},
         "the file changed or the signature is of another file (key id " + TestKeyId("trusted") +
             ")"},
        {signedFile("old.bin", image, FirmwareStatement("1.19")),
         {},
         "the signed firmware is version 1.19, not newer than the device's 1.20 (a rollback); "
         "--allow-downgrade programs it on purpose"},
        {signedFile("qx41.bin", image, FirmwareStatement("1.21", "QX41")),
         {"--allow-downgrade"},
         "the signed firmware is for device QX41, not the connected QX40 (device=QX41)"},
    };
    for (const auto& r : refusals) {
        SCOPED_TRACE(r.file);
        std::vector<std::string> args = {"flash", "-q"};
        args.insert(args.end(), r.options.begin(), r.options.end());
        args.push_back(r.file);
        TRun refused = run(args);
        EXPECT_EQ(refused.status, 2);
        EXPECT_EQ(refused.err, "kestrel-cli flash: " + r.file + " is refused: " + r.cause + "\n");
        EXPECT_EQ(refused.out, "");
    }
    EXPECT_FALSE(fs::exists(dir / "stored.bin"));

    TRun keyed = run({"flash", "--json", good});
    EXPECT_EQ(keyed.status, 0) << keyed.err;
    std::string signer =
        "key " + TestKeyId("trusted") + ", trusted comment: " + FirmwareStatement("1.21");
    EXPECT_EQ(keyed.ErrLines().at(0), "kestrel-cli flash: " + good + " is signed by " + signer);
    auto leaves = JsonLeaves(keyed.out);
    EXPECT_EQ(leaves["image.signed_by"], "\"" + signer + "\"") << keyed.out;
    EXPECT_EQ(leaves["image.release.version"], "\"1.21\"") << keyed.out;
    EXPECT_EQ(leaves["image.bytes"], "3000") << keyed.out;
    ASSERT_TRUE(sim.WaitFor("image written: 3072 bytes"));
    EXPECT_EQ(ReadFileBytes(dir / "stored.bin"), Filled(image, 512));

    // An older release on purpose.
    std::remove((dir / "stored.bin").c_str());
    EXPECT_EQ(run({"flash", "--allow-downgrade", dir / "old.bin"}).status, 0);
    ASSERT_TRUE(sim.WaitFor("image written: 3072 bytes"));

    // Without keys the technician's file is programmed; a trailer is only removed.
    std::remove((dir / "stored.bin").c_str());
    TRun plain = run({"flash", good}, KESTREL_PATH_KESTREL_CLI_UNKEYED);
    EXPECT_EQ(plain.status, 0) << plain.err;
    EXPECT_NE(plain.err.find("Updates are not verified"), std::string::npos) << plain.err;
    ASSERT_TRUE(sim.WaitFor("image written: 3072 bytes"));
    EXPECT_EQ(ReadFileBytes(dir / "stored.bin"), Filled(image, 512));
}

TEST(KestrelCli, FlashFailuresSayWhetherTheDeviceIsHalfProgrammed) {
    const std::string Half = "the device is half-programmed and does not start until it is "
                             "programmed again: reconnect it and run this kestrel-cli flash "
                             "command again.";
    struct TCase {
        std::vector<std::string> misbehaviour;
        bool halfProgrammed;
    };
    const TCase cases[] = {
        {{"--bad-ack", "2"}, true},      // a data frame refused
        {{"--unplug-after", "2"}, true}, // the device gone mid-transfer
        {{"--silent", "02"}, false},     // the start refused: the old image is intact
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.misbehaviour[0]);
        TempDir dir;
        TSimDevice sim(c.misbehaviour);
        WriteFileBytes(dir / "fw.bin", TestImage(2000));
        TRun run = RunCli({"flash", dir / "fw.bin"}, sim.Path());
        EXPECT_EQ(run.status, 1);
        EXPECT_NE(run.err.find("\n" + DownloadFailed + "\n"), std::string::npos) << run.err;
        EXPECT_EQ(run.err.find(Half) != std::string::npos, c.halfProgrammed) << run.err;
        EXPECT_EQ(run.out, "");
    }
}

TEST(KestrelCli, VersionAndHelpOnEveryCommand) {
    TRun version = RunCli({"--version"}, NoPort);
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, std::string("kestrel-cli ") + KESTREL_VERSION + " (update keys: 1)\n");
    EXPECT_EQ(version.err, "");

    TRun help = RunCli({"--help"}, NoPort);
    EXPECT_EQ(help.status, 0);
    for (const char* section : {"Usage: kestrel-cli", "\nCommands:\n", "\nOptions",
                                "\nEnvironment:\n", "\nExit status:\n", "  130  "})
        EXPECT_NE(help.out.find(section), std::string::npos) << section;
    for (const std::string command : {"identify", "flash", "update"}) {
        TRun own = RunCli({command, "--help"}, NoPort);
        EXPECT_EQ(own.status, 0) << command;
        EXPECT_EQ(own.out.rfind("Usage: kestrel-cli " + command, 0), 0u) << own.out;
        EXPECT_NE(own.out.find("  --json  "), std::string::npos) << own.out;
        EXPECT_EQ(RunCli({"help", command}, NoPort).out, own.out);
        EXPECT_EQ(RunCli({"-h", command}, NoPort).out, own.out);
        EXPECT_NE(help.out.find("\n  " + command), std::string::npos) << command;

        // A wrong option is named, with where help is; nothing is looked for.
        TRun wrong = RunCli({command, "--frobnicate"}, NoPort);
        EXPECT_EQ(wrong.status, 2);
        EXPECT_EQ(wrong.err, "kestrel-cli " + command +
                                 ": unknown option --frobnicate (see kestrel-cli help " + command +
                                 ")\n");
    }
    EXPECT_EQ(RunCli({"flash"}, "").status, 2);
    TRun unknown = RunCli({"frobnicate"}, "");
    EXPECT_EQ(unknown.status, 2);
    EXPECT_NE(unknown.err.find("unknown command frobnicate"), std::string::npos) << unknown.err;
    EXPECT_EQ(RunCli({"help", "frobnicate"}, "").status, 2);
}

TEST(KestrelCli, FlashRefusesImagesThatCannotBeProgrammed) {
    TempDir dir;
    WriteFileBytes(dir / "fw.bin", TestImage(100));
    TRun noDevice = RunCli({"flash", dir / "fw.bin"}, NoPort);
    EXPECT_EQ(noDevice.status, 1);
    EXPECT_EQ(noDevice.ErrLines().at(1), ConnectFailed) << noDevice.err;

    WriteFileBytes(dir / "empty.bin", "");
    fs::create_directory(dir / "folder");
    // Sparse: one byte more than the largest image, without writing 64 MiB.
    WriteFileBytes(dir / "huge.bin", "");
    fs::resize_file(dir / "huge.bin", (64u << 20) + 1);
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
    struct TCase {
        std::string file;
        std::string problem;
    };
    std::vector<TCase> cases = {
        {dir / "missing.bin", dir / "missing.bin: No such file or directory"},
        {dir / "empty.bin", dir / "empty.bin is empty: there is nothing to program"},
        {dir / "folder", dir / "folder is a directory, not an image file"},
        {dir / "fifo", dir / "fifo is not a regular file"},
        {dir / "huge.bin", dir / "huge.bin is 67108865 bytes, more than the largest image "
                                 "(67108864 bytes, 64 MiB)"},
    };
    // Root reads every file whatever its mode: the case needs another user.
    if (geteuid() != 0) {
        WriteFileBytes(dir / "locked.bin", "x");
        fs::permissions(dir / "locked.bin", fs::perms::none);
        cases.push_back(
            {dir / "locked.bin", "cannot read " + dir / "locked.bin" + ": Permission denied"});
    }
    // Each is refused before the device is looked for, with one line naming it.
    for (const TCase& c : cases) {
        TRun run = RunCli({"flash", c.file}, NoPort);
        EXPECT_EQ(run.status, 2) << c.file;
        EXPECT_EQ(run.err, "kestrel-cli flash: " + c.problem + "\n");
        EXPECT_EQ(run.out, "");
    }
    TRun json = RunCli({"flash", "--json", dir / "folder"}, NoPort);
    auto leaves = JsonLeaves(json.out);
    EXPECT_EQ(leaves["exit_status"], "2");
    EXPECT_EQ(leaves["outcome"], "\"image-refused\"");
    EXPECT_EQ(leaves["cause"],
              "\"kestrel-cli flash: " + dir / "folder is a directory, not an image file\"");
}

// A fake sysfs tree in `sys` where the pseudo-terminal `pty` is a USB bridge with `attributes`
// (idVendor, product, ...): class/tty/<name>/device -> the bridge's interface, below the USB
// device.
void FakeUsbBridge(const TempDir& sys, const std::string& pty,
                   const std::map<std::string, std::string>& attributes) {
    std::string usb = sys / "devices/pci0000:00/usb1/1-1";
    fs::create_directories(usb + "/1-1:1.0");
    for (const auto& [file, text] : attributes)
        WriteFileBytes(usb + "/" + file, text + "\n");
    std::string name = fs::path(pty).filename();
    fs::create_directories(sys / "class/tty/" + name);
    fs::create_directory_symlink(usb + "/1-1:1.0", sys / "class/tty/" + name + "/device");
}

// `kestrel-cli ports` on a fake sysfs tree: a simulated device's pseudo-terminal made to look like
// a USB bridge, another one held locked by this test.
TEST(KestrelCli, PortsListsEveryPortWithItsUsbDetailsAndWhoHoldsIt) {
    TSimDevice bridge;
    TSimDevice held;
    TempDir sys;
    FakeUsbBridge(sys, bridge.Path(),
                  {{"idVendor", "1a86"},
                   {"idProduct", "7523"},
                   {"manufacturer", "QinHeng Electronics"},
                   {"product", "USB Serial"},
                   {"serial", "0001"}});

    int fd = open(held.Path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
    std::vector<std::string> env = {"KESTREL_PORTS=" +
                                        PortList({bridge.Path(), NoPort, held.Path()}),
                                    "KESTREL_SYSFS_ROOT=" + sys.Path()};
    TRun run = ::RunCli({"ports"}, env);
    TRun json = ::RunCli({"ports", "--json"}, env);
    close(fd);

    EXPECT_EQ(run.status, 0) << run.err;
    // Each simulator keeps its serial end open beside the master side: it is the device, not a
    // holder, so only this test is named.
    EXPECT_EQ(run.out, "1  COM1  " + bridge.Path() +
                           "  USB 1a86:7523, QinHeng Electronics, USB Serial, serial 0001; free\n"
                           "3  COM3  " +
                           held.Path() + "  in use by cli_device_test, pid " +
                           std::to_string(getpid()) + "\n");
    auto leaves = JsonLeaves(json.out);
    EXPECT_EQ(leaves["ports.0.number"], "1");
    EXPECT_EQ(leaves["ports.0.usb"], "true");
    EXPECT_EQ(leaves["ports.0.vendor_id"], "\"1a86\"");
    EXPECT_EQ(leaves["ports.0.serial"], "\"0001\"");
    EXPECT_EQ(leaves["ports.0.in_use"], "false");
    EXPECT_EQ(leaves["ports.1.number"], "3");
    EXPECT_EQ(leaves["ports.1.usb"], "false");
    EXPECT_EQ(leaves["ports.1.in_use"], "true");
    EXPECT_EQ(leaves["ports.2.number"], ""); // the absent port 2 is not listed
}

// A process of this name (as any user may name a process) that holds `path` open while it lives.
class TNamedHolder {
public:
    TNamedHolder(const std::string& name, const std::string& path) {
        int ready[2];
        int hold[2];
        if (pipe2(ready, O_CLOEXEC) != 0 || pipe2(hold, O_CLOEXEC) != 0)
            return;
        const char* const ownName = name.c_str();
        const char* const port = path.c_str();
        pid_ = fork();
        if (pid_ == 0) {
            // Only system calls between the fork and the end.
            close(hold[1]);
            prctl(PR_SET_NAME, ownName);
            char answer = open(port, O_RDWR | O_NOCTTY) >= 0 ? '1' : '0';
            ssize_t ignored = write(ready[1], &answer, 1);
            (void)ignored;
            ignored = read(hold[0], &answer, 1); // until the test closes its end
            _exit(0);
        }
        close(ready[1]);
        close(hold[0]);
        holdEnd_ = hold[1];
        char answer = '0';
        holding_ = pid_ > 0 && read(ready[0], &answer, 1) == 1 && answer == '1';
        close(ready[0]);
    }
    ~TNamedHolder() {
        close(holdEnd_);
        if (pid_ > 0)
            waitpid(pid_, nullptr, 0);
    }
    TNamedHolder(const TNamedHolder&) = delete;
    TNamedHolder& operator=(const TNamedHolder&) = delete;
    bool Holding() const { return holding_; }
    pid_t Pid() const { return pid_; }

private:
    pid_t pid_ = -1;
    int holdEnd_ = -1;
    bool holding_ = false;
};

// Text from outside (a device's identity and type, a USB product string, the name of a process
// that holds a port) reaches standard output and the JSON object only as visible text: nothing in
// it moves the cursor, reorders or splits the line; valid Chinese stays as it is, and JSON gives
// back the characters (U+FFFD for bytes that are no UTF-8).
TEST(KestrelCli, OutsideTextIsShownOnlyVisible) {
    const struct {
        std::string text;    // as a device, a USB product string or a process name has it
        std::string visible; // as VisibleText and the listing show it
        std::string json;    // the JSON string's characters, as python prints them; empty: text
    } cases[] = {
        {"\x1B[2Jcls!", "\\x1B[2Jcls!", "\\u001b[2Jcls!"},
        {"\xC2\x9B"
         "31m\xC2\x85x",
         "\\u009B31m\\u0085x", ""},
        {"\xE2\x80\xAE"
         "ab\xE2\x81\xA6",
         "\\u202Eab\\u2066", ""},
        {"a\xE2\x80\xA8"
         "b\xE2\x80\xA9",
         "a\\u2028b\\u2029", ""},
        {"设备01", "设备01", ""},
        {"A\xFF\xC0\xAF"
         "BCDE",
         "A\\xFF\\xC0\\xAFBCDE", "A\uFFFD\uFFFD\uFFFDBCDE"},
    };
    // Nothing in a printed line that a terminal would act on.
    auto allVisible = [](const std::string& out) {
        std::istringstream lines(out);
        for (std::string line; std::getline(lines, line);)
            if (VisibleText(line) != line)
                return ::testing::AssertionFailure() << "not visible: " << line;
        return ::testing::AssertionSuccess();
    };
    auto jsonString = [](const auto& c) {
        return "\"" + (c.json.empty() ? c.text : c.json) + "\"";
    };
    TSimDevice sim({"--dev-id", cases[2].text, "--type-text", "\x1B[2J1.20B"});
    const std::string ports = PortList({sim.Path()});
    for (const auto& c : cases) {
        SCOPED_TRACE(c.visible);
        EXPECT_EQ(VisibleText(c.text), c.visible);
        // The text as the USB product string and as the name of the port's holder.
        TempDir sys;
        FakeUsbBridge(sys, sim.Path(),
                      {{"idVendor", "1a86"}, {"idProduct", "7523"}, {"product", c.text}});
        TNamedHolder holder(c.text, sim.Path());
        ASSERT_TRUE(holder.Holding());
        const std::vector<std::string> env = {"KESTREL_PORTS=" + ports,
                                              "KESTREL_SYSFS_ROOT=" + sys.Path()};
        const std::string pid = std::to_string(holder.Pid());
        TRun run = ::RunCli({"ports"}, env);
        EXPECT_EQ(run.out, "1  COM1  " + sim.Path() + "  USB 1a86:7523, " + c.visible +
                               "; in use by " + c.visible + ", pid " + pid + "\n");
        TRun json = ::RunCli({"ports", "--json"}, env);
        EXPECT_TRUE(allVisible(json.out));
        auto leaves = JsonLeaves(json.out);
        const std::string value = jsonString(c);
        EXPECT_EQ(leaves["ports.0.product"], value) << json.out;
        EXPECT_EQ(leaves["ports.0.used_by"],
                  value.substr(0, value.size() - 1) + ", pid " + pid + "\"")
            << json.out;
    }
    // A device's type and identity (identify takes seconds: one device for both).
    TRun run = RunCli({"identify"}, ports);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("device type: \\x1B[2J\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("device identity: " + cases[2].visible + "\n"), std::string::npos)
        << run.out;
    EXPECT_TRUE(allVisible(run.out));
    TRun json = RunCli({"identify", "--json"}, ports);
    EXPECT_TRUE(allVisible(json.out));
    auto leaves = JsonLeaves(json.out);
    EXPECT_EQ(leaves["device.type"], "\"\\u001b[2J\"") << json.out;
    EXPECT_EQ(leaves["device.identity"], jsonString(cases[2])) << json.out;
}

// --port: only that port is tried, by number or path; a wrong one is named before anything.
TEST(KestrelCli, PortOptionTriesOnlyThatPort) {
    TSimDevice first({"--dev-id", "FIRST001"});
    TSimDevice second({"--dev-id", "SECOND02"});
    std::string ports = PortList({first.Path(), second.Path()});
    // Without --port the first answers, and identify says that another one did too.
    TRun both = RunCli({"identify"}, ports);
    EXPECT_EQ(both.status, 0) << both.err;
    EXPECT_NE(both.out.find("device identity: FIRST001"), std::string::npos) << both.out;
    EXPECT_NE(both.err.find("2 devices answered"), std::string::npos) << both.err;

    for (const std::string& choice : {std::string("2"), second.Path()}) {
        TRun run = RunCli({"identify", "--port", choice}, ports);
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_NE(run.out.find("device identity: SECOND02"), std::string::npos) << run.out;
        EXPECT_EQ(run.err, "");
    }
    TRun wrong = RunCli({"flash", "--port", "/dev/kestrel-nothing", "fw.bin"}, ports);
    EXPECT_EQ(wrong.status, 2);
    EXPECT_NE(wrong.err.find("kestrel-cli ports"), std::string::npos) << wrong.err;
}

// A --port that names no port, or -q with -v: one line saying why, before anything is opened.
TEST(KestrelCli, UsageErrorsOfPortAndVerbosity) {
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"identify", "--port", "7"}, "port 7 does not exist; `kestrel-cli ports` lists"},
        {{"update", "--port", "1"}, "port 1 (" + NoPort + ") does not exist; `kestrel-cli ports`"},
        {{"identify", "-qv"}, "-q (--quiet) and -v (--verbose) exclude each other"},
        {{"identify", "--port", "/dev/null"}, "/dev/null is not a serial device (it takes no"},
        {{"flash", "--port", "/", "fw.bin"}, "/ is not a serial device (a directory); `kestrel"},
    };
    for (const auto& [args, problem] : cases) {
        TRun run = RunCli(args, NoPort);
        EXPECT_EQ(run.status, 2) << run.err;
        EXPECT_EQ(run.err.rfind("kestrel-cli " + args[0] + ": " + problem, 0), 0u) << run.err;
        EXPECT_EQ(run.ErrLines().size(), 1u) << run.err;
    }
}

// A pseudo-terminal that KESTREL_PORTS does not list is taken by its path, and called so.
TEST(KestrelCli, IdentifyOnASerialDeviceOutsideTheList) {
    TSimDevice sim({"--dev-id", "OUTSIDE1"});
    TRun run = RunCli({"identify", "--json", "--port", sim.Path()}, NoPort);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.ErrLines().at(0), "port: " + sim.Path() + " (not in the numbered list)");
    auto leaves = JsonLeaves(run.out);
    EXPECT_EQ(leaves["device.port"], "null") << run.out;
    EXPECT_EQ(leaves["device.identity"], "\"OUTSIDE1\"");
}

TEST(KestrelCli, CtrlCEndsIdentifyAfterItsCurrentStep) {
    TSimDevice sim;
    ChildProcess cli({KESTREL_PATH_KESTREL_CLI_KEYED, "identify", "--json"},
                     {"KESTREL_PORTS=" + sim.Path()}, true);
    // The first probe: the handlers are in place, identification (3 s in all) is ahead.
    ASSERT_TRUE(sim.WaitFor("probe: answering"));
    kill(cli.Pid(), SIGINT);
    TRun run = Finish(cli);
    EXPECT_EQ(run.status, 130) << run.err;
    EXPECT_EQ(run.ErrLines().back(), "kestrel-cli identify: interrupted.") << run.err;
    EXPECT_EQ(JsonLeaves(run.out)["outcome"], "\"interrupted\"") << run.out;
}

// Ctrl-C typed on the terminal while an image is programmed at the real line rate.
class CtrlCWhileProgramming : public ::testing::Test {
protected:
    void SetUp() override { WriteFileBytes(dir / "fw.bin", image); }
    // Starts flash and waits until the programming bar is drawn.
    std::unique_ptr<TCliOnTerminal> StartFlash() {
        auto cli = std::make_unique<TCliOnTerminal>(
            std::vector<std::string>{"flash", dir / "fw.bin"},
            std::vector<std::string>{"KESTREL_PORTS=" + sim.Path()});
        EXPECT_TRUE(cli->WaitFor("%")) << cli->Shown();
        return cli;
    }
    TempDir dir;
    TSimDevice sim{{"--line-rate", "--image-out", dir / "stored.bin"}};
    std::string image = TestImage(std::size_t{256} * 1024); // about 6 s at the line rate
};

const std::string GoesOn = "programming continues until the image is complete";
const std::string Warning = "stopping now leaves the device half-programmed";
const std::string Stopped = "kestrel-cli: stopped during programming.";

TEST_F(CtrlCWhileProgramming, OneCtrlCLetsTheImageComplete) {
    auto cli = StartFlash();
    cli->Type("\x03");
    EXPECT_TRUE(cli->WaitFor(GoesOn)) << cli->Shown();
    EXPECT_EQ(cli->Finish(), 0) << cli->Shown();
    EXPECT_EQ(Count(cli->Shown(), UpdateDone), 1u) << cli->Shown();
    EXPECT_EQ(Count(cli->Shown(), Warning), 0u) << cli->Shown();
    ASSERT_TRUE(sim.WaitFor("image written: 262144 bytes"));
    EXPECT_EQ(ReadFileBytes(dir / "stored.bin"), image);
}

TEST_F(CtrlCWhileProgramming, AThirdWithinTwoSecondsOfTheWarningStops) {
    auto cli = StartFlash();
    cli->Type("\x03");
    ASSERT_TRUE(cli->WaitFor(GoesOn)) << cli->Shown();
    cli->Type("\x03");
    ASSERT_TRUE(cli->WaitFor(Warning)) << cli->Shown();
    EXPECT_NE(cli->Shown().find("Press Ctrl-C again within 2 s to stop now."), std::string::npos);
    // The third must come within 2 s of the warning; on a machine too slow for that the
    // warning comes again, and so does the next Ctrl-C.
    for (int attempt = 0; attempt < 5 && cli->Shown().find(Stopped) == std::string::npos;
         ++attempt) {
        size_t seen = cli->Shown().size();
        cli->Type("\x03");
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (cli->Shown().find(Stopped, seen) == std::string::npos &&
               cli->Shown().find(Warning, seen) == std::string::npos && cli->Fill(until)) {
        }
    }
    EXPECT_EQ(cli->Finish(), 130) << cli->Shown();
    EXPECT_NE(cli->Shown().find(Stopped), std::string::npos) << cli->Shown();
    EXPECT_EQ(Count(cli->Shown(), UpdateDone), 0u) << cli->Shown();
    // The device never got the end of the transfer: nothing was stored.
    EXPECT_TRUE(Lockable(sim.Path()));
    EXPECT_FALSE(fs::exists(dir / "stored.bin"));
}

} // namespace
