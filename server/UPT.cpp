#include "UPT.h"

#include "CRC16.h"
#include "HostToIP.h"
#include "TCP.h"
#include "WindowLink.h"

#include <algorithm>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <random>
#include <system_error>

namespace {
// The shared request record between the window and the worker. ResultCode is mirrored in an
// atomic so the worker can check for a cancel without taking the lock.
std::mutex infoMutex;
std::condition_variable infoDone;
TCliInfo shared;
std::atomic<uint8_t> sharedCode{0};

std::atomic<int32_t> sessionResult{0};
std::atomic<bool> stopRequested{false};

// The session's connection record; the worker's only.
TPack sessionPack;

// Stores the final code unless a cancel got there first; wakes every waiter.
void Publish(uint8_t code) {
    {
        std::lock_guard lock(infoMutex);
        if (shared.ResultCode == 0) {
            shared.ResultCode = code;
            sharedCode.store(code);
        }
    }
    infoDone.notify_all();
}

// A cancel (non-zero ResultCode put back by the window) or a termination request: the
// connection is closed, so every following step fails as on a lost connection.
void CheckStop() {
    if (stopRequested.load() || sharedCode.load() != 0)
        TcpDisconnect();
}

// A line goes through the unit's record without the session's 8 KiB buffer riding along: the
// lean forms move only the line.
void SendOnly(const std::string& line) {
    CheckStop();
    sessionPack.Line = line;
    TcpSendText(line);
}

std::string ReceiveLine() {
    CheckStop();
    TcpRecvText(sessionPack.Line);
    return sessionPack.Line;
}

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

// The whole dialogue; returns the session result.
int32_t Dialogue() {
    TWindowLink& win = MainWindow();
    win.ShowStatus("升级开始：");
    win.ProgressBar().SetPosition(0);

    TCliInfo request;
    TStreamRef data;
    {
        std::lock_guard lock(infoMutex);
        if (!shared.Data)
            shared.Data = std::make_shared<TMemoryStream>();
        request = shared;
        data = shared.Data;
    }

    std::string host = HostToIP(UpgradeServerHost());
    if (host.empty())
        return kResultConnectFailed;
    sessionPack.Host = host;
    sessionPack.Port = kUpgradeServerPort;
    TcpLoadPack(sessionPack);
    CheckStop();
    if (!TcpConnect())
        return kResultConnectFailed;

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
        std::string reply = Exchange(steps[i].line);
        if (i == 1 && reply == "Rep")
            return kResultRepeated;
        if (reply != steps[i].expected)
            return steps[i].result;
    }

    // Transfer announcement: the length, or a server status.
    win.ShowStatus("升级进行中请等待");
    win.ShowBusy(true);
    int64_t length = 0;
    switch (ParseDecimal(ReceiveLine(), length)) {
    case TNumber::NotANumber:
        return kResultNotANumber;
    case TNumber::TooLarge:
        return kResultLengthRefused;
    case TNumber::Ok:
        break;
    }
    if (length <= 0)
        return length < INT32_MIN ? kResultNotANumber : static_cast<int32_t>(length);
    // Refused before anything is reserved for it.
    if (length > kMaxDataLength)
        return kResultLengthRefused;
    win.ProgressBar().SetMax(static_cast<int>(length));
    if (Exchange(std::to_string(length)) != "OK")
        return kResultLengthRefused;

    // The server's copy of the request, in the record's order, tied together by a check line.
    std::string values[13];
    std::string check;
    for (auto& value : values) {
        value = ReceiveLine();
        check += value;
        check += ' ';
    }
    if (ReceiveLine() != check)
        return kResultCheckLine;
    {
        std::lock_guard lock(infoMutex);
        shared.UserName = values[0];
        shared.HVer = values[1];
        shared.SVer = values[2];
        shared.UseCount = ToIntDef(values[3], 0);
        shared.RegInfo = values[4];
        shared.PCInfo = values[5];
        shared.OriginalID = values[6];
        shared.CID1 = values[7];
        shared.CID2 = values[8];
        shared.CID3 = values[9];
        shared.CID4 = values[10];
        shared.UPType = ToIntDef(values[11], 0);
        shared.SWVer = values[12];
    }
    SendOnly("OK");
    std::string crcText = ReceiveLine();
    if (crcText.empty())
        return kResultCrcMissing;
    SendOnly(crcText);

    // The data, in chunks of at most 8192 bytes with an "OK" handshake between them. Each chunk
    // is received straight into its place in the stream. The work on a chunk that does not
    // have to come first (its share of the CRC, making room for the next one) is done once the
    // handshake has released the server, while the next chunk is on its way.
    try {
        // The stream grows chunk by chunk into room reserved for all of it, so no separate
        // pass fills it with zeros first; it has its full size whenever the session ends.
        if (data->Size() > length)
            data->SetSize(length);
        data->Reserve(length);
        data->Seek(0);
        TSizeAtLeast fullSize(*data, length);
        uint16_t crc = kCrc16Start;
        int64_t remaining = length;
        int position = 0;
        while (remaining > 0) {
            int n = static_cast<int>(std::min<int64_t>(kTcpBufferSize, remaining));
            uint8_t* chunk = data->WriteInPlace(static_cast<size_t>(n));
            CheckStop();
            TcpRecvDataInto(chunk, n);
            position += n;
            win.ProgressBar().SetPosition(position);
            remaining -= n;
            if (remaining > 0) {
                SendOnly("OK");
                if (ReceiveLine() != "OK")
                    return kResultChunkRefused;
                SendOnly("OK");
            }
            crc = Crc16Update(crc, chunk, static_cast<size_t>(n));
        }
        char crcHex[8];
        std::snprintf(crcHex, sizeof crcHex, "%04X", crc);
        if (crcText != crcHex)
            return kResultCrcMismatch;
        SendOnly("AllOK");
        return kResultSuccess;
    } catch (...) {
        return kResultTransferFailed;
    }
}
} // namespace

void SetCliInfo(const TCliInfo& info) {
    {
        std::lock_guard lock(infoMutex);
        shared = info;
        sharedCode.store(info.ResultCode);
    }
    if (info.ResultCode != 0)
        infoDone.notify_all();
}

void GetCliInfo(TCliInfo& info) {
    std::lock_guard lock(infoMutex);
    info = shared;
}

bool WaitCliInfo(TCliInfo& info, std::chrono::milliseconds limit) {
    std::unique_lock lock(infoMutex);
    infoDone.wait_for(lock, limit, [] { return shared.ResultCode != 0; });
    info = shared;
    return info.ResultCode != 0;
}

std::string Exchange(const std::string& line) {
    SendOnly(line);
    return ReceiveLine();
}

void RunSession() {
    try {
        sessionResult.store(Dialogue());
    } catch (...) {
        // Whatever failed, the session has an outcome the window can act on.
        sessionResult.store(kResultTransferFailed);
    }
}

int32_t SessionResult() {
    return sessionResult.load();
}

void ShowIdle() {
    MainWindow().ShowBusy(false);
}

void CloseClient() {
    TcpDisconnect();
    TcpFreeClient();
}

int32_t MapResult(int32_t code) {
    if (code > 0)
        return code;
    int32_t mapped = code + 255;
    if (code == 0 || code == -1 || code == -7)
        return mapped;
    // Any other status: never 0 (the window would wait for ever) and never a code with a
    // meaning of its own.
    uint8_t low = static_cast<uint8_t>(mapped & 0xFF);
    if (low == 0 || low == kResultSuccess || low == kResultLatest || low == kResultNoRepeat ||
        low == kResultNoUpgrade)
        return 245;
    return mapped;
}

std::string ResultText(int32_t code, uint16_t r) {
    int32_t mapped = MapResult(code);
    char tail[24];
    if (mapped >= 0)
        std::snprintf(tail, sizeof tail, "%04X%02X", r, static_cast<unsigned>(mapped));
    else
        std::snprintf(tail, sizeof tail, "%04X%08X", r, static_cast<uint32_t>(mapped));
    bool ownStatus = code > 0 || code == 0 || code == -1 || code == -7;
    if (ownStatus) {
        switch (mapped) {
        case kResultConnectFailed:
            return std::string("连接服务器失败，错误代号：") + tail;
        case kResultSuccess:
            return "请求的数据获取成功！";
        case kResultLatest:
            return "已经是最新软件，无需升级！";
        case kResultNoRepeat:
            return std::string("无需重复更新！错误代号：") + tail;
        case kResultNoUpgrade:
            return std::string("固件无需升级，错误代号：") + tail;
        default:
            break;
        }
    }
    return std::string("升级发生错误，错误代号：") + tail;
}

void ShowResult(int32_t code) {
    // Four digits drawn anew for every message.
    thread_local std::mt19937 generator{std::random_device{}()};
    std::uniform_int_distribution<int> draw(0, 65534);
    uint16_t r = static_cast<uint16_t>(draw(generator));
    sessionResult.store(MapResult(code));
    MainWindow().ShowStatus(ResultText(code, r));
    MainWindow().Repaint();
}

TUPThread::~TUPThread() {
    WaitFor();
}

void TUPThread::Start() {
    if (thread_.joinable() || finished_.load())
        return;
    {
        std::lock_guard lock(infoMutex);
        shared.ResultCode = 0;
        sharedCode.store(0);
    }
    stopRequested.store(false);
    try {
        thread_ = std::thread([this] { Execute(); });
    } catch (const std::system_error&) {
        // No thread: the waiting window still gets its result.
        try {
            ShowResult(kResultTransferFailed);
        } catch (...) {
        }
        Publish(kResultTransferFailed);
        finished_.store(true);
    }
}

void TUPThread::Terminate() {
    terminated_.store(true);
    stopRequested.store(true);
}

void TUPThread::WaitFor() {
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id())
        thread_.join();
}

void TUPThread::Execute() {
    sessionResult.store(0);
    try {
        TcpCreateClient();
        RunSession();
    } catch (...) {
        sessionResult.store(kResultTransferFailed);
    }
    try {
        ShowIdle();
    } catch (...) {
    }
    CloseClient();
    try {
        TWindowLink& win = MainWindow();
        win.SetStartEnabled(true);
        win.SetStopEnabled(false);
    } catch (...) {
    }
    // A cancel's code stays, and its message is the one shown.
    int32_t code = sessionResult.load();
    if (uint8_t cancelled = sharedCode.load(); cancelled != 0)
        code = cancelled;
    try {
        ShowResult(code);
    } catch (...) {
        sessionResult.store(MapResult(code));
    }
    uint8_t result = static_cast<uint8_t>(sessionResult.load() & 0xFF);
    Publish(result != 0 ? result : static_cast<uint8_t>(kResultTransferFailed));
    finished_.store(true);
}
