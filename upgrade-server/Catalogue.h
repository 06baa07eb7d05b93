#pragma once
// The catalogue an upgrade server serves from: per device type the current firmware, the current
// tool, refused device identities and the information pages. Every file is read once at start-up
// and shared, read-only, by all sessions. Only regular files inside the catalogue folder are
// served, none larger than a client accepts.
//
// A firmware or tool file with its minisign signature beside it (FILE.minisig) is served with
// the signature trailer appended (UpdateSignature.h); the signature is checked at loading against
// the maker's public keys when the server has them, and its trusted comment must then be the
// release statement of the entry (ReleaseStatement.h): kind, device type or platform, version.
#include "Rollout.h"
#include "UpdateSignature.h"

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

using Bytes = std::vector<uint8_t>;

// The largest file the catalogue holds: clients refuse a longer data length (kMaxDataLength of
// the server link).
constexpr uint64_t kMaxCatalogueFile = 64ull * 1024 * 1024;

// One file of the catalogue as it is sent: its bytes (with the signature trailer when signed)
// and their CRC.
struct CatalogueItem {
    std::string version;
    std::string fileName;
    std::shared_ptr<const Bytes> data;
    uint16_t crc = 0;
    bool isSigned = false; // FILE.minisig was found and appended
};

struct Catalogue {
    std::map<std::string, CatalogueItem> firmware; // by device type (the request's UserName)
    // Firmware released in stages (rollout lines), by device type; the version is the firmware
    // line's.
    std::map<std::string, RolloutPlan> rollouts;
    std::optional<CatalogueItem> tool;
    std::set<std::string> refused;                                   // OriginalID values
    std::map<std::string, std::shared_ptr<const std::string>> pages; // HTTP path -> content
    uint64_t totalBytes = 0; // size of all distinct files held in memory
    // What looks like a mistake but is served as written (e.g. device types that differ only in
    // letter case), each naming its manifest line.
    std::vector<std::string> warnings;
};

// The reason CatalogueFiles::Read gives for a file that is not there.
inline constexpr std::string_view kFileMissing = "does not exist";

// Where the manifest's files come from: the catalogue folder, or memory for the fuzz target.
class CatalogueFiles {
public:
    virtual ~CatalogueFiles() = default;
    // The bytes of `name` (a relative name without "..", already checked), the same buffer for
    // the same file; null with the reason in `why` (to follow "file NAME "; kFileMissing when
    // it does not exist).
    virtual std::shared_ptr<const Bytes> Read(const std::string& name, std::string& why) = 0;
};

// Reads DIR/manifest and every file it names, and the signatures beside them. With `keys` (the
// maker's public keys, --pubkey) every signature must be by one of them, match its file and carry
// the release statement of each entry that names the file; without, a signature is only checked
// to be one, and warnings say so and name statements that do not fit. On any problem returns
// nothing and puts a message naming the manifest line into `error`. A reload passes the same
// keys.
std::optional<Catalogue> LoadCatalogue(const std::string& dir, std::string& error,
                                       const std::vector<TPublicKey>& keys = {});
// The manifest `text` (called `origin` in messages) with its files from `files`; a leading UTF-8
// byte order mark is skipped.
std::optional<Catalogue> ParseManifest(std::string_view text, const std::string& origin,
                                       CatalogueFiles& files, std::string& error,
                                       const std::vector<TPublicKey>& keys = {});

// A dotted version "1.21" as its numbers; nothing when the text is not such a version.
std::optional<std::vector<uint64_t>> ParseVersion(std::string_view text);
// Versions compare with CompareVersionNumbers (ReleaseStatement.h): "1.4" == "1.4.0".

// What the server answers to a complete request (the refusal is decided earlier, at the identity).
struct Decision {
    enum class Kind { Status, Data } kind = Kind::Status;
    std::string status;                  // for Status: "0" or "-7"
    int upType = 0;                      // for Data: 3 firmware, 7 tool
    const CatalogueItem* item = nullptr; // for Data
};

bool IsRefused(const Catalogue& catalogue, const std::string& originalId);
// forcedKind (3 or 7, from a fault) overrides the version rules.
Decision Decide(const Catalogue& catalogue, const std::string& userName, const std::string& sVer,
                const std::string& swVer, std::optional<int> forcedKind = std::nullopt);
