#pragma once
// The catalogue files of the server's fuzz targets, held in memory: the sample catalogue
// (make-sample-catalogue --size 20000) with its deterministic firmware image, so that seeds
// recorded against a real server with that catalogue carry the right length and CRC echoes.
#include "Catalogue.h"

#include <map>
#include <memory>
#include <string>

// Names starting with "missing" and signatures (".minisig") do not exist; every other name is a
// file of its own.
class TMemoryFiles : public CatalogueFiles {
public:
    static constexpr size_t kImageSize = 20000;

    std::shared_ptr<const Bytes> Read(const std::string& name, std::string& why) override {
        if (name.rfind("missing", 0) == 0 || name.ends_with(".minisig")) {
            why = kFileMissing;
            return nullptr;
        }
        auto& file = files_[name];
        if (!file)
            file = std::make_shared<const Bytes>(Content(name));
        return file;
    }

private:
    static Bytes Content(const std::string& name) {
        if (name != "qx40-1.21.bin")
            return Bytes(name.begin(), name.end());
        // make-sample-catalogue's image.
        Bytes image(kImageSize);
        for (size_t i = 0; i < image.size(); ++i)
            image[i] = static_cast<uint8_t>(i * 131 + (i >> 8) * 7 + 0x5C);
        return image;
    }

    std::map<std::string, std::shared_ptr<const Bytes>> files_;
};

// The manifest make-sample-catalogue writes (also the seed of the manifest target).
inline const char* const kSampleManifest = "# Sample catalogue written by make-sample-catalogue\n"
                                           "firmware QX40 1.21 qx40-1.21.bin\n"
                                           "page /url/QX40Info.htm QX40Info.htm\n";
