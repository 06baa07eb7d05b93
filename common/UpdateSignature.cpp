#include "UpdateSignature.h"

#include <sodium.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>

namespace {
constexpr size_t kPublicKeyBytes = 2 + 8 + crypto_sign_PUBLICKEYBYTES;
constexpr size_t kSignatureBytes = 2 + 8 + crypto_sign_BYTES;
constexpr std::string_view kUntrusted = "untrusted comment: ";
constexpr std::string_view kTrusted = "trusted comment: ";

// libsodium must be initialised once before use; sodium_init is safe to call from any thread and
// any number of times.
bool SodiumReady() {
    return sodium_init() >= 0;
}

// Strict base64 (standard alphabet, padding, no spaces, no other characters) of exactly `size`
// bytes.
bool DecodeBase64(std::string_view text, uint8_t* into, size_t size) {
    std::vector<uint8_t> buffer(size + 1);
    size_t got = 0;
    const char* end = nullptr;
    if (sodium_base642bin(buffer.data(), buffer.size(), text.data(), text.size(), nullptr, &got,
                          &end, sodium_base64_VARIANT_ORIGINAL) != 0 ||
        end != text.data() + text.size() || got != size)
        return false;
    std::memcpy(into, buffer.data(), size);
    return true;
}

// Splits text into lines at LF, each without its LF or a CR before it. A last line without LF
// counts too; an empty last piece after the final LF does not.
std::vector<std::string_view> Lines(std::string_view text) {
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        lines.push_back(line);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    }
    return lines;
}

bool StartsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

void PutLittleEndian32(uint8_t* to, uint32_t value) {
    for (int i = 0; i < 4; ++i)
        to[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t GetLittleEndian32(const uint8_t* from) {
    uint32_t value = 0;
    for (int i = 3; i >= 0; --i)
        value = (value << 8) | from[i];
    return value;
}
} // namespace

std::string KeyIdText(const TKeyId& id) {
    // As minisign names keys: the little-endian id in hexadecimal, without leading zeros.
    uint64_t value = 0;
    for (size_t i = id.size(); i-- > 0;)
        value = value << 8 | id[i];
    char digits[17];
    std::snprintf(digits, sizeof digits, "%" PRIX64, value);
    return digits;
}

std::optional<TPublicKey> ParsePublicKey(std::string_view text, std::string& error) {
    auto lines = Lines(text);
    // The .pub file: its comment line, then the key.
    if (lines.size() == 2 && StartsWith(lines[0], kUntrusted))
        lines.erase(lines.begin());
    if (lines.size() != 1) {
        error = "a minisign public key is one base64 line, or the two lines of a .pub file";
        return std::nullopt;
    }
    uint8_t raw[kPublicKeyBytes];
    if (!DecodeBase64(lines[0], raw, sizeof raw)) {
        error = "\"" + std::string(lines[0].substr(0, 80)) +
                "\" is not a minisign public key (56 base64 characters starting with RW)";
        return std::nullopt;
    }
    if (raw[0] != 'E' || raw[1] != 'd') {
        error = "the public key is not an Ed25519 minisign key (it does not start with RW)";
        return std::nullopt;
    }
    TPublicKey key;
    std::memcpy(key.keyId.data(), raw + 2, key.keyId.size());
    std::memcpy(key.key.data(), raw + 10, key.key.size());
    return key;
}

std::optional<TSignature> ParseSignature(std::string_view text, std::string& error) {
    auto lines = Lines(text);
    if (lines.size() < 4) {
        error = "the signature is truncated: a .minisig has four lines, this one " +
                std::to_string(lines.size());
        return std::nullopt;
    }
    if (lines.size() > 4) {
        error = "the signature has " + std::to_string(lines.size()) + " lines; a .minisig has four";
        return std::nullopt;
    }
    if (!StartsWith(lines[0], kUntrusted)) {
        error = "the signature does not start with \"untrusted comment: \"";
        return std::nullopt;
    }
    uint8_t raw[kSignatureBytes];
    if (!DecodeBase64(lines[1], raw, sizeof raw)) {
        error = "the signature line is not the base64 of a minisign signature (74 bytes)";
        return std::nullopt;
    }
    TSignature sig;
    if (raw[0] == 'E' && raw[1] == 'd') {
        sig.prehashed = false;
    } else if (raw[0] == 'E' && raw[1] == 'D') {
        sig.prehashed = true;
    } else {
        error = "unknown signature algorithm (neither Ed nor ED)";
        return std::nullopt;
    }
    std::memcpy(sig.keyId.data(), raw + 2, sig.keyId.size());
    std::memcpy(sig.signature.data(), raw + 10, sig.signature.size());
    if (!StartsWith(lines[2], kTrusted)) {
        error = "the third line of the signature is not \"trusted comment: ...\"";
        return std::nullopt;
    }
    sig.trustedComment = std::string(lines[2].substr(kTrusted.size()));
    if (!DecodeBase64(lines[3], sig.globalSignature.data(), sig.globalSignature.size())) {
        error = "the last line of the signature is not the base64 of a 64-byte signature "
                "(truncated or damaged)";
        return std::nullopt;
    }
    return sig;
}

TTrailerSplit SplitTrailer(std::span<const uint8_t> payload) {
    TTrailerSplit split;
    split.fileSize = payload.size();
    if (payload.size() < kTrailerFooterSize)
        return split;
    const uint8_t* footer = payload.data() + payload.size() - kTrailerFooterSize;
    if (std::memcmp(footer, kTrailerMagic.data(), kTrailerMagic.size()) != 0)
        return split;
    uint32_t length = GetLittleEndian32(footer + kTrailerMagic.size());
    split.kind = TTrailerSplit::Kind::Malformed;
    if (length <= kTrailerFooterSize || length > kTrailerFooterSize + kMaxSignatureText) {
        split.fault = "the signature trailer gives a length of " + std::to_string(length) +
                      " bytes; a trailer holds a signature of 1 to " +
                      std::to_string(kMaxSignatureText) + " bytes and its 16-byte footer";
        return split;
    }
    if (length > payload.size()) {
        split.fault = "the signature trailer is truncated: its footer gives " +
                      std::to_string(length) + " bytes, but the data has only " +
                      std::to_string(payload.size());
        return split;
    }
    split.kind = TTrailerSplit::Kind::Signature;
    split.fileSize = payload.size() - length;
    split.signature =
        std::string_view(reinterpret_cast<const char*>(payload.data()) + split.fileSize,
                         length - kTrailerFooterSize);
    return split;
}

std::vector<uint8_t> WithTrailer(std::span<const uint8_t> file, std::string_view signature) {
    std::vector<uint8_t> out(file.begin(), file.end());
    out.insert(out.end(), signature.begin(), signature.end());
    out.insert(out.end(), kTrailerMagic.begin(), kTrailerMagic.end());
    uint8_t length[4];
    PutLittleEndian32(length, static_cast<uint32_t>(signature.size() + kTrailerFooterSize));
    out.insert(out.end(), length, length + 4);
    return out;
}

TVerification VerifySignature(std::span<const uint8_t> file, std::string_view signatureText,
                              const std::vector<TPublicKey>& keys) {
    TVerification result;
    std::string error;
    auto sig = ParseSignature(signatureText, error);
    if (!sig) {
        result.fault = error;
        return result;
    }
    result.keyId = KeyIdText(sig->keyId);
    result.comment = sig->trustedComment;
    const TPublicKey* key = nullptr;
    for (const TPublicKey& k : keys)
        if (k.keyId == sig->keyId)
            key = &k;
    if (!key) {
        std::string known;
        for (const TPublicKey& k : keys)
            known += (known.empty() ? "" : ", ") + KeyIdText(k.keyId);
        result.fault = "signature by unknown key id " + result.keyId +
                       " (trusted: " + (known.empty() ? "none" : known) + ")";
        return result;
    }
    if (!SodiumReady()) {
        result.fault = "the signature library (libsodium) could not be initialised";
        return result;
    }
    std::array<uint8_t, crypto_generichash_BYTES_MAX> hash{};
    const uint8_t* message = file.data();
    size_t messageSize = file.size();
    if (sig->prehashed) {
        crypto_generichash(hash.data(), hash.size(), file.data(), file.size(), nullptr, 0);
        message = hash.data();
        messageSize = hash.size();
    }
    if (crypto_sign_verify_detached(sig->signature.data(), message, messageSize, key->key.data()) !=
        0) {
        result.fault =
            "the file changed or the signature is of another file (key id " + result.keyId + ")";
        return result;
    }
    std::vector<uint8_t> global(sig->signature.begin(), sig->signature.end());
    global.insert(global.end(), sig->trustedComment.begin(), sig->trustedComment.end());
    if (crypto_sign_verify_detached(sig->globalSignature.data(), global.data(), global.size(),
                                    key->key.data()) != 0) {
        result.fault = "the trusted comment was altered (key id " + result.keyId + ")";
        return result;
    }
    result.valid = true;
    result.signer = "key " + result.keyId + ", trusted comment: " + sig->trustedComment;
    return result;
}

TUpdateCheck CheckUpdatePayload(std::span<const uint8_t> payload,
                                const std::vector<TPublicKey>& keys, bool requireSignature) {
    TUpdateCheck check;
    TTrailerSplit split = SplitTrailer(payload);
    check.fileSize = split.fileSize;
    switch (split.kind) {
    case TTrailerSplit::Kind::Malformed:
        check.fault = split.fault;
        return check;
    case TTrailerSplit::Kind::None:
        if (!keys.empty() && requireSignature) {
            check.fault = "the update is not signed (no signature trailer): the maker signs each "
                          "release with minisign and puts FILE.minisig beside FILE in the "
                          "server's catalogue";
            return check;
        }
        check.accepted = true;
        return check;
    case TTrailerSplit::Kind::Signature:
        break;
    }
    if (keys.empty()) {
        check.accepted = true;
        return check;
    }
    TVerification v = VerifySignature(payload.first(split.fileSize), split.signature, keys);
    if (!v.valid) {
        check.fault = v.fault;
        return check;
    }
    check.accepted = true;
    check.verified = true;
    check.signer = v.signer;
    check.comment = v.comment;
    return check;
}
