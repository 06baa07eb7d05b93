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

// The workflow's rule with the trusted key (a new tool: a signature is always required), applied
// to `payload`; `data` holds what the workflow would use afterwards.
struct TChecked {
    TUpdateCheck check;
    std::string data;
};
TChecked CheckWithTrustedKey(const std::string& payload, bool firmware = false,
                             bool requireSignedFirmware = true) {
    TUpdatePolicy policy({KeyLine(F::TrustedPublicKeyFile)}, requireSignedFirmware);
    TMemoryStream stream;
    stream.Write(reinterpret_cast<const uint8_t*>(payload.data()), payload.size());
    TChecked out;
    out.check = policy.CheckAndStrip(stream, firmware);
    out.data.assign(stream.Bytes().begin(), stream.Bytes().end());
    return out;
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

    for (std::string bad :
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
         SignedPayload(file, Replaced(Str(F::Prehashed), "test file", "test filE")),
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
    EXPECT_FALSE(CheckWithTrustedKey(file, true, true).check.accepted);
    auto allowed = CheckWithTrustedKey(file, true, false);
    EXPECT_TRUE(allowed.check.accepted);
    EXPECT_FALSE(allowed.check.verified);
    EXPECT_EQ(allowed.data, file);
    // A signature that is present is checked all the same.
    EXPECT_FALSE(
        CheckWithTrustedKey(SignedPayload(file, F::ByOtherKey), true, false).check.accepted);
}

TEST(UpdateSignature, WithoutKeysATrailerIsOnlyRemoved) {
    TUpdatePolicy policy({}, true);
    const std::string payload = SignedPayload(Str(F::File), F::ByOtherKey);
    TMemoryStream stream;
    stream.Write(reinterpret_cast<const uint8_t*>(payload.data()), payload.size());
    TUpdateCheck check = policy.CheckAndStrip(stream, false);
    EXPECT_TRUE(check.accepted);
    EXPECT_FALSE(check.verified);
    EXPECT_EQ(std::string(stream.Bytes().begin(), stream.Bytes().end()), F::File);

    // A malformed key built in refuses everything rather than trusting nothing silently.
    TUpdatePolicy broken({"RWnot-a-key"}, true);
    EXPECT_FALSE(broken.CheckAndStrip(stream, true).accepted);
}
