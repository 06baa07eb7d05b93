// The device command protocol: command frames on the wire, replies and their checks.
#include "DeviceLink.h"
#include "TimeLimits.h"

bool TDeviceLink::SendFrame(TComPort& port, TFrame frame) {
    frame = WithSum(frame);
    // Byte by byte with a short gap after each, the pace the device's receiver expects.
    for (uint8_t byte : frame) {
        if (!port.WriteComByte(byte))
            return false;
        port.DelayUs(DeviceLimits::FrameByteGap);
    }
    return true;
}

TDeviceFailureKind TDeviceLink::RecvReply(TComPort& port, int32_t len, std::span<uint8_t> reply) {
    if (len == 0)
        return TDeviceFailureKind::None;
    if (len < 0 || reply.size() < static_cast<size_t>(len))
        return TDeviceFailureKind::RefusedLength;
    // Only the reply's own bytes are taken; anything behind them stays queued.
    if (!port.ReadComWithin(reply.data(), len, DeviceLimits::ReplyWait))
        return TDeviceFailureKind::NoReply;
    bool valid = len == 1    ? AckValue(reply[0], IOPack.Key) == AckCommand
                 : len == 12 ? CheckSum12(reply.data())
                             : CheckSumN(reply.data(), len);
    return valid ? TDeviceFailureKind::None : TDeviceFailureKind::BadReply;
}

TDeviceFailureKind TDeviceLink::SendCmd(TComPort& port, const TFrame& frame,
                                        std::span<uint8_t> reply) {
    int32_t len = ReplyLenOf(frame[0]);
    if (len < 0 || reply.size() < static_cast<size_t>(len))
        return TDeviceFailureKind::RefusedLength;
    if (!SendFrame(port, frame))
        return TDeviceFailureKind::WriteFailed;
    return RecvReply(port, len, reply);
}
