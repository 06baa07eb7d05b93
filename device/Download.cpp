// Programming a firmware image into the device: start command, acknowledged data frames, reset.
#include "DeviceLink.h"
#include "TimeLimits.h"
#include <algorithm>
#include <limits>
#include <new>
#include <optional>
#include <utility>
#include <vector>

namespace {

struct TKindInfo {
    uint8_t packLen;
    int32_t fill; // the image is filled with 0xFF up to a multiple of this
};

// PackLen of a 256-byte block, and of a one-byte block.
constexpr uint8_t WholeBlock = 255;
constexpr uint8_t SingleByte = 0;

// How an image kind is cut into blocks and filled; nothing for an unknown kind.
std::optional<TKindInfo> KindInfo(uint8_t imageKind) {
    switch (imageKind) {
    case ImageKind::ModelImage:
        return TKindInfo{WholeBlock, 256};
    case ImageKind::ByteImage:
        return TKindInfo{SingleByte, 1};
    case ImageKind::Firmware:
    case ImageKind::FirmwareAlt:
        return TKindInfo{WholeBlock, 512};
    default:
        return std::nullopt;
    }
}

} // namespace

TDeviceFailureKind TDeviceLink::SendDownloadStart(TComPort& port, uint32_t startAddress,
                                                  uint8_t modelFlag, uint8_t imageKind) {
    TReply reply{};
    return SendCmd(port, DownloadStartFrame(startAddress, modelFlag, IOPack.PackLen, imageKind),
                   reply);
}

bool TDeviceLink::SendDataFrame(TComPort& port) {
    SetDataSum(SendBuf, IOPack.PackLen);
    return port.WriteComBuf(SendBuf.data(), IOPack.PackLen + 4);
}

TDeviceFailureKind TDeviceLink::WaitBlockAck(TComPort& port) {
    const auto deadline = comsys::Now() + DeviceLimits::BlockAckLimit;
    for (bool last = false;;) {
        int32_t waiting = port.ComInCount();
        if (waiting == 1) {
            bool ok =
                AckValue(static_cast<uint8_t>(port.ReadComByte()), IOPack.Key) == AckDataFrame;
            return ok ? TDeviceFailureKind::None : TDeviceFailureKind::BadReply;
        }
        if (waiting > 1) // the device answers a frame with exactly one byte
            return TDeviceFailureKind::BadReply;
        if (last)
            return TDeviceFailureKind::NoReply;
        // After the deadline, or when the line cannot deliver any more, look once more and stop.
        if (comsys::Now() >= deadline || !port.WaitComInput(deadline))
            last = true;
    }
}

TDeviceFailure TDeviceLink::SendFirmwareBlocks(TComPort& port, TProgressBar* bar,
                                               const uint8_t* buffer, int32_t p) {
    const int32_t block = IOPack.PackLen + 1;
    if (bar) {
        bar->SetMax(p);
        bar->SetPosition(0);
    }
    for (int32_t offset = 0; offset < p; offset += block) {
        int32_t take = std::min(block, p - offset);
        if (bar)
            bar->SetPosition(offset + take); // the count sent once this block is acknowledged
        SendBuf[0] = Command::DataFrame;
        SendBuf[1] = IOPack.PackLen;
        std::copy(buffer + offset, buffer + offset + take, SendBuf.begin() + 2);
        const TDeviceFailureKind how =
            SendDataFrame(port) ? WaitBlockAck(port) : TDeviceFailureKind::WriteFailed;
        if (how != TDeviceFailureKind::None)
            return {.kind = how,
                    .port = IOPack.ComID,
                    .code = Command::DataFrame,
                    .frame = {.number = offset / block + 1,
                              .count = (p + block - 1) / block,
                              .firstByte = offset,
                              .lastByte = offset + take - 1}};
    }
    return {};
}

bool TDeviceLink::DownloadFirmware(TProgressBar* bar, const std::string& deviceType,
                                   TMemoryStream& image, int32_t length, uint32_t startAddress,
                                   uint8_t imageKind) {
    Record({});
    TDeviceFailure failure = Program(bar, deviceType, image, length, startAddress, imageKind);
    const bool ok = !failure.Failed();
    Record(std::move(failure));
    return ok;
}

TDeviceFailure TDeviceLink::Program(TProgressBar* bar, const std::string& deviceType,
                                    TMemoryStream& image, int32_t length, uint32_t startAddress,
                                    uint8_t imageKind) {
    if (length <= 0) // nothing to program: refused before the device is touched
        return {.kind = TDeviceFailureKind::EmptyImage};
    IOPack.ProgressBar = bar;
    const uint8_t modelFlag = ModelFlagOf(deviceType);
    // The path discovery found: a port list that changed since then does not send the image to
    // another device, and a device that is gone fails as such.
    TComPort com(window_);
    if (!com.OpenCom(IOPack.ComID.path, IOPack.Baud))
        return OpenFailure(IOPack.ComID, com.LastOpenError());
    com.ClearDtrOnFailure(); // every failure from here on leaves the line with DTR off
    StartSequence(com);
    Read(com, Command::ReadCID); // refreshes the identity bytes; not needed for the transfer
    if (auto how = SendKey(com); how != TDeviceFailureKind::None)
        return CommandFailure(IOPack.ComID, Command::KeyExchange, how, false);
    // Readied before the start command so the first data frame follows its acknowledgement at
    // once.
    std::vector<uint8_t> buffer;
    if (TDeviceFailure refused =
            ReadyImage(deviceType, modelFlag, image, length, imageKind, buffer);
        refused.Failed())
        return refused;
    return Transfer(com, bar, buffer, startAddress, modelFlag, imageKind);
}

TDeviceFailure TDeviceLink::ReadyImage(const std::string& deviceType, uint8_t modelFlag,
                                       TMemoryStream& image, int32_t length, uint8_t imageKind,
                                       std::vector<uint8_t>& buffer) {
    const std::optional<TKindInfo> kind = KindInfo(imageKind);
    if (!kind)
        return {.kind = TDeviceFailureKind::UnknownImageKind, .imageKind = imageKind};
    IOPack.PackLen = kind->packLen;
    if (imageKind == ImageKind::ModelImage && modelFlag != ModelFlagQX40)
        return {.kind = TDeviceFailureKind::ImageForOtherType, .deviceType = deviceType};
    const int64_t filled = (int64_t{length} + kind->fill - 1) / kind->fill * kind->fill;
    if (filled > std::numeric_limits<int32_t>::max())
        return {.kind = TDeviceFailureKind::ImageTooLarge};
    // The image from the stream's start, filled with 0xFF to a whole number of blocks.
    try {
        buffer.assign(static_cast<size_t>(filled), 0xFF);
    } catch (const std::bad_alloc&) {
        return {.kind = TDeviceFailureKind::OutOfMemory, .bytes = filled};
    }
    image.Seek(0);
    image.Read(buffer.data(), buffer.size());
    return {};
}

TDeviceFailure TDeviceLink::Transfer(TComPort& port, TProgressBar* bar,
                                     const std::vector<uint8_t>& buffer, uint32_t startAddress,
                                     uint8_t modelFlag, uint8_t imageKind) {
    if (auto how = SendDownloadStart(port, startAddress, modelFlag, imageKind);
        how != TDeviceFailureKind::None)
        return CommandFailure(IOPack.ComID, Command::StartProgramming, how, false);
    if (TDeviceFailure failure =
            SendFirmwareBlocks(port, bar, buffer.data(), static_cast<int32_t>(buffer.size()));
        failure.Failed())
        return failure;
    port.SetComDTR(0);
    TReply reply{};
    if (auto how = Query(port, Command::Reset, reply); how != TDeviceFailureKind::None)
        return CommandFailure(IOPack.ComID, Command::Reset, how, false); // DTR off once more
    port.CloseCom();
    return {};
}
