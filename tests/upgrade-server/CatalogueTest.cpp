// Catalogue rules: version comparison, the decision for a request, manifest and register errors
// at start-up, and the fault and step syntax.
#include "Catalogue.h"
#include "CRC16.h"
#include "Dialogue.h"
#include "Faults.h"
#include "Options.h"
#include "RawClient.h"
#include "Signing.h"
#include "TestData.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <sqlite3.h>
#include <sys/stat.h>

namespace fs = std::filesystem;
using namespace std::string_literals;

// The catalogue never holds a file the client would refuse for its length.
static_assert(kMaxCatalogueFile == static_cast<uint64_t>(kMaxDataLength));

TEST(UpgradeServerCatalogue, VersionsCompareNumericallyPartByPart) {
    auto v = [](const char* text) { return *ParseVersion(text); };
    EXPECT_LT(CompareVersionNumbers(v("1.9"), v("1.10")), 0);
    EXPECT_GT(CompareVersionNumbers(v("2"), v("1.99.99")), 0);
    EXPECT_EQ(CompareVersionNumbers(v("1.4"), v("1.4.0")), 0);
    EXPECT_EQ(CompareVersionNumbers(v("01.20"), v("1.20")), 0);
    EXPECT_LT(CompareVersionNumbers(v("1.2"), v("1.20")), 0);
    for (const char* bad : {"", "1.", ".1", "1..2", "v1.2", "1.2a", "1 2", "-1", "1234567890"})
        EXPECT_FALSE(ParseVersion(bad)) << bad;
}

TEST(UpgradeServerCatalogue, DecisionOrder) {
    TempDir dir;
    WriteFileBytes(dir / "fw", "firmware");
    WriteFileBytes(dir / "tool", "tool");
    WriteFileBytes(dir / "manifest", "firmware QX40 1.21 fw\ntool 1.5 tool\nrefuse X\n");
    std::string error;
    auto catalogue = LoadCatalogue(dir.Path(), error);
    ASSERT_TRUE(catalogue) << error;
    EXPECT_TRUE(IsRefused(*catalogue, "X"));
    EXPECT_FALSE(IsRefused(*catalogue, "x"));

    auto tool = Decide(*catalogue, "QX99", "9.9", "1.4"); // the tool comes before the type check
    EXPECT_EQ(tool.kind, Decision::Kind::Data);
    EXPECT_EQ(tool.upType, 7);
    auto garbled = Decide(*catalogue, "QX40", "1.20", "abc");
    EXPECT_EQ(garbled.upType, 7);
    auto unknown = Decide(*catalogue, "qx40", "1.20", "1.5");
    EXPECT_EQ(unknown.kind, Decision::Kind::Status);
    EXPECT_EQ(unknown.status, "0");
    EXPECT_EQ(Decide(*catalogue, "QX40", "1.21", "1.5").status, "-7");
    EXPECT_EQ(Decide(*catalogue, "QX40", "1.21.0", "1.5").status, "-7");
    auto firmware = Decide(*catalogue, "QX40", "1.20", "1.5");
    EXPECT_EQ(firmware.kind, Decision::Kind::Data);
    EXPECT_EQ(firmware.upType, 3);
    ASSERT_TRUE(firmware.item);
    EXPECT_EQ(std::string(firmware.item->data->begin(), firmware.item->data->end()), "firmware");
    // A device version that cannot be read is not known to be current: it gets the firmware.
    EXPECT_EQ(Decide(*catalogue, "QX40", "?", "1.5").upType, 3);
    // Forced kinds.
    EXPECT_EQ(Decide(*catalogue, "QX40", "1.21", "1.5", 3).upType, 3);
    EXPECT_EQ(Decide(*catalogue, "QX40", "1.21", "1.5", 7).upType, 7);
    EXPECT_EQ(Decide(*catalogue, "QX99", "1.20", "1.5", 3).status, "0");
}

TEST(UpgradeServerCatalogue, FilesNamedTwiceAreLoadedOnce) {
    TempDir dir;
    WriteFileBytes(dir / "fw", "same");
    WriteFileBytes(dir / "manifest", "firmware QX40 1.21 fw\nfirmware QX41 1.0 ./fw\n");
    std::string error;
    auto catalogue = LoadCatalogue(dir.Path(), error);
    ASSERT_TRUE(catalogue) << error;
    EXPECT_EQ(catalogue->firmware.at("QX40").data, catalogue->firmware.at("QX41").data);
    EXPECT_EQ(catalogue->totalBytes, 4u);
}

TEST(UpgradeServerCatalogue, OnlyRegularFilesInsideTheFolderUpTo64MiB) {
    TempDir outside;
    WriteFileBytes(outside / "secret", "secret");
    auto sparse = [](const std::string& path, uint64_t size) {
        WriteFileBytes(path, "");
        fs::resize_file(path, size);
    };
    TempDir dir;
    fs::create_directory(dir / "sub");
    WriteFileBytes(dir / "sub/fw", "image");
    fs::create_symlink("sub/fw", dir / "link"); // a link that stays inside is followed
    sparse(dir / "max", kMaxCatalogueFile);
    WriteFileBytes(dir / "manifest",
                   "\xEF\xBB\xBF# a byte order mark first\n"
                   "firmware QX40 1.21 sub/fw\nfirmware QX41 1.0 link\nfirmware QX42 1.0 max\n");
    std::string error;
    auto catalogue = LoadCatalogue(dir.Path(), error);
    ASSERT_TRUE(catalogue) << error;
    EXPECT_EQ(catalogue->firmware.at("QX40").data, catalogue->firmware.at("QX41").data);
    EXPECT_EQ(catalogue->firmware.at("QX42").data->size(), kMaxCatalogueFile);
    EXPECT_TRUE(catalogue->warnings.empty());

    struct Case {
        std::string manifest;
        std::string message;
        std::function<void(TempDir&)> prepare{};
    } cases[] = {
        {"firmware QX40 1.21 /etc/hostname\n",
         "line 1: file /etc/hostname: name it relative to the catalogue folder"},
        {"firmware QX40 1.21 sub/../../x\n", "line 1: file sub/../../x: a name with .. may lead"},
        {"page /x link\n", "line 1: file link leads outside the catalogue folder (to ",
         [&](TempDir& d) { fs::create_symlink(outside / "secret", d / "link"); }},
        {"page /x sub/secret\n", "line 1: file sub/secret leads outside the catalogue folder",
         [&](TempDir& d) { fs::create_directory_symlink(outside.Path(), d / "sub"); }},
        {"firmware QX40 1.21 fifo\n", "line 1: file fifo is a FIFO, not a regular file",
         [](TempDir& d) { ASSERT_EQ(mkfifo((d / "fifo").c_str(), 0600), 0); }},
        {"tool 1.5 .\n", "line 1: file . is a folder, not a regular file"},
        {"firmware QX40 1.21 big\n",
         "line 1: file big is 67108865 bytes; clients accept at most 64 MiB",
         [&](TempDir& d) { sparse(d / "big", kMaxCatalogueFile + 1); }},
        {"firmware QX40 1.21 fw\0.bak\n"s, "line 1: the file name contains a NUL byte"},
        {"# nothing but comments\n\n", "manifest has no entry"},
        {"", "manifest is a FIFO, not a regular file",
         [](TempDir& d) {
             fs::remove(d / "manifest");
             ASSERT_EQ(mkfifo((d / "manifest").c_str(), 0600), 0);
         }},
    };
    for (const auto& c : cases) {
        TempDir d;
        WriteFileBytes(d / "fw", "image");
        WriteFileBytes(d / "manifest", c.manifest);
        if (c.prepare)
            c.prepare(d);
        TRun run = RunUpgradeServer(d.Path());
        EXPECT_EQ(run.status, 2) << c.message;
        EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
        EXPECT_EQ(run.out, "") << c.message;
    }
}

TEST(UpgradeServerCatalogue, DeviceTypesDifferingInCaseAreWarnedAbout) {
    TempDir dir;
    WriteFileBytes(dir / "fw", "image");
    WriteFileBytes(dir / "manifest", "firmware QX40 1.21 fw\nfirmware qx40 1.0 fw\n");
    std::string error;
    auto catalogue = LoadCatalogue(dir.Path(), error);
    ASSERT_TRUE(catalogue) << error;
    EXPECT_EQ(catalogue->firmware.size(), 2u); // both are served
    ASSERT_EQ(catalogue->warnings.size(), 1u);
    EXPECT_NE(catalogue->warnings[0].find(
                  "line 2: device type qx40 differs from QX40 (line 1) only in letter case"),
              std::string::npos)
        << catalogue->warnings[0];
    // The server writes it at start-up, before anything can stop it (here a fault it refuses).
    TRun run = RunUpgradeServer(dir.Path(), {"--fault", "kind:7"});
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.err.rfind("upgrade-server: warning: " + catalogue->warnings[0] + "\n", 0), 0u)
        << run.err;
}

TEST(UpgradeServerCatalogue, ManifestErrorsStopTheServerAndNameTheLine) {
    struct Case {
        std::string manifest;
        std::string message;
    } cases[] = {
        {"# ok\nfirmware QX40 1.21\n", "line 2: expected: firmware TYPE VERSION FILE"},
        {"firmware QX40 1.x fw\n", "line 1: \"1.x\" is not a version"},
        {"firmware QX40 1.21 missing.bin\n", "line 1: file "},
        {"firmware QX40 1.21 empty\n", "is empty"},
        {"firmware QX40 1.21 fw\nfirmware QX40 1.22 fw\n",
         "line 2: device type QX40 is listed twice"},
        {"tool 1.5 fw\ntool 1.6 fw\n", "line 2: the tool is listed twice"},
        {"page url fw\n", "line 1: a page path starts with /"},
        {"firmware QX40 1.21 fw\nupgrade all\n", "line 2: unknown entry \"upgrade\""},
        {"refuse\n", "line 1: expected: refuse ORIGINALID"},
        {"tool 1.5 fw Linux\n", "line 1: \"Linux\" is not a platform"},
        {"rollout QX40 1.21 5,100\nfirmware QX40 1.22 fw\n",
         "line 1: rollout QX40 1.21 has no firmware line QX40 1.21 (the firmware of QX40 is 1.22)"},
        {"firmware QX40 1.21 fw\nrollout QX40 1.21 5,25\n",
         "line 2: stages \"5,25\" end at 25%: the last stage is 100"},
    };
    for (const auto& c : cases) {
        TempDir dir;
        WriteFileBytes(dir / "fw", "image");
        WriteFileBytes(dir / "empty", "");
        WriteFileBytes(dir / "manifest", c.manifest);
        TRun run = RunUpgradeServer(dir.Path());
        EXPECT_EQ(run.status, 2) << c.manifest;
        EXPECT_EQ(run.err.rfind("upgrade-server: ", 0), 0u) << run.err;
        EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
        EXPECT_EQ(run.out, "") << c.manifest; // never announced itself
    }
    // No manifest at all; a kind:7 fault without a tool.
    TempDir dir;
    TRun none = RunUpgradeServer(dir.Path());
    EXPECT_EQ(none.status, 2);
    EXPECT_NE(none.err.find("cannot read"), std::string::npos);
    WriteFileBytes(dir / "fw", "image");
    WriteFileBytes(dir / "manifest", "firmware QX40 1.21 fw\n");
    TRun noTool = RunUpgradeServer(dir.Path(), {"--fault", "kind:7"});
    EXPECT_EQ(noTool.status, 2);
    EXPECT_NE(noTool.err.find("kind:7 needs a tool line"), std::string::npos);
    // A register file that is none, or one of a newer server.
    WriteFileBytes(dir / "notes.txt", "not a database, but long enough to be read as one's header");
    sqlite3* newer = nullptr;
    ASSERT_EQ(sqlite3_open((dir / "newer.sqlite").c_str(), &newer), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(newer,
                           "CREATE TABLE schema_version (version INTEGER NOT NULL);"
                           "INSERT INTO schema_version VALUES (3)",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(newer);
    for (const auto& [file, message] :
         {std::pair<std::string, std::string>{"notes.txt", " is not a register "},
          {"newer.sqlite", " has schema version 3, newer than this server's (2)"}}) {
        TRun run = RunUpgradeServer(dir.Path(), {"--register", "sqlite:" + dir / file});
        EXPECT_EQ(run.status, 2) << file;
        EXPECT_NE(run.err.find("register sqlite:" + dir / file + message), std::string::npos)
            << run.err;
        EXPECT_EQ(run.out, "") << file;
    }
}

// FILE.minisig beside a firmware or tool file: sent as the file's signature trailer, the dialogue's
// size and CRC being those of the file with its trailer; checked at start-up against --pubkey.
TEST(UpgradeServerCatalogue, SignaturesAreCheckedAndSentAsTrailers) {
    const std::string image = TestImage(3000);
    const std::string signature =
        MinisignSignature(image, "trusted", false, FirmwareStatement("1.21"));
    TempDir dir;
    WriteFileBytes(dir / "fw", image);
    WriteFileBytes(dir / "fw.minisig", signature);
    WriteFileBytes(dir / "tool", "unsigned tool");
    WriteFileBytes(dir / "manifest", "firmware QX40 1.21 fw\ntool 1.5 tool\n");
    std::string error;
    auto key = ParsePublicKey(ReadFileBytes(TestKeyFile("trusted", ".pub")), error);
    ASSERT_TRUE(key) << error;
    auto catalogue = LoadCatalogue(dir.Path(), error, {*key});
    ASSERT_TRUE(catalogue) << error;
    const CatalogueItem& fw = catalogue->firmware.at("QX40");
    EXPECT_TRUE(fw.isSigned);
    const std::string sent(fw.data->begin(), fw.data->end());
    EXPECT_EQ(sent, SignedPayload(image, signature));
    EXPECT_EQ(fw.crc, Crc16(fw.data->data(), static_cast<int32_t>(fw.data->size())));
    EXPECT_FALSE(catalogue->tool->isSigned);
    EXPECT_TRUE(catalogue->warnings.empty());

    // The whole dialogue carries the trailer.
    TUpgradeServer server(
        {.catalogue = dir.Path(), .args = {"--pubkey", TestKeyFile("trusted", ".pub")}});
    RawClient client(server.Address());
    Request request = DefaultRequest();
    SetValue(request, "SWVer", "1.5");
    Announce(client, request);
    Download download = Receive(client);
    EXPECT_EQ(download.length, std::to_string(sent.size()));
    EXPECT_EQ(download.crc, CrcText(sent));
    EXPECT_EQ(download.data, sent);

    // Without --pubkey only the form is checked, and a warning says so (the server then stops at
    // a fault it refuses without a tool).
    WriteFileBytes(dir / "manifest", "firmware QX40 1.21 fw\n");
    TRun unchecked = RunUpgradeServer(dir.Path(), {"--fault", "kind:7"});
    EXPECT_NE(unchecked.err.find("upgrade-server: warning: " + dir.Path() +
                                 "/manifest line 1: the signature fw.minisig (and any other) is "
                                 "served without checking"),
              std::string::npos)
        << unchecked.err;

    // A signature that does not match, by another key, or damaged stops the server.
    struct Case {
        std::string signature;
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {MinisignSignature(image + "x"),
         {"--pubkey", TestKeyFile("trusted", ".pub")},
         "line 1: signature fw.minisig does not match fw: the file changed or the signature is "
         "of another file"},
        {signature, {"--pubkey", TestKeyFile("other", ".pub")}, "signature by unknown key id"},
        {signature.substr(0, 100), {}, "line 1: signature fw.minisig: the signature is truncated"},
        {signature, {"--pubkey", dir / "fw"}, "--pubkey " + dir / "fw" + ": "},
    };
    for (const Case& c : cases) {
        WriteFileBytes(dir / "fw.minisig", c.signature);
        TRun run = RunUpgradeServer(dir.Path(), c.args);
        EXPECT_EQ(run.status, 2) << c.message;
        EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
        EXPECT_EQ(run.out, "");
    }
}

// With keys, a signature's trusted comment must be the release statement of each entry naming its
// file, as clients take a file for nothing else; make-sample-catalogue --sign-key signs for them.
TEST(UpgradeServerCatalogue, SignedStatementsMustFitTheirEntries) {
    TempDir dir; // firmware QX40 1.21, tool 1.5 for windows-x86_64
    ASSERT_TRUE(MakeSampleCatalogue(dir.Path(), {"--tool-version", "1.5", "--tool-file",
                                                 KESTREL_PATH_MAKE_SAMPLE_CATALOGUE,
                                                 "--tool-platform", "windows-x86_64", "--sign-key",
                                                 TestKeyFile("trusted", ".key")}));
    WriteFileBytes(dir / "plain.bin", "plain"); // signed with a comment that is no statement
    WriteFileBytes(dir / "plain.bin.minisig",
                   MinisignSignature("plain", "trusted", false, "signed by the tests"));
    std::string error;
    auto key = ParsePublicKey(ReadFileBytes(TestKeyFile("trusted", ".pub")), error);
    ASSERT_TRUE(key) << error;
    const std::string says = " does not match its entry: the statement says ";
    const std::pair<std::string, std::string> cases[] = {
        // manifest, message (empty: accepted)
        {ReadFileBytes(dir / "manifest"), ""},
        {"firmware QX40 1.21.0 qx40-1.21.bin\ntool 1.5.0 kestrel-1.5\n", ""},
        {"firmware qx40 1.21 qx40-1.21.bin\n", says + "device=QX40, the entry needs device=qx40"},
        {"firmware QX40 1.2 qx40-1.21.bin\n", says + "version=1.21, the entry needs version=1.2"},
        {"tool 1.5 qx40-1.21.bin\n", says + "kind=firmware, the entry needs kind=tool"},
        {"tool 1.5 kestrel-1.5 linux-x86_64\n",
         says + "platform=windows-x86_64, the entry needs platform=linux-x86_64"},
        {"firmware QX40 1.21 plain.bin\n",
         "line 1: signature plain.bin.minisig: the trusted comment \""},
        {"firmware QX40 1.21 qx40-1.21.bin\nfirmware QX41 1.21 qx40-1.21.bin\n",
         "line 2: signature qx40-1.21.bin.minisig" + says +
             "device=QX40, the entry needs device=QX41; sign the file again (minisign -S -s KEY -m "
             "qx40-1.21.bin -t \"kestrel-release kind=firmware device=QX41 version=1.21\")\n"},
    };
    for (const auto& [manifest, message] : cases) {
        WriteFileBytes(dir / "manifest", manifest);
        auto catalogue = LoadCatalogue(dir.Path(), error, {*key});
        EXPECT_EQ(!catalogue, !message.empty()) << manifest << error;
        EXPECT_TRUE(catalogue || (error + "\n").find(message) != std::string::npos) << error;
    }
    TRun run = RunUpgradeServer(dir.Path(), {"--pubkey", TestKeyFile("trusted", ".pub")});
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.err.find(std::end(cases)[-1].second), std::string::npos) << run.err;
}

TEST(UpgradeServerCatalogue, BindFailureExitsWithOne) {
    TUpgradeServer first({.firmware = "x"});
    TempDir dir;
    WriteFileBytes(dir / "fw", "image");
    WriteFileBytes(dir / "manifest", "firmware QX40 1.21 fw\n");
    TRun second = RunUpgradeServer(dir.Path(), {"--address", first.Address(), "--http-port", "0"});
    EXPECT_EQ(second.status, 1);
    EXPECT_NE(second.err.find("cannot listen on " + first.Address() + ":5001"), std::string::npos);
}

TEST(UpgradeServerCatalogue, CommandLine) {
    auto parse = [](const std::vector<std::string>& args, std::string& error) {
        ServerOptions options;
        bool ok = ParseOptions(args, options, error);
        return ok ? std::optional<ServerOptions>(options) : std::nullopt;
    };
    std::string error;
    auto o = parse({"--catalogue",
                    "c",
                    "--address",
                    "127.0.0.9",
                    "--port",
                    "0",
                    "--http-port",
                    "0",
                    "--step-timeout-ms",
                    "5",
                    "--max-sessions",
                    "3",
                    "--fault",
                    "crc:lower",
                    "--max-per-peer",
                    "2",
                    "--first-line-timeout-ms",
                    "7",
                    "--session-timeout-ms",
                    "9",
                    "--min-rate",
                    "11",
                    "--admin-address",
                    "::1",
                    "--admin-port",
                    "9"},
                   error);
    ASSERT_TRUE(o) << error;
    EXPECT_EQ(o->catalogueDir, "c");
    EXPECT_EQ(o->port, 0);
    EXPECT_EQ(o->httpPort, 0);
    EXPECT_EQ(o->stepLimit, std::chrono::milliseconds(5));
    EXPECT_EQ(o->maxSessions, 3u);
    EXPECT_EQ(o->faults.crc, CrcFault::Lower);
    EXPECT_EQ(o->maxPerPeer, 2u);
    EXPECT_EQ(o->firstLineLimit, std::chrono::milliseconds(7));
    EXPECT_EQ(o->sessionLimit, std::chrono::milliseconds(9));
    EXPECT_EQ(o->minRate, 11u);
    EXPECT_EQ(o->adminAddress, "::1");
    EXPECT_EQ(o->adminPort, 9);
    auto d = parse({"--catalogue", "c"}, error);
    ASSERT_TRUE(d);
    EXPECT_EQ(d->address, "0.0.0.0");
    EXPECT_EQ(d->port, 5001);
    EXPECT_EQ(d->httpPort, 8080);
    EXPECT_EQ(d->adminAddress, "127.0.0.1");
    EXPECT_EQ(d->adminPort, 8081);
    EXPECT_EQ(d->stepLimit, std::chrono::milliseconds(30000));
    EXPECT_EQ(d->maxSessions, 256u);
    EXPECT_EQ(d->maxPerPeer, 16u);
    EXPECT_EQ(d->firstLineLimit, std::chrono::milliseconds(5000));
    EXPECT_EQ(d->sessionLimit, std::chrono::milliseconds(60000));
    EXPECT_EQ(d->minRate, 1024u);
    for (std::vector<std::string> bad : {std::vector<std::string>{},
                                         {"--catalogue"},
                                         {"--catalogue", "c", "--port", "65536"},
                                         {"--catalogue", "c", "--address", "localhost"},
                                         {"--catalogue", "c", "--admin-address", "localhost"},
                                         {"--catalogue", "c", "--admin-port", "65536"},
                                         {"--catalogue", "c", "--max-sessions", "0"},
                                         {"--catalogue", "c", "--step-timeout-ms", "-1"},
                                         {"--catalogue", "c", "--max-per-peer", "0"},
                                         {"--catalogue", "c", "--first-line-timeout-ms", "0"},
                                         {"--catalogue", "c", "--min-rate", "0"},
                                         {"--catalogue", "c", "--verbose", "1"},
                                         {"--catalogue", "c", "--fault", "nothing"}})
        EXPECT_FALSE(parse(bad, error)) << (bad.empty() ? "" : bad.back());
}

TEST(UpgradeServerCatalogue, FaultSyntax) {
    Faults f;
    std::string error;
    ASSERT_TRUE(ParseFault("reply:27:a:b", f, error)) << error;
    EXPECT_EQ(f.replies.at(27), "a:b");
    ASSERT_TRUE(ParseFault("value:13:", f, error));
    EXPECT_EQ(f.values.at(13), "");
    ASSERT_TRUE(ParseFault("status:", f, error));
    EXPECT_EQ(f.status, "");
    ASSERT_TRUE(ParseFault("close-at:chunk-ack:3", f, error));
    EXPECT_EQ(f.closeAt, (Step{StepKind::ChunkAck, 3}));
    ASSERT_TRUE(ParseFault("close-at:allok", f, error)); // a later one replaces it
    EXPECT_EQ(f.closeAt, (Step{StepKind::AllOk, 0}));
    ASSERT_TRUE(ParseFault("stall-at:byte:0", f, error));
    EXPECT_EQ(f.stallAt, (Step{StepKind::Byte, 0}));
    for (const char* bad :
         {"reply:1", "reply:x:y", "length:-1", "length:1x", "check-no-space:x", "corrupt-data:1",
          "close-at:length:1", "close-at:announce:0", "close-at:announce", "stall-at:", "crc"})
        EXPECT_FALSE(ParseFault(bad, f, error)) << bad;
    for (const char* name : {"announce:27", "length", "length-ack", "values", "check", "crc",
                             "chunk:9", "chunk-ack:1", "byte:123", "allok"})
        EXPECT_EQ(StepName(*ParseStep(name)), name);
}
