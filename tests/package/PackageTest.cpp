// Both packages as installed: unpacked into a scratch root by the fixture package.build, their
// files where Debian expects them, and the installed programs working from there.
#include "Signing.h"
#include "SimHarness.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <optional>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

const std::string Root = KESTREL_PACKAGE_ROOT;
const std::string Packages = KESTREL_PACKAGE_DIR;
const std::string Version = KESTREL_VERSION;
const std::string Server = "/usr/bin/kestrel-upgrade-server";
const std::string Unit = "/lib/systemd/system/kestrel-upgrade-server.service";
const std::string DesktopEntry = "/usr/share/applications/kestrel.desktop";
const std::string ExampleCatalogue = "/usr/share/kestrel-upgrade-server/catalogue";
const std::string ServiceUser = "kestrel-upgrade-server";
const std::string ServiceState = "/var/lib/kestrel-upgrade-server";
const std::string Settings = "/etc/default/kestrel-upgrade-server";

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

// A systemd setting's value without its surrounding double quotes.
std::string Unquoted(const std::string& value) {
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
        return value.substr(1, value.size() - 2);
    return value;
}

// The variables a unit gives its command line: its Environment= line (assignments separated by
// spaces), then the KEY=VALUE lines of its EnvironmentFile= (a path inside `root`; "-" in front:
// it may be missing).
std::map<std::string, std::string> UnitEnvironment(const std::string& unit,
                                                   const std::string& root) {
    std::map<std::string, std::string> env;
    auto add = [&env](const std::string& assignment) {
        size_t eq = assignment.find('=');
        if (eq != std::string::npos)
            env[assignment.substr(0, eq)] = Unquoted(assignment.substr(eq + 1));
    };
    std::istringstream assignments(Value(unit, "Environment"));
    for (std::string assignment; assignments >> assignment;)
        add(assignment);
    std::string file = Value(unit, "EnvironmentFile");
    if (file.starts_with("-"))
        file.erase(0, 1);
    if (!file.empty() && fs::exists(root + file)) {
        std::istringstream lines(ReadFileBytes(root + file));
        for (std::string line; std::getline(lines, line);)
            if (!line.empty() && line[0] != '#')
                add(line);
    }
    return env;
}

// A unit's command line expanded as systemd does: "${NAME}" is one word, "$NAME" as many as its
// value has words.
std::vector<std::string> ExpandCommand(const std::string& command,
                                       const std::map<std::string, std::string>& env) {
    std::vector<std::string> argv;
    std::istringstream words(command);
    for (std::string word; words >> word;) {
        auto value = [&env](const std::string& name) {
            auto it = env.find(name);
            return it == env.end() ? std::string() : it->second;
        };
        if (word.starts_with("${") && word.ends_with("}")) {
            argv.push_back(value(word.substr(2, word.size() - 3)));
        } else if (word.starts_with("$")) {
            std::istringstream parts(value(word.substr(1)));
            for (std::string part; parts >> part;)
                argv.push_back(part);
        } else {
            argv.push_back(word);
        }
    }
    return argv;
}

// The user and group ids of a user in a root's /etc/passwd, or nothing.
std::optional<std::pair<std::string, std::string>> UserIds(const std::string& root,
                                                           const std::string& name) {
    std::istringstream lines(fs::exists(root + "/etc/passwd") ? ReadFileBytes(root + "/etc/passwd")
                                                              : "");
    for (std::string line; std::getline(lines, line);) {
        std::vector<std::string> fields;
        std::istringstream parts(line);
        for (std::string field; std::getline(parts, field, ':');)
            fields.push_back(field);
        if (fields.size() >= 4 && fields[0] == name)
            return std::make_pair(fields[2], fields[3]);
    }
    return std::nullopt;
}

// Every path under `dir` whose name contains `needle`.
std::vector<std::string> NamesContaining(const std::string& dir, const std::string& needle) {
    std::vector<std::string> found;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::end(it);
         it.increment(ec))
        if (it->path().filename().string().find(needle) != std::string::npos)
            found.push_back(it->path().string());
    return found;
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
             "/usr/share/doc/kestrel-upgrade-server/README.md.gz",
             "/usr/lib/sysusers.d/kestrel-upgrade-server.conf",
             "/usr/lib/tmpfiles.d/kestrel-upgrade-server.conf",
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
    // The server's page says its description (one paragraph) and its signals once.
    std::string page =
        RunToEnd({"/usr/bin/gzip", "-dc", Root + "/usr/share/man/man1/kestrel-upgrade-server.1.gz"})
            .out;
    size_t description = page.find(".SH DESCRIPTION\n");
    ASSERT_NE(description, std::string::npos) << page;
    std::string paragraphs =
        page.substr(description, page.find("\n.SH ", description + 1) - description);
    EXPECT_EQ(paragraphs.find(".PP"), std::string::npos) << paragraphs;
    for (const std::string text : {"SIGHUP", "SIGTERM, SIGINT"}) {
        size_t first = page.find(text);
        EXPECT_TRUE(first != std::string::npos && page.find(text, first + 1) == std::string::npos)
            << text << " not once in:\n"
            << page;
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
    // What the help points to for the faults is in the package.
    const std::string readme = "/usr/share/doc/kestrel-upgrade-server/README.md.gz";
    EXPECT_NE(serverHelp.out.find(readme), std::string::npos) << serverHelp.out;
    TRun faults = RunToEnd({"/usr/bin/gzip", "-dc", Root + readme});
    EXPECT_NE(faults.out.find("## Faults"), std::string::npos) << faults.err;
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
                         "--http-port", "0", "--admin-port", "0", "--pubkey",
                         TestKeyFile("trusted", ".pub"), "--register", "none"});
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

// The server package as dpkg installs it into a root of its own, its maintainer scripts run from
// outside that root (DPKG_ROOT), as far as a machine without systemd running goes: the scripts
// make the service's user, its catalogue folder holding the example and the unit's enablement;
// the unit's own command line with its settings, run as that user on the installed files, serves
// a device; removing the package masks the unit, and purging it leaves nothing of it behind.
TEST(Package, ServerPackageInstallsServesAndPurges) {
    if (geteuid() != 0)
        GTEST_SKIP() << "dpkg installs into another root only as root";
    std::string package;
    for (const auto& entry : fs::directory_iterator(Packages))
        if (entry.path().filename().string().starts_with("kestrel-upgrade-server_"))
            package = entry.path().string();
    ASSERT_FALSE(package.empty()) << "no server package in " << Packages;

    // The root is walked by the service's user: searchable by all.
    TempDir root;
    fs::permissions(root.Path(), fs::perms::owner_all | fs::perms::group_exec |
                                     fs::perms::group_read | fs::perms::others_exec |
                                     fs::perms::others_read);
    const std::string& r = root.Path();
    for (const std::string dir : {"info", "updates", "triggers"})
        fs::create_directories(r + "/var/lib/dpkg/" + dir);
    WriteFileBytes(r + "/var/lib/dpkg/status", "");
    WriteFileBytes(r + "/var/lib/dpkg/available", "");
    // The root holds no other package: what the server depends on is this machine's.
    auto dpkg = [&r](const std::vector<std::string>& action) {
        std::vector<std::string> argv{"/usr/bin/dpkg", "--root=" + r, "--force-script-chrootless",
                                      "--force-depends", "--log=/dev/null"};
        argv.insert(argv.end(), action.begin(), action.end());
        return RunToEnd(argv);
    };

    TRun install = dpkg({"--install", package});
    ASSERT_EQ(install.status, 0) << install.out << install.err;
    auto ids = UserIds(r, ServiceUser);
    ASSERT_TRUE(ids) << "no user " << ServiceUser << " in the root's /etc/passwd";
    const std::string catalogue = r + ServiceState + "/catalogue";
    EXPECT_EQ(ReadFileBytes(catalogue + "/manifest"),
              ReadFileBytes(r + ExampleCatalogue + "/manifest"));
    // The service's user's, and no one else's.
    struct stat folder {};
    ASSERT_EQ(stat(catalogue.c_str(), &folder), 0);
    EXPECT_EQ(std::to_string(folder.st_uid), ids->first);
    EXPECT_EQ(std::to_string(folder.st_gid), ids->second);
    EXPECT_EQ(folder.st_mode & 07777, 0750u);
    const std::string wanted =
        r + "/etc/systemd/system/multi-user.target.wants/kestrel-upgrade-server.service";
    ASSERT_TRUE(fs::is_symlink(wanted)) << wanted;
    EXPECT_EQ(fs::read_symlink(wanted).string(), Unit);

    // The administrator signs the firmware and keeps the server on a loopback address.
    const std::string firmware = ReadFileBytes(catalogue + "/qx40-1.21.bin");
    WriteFileBytes(catalogue + "/qx40-1.21.bin.minisig",
                   MinisignSignature(firmware, "trusted", false, FirmwareStatement("1.21")));
    fs::copy_file(TestKeyFile("trusted", ".pub"), r + "/etc/kestrel-release.pub");
    const std::string address = UniqueLoopbackAddress();
    std::string settings = ReadFileBytes(r + Settings);
    size_t options = settings.find("\nOPTIONS=");
    ASSERT_NE(options, std::string::npos) << settings;
    settings.insert(options + 9, "\"--address " + address +
                                     " --http-port 0 --admin-port 0 --pubkey " + r +
                                     "/etc/kestrel-release.pub\"");
    WriteFileBytes(r + Settings, settings);

    // The unit's command line, its paths taken inside the root, run as its user.
    const std::string unit = ReadFileBytes(r + Unit);
    EXPECT_EQ(Value(unit, "User"), ServiceUser);
    auto env = UnitEnvironment(unit, r);
    env["CATALOGUE"] = r + env["CATALOGUE"];
    const std::string sqlite = "sqlite:";
    ASSERT_TRUE(env["REGISTER"].starts_with(sqlite + ServiceState + "/")) << env["REGISTER"];
    env["REGISTER"] = sqlite + r + env["REGISTER"].substr(sqlite.size());
    std::vector<std::string> command = ExpandCommand(Value(unit, "ExecStart"), env);
    ASSERT_FALSE(command.empty()) << unit;
    command[0] = r + command[0];
    std::vector<std::string> argv{"/usr/bin/setpriv", "--reuid=" + ids->first,
                                  "--regid=" + ids->second, "--clear-groups", "--"};
    argv.insert(argv.end(), command.begin(), command.end());
    {
        ChildProcess server(argv, {}, true);
        auto listening = server.ReadLine(60s);
        ASSERT_TRUE(listening && listening->starts_with("listening " + address + ":5001 "))
            << listening.value_or("no output") << "\n"
            << server.Stderr();
        TempDir work;
        TSimDevice device({"--image-out", work / "programmed.bin"});
        TRun update = RunToEnd(
            {Root + "/usr/bin/kestrel-cli", "update"},
            {"KESTREL_PORTS=" + PortList({device.Path()}), "KESTREL_UPDATE_HOST=" + address});
        EXPECT_EQ(update.status, 0) << update.err;
        EXPECT_TRUE(device.WaitFor("image written: " + std::to_string(firmware.size()) + " bytes"));
        EXPECT_EQ(ReadFileBytes(work / "programmed.bin"), firmware);
        EXPECT_EQ(server.Stop(), 0) << server.Stderr();
    }
    // The register, in the service's state folder, recorded the device.
    TRun devices = RunToEnd({r + Server, "devices", "--register", env["REGISTER"]});
    EXPECT_EQ(devices.status, 0) << devices.err;
    EXPECT_NE(devices.out.find(" QX40 "), std::string::npos) << devices.out;

    TRun remove = dpkg({"--remove", "kestrel-upgrade-server"});
    ASSERT_EQ(remove.status, 0) << remove.out << remove.err;
    const std::string mask = r + "/etc/systemd/system/kestrel-upgrade-server.service";
    EXPECT_TRUE(fs::is_symlink(mask) && fs::read_symlink(mask) == "/dev/null") << mask;
    EXPECT_FALSE(fs::exists(r + Server));

    TRun purge = dpkg({"--purge", "kestrel-upgrade-server"});
    ASSERT_EQ(purge.status, 0) << purge.out << purge.err;
    for (const std::string dir : {"/etc", "/var/lib/systemd", "/usr", "/lib"})
        EXPECT_EQ(NamesContaining(r + dir, "kestrel-upgrade-server"), std::vector<std::string>{})
            << dir;
    EXPECT_FALSE(fs::exists(r + ServiceState));
    EXPECT_NE(dpkg({"--status", "kestrel-upgrade-server"}).status, 0);
}
