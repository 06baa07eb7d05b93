// The process-wide default device link, and the globals that stand for its parts.
#include "DeviceLink.h"

namespace {
// Constant-initialised, so the references below are bound before any other code runs.
constinit TDeviceLink defaultLink;
} // namespace

TDeviceLink& DefaultDeviceLink() {
    return defaultLink;
}

TComPorts& DefaultComPorts() {
    return defaultLink.Com;
}

TIOPack& IOPack = defaultLink.IOPack;
TSendBuf& SendBuf = defaultLink.SendBuf;
uint8_t& ComOpenCount = defaultLink.Com.ComOpenCount;
