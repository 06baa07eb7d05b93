#pragma once
// Signed updates. The maker signs a release file with minisign (`minisign -S -s KEY -m FILE`
// writes FILE.minisig); the upgrade server sends the file followed by a trailer that carries that
// signature text, and the tool checks it against the minisign public keys built into it before it
// programs firmware or installs a new executable.
//
// Payload layout (the dialogue's data, its size and CRC included):
//
//   FILE bytes | FILE.minisig text bytes | footer (16 bytes)
//   footer = "KESTREL-SIG1" (12 ASCII bytes) + the trailer's length as an unsigned 32-bit
//            little-endian number; the trailer is the signature text and the footer together.
//
// A program with a trailer still runs, and a tool that knows nothing of signatures just sees a
// longer file. minisign's formats (all base64 is the standard alphabet with padding):
//   public key: "Ed" + key id (8 bytes) + Ed25519 public key (32 bytes), optionally after an
//               "untrusted comment: ..." line (the .pub file);
//   signature:  "untrusted comment: ..." / base64("Ed" or "ED" + key id + Ed25519 signature of the
//               file ("Ed") or of its BLAKE2b-512 hash ("ED")) / "trusted comment: TEXT" /
//               base64(Ed25519 signature of the 64 signature bytes followed by TEXT).
// No Qt and no platform code: the same on Linux and Windows (libsodium).
#include "ReleaseStatement.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

using TKeyId = std::array<uint8_t, 8>;

struct TPublicKey {
    TKeyId keyId{};
    std::array<uint8_t, 32> key{};
};

struct TSignature {
    bool prehashed = false; // "ED": the signature covers the file's BLAKE2b-512 hash
    TKeyId keyId{};
    std::array<uint8_t, 64> signature{};
    std::string trustedComment;
    std::array<uint8_t, 64> globalSignature{}; // over signature + trustedComment
};

// The key id as minisign prints it: the 8 bytes read as a little-endian number, in uppercase hex
// without leading zeros ("27753AA7C52DC051", "B159719A547F5A6").
std::string KeyIdText(const TKeyId& id);

// A public key: its base64 line alone, or the two-line .pub file. Nothing, with the reason in
// `error`, when the text is no minisign Ed25519 public key.
std::optional<TPublicKey> ParsePublicKey(std::string_view text, std::string& error);
// The text of a .minisig file (lines may end in LF or CR LF). Nothing, with the reason in
// `error`, when it is malformed.
std::optional<TSignature> ParseSignature(std::string_view text, std::string& error);

// ---- The trailer ----

inline constexpr std::string_view kTrailerMagic = "KESTREL-SIG1";
inline constexpr size_t kTrailerFooterSize = kTrailerMagic.size() + 4;
// A .minisig is a few hundred bytes; a longer trailer is refused as malformed.
inline constexpr size_t kMaxSignatureText = 8192;

struct TTrailerSplit {
    enum class Kind {
        None,      // no footer at the end: the whole payload is the file
        Signature, // file and signature text apart
        Malformed, // a footer whose length does not fit: `fault` says why
    } kind = Kind::None;
    size_t fileSize = 0;
    std::string_view signature; // into the payload
    std::string fault;
};

TTrailerSplit SplitTrailer(std::span<const uint8_t> payload);
// The file followed by the trailer carrying `signature`.
std::vector<uint8_t> WithTrailer(std::span<const uint8_t> file, std::string_view signature);

// ---- Verification ----

struct TVerification {
    bool valid = false;
    std::string fault;   // why not, in English, naming the cause
    std::string signer;  // when valid: "key 27753AA7C52DC051, trusted comment: ..."
    std::string keyId;   // the signature's key id (also when refused)
    std::string comment; // its trusted comment
};

// Checks `signatureText` (a .minisig) over `file` with whichever of `keys` has its key id.
TVerification VerifySignature(std::span<const uint8_t> file, std::string_view signatureText,
                              const std::vector<TPublicKey>& keys);

// What the tool does with a received payload (firmware or a new tool).
struct TUpdateCheck {
    bool accepted = false;
    size_t fileSize = 0;                        // the bytes to use: the payload without its trailer
    bool verified = false;                      // a signature by one of the keys was checked
    std::string signer;                         // when verified
    std::string comment;                        // when verified: the signature's trusted comment
    std::optional<TReleaseStatement> statement; // the comment's statement, once checked
    std::string fault;                          // when refused
};

// With keys: a trailer must carry a valid signature by one of them, and a payload without one is
// refused when `requireSignature`. Without keys nothing can be verified: a trailer is only
// removed. A malformed trailer is refused either way.
TUpdateCheck CheckUpdatePayload(std::span<const uint8_t> payload,
                                const std::vector<TPublicKey>& keys, bool requireSignature);
