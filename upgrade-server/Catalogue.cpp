#include "Catalogue.h"

#include "CRC16.h"
#include "OwnedHandle.h"
#include "ReleaseStatement.h"
#include "RequestKind.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace fs = std::filesystem;

namespace {
std::vector<std::string> SplitFields(std::string_view line) {
    std::vector<std::string> fields;
    std::string field;
    for (char c : line) {
        if (c == ' ' || c == '\t' || c == '\r') {
            if (!field.empty())
                fields.push_back(std::move(field));
            field.clear();
        } else {
            field += c;
        }
    }
    if (!field.empty())
        fields.push_back(std::move(field));
    return fields;
}

std::string Lower(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// A platform name as tool statements carry it ("linux-x86_64").
bool IsPlatform(const std::string& text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
    });
}

// What a firmware or tool line says its file is: the statement its signature must carry.
struct EntryFacts {
    TReleaseKind kind = TReleaseKind::Firmware;
    std::string device;   // firmware
    std::string platform; // tool; empty: any platform
    std::string version;
};

// The minisign command that signs `file` for `entry`. A tool line without a platform takes the
// one the old signature named, if any.
std::string SignCommand(const std::string& file, const EntryFacts& entry,
                        const std::string& signedPlatform) {
    TReleaseStatement statement{entry.kind, entry.device, entry.platform, entry.version};
    if (statement.kind == TReleaseKind::Tool && statement.platform.empty())
        statement.platform = signedPlatform.empty() ? "PLATFORM" : signedPlatform;
    return "minisign -S -s KEY -m " + file + " -t \"" + ReleaseStatementText(statement) + "\"";
}

// Empty when the statement fits the entry; else the first field that differs, with the signed
// and the needed value. Device types compare exactly, as clients name them; versions by their
// numbers (1.21 is 1.21.0).
std::string Mismatch(const TReleaseStatement& statement, const EntryFacts& entry) {
    auto differs = [](const std::string& field, const std::string& got, const std::string& need) {
        return "the statement says " + field + "=" + got + ", the entry needs " + field + "=" +
               need;
    };
    if (statement.kind != entry.kind)
        return differs("kind", ReleaseKindName(statement.kind), ReleaseKindName(entry.kind));
    if (entry.kind == TReleaseKind::Firmware && statement.device != entry.device)
        return differs("device", statement.device, entry.device);
    if (entry.kind == TReleaseKind::Tool && !entry.platform.empty() &&
        statement.platform != entry.platform)
        return differs("platform", statement.platform, entry.platform);
    auto version = ParseVersion(statement.version);
    auto needed = ParseVersion(entry.version);
    if (!version || !needed || CompareVersionNumbers(*version, *needed) != 0)
        return differs("version", statement.version, entry.version);
    return {};
}

class ManifestParser {
public:
    ManifestParser(const std::string& origin, CatalogueFiles& files,
                   const std::vector<TPublicKey>& keys)
        : origin_(origin), files_(files), keys_(keys) {}

    std::optional<Catalogue> Parse(std::string_view text, std::string& error) {
        if (text.substr(0, 3) == "\xEF\xBB\xBF")
            text.remove_prefix(3);
        while (!text.empty()) {
            size_t end = text.find('\n');
            std::string_view line = text.substr(0, end);
            text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
            ++lineNo_;
            line = line.substr(0, line.find('#'));
            auto fields = SplitFields(line);
            if (fields.empty())
                continue;
            if (!Entry(fields)) {
                error = origin_ + " line " + std::to_string(lineNo_) + ": " + error_;
                return std::nullopt;
            }
            ++entries_;
        }
        if (!CheckRollouts(error))
            return std::nullopt;
        if (entries_ == 0) {
            error =
                origin_ + " has no entry: list at least one firmware, tool, refuse or page line";
            return std::nullopt;
        }
        return std::move(catalogue_);
    }

private:
    bool Fail(std::string why) {
        error_ = std::move(why);
        return false;
    }

    bool Entry(const std::vector<std::string>& f) {
        const std::string& word = f[0];
        if (word == "firmware") {
            if (f.size() != 4)
                return Fail("expected: firmware TYPE VERSION FILE");
            if (catalogue_.firmware.count(f[1]))
                return Fail("device type " + f[1] + " is listed twice");
            CatalogueItem item;
            if (!Item({TReleaseKind::Firmware, f[1], {}, f[2]}, f[3], item))
                return false;
            catalogue_.firmware.emplace(f[1], std::move(item));
            WarnAboutCase(f[1]);
        } else if (word == "tool") {
            if (f.size() != 3 && f.size() != 4)
                return Fail("expected: tool VERSION FILE [PLATFORM]");
            if (catalogue_.tool)
                return Fail("the tool is listed twice");
            std::string platform = f.size() == 4 ? f[3] : "";
            if (f.size() == 4 && !IsPlatform(platform))
                return Fail("\"" + platform +
                            "\" is not a platform (lowercase letters, digits, _ and -, as in "
                            "linux-x86_64)");
            CatalogueItem item;
            if (!Item({TReleaseKind::Tool, {}, platform, f[1]}, f[2], item))
                return false;
            catalogue_.tool = std::move(item);
        } else if (word == "refuse") {
            if (f.size() != 2)
                return Fail("expected: refuse ORIGINALID");
            catalogue_.refused.insert(f[1]);
        } else if (word == "page") {
            if (f.size() != 3)
                return Fail("expected: page /PATH FILE");
            if (f[1].empty() || f[1][0] != '/')
                return Fail("a page path starts with /");
            if (catalogue_.pages.count(f[1]))
                return Fail("page " + f[1] + " is listed twice");
            auto bytes = Load(f[2]);
            if (!bytes)
                return false;
            Account(bytes);
            catalogue_.pages.emplace(
                f[1], std::make_shared<const std::string>(bytes->begin(), bytes->end()));
        } else if (word == "rollout") {
            return Rollout(f);
        } else {
            return Fail("unknown entry \"" + word + "\" (firmware, tool, refuse, page, rollout)");
        }
        return true;
    }

    // rollout TYPE VERSION STAGES [advance=N] [halt=P%]; its firmware line may come later.
    bool Rollout(const std::vector<std::string>& f) {
        if (f.size() < 4)
            return Fail("expected: rollout TYPE VERSION STAGES [advance=N] [halt=P%]");
        if (!ParseVersion(f[2]))
            return Fail("\"" + f[2] + "\" is not a version (numbers separated by dots)");
        if (catalogue_.rollouts.count(f[1]))
            return Fail("a rollout of device type " + f[1] + " is listed twice");
        RolloutPlan plan;
        plan.type = f[1];
        plan.version = f[2];
        plan.staged = true;
        std::string why;
        if (!ParseRolloutFields({f.begin() + 3, f.end()}, plan, why))
            return Fail(why);
        catalogue_.rollouts.emplace(f[1], std::move(plan));
        rolloutLines_[f[1]] = lineNo_;
        return true;
    }

    // Every rollout names the firmware line of its type and version (numerically: 1.21 is
    // 1.21.0), whose text it takes.
    bool CheckRollouts(std::string& error) {
        for (auto& [type, plan] : catalogue_.rollouts) {
            auto fw = catalogue_.firmware.find(type);
            // Both versions were checked as their lines were read.
            auto wanted = ParseVersion(plan.version);
            auto served =
                fw == catalogue_.firmware.end() ? std::nullopt : ParseVersion(fw->second.version);
            if (!served || !wanted || CompareVersionNumbers(*served, *wanted) != 0) {
                error = origin_ + " line " + std::to_string(rolloutLines_[type]) + ": rollout " +
                        type + " " + plan.version + " has no firmware line " + type + " " +
                        plan.version +
                        (fw == catalogue_.firmware.end()
                             ? std::string(" (there is none for ") + type + ")"
                             : " (the firmware of " + type + " is " + fw->second.version + ")") +
                        ": a rollout stages the firmware the catalogue serves";
                return false;
            }
            plan.version = fw->second.version;
        }
        return true;
    }

    // A file as it is sent, and the signature it carries.
    struct ServedFile {
        std::shared_ptr<const Bytes> data;
        std::string signatureName; // empty: unsigned
        std::string comment;       // the signature's trusted comment
    };

    bool Item(const EntryFacts& entry, const std::string& file, CatalogueItem& item) {
        if (!ParseVersion(entry.version))
            return Fail("\"" + entry.version + "\" is not a version (numbers separated by dots)");
        auto data = Load(file);
        if (!data)
            return false;
        const ServedFile* served = Served(file, data, entry);
        if (!served || !CheckStatement(*served, file, entry))
            return false;
        item.version = entry.version;
        item.fileName = file;
        item.data = served->data;
        item.isSigned = !served->signatureName.empty();
        item.crc = Account(served->data);
        return true;
    }

    // The file as it is sent: with the trailer of FILE.minisig when that exists, after checking
    // the signature. A file named twice is one buffer, whose statement each entry checks.
    const ServedFile* Served(const std::string& name, const std::shared_ptr<const Bytes>& file,
                             const EntryFacts& entry) {
        if (auto it = served_.find(file.get()); it != served_.end())
            return &it->second;
        const std::string sigName = name + ".minisig";
        std::string why;
        auto sig = files_.Read(sigName, why);
        if (!sig) {
            if (why != kFileMissing) {
                Fail("signature " + sigName + " " + why);
                return nullptr;
            }
            return &(served_[file.get()] = ServedFile{file, {}, {}});
        }
        std::string_view text(reinterpret_cast<const char*>(sig->data()), sig->size());
        if (text.size() > kMaxSignatureText) {
            Fail("signature " + sigName + " is " + std::to_string(text.size()) +
                 " bytes; a minisign signature has at most " + std::to_string(kMaxSignatureText));
            return nullptr;
        }
        std::string comment;
        if (keys_.empty()) {
            std::string error;
            auto parsed = ParseSignature(text, error);
            if (!parsed) {
                Fail("signature " + sigName + ": " + error);
                return nullptr;
            }
            comment = parsed->trustedComment;
            if (!uncheckedWarned_)
                catalogue_.warnings.push_back(
                    origin_ + " line " + std::to_string(lineNo_) + ": the signature " + sigName +
                    " (and any other) is served without checking that it matches its file: "
                    "start the server with --pubkey FILE, the maker's minisign public key");
            uncheckedWarned_ = true;
        } else if (TVerification v = VerifySignature(*file, text, keys_); !v.valid) {
            Fail("signature " + sigName + " does not match " + name + ": " + v.fault +
                 "; sign the file again (" + SignCommand(name, entry, {}) + ")");
            return nullptr;
        } else {
            comment = v.comment;
        }
        if (file->size() + text.size() + kTrailerFooterSize > kMaxCatalogueFile) {
            Fail("file " + name +
                 " with its signature is over 64 MiB (67108864 bytes), the most "
                 "clients accept");
            return nullptr;
        }
        auto data = std::make_shared<const Bytes>(WithTrailer(*file, text));
        return &(served_[file.get()] = ServedFile{data, sigName, std::move(comment)});
    }

    // The signature's trusted comment must be the release statement of this entry: clients take
    // a file only for what its statement says. With keys a mismatch refuses the catalogue; without,
    // the comment is not known to be the maker's, and a mismatch is only warned about.
    bool CheckStatement(const ServedFile& served, const std::string& file,
                        const EntryFacts& entry) {
        if (served.signatureName.empty())
            return true;
        std::string error;
        auto statement = ParseReleaseStatement(served.comment, error);
        std::string cause = statement ? Mismatch(*statement, entry) : error;
        if (cause.empty())
            return true;
        std::string message = "signature " + served.signatureName +
                              (statement ? " does not match its entry: " : ": ") + cause +
                              "; sign the file again (" +
                              SignCommand(file, entry, statement ? statement->platform : "") + ")";
        if (!keys_.empty())
            return Fail(std::move(message));
        catalogue_.warnings.push_back(origin_ + " line " + std::to_string(lineNo_) + ": " +
                                      message);
        return true;
    }

    // Counts a buffer held in memory once and gives its CRC.
    uint16_t Account(const std::shared_ptr<const Bytes>& bytes) {
        auto [it, added] = crcs_.emplace(bytes.get(), 0);
        if (added) {
            it->second = Crc16(bytes->data(), static_cast<int32_t>(bytes->size()));
            catalogue_.totalBytes += bytes->size();
        }
        return it->second;
    }

    // Clients name their device type exactly: "qx40" never gets the firmware of "QX40".
    void WarnAboutCase(const std::string& type) {
        auto [it, added] = typesByCase_.emplace(Lower(type), std::make_pair(type, lineNo_));
        if (added)
            return;
        catalogue_.warnings.push_back(
            origin_ + " line " + std::to_string(lineNo_) + ": device type " + type +
            " differs from " + it->second.first + " (line " + std::to_string(it->second.second) +
            ") only in letter case; clients get only the firmware of "
            "the type they name exactly");
    }

    // A file of the catalogue; a file named twice is one buffer with one CRC.
    std::shared_ptr<const Bytes> Load(const std::string& name) {
        if (name.find('\0') != std::string::npos) {
            Fail("the file name contains a NUL byte");
            return nullptr;
        }
        if (name.front() == '/') {
            Fail("file " + name + ": name it relative to the catalogue folder");
            return nullptr;
        }
        for (const auto& part : fs::path(name))
            if (part == "..") {
                Fail("file " + name + ": a name with .. may lead out of the catalogue folder; " +
                     "keep every file inside it");
                return nullptr;
            }
        std::string why;
        auto bytes = files_.Read(name, why);
        if (!bytes) {
            Fail("file " + name + " " + why);
            return nullptr;
        }
        return bytes;
    }

    std::string origin_;
    CatalogueFiles& files_;
    const std::vector<TPublicKey>& keys_;
    bool uncheckedWarned_ = false;
    std::map<const Bytes*, ServedFile> served_; // file -> as sent
    int lineNo_ = 0;
    int entries_ = 0;
    std::string error_;
    Catalogue catalogue_;
    std::map<const Bytes*, uint16_t> crcs_;
    std::map<std::string, std::pair<std::string, int>> typesByCase_; // lowercase -> type, line
    std::map<std::string, int> rolloutLines_;                        // type -> line
};

const char* FileKind(mode_t mode) {
    if (S_ISDIR(mode))
        return "a folder";
    if (S_ISFIFO(mode))
        return "a FIFO";
    if (S_ISSOCK(mode))
        return "a socket";
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return "a device";
    return "not a regular file";
}

// The files of a catalogue folder. A name is resolved first (symbolic links followed) and must
// lead to a regular file inside the folder; the file is then opened by its resolved path, without
// following a link there and without waiting (a FIFO would block an open for reading), and read
// through that descriptor after checking what it is.
class CatalogueFolder : public CatalogueFiles {
public:
    explicit CatalogueFolder(fs::path root) : root_(std::move(root)) {}

    std::shared_ptr<const Bytes> Read(const std::string& name, std::string& why) override {
        std::error_code ec;
        fs::path real = fs::canonical(root_ / name, ec);
        if (ec) {
            why = ec == std::errc::no_such_file_or_directory ? std::string(kFileMissing)
                                                             : "cannot be read: " + ec.message();
            return nullptr;
        }
        auto inside = real.lexically_relative(root_);
        if (inside.empty() || *inside.begin() == "..") {
            why = "leads outside the catalogue folder (to " + real.string() +
                  "): copy the file into the folder";
            return nullptr;
        }
        const TFd fd(
            ::open(real.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC));
        if (!fd) {
            why = std::string("cannot be read: ") + std::strerror(errno);
            return nullptr;
        }
        return ReadOpened(fd.Get(), why);
    }

private:
    std::shared_ptr<const Bytes> ReadOpened(int fd, std::string& why) {
        struct stat st {};
        if (::fstat(fd, &st) != 0) {
            why = std::string("cannot be read: ") + std::strerror(errno);
            return nullptr;
        }
        if (!S_ISREG(st.st_mode)) {
            why = std::string("is ") + FileKind(st.st_mode) + ", not a regular file";
            return nullptr;
        }
        auto key = std::make_pair(st.st_dev, st.st_ino);
        if (auto it = loaded_.find(key); it != loaded_.end())
            return it->second;
        auto size = static_cast<uint64_t>(st.st_size);
        if (size == 0) {
            why = "is empty";
            return nullptr;
        }
        if (size > kMaxCatalogueFile) {
            why = "is " + std::to_string(size) +
                  " bytes; clients accept at most 64 MiB (67108864 bytes)";
            return nullptr;
        }
        auto bytes = std::make_shared<Bytes>(static_cast<size_t>(size) + 1);
        size_t got = 0;
        for (;;) {
            ssize_t n = ::read(fd, bytes->data() + got, bytes->size() - got);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0) {
                why = std::string("cannot be read: ") + std::strerror(errno);
                return nullptr;
            }
            if (n == 0 || got + static_cast<size_t>(n) == bytes->size()) {
                got += static_cast<size_t>(n);
                break;
            }
            got += static_cast<size_t>(n);
        }
        // One byte more than its size was asked for: a file that grows or shrinks meanwhile shows.
        if (got != size) {
            why = "changed while being read; read the catalogue again once it is written";
            return nullptr;
        }
        bytes->pop_back();
        std::shared_ptr<const Bytes> shared = std::move(bytes);
        loaded_.emplace(key, shared);
        return shared;
    }

    fs::path root_;
    std::map<std::pair<dev_t, ino_t>, std::shared_ptr<const Bytes>> loaded_;
};
} // namespace

std::optional<Catalogue> ParseManifest(std::string_view text, const std::string& origin,
                                       CatalogueFiles& files, std::string& error,
                                       const std::vector<TPublicKey>& keys) {
    return ManifestParser(origin, files, keys).Parse(text, error);
}

std::optional<Catalogue> LoadCatalogue(const std::string& dir, std::string& error,
                                       const std::vector<TPublicKey>& keys) {
    std::string manifest = (fs::path(dir) / "manifest").string();
    std::error_code ec;
    fs::path root = fs::canonical(dir, ec);
    if (ec) {
        error = "cannot read the catalogue folder " + dir + ": " + ec.message();
        return std::nullopt;
    }
    CatalogueFolder folder(root);
    std::string why;
    auto text = folder.Read("manifest", why);
    if (!text) {
        error = "cannot read the manifest: " + manifest + " " + why;
        return std::nullopt;
    }
    // The manifest is no file of the catalogue: it counts in no total.
    return ParseManifest(
        std::string_view(reinterpret_cast<const char*>(text->data()), text->size()), manifest,
        folder, error, keys);
}

std::optional<std::vector<uint64_t>> ParseVersion(std::string_view text) {
    std::vector<uint64_t> parts;
    size_t start = 0;
    for (;;) {
        size_t dot = text.find('.', start);
        std::string_view part =
            text.substr(start, dot == std::string_view::npos ? dot : dot - start);
        if (part.empty() || part.size() > 9 ||
            !std::all_of(part.begin(), part.end(), [](char c) { return c >= '0' && c <= '9'; }))
            return std::nullopt;
        parts.push_back(std::stoull(std::string(part)));
        if (dot == std::string_view::npos)
            return parts;
        start = dot + 1;
    }
}

bool IsRefused(const Catalogue& catalogue, const std::string& originalId) {
    return catalogue.refused.count(originalId) != 0;
}

Decision Decide(const Catalogue& catalogue, const std::string& userName, const std::string& sVer,
                const std::string& swVer, std::optional<int> forcedKind) {
    Decision d;
    auto toolIsNewer = [&] {
        if (!catalogue.tool)
            return false;
        auto client = ParseVersion(swVer);
        // A client whose version cannot be read is treated as the oldest one.
        return !client ||
               CompareVersionNumbers(*client, *ParseVersion(catalogue.tool->version)) < 0;
    };
    if (forcedKind == RequestKind::Tool || (!forcedKind && toolIsNewer())) {
        if (catalogue.tool) {
            d.kind = Decision::Kind::Data;
            d.upType = RequestKind::Tool;
            d.item = &*catalogue.tool;
            return d;
        }
    }
    auto fw = catalogue.firmware.find(userName);
    if (fw == catalogue.firmware.end()) {
        d.status = "0";
        return d;
    }
    auto device = ParseVersion(sVer);
    auto latest = ParseVersion(fw->second.version);
    if (!forcedKind && device && latest && CompareVersionNumbers(*device, *latest) >= 0) {
        d.status = "-7";
        return d;
    }
    d.kind = Decision::Kind::Data;
    d.upType = RequestKind::Firmware;
    d.item = &fw->second;
    return d;
}
