// Signed updates: minisign keys and signatures made by minisign itself for this build folder
// (SigningFixtures.h), the signature trailer, and the rule the workflow applies to a payload.
#include "UpdateSignature.h"
#include "SigningFixtures.h"
#include "TestData.h"
#include "Workflow.h"

#include <gtest/gtest.h>

namespace {
namespace F = SigningFixture;

std::string Str(std::string_view text) {
    return std::string(text);
}

// The .pub file's second line: the key as KESTREL_UPDATE_PUBKEYS takes it.
std::string KeyLine(std::string_view pubFile) {
    std::string text = Str(pubFile);
    size_t start = text.find('\n') + 1;
    return text.substr(start, text.find('\n', start) - start);
}

// The key id as the .pub file's comment line names it ("minisign public key 27753AA7C52DC051").
std::string CommentKeyId(std::string_view pubFile) {
    std::string first = Str(pubFile.substr(0, pubFile.find('\n')));
    return first.substr(first.rfind(' ') + 1);
}

// The workflow's rule with the trusted key for firmware of the simulated QX40 (software 1.20),
// applied to `payload`; `data` holds what the workflow would use afterwards.
struct TChecked {
    TUpdateCheck check;
    std::string data;
};
const TReleaseExpectation kQx40Firmware{
    .kind = TReleaseKind::Firmware, .device = "QX40", .newerThan = "1.20"};
TChecked Check(const TUpdatePolicy& policy, const std::string& payload,
               const TReleaseExpectation& expected = kQx40Firmware) {
    TMemoryStream stream;
    stream.Write(reinterpret_cast<const uint8_t*>(payload.data()), payload.size());
    TChecked out;
    out.check = policy.CheckAndStrip(stream, expected);
    out.data.assign(stream.Bytes().begin(), stream.Bytes().end());
    return out;
}
TChecked CheckWithTrustedKey(const std::string& payload, bool requireSignedFirmware = true) {
    return Check(TUpdatePolicy({KeyLine(F::TrustedPublicKeyFile)}, requireSignedFirmware, false),
                 payload);
}

std::string Replaced(std::string text, const std::string& from, const std::string& to) {
    size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return text.replace(at, from.size(), to);
}
} // namespace

TEST(UpdateSignature, KeysParseFromTheLineAndFromThePubFile) {
    std::string error;
    auto fromFile = ParsePublicKey(F::TrustedPublicKeyFile, error);
    ASSERT_TRUE(fromFile) << error;
    auto fromLine = ParsePublicKey(KeyLine(F::TrustedPublicKeyFile), error);
    ASSERT_TRUE(fromLine) << error;
    EXPECT_EQ(fromFile->key, fromLine->key);
    EXPECT_EQ(KeyIdText(fromFile->keyId), CommentKeyId(F::TrustedPublicKeyFile));
    // An id whose top byte is zero reads as minisign writes it, without the leading zero.
    EXPECT_EQ(KeyIdText({0xA6, 0xF5, 0x47, 0xA5, 0x19, 0x97, 0x15, 0x0B}), "B159719A547F5A6");

    for (const std::string& bad :
         {KeyLine(F::TrustedPublicKeyFile).substr(1), KeyLine(F::TrustedPublicKeyFile) + "A",
          std::string("RW"), Replaced(KeyLine(F::TrustedPublicKeyFile), "RW", "RX"),
          Str(F::Prehashed)}) {
        EXPECT_FALSE(ParsePublicKey(bad, error)) << bad;
        EXPECT_FALSE(error.empty());
    }
}

TEST(UpdateSignature, BothAlgorithmsAreAcceptedAndTheTrailerRemoved) {
    for (std::string_view sig : {F::Prehashed, F::Legacy}) {
        SCOPED_TRACE(Str(sig));
        auto got = CheckWithTrustedKey(SignedPayload(Str(F::File), sig));
        EXPECT_TRUE(got.check.accepted) << got.check.fault;
        EXPECT_TRUE(got.check.verified);
        EXPECT_EQ(got.data, F::File);
        EXPECT_EQ(got.check.signer, "key " + CommentKeyId(F::TrustedPublicKeyFile) +
                                        ", trusted comment: " + Str(F::TrustedComment));
    }
    // The layout is exactly the documented one.
    std::vector<uint8_t> file(F::File.begin(), F::File.end());
    std::vector<uint8_t> built = WithTrailer(file, F::Prehashed);
    EXPECT_EQ(std::string(built.begin(), built.end()), SignedPayload(Str(F::File), F::Prehashed));
}

TEST(UpdateSignature, EveryDamageOrForgeryIsRefusedWithItsCause) {
    const std::string file = Str(F::File);
    const std::string good = SignedPayload(file, F::Prehashed);
    std::string oneByte = good;
    oneByte[5] ^= 0x01;
    // The payload with the footer's length replaced.
    auto withLength = [&](uint32_t length) {
        std::string payload = good;
        for (size_t i = 0; i < 4; ++i)
            payload[payload.size() - 4 + i] = static_cast<char>((length >> (8 * i)) & 0xFF);
        return payload;
    };
    std::string signatureCut = Str(F::Prehashed);
    signatureCut = signatureCut.substr(0, signatureCut.rfind('\n', signatureCut.size() - 2) + 1);
    struct Case {
        const char* what;
        std::string payload;
        const char* cause;
    } cases[] = {
        {"one byte of the file changed", oneByte, "the file changed or the signature is of"},
        {"a signature by an unknown key", SignedPayload(file, F::ByOtherKey),
         "signature by unknown key id"},
        {"the trailer cut short", good.substr(0, good.size() - 1), "not signed"},
        {"the signature's last line missing", SignedPayload(file, signatureCut),
         "the signature is truncated"},
        {"a trailer length pointing outside the payload",
         withLength(static_cast<uint32_t>(good.size() + 1)), "bytes, but the data has only"},
        {"a trailer length beyond any signature", withLength(0x100000), "gives a length of"},
        {"a trailer length within the footer", withLength(16), "gives a length of"},
        {"the trailer alone",
         SignedPayload("", F::Prehashed).substr(0, 40) + good.substr(good.size() - 16),
         "the signature trailer is truncated"},
        {"the signature of another file", SignedPayload(file, F::OfOtherFile),
         "the signature is of another file"},
        {"the trusted comment changed",
         SignedPayload(file, Replaced(Str(F::Prehashed), "version=1.21", "version=1.22")),
         "the trusted comment was altered"},
        {"a damaged signature line",
         SignedPayload(file, Replaced(Str(F::Prehashed), "\nRU", "\nR?")),
         "is not the base64 of a minisign signature"},
        {"no signature at all", file, "not signed"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto got = CheckWithTrustedKey(c.payload);
        EXPECT_FALSE(got.check.accepted);
        EXPECT_NE(got.check.fault.find(c.cause), std::string::npos) << got.check.fault;
        EXPECT_EQ(got.data, c.payload) << "a refused payload is left as it came";
    }
    // The unknown key is named as minisign names it.
    EXPECT_NE(CheckWithTrustedKey(SignedPayload(file, F::ByOtherKey))
                  .check.fault.find(CommentKeyId(F::OtherPublicKeyFile)),
              std::string::npos);
}

TEST(UpdateSignature, FirmwareMayBeUnsignedOnlyWhenTheBuildAllowsIt) {
    const std::string file = Str(F::File);
    EXPECT_FALSE(CheckWithTrustedKey(file, true).check.accepted);
    auto allowed = CheckWithTrustedKey(file, false);
    EXPECT_TRUE(allowed.check.accepted);
    EXPECT_FALSE(allowed.check.verified);
    EXPECT_EQ(allowed.data, file);
    // A signature that is present is checked all the same.
    EXPECT_FALSE(CheckWithTrustedKey(SignedPayload(file, F::ByOtherKey), false).check.accepted);
}

TEST(UpdateSignature, WithoutKeysEverythingIsRefusedUnlessUnsignedUpdatesAreAllowed) {
    const std::string payload = SignedPayload(Str(F::File), F::ByOtherKey);
    auto refused = Check(TUpdatePolicy({}, true, false), payload);
    EXPECT_FALSE(refused.check.accepted);
    EXPECT_NE(refused.check.fault.find("trusts no signing key"), std::string::npos);
    EXPECT_EQ(refused.data, payload);

    // Built to allow unsigned updates: a trailer is only removed.
    auto allowed = Check(TUpdatePolicy({}, true, true), payload);
    EXPECT_TRUE(allowed.check.accepted);
    EXPECT_FALSE(allowed.check.verified);
    EXPECT_EQ(allowed.data, F::File);

    // A malformed key built in refuses everything rather than trusting nothing silently.
    EXPECT_FALSE(Check(TUpdatePolicy({"RWnot-a-key"}, true, true), payload).check.accepted);
}

TEST(ReleaseStatement, ParsesOnlyTheExactForm) {
    std::string error;
    auto firmware =
        ParseReleaseStatement("kestrel-release kind=firmware device=QX40 version=1.21", error);
    ASSERT_TRUE(firmware) << error;
    EXPECT_EQ(firmware->kind, TReleaseKind::Firmware);
    EXPECT_EQ(firmware->device, "QX40");
    EXPECT_EQ(firmware->version, "1.21");
    auto tool = ParseReleaseStatement(
        "kestrel-release kind=tool platform=windows-x86_64 version=1.5", error);
    ASSERT_TRUE(tool) << error;
    EXPECT_EQ(tool->platform, "windows-x86_64");
    EXPECT_EQ(ReleaseStatementText(*tool),
              "kestrel-release kind=tool platform=windows-x86_64 version=1.5");

    const struct {
        const char* text;
        const char* cause;
    } bad[] = {
        {"", "does not start with kestrel-release"},
        {"kestrel-release kind=firmware device=QX40", "2 fields, not 3"},
        {"kestrel-release  kind=firmware device=QX40 version=1.21", "single spaces"},
        {"kestrel-release kind=firmware device=QX40 version=1.21 ", "single spaces"},
        {"kestrel-release kind=firmware version=1.21 device=QX40", "not device=..."},
        {"kestrel-release kind=tool device=QX40 version=1.5", "not platform=..."},
        {"kestrel-release kind=driver device=QX40 version=1.21", "not firmware or tool"},
        {"kestrel-release kind=firmware device=QX40 version=V1.21", "not numbers separated"},
        {"kestrel-release kind=firmware device=QX\t40 version=1.21", "empty or not printable"},
    };
    for (const auto& b : bad) {
        SCOPED_TRACE(b.text);
        EXPECT_FALSE(ParseReleaseStatement(b.text, error));
        EXPECT_NE(error.find(b.cause), std::string::npos) << error;
    }
}

TEST(ReleaseStatement, VersionsCompareByTheirDigitGroups) {
    const struct {
        const char *a, *b;
        int order;
    } cases[] = {
        {"1.21", "1.20", 1}, {"1.5", "1.4", 1},  {"2.0", "1.99", 1},   {"1.10", "1.9", 1},
        {"1.4", "1.4.0", 0}, {"V1.2", "1.2", 0}, {"1.19", "1.20", -1},
    };
    for (const auto& c : cases)
        EXPECT_EQ(CompareVersionTexts(c.a, c.b), c.order) << c.a << " vs " << c.b;
    EXPECT_FALSE(CompareVersionTexts("1.21", "ABCD"));
}

TEST(ReleaseStatement, EachMismatchIsRefusedNamingTheFieldAndBothValues) {
    const TReleaseStatement firmware{
        .kind = TReleaseKind::Firmware, .device = "QX40", .version = "1.21"};
    const TReleaseStatement tool{
        .kind = TReleaseKind::Tool, .platform = "linux-x86_64", .version = "1.5"};
    const TReleaseExpectation toolHere{
        .kind = TReleaseKind::Tool, .platform = "linux-x86_64", .newerThan = "1.4"};
    const struct {
        const char* what;
        TReleaseStatement statement;
        TReleaseExpectation expected;
        const char* cause; // empty: accepted
    } cases[] = {
        {"firmware that fits", firmware, kQx40Firmware, ""},
        {"a tool that fits", tool, toolHere, ""},
        {"firmware served as a tool", firmware, toolHere, "for firmware (kind=firmware)"},
        {"a tool served as firmware", tool, kQx40Firmware, "for a tool (kind=tool)"},
        {"another device type",
         firmware,
         {.kind = TReleaseKind::Firmware, .device = "QX41", .newerThan = "1.20"},
         "for device QX40, not the connected QX41"},
        {"another platform",
         tool,
         {.kind = TReleaseKind::Tool, .platform = "windows-x86_64", .newerThan = "1.4"},
         "for platform linux-x86_64, not this tool's windows-x86_64"},
        {"a firmware rollback",
         firmware,
         {.kind = TReleaseKind::Firmware, .device = "QX40", .newerThan = "1.30"},
         "version 1.21, not newer than the device's 1.30 (a rollback)"},
        {"the device's own version again",
         firmware,
         {.kind = TReleaseKind::Firmware, .device = "QX40", .newerThan = "1.21"},
         "(the same version)"},
        {"an older tool",
         tool,
         {.kind = TReleaseKind::Tool, .platform = "linux-x86_64", .newerThan = "2.0"},
         "not newer than this tool's 2.0"},
        {"a device version without digits",
         firmware,
         {.kind = TReleaseKind::Firmware, .device = "QX40", .newerThan = "ABCD"},
         "\"1.21\" (signed) and \"ABCD\" (the device's) cannot be compared"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::string cause = CheckReleaseStatement(c.statement, c.expected);
        if (*c.cause == 0)
            EXPECT_EQ(cause, "");
        else
            EXPECT_NE(cause.find(c.cause), std::string::npos) << cause;
    }
}
