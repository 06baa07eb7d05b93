// Both packages as installed: unpacked into a scratch root by the fixture package.build, their
// files where Debian expects them, and the installed programs working from there.
#include "Signing.h"
#include "SimHarness.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

const std::string Root = KESTREL_PACKAGE_ROOT;
const std::string Version = KESTREL_VERSION;
const std::string Server = "/usr/bin/kestrel-upgrade-server";
const std::string Unit = "/lib/systemd/system/kestrel-upgrade-server.service";
const std::string DesktopEntry = "/usr/share/applications/kestrel.desktop";
const std::string ExampleCatalogue = "/usr/share/doc/kestrel-upgrade-server/examples/catalogue";

// Runs a program (a full path) to its end.
TRun RunToEnd(const std::vector<std::string>& argv, const std::vector<std::string>& env = {}) {
    ChildProcess program(argv, env, true);
    return Finish(program, 60s);
}

// The value of the first `key=` line of a desktop entry or a unit, or "".
std::string Value(const std::string& text, const std::string& key) {
    size_t at = text.find("\n" + key + "=");
    if (at == std::string::npos)
        return "";
    at += key.size() + 2;
    return text.substr(at, text.find('\n', at) - at);
}

} // namespace

TEST(Package, FilesAreWhereDebianExpectsThem) {
    for (const std::string& path : std::vector<std::string>{
             "/usr/bin/kestrel",
             "/usr/bin/kestrel-cli",
             DesktopEntry,
             "/usr/share/icons/hicolor/scalable/apps/kestrel.svg",
             "/usr/share/metainfo/org.example.Kestrel.metainfo.xml",
             "/lib/udev/rules.d/70-kestrel.rules",
             "/usr/share/doc/kestrel/copyright",
             "/usr/share/doc/kestrel/changelog.gz",
             Server,
             Unit,
             "/etc/default/kestrel-upgrade-server",
             "/usr/share/doc/kestrel-upgrade-server/copyright",
             "/usr/share/doc/kestrel-upgrade-server/changelog.gz",
             ExampleCatalogue + "/manifest",
         })
        EXPECT_TRUE(fs::is_regular_file(Root + path)) << path;
    // The build's own name of the server and the simulated device stay out of the packages.
    for (const std::string path : {"/usr/bin/upgrade-server", "/usr/bin/qx40-sim"})
        EXPECT_FALSE(fs::exists(Root + path)) << path;

    // Each manual page is there and is the page of the program installed under that name.
    for (const std::string name : {"kestrel", "kestrel-cli", "kestrel-upgrade-server"}) {
        TRun page =
            RunToEnd({"/usr/bin/gzip", "-dc", Root + "/usr/share/man/man1/" + name + ".1.gz"});
        EXPECT_EQ(page.status, 0) << name << ": " << page.err;
        EXPECT_NE(page.out.find(".SH NAME\n" + name + " \\- "), std::string::npos)
            << name << ":\n"
            << page.out.substr(0, 400);
    }

    TRun validated = RunToEnd({"/usr/bin/desktop-file-validate", Root + DesktopEntry});
    EXPECT_EQ(validated.status, 0) << validated.out << validated.err;
    EXPECT_EQ(validated.out + validated.err, "");
    std::string entry = ReadFileBytes(Root + DesktopEntry);
    EXPECT_TRUE(fs::is_regular_file(Root + "/usr/bin/" + Value(entry, "Exec"))) << entry;
    EXPECT_TRUE(fs::is_regular_file(Root + "/usr/share/icons/hicolor/scalable/apps/" +
                                    Value(entry, "Icon") + ".svg"))
        << entry;
}

// The unit starts the installed server, and its sandbox holds: systemd's own rating of the unit
// as installed (0 to 10 shown, 10 times that here) stays low. The unit rates 1.5; without its
// user of its own, read-only system and no new privileges it would rate 2.2.
TEST(Package, ServiceRunsTheInstalledServerSandboxed) {
    std::string start = Value(ReadFileBytes(Root + Unit), "ExecStart");
    EXPECT_EQ(start.rfind(Server + " --catalogue ", 0), 0u) << start;
    TRun rating = RunToEnd({"/usr/bin/systemd-analyze", "security", "--offline=yes",
                            "--root=" + Root, "--threshold=20", "kestrel-upgrade-server.service"});
    EXPECT_EQ(rating.status, 0) << rating.out << rating.err;
}

TEST(Package, InstalledProgramsAnswerVersionAndHelp) {
    TRun cli = RunToEnd({Root + "/usr/bin/kestrel-cli", "--version"});
    EXPECT_EQ(cli.status, 0) << cli.err;
    // Built for the package manager, with the packager's key (here the tests').
    const std::string trust = " (update keys: 1; updated by the package manager)\n";
    EXPECT_EQ(cli.out, "kestrel-cli " + Version + trust);
    TRun window = RunToEnd({Root + "/usr/bin/kestrel", "--version"}, {"QT_QPA_PLATFORM=offscreen"});
    EXPECT_EQ(window.status, 0) << window.err;
    EXPECT_EQ(window.out, "kestrel " + Version + trust);

    TRun cliHelp = RunToEnd({Root + "/usr/bin/kestrel-cli", "--help"});
    EXPECT_EQ(cliHelp.status, 0) << cliHelp.err;
    EXPECT_NE(cliHelp.out.find("kestrel-cli COMMAND"), std::string::npos) << cliHelp.out;
    TRun serverHelp = RunToEnd({Root + Server, "--help"});
    EXPECT_EQ(serverHelp.status, 0) << serverHelp.err;
    EXPECT_NE(serverHelp.out.find("--catalogue DIR"), std::string::npos) << serverHelp.out;
}

// The installed server, on the example catalogue signed as the packager signs releases, brings
// a simulated QX40 (firmware 1.20) to the example's firmware 1.21 through the installed
// kestrel-cli.
TEST(Package, InstalledProgramsUpgradeADeviceFromASignedCatalogue) {
    TempDir catalogue;
    fs::copy(Root + ExampleCatalogue, catalogue.Path(), fs::copy_options::recursive);
    const std::string firmware = ReadFileBytes(catalogue / "qx40-1.21.bin");
    WriteFileBytes(catalogue / "qx40-1.21.bin.minisig",
                   MinisignSignature(firmware, "trusted", false, FirmwareStatement("1.21")));
    TempDir work;
    TSimDevice device({"--image-out", work / "programmed.bin"});
    const std::string address = UniqueLoopbackAddress();
    ChildProcess server({Root + Server, "--catalogue", catalogue.Path(), "--address", address,
                         "--http-port", "0", "--pubkey", TestKeyFile("trusted", ".pub")});
    auto listening = server.ReadLine(60s);
    ASSERT_TRUE(listening && listening->rfind("listening ", 0) == 0)
        << listening.value_or("no output");

    TRun update =
        RunToEnd({Root + "/usr/bin/kestrel-cli", "update"},
                 {"KESTREL_PORTS=" + PortList({device.Path()}), "KESTREL_UPDATE_HOST=" + address});
    EXPECT_EQ(update.status, 0) << update.err;
    ASSERT_TRUE(device.WaitFor("image written: " + std::to_string(firmware.size()) + " bytes"));
    EXPECT_EQ(ReadFileBytes(work / "programmed.bin"), firmware);
}
