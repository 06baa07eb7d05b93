// The device command protocol: command frames on the wire, replies and their checks.
#include "DeviceLink.h"
#include "TimeLimits.h"

bool TDeviceLink::SendFrame(int32_t port, TFrame frame) {
    frame = WithSum(frame);
    // Byte by byte with a short gap after each, the pace the device's receiver expects.
    for (uint8_t byte : frame) {
        if (!Com.WriteComByte(port, byte))
            return false;
        Com.DelayUs(DeviceLimits::FrameByteGap);
    }
    return true;
}

bool TDeviceLink::RecvReply(int32_t port, int32_t len, std::span<uint8_t> reply) {
    if (len == 0)
        return true;
    if (len < 0 || reply.size() < static_cast<size_t>(len))
        return false;
    // Only the reply's own bytes are taken; anything behind them stays queued.
    if (!Com.ReadComWithin(port, reply.data(), len,
                           {DeviceLimits::ReplyPolls, DeviceLimits::ReplyPollPause})) {
        stepFault_ = TStepFault::NoReply;
        return false;
    }
    bool valid = len == 1    ? AckValue(reply[0], IOPack.Key) == AckCommand
                 : len == 12 ? CheckSum12(reply.data())
                             : CheckSumN(reply.data(), len);
    stepFault_ = valid ? TStepFault::None : TStepFault::BadReply;
    return valid;
}

bool TDeviceLink::SendCmd(int32_t port, const TFrame& frame, std::span<uint8_t> reply) {
    int32_t len = ReplyLenOf(frame[0]);
    stepFault_ = TStepFault::None;
    if (len < 0 || reply.size() < static_cast<size_t>(len))
        return false;
    if (!SendFrame(port, frame)) {
        stepFault_ = TStepFault::WriteFailed;
        return false;
    }
    return RecvReply(port, len, reply);
}
