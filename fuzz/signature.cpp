// The signature trailer and the minisign parsers: the input is taken as a payload (split into
// file and signature, then checked against a fixed key as the tool checks an update), as the
// text of a .minisig, as a public key, as a release statement and as two version texts. The seeds
// were signed once with the key below, whose secret half was thrown away.
#include "UpdateSignature.h"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {
[[noreturn]] void Fail(const std::string& what) {
    std::fprintf(stderr, "%s\n", what.c_str());
    std::abort();
}

const std::vector<TPublicKey>& Keys() {
    static const std::vector<TPublicKey> keys = [] {
        std::string error;
        auto key =
            ParsePublicKey("RWT7dB1NYPaFa8k/zyD5LOsyHstRahAwYn1Wl5oWSPJv7zxUwz2HYdIZ", error);
        if (!key)
            Fail("the fuzz key does not parse: " + error);
        return std::vector<TPublicKey>{*key};
    }();
    return keys;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::span<const uint8_t> payload(data, size);
    const TTrailerSplit split = SplitTrailer(payload);
    switch (split.kind) {
    case TTrailerSplit::Kind::None:
        if (split.fileSize != size)
            Fail("no trailer, but the file is not the whole payload");
        break;
    case TTrailerSplit::Kind::Signature:
        if (split.fileSize + split.signature.size() + kTrailerFooterSize != size ||
            split.signature.size() == 0 || split.signature.size() > kMaxSignatureText ||
            reinterpret_cast<const uint8_t*>(split.signature.data()) != data + split.fileSize)
            Fail("a trailer that does not add up to the payload");
        break;
    case TTrailerSplit::Kind::Malformed:
        if (split.fault.empty())
            Fail("a malformed trailer without its reason");
        break;
    }

    const TUpdateCheck check = CheckUpdatePayload(payload, Keys(), true);
    if (check.accepted != check.fault.empty())
        Fail("accepted and refused at once, or neither");
    if (check.accepted && (split.kind != TTrailerSplit::Kind::Signature || !check.verified ||
                           check.fileSize != split.fileSize || check.signer.empty()))
        Fail("accepted without a verified signature");

    std::string_view text(reinterpret_cast<const char*>(data), size);
    std::string error;
    if (!ParseSignature(text, error) && error.empty())
        Fail("a signature refused without a reason");
    if (!ParsePublicKey(text, error) && error.empty())
        Fail("a key refused without a reason");

    // The release statement of a trusted comment: one exact form, so what parses is written back
    // byte for byte.
    if (auto statement = ParseReleaseStatement(text, error)) {
        if (ReleaseStatementText(*statement) != text)
            Fail("a statement that does not read back as its text");
    } else if (error.empty()) {
        Fail("a statement refused without a reason");
    }
    // Versions order both ways alike.
    std::string_view a = text.substr(0, size / 2), b = text.substr(size / 2);
    auto ab = CompareVersionTexts(a, b), ba = CompareVersionTexts(b, a);
    if (ab.has_value() != ba.has_value() || (ab && *ab != -*ba))
        Fail("versions that do not compare both ways alike");
    return 0;
}
