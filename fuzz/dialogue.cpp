// The upgrade dialogue (TUpgradeDialogue) over a scripted line transport whose peer sends the
// input's bytes, as a server's bytes on the wire: lines end in CR LF, data is taken as it comes,
// and once the bytes are used up the connection counts as lost (empty lines, no more data). The
// request is fixed. Checked beyond the sanitizers: a session that ends in success has said
// "AllOK" and holds exactly the announced bytes, with the CRC the server sent.
#include "Dialogue.h"
#include "CRC16.h"
#include "CliInfo.h"
#include "ResultCodes.h"
#include "WindowLink.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace {

class TScriptedTransport : public TLineTransport {
public:
    explicit TScriptedTransport(std::string_view bytes) : rest_(bytes) {}

    void SendLine(const std::string& line) override { lastSent_ = line; }

    std::string ReceiveLine() override {
        const size_t end = rest_.find("\r\n");
        // Without CR LF the peer's last bytes are what the line receive hands out.
        std::string line(rest_.substr(0, end));
        rest_.remove_prefix(end == std::string_view::npos ? rest_.size() : end + 2);
        if (!dataStarted_)
            linesBeforeData_.push_back(line);
        return line;
    }

    void ReceiveData(uint8_t* into, int count) override {
        if (count < 1 || count > 8192) {
            std::fprintf(stderr, "ReceiveData asked for %d bytes (1 to 8192)\n", count);
            std::abort();
        }
        dataStarted_ = true;
        const size_t n = std::min(rest_.size(), static_cast<size_t>(count));
        std::memcpy(into, rest_.data(), n);
        rest_.remove_prefix(n);
    }

    const std::string& LastSent() const { return lastSent_; }
    // The lines received before the first data: the 27 replies of the announcement, the
    // length, the reply to its echo, the 13 values, the check line, the CRC.
    const std::vector<std::string>& LinesBeforeData() const { return linesBeforeData_; }

private:
    std::string_view rest_;
    std::string lastSent_;
    std::vector<std::string> linesBeforeData_;
    bool dataStarted_ = false;
};

TCliInfo Request() {
    TCliInfo info;
    info.UserName = "QX40";
    info.HVer = "2";
    info.SVer = "1.20";
    info.UseCount = 1234;
    info.RegInfo = "000004D200000007";
    info.PCInfo = "00-1A-2B-3C-4D-5E";
    info.OriginalID = "1A2B3C4D";
    info.CID1 = "01";
    info.CID2 = "A2";
    info.CID3 = "B3";
    info.CID4 = "FF";
    info.UPType = RequestKind::Firmware;
    info.SWVer = "1.4";
    info.Data = std::make_shared<TMemoryStream>();
    return info;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    TScriptedTransport transport({reinterpret_cast<const char*>(bytes), size});
    TSharedCliInfo record;
    TNullWindowLink window;
    const TCliInfo request = Request();
    record.Set(request);
    const int32_t result = TUpgradeDialogue(transport, record, window).Run(request);
    if (result == kResultSuccess) {
        const auto& data = request.Data->Bytes();
        const auto& lines = transport.LinesBeforeData();
        char crc[8];
        std::snprintf(crc, sizeof crc, "%04X",
                      Crc16(data.data(), static_cast<int32_t>(data.size())));
        if (transport.LastSent() != "AllOK" || lines.size() != 44 ||
            static_cast<long long>(data.size()) != std::strtoll(lines[27].c_str(), nullptr, 10) ||
            lines.back() != crc) {
            std::fprintf(stderr, "success with %zu bytes of CRC %s, last line sent '%s'\n",
                         data.size(), crc, transport.LastSent().c_str());
            std::abort();
        }
    }
    return 0;
}
