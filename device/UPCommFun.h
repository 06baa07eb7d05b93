#pragma once
// The device command protocol, discovery and identification, and the firmware programming
// transfer, as the process-wide front over the default device link (DeviceLink.h), which owns
// the ports, the transmit buffer and the session record they work on. The operations are
// described at TDeviceLink. They run on the window's thread; their waits process window messages.
#include "DeviceLink.h"

extern TSendBuf& SendBuf;

inline bool SendFrame(int32_t port, TFrame frame) {
    return DefaultDeviceLink().SendFrame(port, frame);
}
inline bool RecvReply(int32_t port, int32_t len, std::span<uint8_t> reply) {
    return DefaultDeviceLink().RecvReply(port, len, reply);
}
inline bool SendCmd(int32_t port, const TFrame& frame, std::span<uint8_t> reply) {
    return DefaultDeviceLink().SendCmd(port, frame, reply);
}

// The operations that take nothing and say whether they worked (plain forwarders).
inline bool ScanCom() {
    return DefaultDeviceLink().ScanCom();
}
inline bool ConnectDevice() {
    return DefaultDeviceLink().ConnectDevice();
}
inline bool ReadCounters() {
    return DefaultDeviceLink().ReadCounters();
}
inline bool ReadCID() {
    return DefaultDeviceLink().ReadCID();
}
inline bool ReadDevID() {
    return DefaultDeviceLink().ReadDevID();
}
inline bool ReadTypeText() {
    return DefaultDeviceLink().ReadTypeText();
}
inline bool ReadUseCount() {
    return DefaultDeviceLink().ReadUseCount();
}
inline bool SendKey() {
    return DefaultDeviceLink().SendKey();
}
inline bool SendCmd0B() {
    return DefaultDeviceLink().SendCmd0B();
}
inline bool SendDataFrame() {
    return DefaultDeviceLink().SendDataFrame();
}
inline bool WaitBlockAck() {
    return DefaultDeviceLink().WaitBlockAck();
}

inline bool DownloadFirmware(TProgressBar* bar, const std::string& deviceType, TMemoryStream& image,
                             int32_t length, uint32_t startAddress, uint8_t imageKind) {
    return DefaultDeviceLink().DownloadFirmware(bar, deviceType, image, length, startAddress,
                                                imageKind);
}
inline bool SendDownloadStart(uint32_t startAddress, uint8_t modelFlag, uint8_t imageKind) {
    return DefaultDeviceLink().SendDownloadStart(startAddress, modelFlag, imageKind);
}
inline bool SendFirmwareBlocks(TProgressBar* bar, const uint8_t* buffer, int32_t p) {
    return DefaultDeviceLink().SendFirmwareBlocks(bar, buffer, p);
}
inline void SetDataSum(uint8_t n) {
    DefaultDeviceLink().SetDataSum(n);
}
