#include "Catalogue.h"

#include "CRC16.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace {
// The client reads the length as a signed 32-bit number.
constexpr uint64_t kMaxFileSize = 0x7FFFFFFFu;

std::vector<std::string> SplitFields(const std::string& line) {
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

class ManifestReader {
public:
    explicit ManifestReader(const std::string& dir) : dir_(dir) {}

    std::optional<Catalogue> Read(std::string& error) {
        fs::path manifest = fs::path(dir_) / "manifest";
        std::ifstream in(manifest);
        if (!in) {
            error = "cannot read " + manifest.string();
            return std::nullopt;
        }
        std::string line;
        while (std::getline(in, line)) {
            ++lineNo_;
            if (auto hash = line.find('#'); hash != std::string::npos)
                line.erase(hash);
            auto fields = SplitFields(line);
            if (!fields.empty() && !Entry(fields)) {
                error = manifest.string() + " line " + std::to_string(lineNo_) + ": " + error_;
                return std::nullopt;
            }
        }
        if (in.bad()) {
            error = "cannot read " + manifest.string();
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
            if (!Item(f[2], f[3], item))
                return false;
            catalogue_.firmware.emplace(f[1], std::move(item));
        } else if (word == "tool") {
            if (f.size() != 3)
                return Fail("expected: tool VERSION FILE");
            if (catalogue_.tool)
                return Fail("the tool is listed twice");
            CatalogueItem item;
            if (!Item(f[1], f[2], item))
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
            catalogue_.pages.emplace(
                f[1], std::make_shared<const std::string>(bytes->begin(), bytes->end()));
        } else {
            return Fail("unknown entry \"" + word + "\" (firmware, tool, refuse, page)");
        }
        return true;
    }

    bool Item(const std::string& version, const std::string& file, CatalogueItem& item) {
        if (!ParseVersion(version))
            return Fail("\"" + version + "\" is not a version (numbers separated by dots)");
        auto data = Load(file);
        if (!data)
            return false;
        item.version = version;
        item.fileName = file;
        item.data = data;
        item.crc = crcs_[data.get()];
        return true;
    }

    // Reads a file of the catalogue once; a file named twice is shared.
    std::shared_ptr<const Bytes> Load(const std::string& name) {
        fs::path path = fs::path(dir_) / name;
        std::error_code ec;
        fs::path key = fs::weakly_canonical(path, ec);
        if (ec)
            key = path;
        if (auto it = loaded_.find(key.string()); it != loaded_.end())
            return it->second;
        if (!fs::is_regular_file(path, ec)) {
            Fail("file " + path.string() + " does not exist or is not a regular file");
            return nullptr;
        }
        auto size = fs::file_size(path, ec);
        if (ec) {
            Fail("cannot read " + path.string());
            return nullptr;
        }
        if (size == 0) {
            Fail("file " + path.string() + " is empty");
            return nullptr;
        }
        if (size > kMaxFileSize) {
            Fail("file " + path.string() + " is 2 GiB or larger");
            return nullptr;
        }
        auto bytes = std::make_shared<Bytes>(static_cast<size_t>(size));
        std::ifstream in(path, std::ios::binary);
        if (!in.read(reinterpret_cast<char*>(bytes->data()), static_cast<std::streamsize>(size)) ||
            in.peek() != std::char_traits<char>::eof()) {
            Fail("cannot read " + path.string() + " (or it changed while being read)");
            return nullptr;
        }
        std::shared_ptr<const Bytes> shared = std::move(bytes);
        crcs_[shared.get()] = Crc16(shared->data(), static_cast<int32_t>(shared->size()));
        catalogue_.totalBytes += shared->size();
        loaded_.emplace(key.string(), shared);
        return shared;
    }

    std::string dir_;
    int lineNo_ = 0;
    std::string error_;
    Catalogue catalogue_;
    std::map<std::string, std::shared_ptr<const Bytes>> loaded_;
    std::map<const Bytes*, uint16_t> crcs_;
};
} // namespace

std::optional<Catalogue> LoadCatalogue(const std::string& dir, std::string& error) {
    return ManifestReader(dir).Read(error);
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

int CompareVersions(const std::vector<uint64_t>& a, const std::vector<uint64_t>& b) {
    for (size_t i = 0; i < std::max(a.size(), b.size()); ++i) {
        uint64_t x = i < a.size() ? a[i] : 0;
        uint64_t y = i < b.size() ? b[i] : 0;
        if (x != y)
            return x < y ? -1 : 1;
    }
    return 0;
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
        return !client || CompareVersions(*client, *ParseVersion(catalogue.tool->version)) < 0;
    };
    if (forcedKind == 7 || (!forcedKind && toolIsNewer())) {
        if (catalogue.tool) {
            d.kind = Decision::Kind::Data;
            d.upType = 7;
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
    if (!forcedKind && device && CompareVersions(*device, *ParseVersion(fw->second.version)) >= 0) {
        d.status = "-7";
        return d;
    }
    d.kind = Decision::Kind::Data;
    d.upType = 3;
    d.item = &fw->second;
    return d;
}
