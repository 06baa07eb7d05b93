// The manifest reader and the server's decision: the input is a manifest, its files come from
// memory (TMemoryFiles). When it loads, the catalogue's own invariants are checked (every file
// within the limits, its CRC, the total), then the decision for requests made of the input's own
// fields (as device type, device version and tool version, with and without a forced kind) is
// checked against the rules it follows.
#include "CRC16.h"
#include "Catalogue.h"
#include "SampleCatalogue.h"

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace {

[[noreturn]] void Fail(const std::string& what) {
    std::fprintf(stderr, "%s\n", what.c_str());
    std::abort();
}

// A loaded item's version numbers: every loaded item's version parses.
std::vector<uint64_t> VersionOf(const CatalogueItem& item) {
    auto version = ParseVersion(item.version);
    if (!version)
        Fail("version \"" + item.version + "\" loaded");
    return *version;
}

// What every loaded item must be.
void CheckItem(const CatalogueItem& item, std::set<const Bytes*>& files) {
    if (!item.data || item.data->empty() || item.data->size() > kMaxCatalogueFile)
        Fail("an item of " + std::to_string(item.data ? item.data->size() : 0) + " bytes");
    if (item.crc != Crc16(item.data->data(), static_cast<int32_t>(item.data->size())))
        Fail("the CRC of " + item.fileName + " is not that of its bytes");
    VersionOf(item);
    files.insert(item.data.get());
}

std::vector<std::string> Fields(std::string_view text) {
    std::vector<std::string> fields;
    size_t start = 0;
    while (start < text.size() && fields.size() < 24) {
        size_t end = text.find_first_of(" \t\r\n", start);
        if (end == std::string_view::npos)
            end = text.size();
        if (end > start)
            fields.emplace_back(text.substr(start, end - start));
        start = end + 1;
    }
    return fields;
}

// The decision rules, stated on their own: the tool to a client whose tool version is older (or
// unreadable), else status 0 for an unknown type, -7 for a device as new as the firmware, else
// the firmware; a forced kind skips the version rules.
void CheckDecision(const Catalogue& catalogue, const std::string& type, const std::string& sVer,
                   const std::string& swVer, std::optional<int> forced) {
    const Decision d = Decide(catalogue, type, sVer, swVer, forced);
    auto fw = catalogue.firmware.find(type);
    auto client = ParseVersion(swVer);
    auto device = ParseVersion(sVer);
    bool tool =
        catalogue.tool &&
        (forced == 7 ||
         (!forced && (!client || CompareVersionNumbers(*client, VersionOf(*catalogue.tool)) < 0)));
    bool ok = false;
    if (tool)
        ok = d.kind == Decision::Kind::Data && d.upType == 7 && d.item == &*catalogue.tool;
    else if (fw == catalogue.firmware.end())
        ok = d.kind == Decision::Kind::Status && d.status == "0";
    else if (!forced && device && CompareVersionNumbers(*device, VersionOf(fw->second)) >= 0)
        ok = d.kind == Decision::Kind::Status && d.status == "-7";
    else
        ok = d.kind == Decision::Kind::Data && d.upType == 3 && d.item == &fw->second;
    if (!ok)
        Fail("decision for " + type + " " + sVer + " " + swVer + ": kind " +
             std::to_string(d.upType) + ", status \"" + d.status + "\"");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(bytes), size);
    TMemoryFiles files;
    std::string error;
    auto catalogue = ParseManifest(text, "manifest", files, error);
    if (!catalogue) {
        if (error.empty())
            Fail("refused without a reason");
        return 0;
    }
    std::set<const Bytes*> distinct;
    for (const auto& [type, item] : catalogue->firmware)
        CheckItem(item, distinct);
    if (catalogue->tool)
        CheckItem(*catalogue->tool, distinct);
    // Every distinct file counts once; a page's file may also be an item's.
    uint64_t items = 0;
    uint64_t pages = 0;
    for (const Bytes* file : distinct)
        items += file->size();
    for (const auto& [path, page] : catalogue->pages) {
        if (path.empty() || path[0] != '/' || !page || page->empty())
            Fail("page \"" + path + "\" loaded");
        pages += page->size();
    }
    if (catalogue->totalBytes < items || catalogue->totalBytes > items + pages)
        Fail("total " + std::to_string(catalogue->totalBytes) + " for items of " +
             std::to_string(items) + " and pages of " + std::to_string(pages) + " bytes");

    auto fields = Fields(text);
    fields.push_back("1.4");
    for (const auto& [type, item] : catalogue->firmware) {
        fields.push_back(type);
        fields.push_back(item.version);
    }
    for (size_t i = 0; i + 2 < fields.size() && i < 32; ++i) {
        IsRefused(*catalogue, fields[i]);
        for (std::optional<int> forced : {std::optional<int>{}, std::optional<int>{3}})
            CheckDecision(*catalogue, fields[i], fields[i + 1], fields[i + 2], forced);
        if (catalogue->tool)
            CheckDecision(*catalogue, fields[i], fields[i + 1], fields[i + 2], 7);
    }
    return 0;
}
