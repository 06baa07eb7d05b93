#include "Dialogue.h"

#include "CRC16.h"
#include "ResultCodes.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <exception>
#include <optional>
#include <string>

namespace {
constexpr int kChunkSize = 8192;

// Leaves the stream at least `size` bytes long however the transfer ends: a failure keeps the
// announced size, as if it had been set in full at the start.
class TSizeAtLeast {
public:
    TSizeAtLeast(TMemoryStream& stream, int64_t size) : stream_(stream), size_(size) {}
    ~TSizeAtLeast() {
        if (stream_.Size() < size_)
            stream_.SetSize(size_); // within the reserved capacity: cannot fail
    }
    TSizeAtLeast(const TSizeAtLeast&) = delete;
    TSizeAtLeast& operator=(const TSizeAtLeast&) = delete;

private:
    TMemoryStream& stream_;
    int64_t size_;
};

// A signed decimal number: an optional sign and digits, nothing else.
enum class TNumber { Ok, NotANumber, TooLarge };
TNumber ParseDecimal(const std::string& text, int64_t& value) {
    size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        negative = text[i++] == '-';
    if (i == text.size())
        return TNumber::NotANumber;
    int64_t v = 0;
    bool overflow = false;
    for (; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9')
            return TNumber::NotANumber;
        int digit = text[i] - '0';
        if (overflow || v > (INT64_MAX - digit) / 10)
            overflow = true;
        else
            v = v * 10 + digit;
    }
    // All digits but too many: a huge count, or a status beyond any meaning.
    if (overflow)
        return negative ? TNumber::NotANumber : TNumber::TooLarge;
    value = negative ? -v : v;
    return TNumber::Ok;
}

int32_t ToIntDef(const std::string& text, int32_t fallback) {
    int64_t v = 0;
    if (ParseDecimal(text, v) != TNumber::Ok || v < INT32_MIN || v > INT32_MAX)
        return fallback;
    return static_cast<int32_t>(v);
}

// The announcement: what the tool sends, the reply it expects, the result when it differs.
struct TStep {
    std::string line;
    const char* expected;
    int32_t result;
};
} // namespace

void TUpgradeDialogue::WrongReply(const std::string& reply, const std::string& expected,
                                  const std::string& step) {
    std::string fault = transport_.LastFault();
    if (reply.empty() && !fault.empty())
        cause_ = "the server " + fault + " " + step;
    else
        cause_ = "the server answered \"" + reply + "\" instead of " + expected + " " + step;
}

TUpgradeDialogue::TUpgradeDialogue(TLineTransport& transport, TSharedCliInfo& record,
                                   TWindowLink& window, TExchangeListener* listener)
    : transport_(transport), record_(record), window_(window), listener_(listener) {}

int32_t TUpgradeDialogue::Run(const TCliInfo& request) {
    cause_.clear();
    if (std::optional<int32_t> refused = Announce(request))
        return *refused;
    window_.ShowStatus("升级进行中请等待");
    if (listener_)
        listener_->ExchangePhase(TExchangePhase::Transferring);
    int64_t length = 0;
    if (std::optional<int32_t> refused = AgreeLength(length))
        return *refused;
    if (std::optional<int32_t> refused = TakeServerValues())
        return *refused;
    std::string crcText;
    if (std::optional<int32_t> refused = ExchangeCrc(crcText))
        return *refused;
    return StoreData(*request.Data, length, crcText);
}

std::optional<int32_t> TUpgradeDialogue::Announce(const TCliInfo& request) {
    const TStep steps[] = {
        {"OriginalID", "OK", 14}, {request.OriginalID, "OK", 15},
        {"SWVer", "OK", 42},      {request.SWVer, "OK", 43},
        {"UserName", "OK", 1},    {request.UserName, "OK", 2},
        {"UPType", "OK", 31},     {std::to_string(request.UPType), "OK", 32},
        {"HVer", "OK", 3},        {request.HVer, "OK", 4},
        {"SVer", "OK", 5},        {request.SVer, "OK", 6},
        {"UseCount", "OK", 7},    {std::to_string(request.UseCount), "OK", 8},
        {"RegInfo", "OK", 10},    {request.RegInfo, "OK", 11},
        {"PCInfo", "OK", 12},     {request.PCInfo, "OK", 13},
        {"CID1", "OK", 16},       {request.CID1, "OK", 17},
        {"CID2", "OK", 18},       {request.CID2, "OK", 19},
        {"CID3", "OK", 20},       {request.CID3, "OK", 21},
        {"CID4", "OK", 22},       {request.CID4, "OK", 23},
        {"IDOK", "PASSOK", 24},
    };
    for (size_t i = 0; i < std::size(steps); ++i) {
        std::string reply = transport_.Exchange(steps[i].line);
        if (i == 1 && reply == "Rep") {
            cause_ = "the server refused the device identity " + request.OriginalID + " (\"Rep\")";
            return kResultRepeated;
        }
        if (reply != steps[i].expected) {
            // Even steps send a key, odd ones its value.
            std::string sent = i % 2 == 0 || i + 1 == std::size(steps)
                                   ? "\"" + steps[i].line + "\""
                                   : "the value of " + steps[i - 1].line;
            WrongReply(reply, "\"" + std::string(steps[i].expected) + "\"",
                       "after " + sent + " (step " + std::to_string(i + 1) + " of " +
                           std::to_string(std::size(steps)) + " of the announcement)");
            return steps[i].result;
        }
    }
    return std::nullopt;
}

std::optional<int32_t> TUpgradeDialogue::AgreeLength(int64_t& length) {
    // The length, or a server status.
    const std::string lengthLine = transport_.ReceiveLine();
    switch (ParseDecimal(lengthLine, length)) {
    case TNumber::NotANumber:
        WrongReply(lengthLine, "the data length", "after the announcement");
        return kResultNotANumber;
    case TNumber::TooLarge:
        cause_ = "the server announced " + lengthLine + " bytes, more than the " +
                 std::to_string(kMaxDataLength >> 20) + " MiB the tool accepts";
        return kResultLengthRefused;
    case TNumber::Ok:
        break;
    }
    if (length <= 0) {
        cause_ = "the server answered status " + lengthLine + " instead of data" +
                 (length == 0 ? " (it has nothing for this device)" : "");
        return length < INT32_MIN ? kResultNotANumber : static_cast<int32_t>(length);
    }
    // Refused before anything is reserved for it.
    if (length > kMaxDataLength) {
        cause_ = "the server announced " + lengthLine + " bytes, more than the " +
                 std::to_string(kMaxDataLength >> 20) + " MiB the tool accepts";
        return kResultLengthRefused;
    }
    window_.ProgressBar().SetMax(static_cast<int>(length));
    if (std::string reply = transport_.Exchange(std::to_string(length)); reply != "OK") {
        WrongReply(reply, "\"OK\"", "after the tool repeated the data length");
        return kResultLengthRefused;
    }
    return std::nullopt;
}

std::optional<int32_t> TUpgradeDialogue::TakeServerValues() {
    // The server's copy of the request, in the record's order, tied together by a check line.
    std::string values[13];
    std::string check;
    std::string valuesFault; // the first trouble while the values came
    for (auto& value : values) {
        value = transport_.ReceiveLine();
        if (valuesFault.empty())
            valuesFault = transport_.LastFault();
        check += value;
        check += ' ';
    }
    if (std::string line = transport_.ReceiveLine(); line != check) {
        if (valuesFault.empty() && line.empty())
            valuesFault = transport_.LastFault();
        if (!valuesFault.empty())
            cause_ = "the server " + valuesFault + " while it sent its 13 values";
        else
            cause_ = "the server's check line does not match the 13 values it sent";
        return kResultCheckLine;
    }
    record_.Update([&values](TCliInfo& info) {
        info.UserName = values[0];
        info.HVer = values[1];
        info.SVer = values[2];
        info.UseCount = ToIntDef(values[3], 0);
        info.RegInfo = values[4];
        info.PCInfo = values[5];
        info.OriginalID = values[6];
        info.CID1 = values[7];
        info.CID2 = values[8];
        info.CID3 = values[9];
        info.CID4 = values[10];
        info.UPType = ToIntDef(values[11], 0);
        info.SWVer = values[12];
    });
    transport_.SendLine("OK");
    return std::nullopt;
}

std::optional<int32_t> TUpgradeDialogue::ExchangeCrc(std::string& crcText) {
    crcText = transport_.ReceiveLine();
    if (crcText.empty()) {
        WrongReply(crcText, "the CRC", "after its values");
        return kResultCrcMissing;
    }
    transport_.SendLine(crcText);
    return std::nullopt;
}

int32_t TUpgradeDialogue::StoreData(TMemoryStream& data, int64_t length,
                                    const std::string& crcText) {
    try {
        return ReceiveData(data, length, crcText);
    } catch (const std::exception& e) {
        cause_ = std::string("the data could not be stored: ") + e.what();
        return kResultTransferFailed;
    } catch (...) {
        cause_ = "the data could not be stored";
        return kResultTransferFailed;
    }
}

// The data, in chunks of at most 8192 bytes with an "OK" handshake between them. Each chunk is
// received straight into its place in the stream. The work on a chunk that does not have to come
// first (its share of the CRC, making room for the next one) is done once the handshake has
// released the server, while the next chunk is on its way.
int32_t TUpgradeDialogue::ReceiveData(TMemoryStream& data, int64_t length,
                                      const std::string& crcText) {
    // The stream grows chunk by chunk into room reserved for all of it, so no separate pass
    // fills it with zeros first; it has its full size whenever the session ends.
    if (data.Size() > length)
        data.SetSize(length);
    data.Reserve(length);
    data.Seek(0);
    TSizeAtLeast fullSize(data, length);
    uint16_t crc = kCrc16Start;
    int64_t remaining = length;
    int position = 0;
    const int64_t chunks = (length + kChunkSize - 1) / kChunkSize;
    std::string dataFault; // the first trouble while the data came
    for (int64_t k = 1; remaining > 0; ++k) {
        int n = static_cast<int>(std::min<int64_t>(kChunkSize, remaining));
        uint8_t* chunk = data.WriteInPlace(static_cast<size_t>(n));
        transport_.ReceiveData(chunk, n);
        if (std::string fault = transport_.LastFault(); !fault.empty() && dataFault.empty())
            dataFault = "the server " + fault + " during chunk " + std::to_string(k) + " of " +
                        std::to_string(chunks) + " of the data (at byte " +
                        std::to_string(position) + " of " + std::to_string(length) + ")";
        position += n;
        window_.ProgressBar().SetPosition(position);
        remaining -= n;
        if (remaining > 0) {
            transport_.SendLine("OK");
            if (std::string reply = transport_.ReceiveLine(); reply != "OK") {
                if (!dataFault.empty())
                    cause_ = dataFault;
                else
                    WrongReply(reply, "\"OK\"",
                               "after chunk " + std::to_string(k) + " of " +
                                   std::to_string(chunks) + " of the data");
                return kResultChunkRefused;
            }
            transport_.SendLine("OK");
        }
        crc = Crc16Update(crc, chunk, static_cast<size_t>(n));
    }
    char crcHex[8];
    std::snprintf(crcHex, sizeof crcHex, "%04X", crc);
    if (crcText != crcHex) {
        cause_ = !dataFault.empty() ? dataFault
                                    : "the data does not match the server's CRC (the server sent " +
                                          crcText + ", the data gives " + crcHex + ")";
        return kResultCrcMismatch;
    }
    transport_.SendLine("AllOK");
    return kResultSuccess;
}
