// Programming a firmware image into the device: start command, acknowledged data frames, reset.
#include "DeviceLink.h"
#include "PortNames.h"
#include "TimeLimits.h"
#include <algorithm>
#include <limits>
#include <new>
#include <vector>

using std::chrono::duration_cast;
using std::chrono::microseconds;

namespace {

struct TKindInfo {
    uint8_t packLen;
    int32_t fill; // the image is filled with 0xFF up to a multiple of this
};

// PackLen of a 256-byte block, and of a one-byte block.
constexpr uint8_t WholeBlock = 255;
constexpr uint8_t SingleByte = 0;

} // namespace

bool TDeviceLink::SendDownloadStart(uint32_t startAddress, uint8_t modelFlag, uint8_t imageKind) {
    TReply reply{};
    return SendCmd(IOPack.ComID,
                   DownloadStartFrame(startAddress, modelFlag, IOPack.PackLen, imageKind), reply);
}

void TDeviceLink::SetDataSum(uint8_t n) {
    uint16_t sum = ByteSum(SendBuf.data(), n + 3);
    SendBuf[n + 3] = static_cast<uint8_t>(sum >> 8);
    SendBuf[n + 4] = static_cast<uint8_t>(sum & 0xFF);
}

bool TDeviceLink::SendDataFrame() {
    SetDataSum(IOPack.PackLen);
    return Com.WriteComBuf(IOPack.ComID, SendBuf.data(), IOPack.PackLen + 4);
}

bool TDeviceLink::WaitBlockAck() {
    const int32_t port = IOPack.ComID;
    const auto deadline = comsys::Now() + DeviceLimits::BlockAckLimit;
    for (bool last = false;;) {
        int32_t waiting = Com.ComInCount(port);
        if (waiting == 1) {
            bool ok =
                AckValue(static_cast<uint8_t>(Com.ReadComByte(port)), IOPack.Key) == AckDataFrame;
            stepFault_ = ok ? TStepFault::None : TStepFault::BadReply;
            return ok;
        }
        stepFault_ = waiting > 1 ? TStepFault::BadReply : TStepFault::NoReply;
        if (waiting > 1) // the device answers a frame with exactly one byte
            return false;
        if (last)
            return false;
        auto left = duration_cast<microseconds>(deadline - comsys::Now());
        // After the limit, or when the line cannot deliver any more, look once more and stop.
        if (left <= microseconds{0} || !Com.WaitComInput(port, left))
            last = true;
    }
}

bool TDeviceLink::SendFirmwareBlocks(TProgressBar* bar, const uint8_t* buffer, int32_t p) {
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
        bool sent = SendDataFrame();
        if (!sent || !WaitBlockAck()) {
            const char* how = !sent ? "the port failed while sending"
                              : stepFault_ == TStepFault::BadReply
                                  ? "the device refused"
                                  : "the device did not acknowledge";
            failureCause_ = PortDevicePath(IOPack.ComID) + ": " + how + " data frame " +
                            std::to_string(offset / block + 1) + " of " +
                            std::to_string((p + block - 1) / block) + " (bytes " +
                            std::to_string(offset) + " to " + std::to_string(offset + take - 1) +
                            ")";
            return false;
        }
    }
    return true;
}

bool TDeviceLink::DownloadFirmware(TProgressBar* bar, const std::string& deviceType,
                                   TMemoryStream& image, int32_t length, uint32_t startAddress,
                                   uint8_t imageKind) {
    failureCause_.clear();
    probed_ = false;
    if (length <= 0) { // nothing to program: refused before the device is touched
        failureCause_ = "the image is empty";
        return false;
    }
    IOPack.ProgressBar = bar;
    const uint8_t modelFlag = ModelFlagOf(deviceType);
    TOpenCom open(Com, IOPack.ComID, IOPack.Baud);
    if (!open.IsOpen()) {
        FailOpen(IOPack.ComID);
        return false;
    }
    open.ClearDtrOnFailure(); // every failure from here on leaves the line with DTR off
    StartSequence(open.Port());
    ReadCID(); // refreshes the identity bytes; not needed for the transfer
    if (!SendKey()) {
        FailCommand(open.Port(), Command::KeyExchange);
        return false;
    }

    TKindInfo kind{};
    switch (imageKind) {
    case ImageKind::ModelImage:
        kind = {WholeBlock, 256};
        break;
    case ImageKind::ByteImage:
        kind = {SingleByte, 1};
        break;
    case ImageKind::Firmware:
    case ImageKind::FirmwareAlt:
        kind = {WholeBlock, 512};
        break;
    default:
        failureCause_ = "image kind " + std::to_string(imageKind) + " is not known";
        return false;
    }
    IOPack.PackLen = kind.packLen;
    if (imageKind == ImageKind::ModelImage && modelFlag != ModelFlagQX40) {
        failureCause_ = "image kind 1 is only for the device type QX40, not \"" + deviceType + "\"";
        return false;
    }
    const int64_t filled = (int64_t{length} + kind.fill - 1) / kind.fill * kind.fill;
    if (filled > std::numeric_limits<int32_t>::max()) {
        failureCause_ = "the image is too large";
        return false;
    }
    const int32_t p = static_cast<int32_t>(filled);

    // The image from the stream's start, filled with 0xFF to a whole number of blocks. Built
    // before the start command so the first data frame follows its acknowledgement at once.
    std::vector<uint8_t> buffer;
    try {
        buffer.assign(static_cast<size_t>(p), 0xFF);
    } catch (const std::bad_alloc&) {
        failureCause_ = "not enough memory for an image of " + std::to_string(p) + " bytes";
        return false;
    }
    image.Seek(0);
    image.Read(buffer.data(), buffer.size());

    if (!SendDownloadStart(startAddress, modelFlag, imageKind)) {
        FailCommand(open.Port(), Command::StartProgramming);
        return false;
    }
    if (!SendFirmwareBlocks(bar, buffer.data(), p))
        return false;
    Com.SetComDTR(open.Port(), 0);
    if (!SendCmd0B()) {
        FailCommand(open.Port(), Command::Reset);
        return false; // DTR off once more, then closed
    }
    open.Close();
    return true;
}
