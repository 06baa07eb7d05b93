// Programming a firmware image into the device: start command, acknowledged data frames, 0x0B.
#include "COMFunAPI.h"
#include "UPCommFun.h"
#include <algorithm>
#include <limits>
#include <new>
#include <vector>

using namespace std::chrono;

namespace {

// At least as long as 2,000,001 polls with a microsecond's wait between them.
constexpr microseconds BlockAckLimit{2'000'001};

struct TKindInfo {
    uint8_t packLen;
    int32_t fill; // the image is filled with 0xFF up to a multiple of this
};

} // namespace

uint8_t ModelFlagOf(const std::string& deviceType) {
    return deviceType == "QX40" ? 53 : 0;
}

TFrame DownloadStartFrame(uint32_t startAddress, uint8_t modelFlag, uint8_t packLen,
                          uint8_t imageKind) {
    TFrame frame{};
    frame[0] = 0x02;
    for (size_t i = 0; i < 4; ++i) // the address goes low byte first
        frame[1 + i] = static_cast<uint8_t>(startAddress >> (8 * i));
    frame[6] = modelFlag;
    frame[8] = packLen;
    frame[9] = imageKind;
    return frame;
}

bool SendDownloadStart(uint32_t startAddress, uint8_t modelFlag, uint8_t imageKind) {
    std::array<uint8_t, 12> reply{};
    return SendCmd(IOPack.ComID,
                   DownloadStartFrame(startAddress, modelFlag, IOPack.PackLen, imageKind), reply);
}

void SetDataSum(uint8_t n) {
    uint16_t sum = ByteSum(SendBuf.data(), n + 3);
    SendBuf[n + 3] = static_cast<uint8_t>(sum >> 8);
    SendBuf[n + 4] = static_cast<uint8_t>(sum & 0xFF);
}

bool SendDataFrame() {
    SetDataSum(IOPack.PackLen);
    return WriteComBuf(IOPack.ComID, SendBuf.data(), IOPack.PackLen + 4);
}

bool WaitBlockAck() {
    const int32_t port = IOPack.ComID;
    const auto deadline = steady_clock::now() + BlockAckLimit;
    for (bool last = false;;) {
        int32_t waiting = ComInCount(port);
        if (waiting == 1)
            return AckValue(static_cast<uint8_t>(ReadComByte(port)), IOPack.Key) == AckDataFrame;
        if (waiting > 1) // the device answers a frame with exactly one byte
            return false;
        if (last)
            return false;
        auto left = duration_cast<microseconds>(deadline - steady_clock::now());
        // After the limit, or when the line cannot deliver any more, look once more and stop.
        if (left <= microseconds{0} || !WaitComInput(port, left, false))
            last = true;
    }
}

bool SendFirmwareBlocks(uint32_t /*startAddress*/, const uint8_t* buffer, int32_t p) {
    const int32_t block = IOPack.PackLen + 1;
    TProgressBar* bar = IOPack.ProgressBar;
    if (bar) {
        bar->SetMax(p);
        bar->SetPosition(0);
    }
    for (int32_t offset = 0; offset < p; offset += block) {
        int32_t take = std::min(block, p - offset);
        if (bar)
            bar->SetPosition(offset + take); // the count sent once this block is acknowledged
        SendBuf[0] = 0x09;
        SendBuf[1] = IOPack.PackLen;
        std::copy(buffer + offset, buffer + offset + take, SendBuf.begin() + 2);
        std::fill(SendBuf.begin() + 2 + take, SendBuf.begin() + 2 + block, 0xFF);
        if (!SendDataFrame() || !WaitBlockAck())
            return false;
    }
    return true;
}

bool DownloadFirmware(TProgressBar* bar, const std::string& deviceType, TMemoryStream& image,
                      int32_t length, uint32_t startAddress, uint8_t imageKind) {
    if (length <= 0) // nothing to program: refused before the device is touched
        return false;
    IOPack.ProgressBar = bar;
    const uint8_t modelFlag = ModelFlagOf(deviceType);
    const int32_t port = IOPack.ComID;
    if (!OpenCom(port, IOPack.Baud)) {
        CloseCom(port);
        return false;
    }
    auto fail = [port] {
        SetComDTR(port, 0);
        CloseCom(port);
        return false;
    };
    SetComDTR(port, 0);
    DelayMs(100, false);
    if (!ClearCom(port, 0))
        DelayMs(100, false);
    ReadCID(); // refreshes the identity bytes; not needed for the transfer
    if (!SendKey())
        return fail();

    TKindInfo kind{};
    switch (imageKind) {
    case 1:
        kind = {255, 256};
        break;
    case 2:
        kind = {0, 1};
        break;
    case 3:
    case 4:
        kind = {255, 512};
        break;
    default:
        return fail();
    }
    IOPack.PackLen = kind.packLen;
    if (imageKind == 1 && modelFlag != 53)
        return fail();
    const int64_t filled = (int64_t{length} + kind.fill - 1) / kind.fill * kind.fill;
    if (filled > std::numeric_limits<int32_t>::max())
        return fail();
    const int32_t p = static_cast<int32_t>(filled);

    // The image from the stream's start, filled with 0xFF. Built before the start command so
    // the first data frame follows its acknowledgement at once.
    std::vector<uint8_t> buffer;
    try {
        buffer.assign(static_cast<size_t>(p), 0xFF);
    } catch (const std::bad_alloc&) {
        return fail();
    }
    image.Seek(0);
    image.Read(buffer.data(), buffer.size());

    if (!SendDownloadStart(startAddress, modelFlag, imageKind))
        return fail();
    if (!SendFirmwareBlocks(startAddress, buffer.data(), p))
        return fail();
    SetComDTR(port, 0);
    if (!SendCmd0B())
        return fail();
    CloseCom(port);
    return true;
}
