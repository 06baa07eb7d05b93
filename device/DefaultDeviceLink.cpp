// The process-wide default device link, and the globals that stand for its parts.
#include "DeviceLink.h"

TDeviceLink& DefaultDeviceLink() {
    // Made on first use, so that it exists before the references below are bound.
    static TDeviceLink link(MainWindowFollower());
    return link;
}

TComPorts& DefaultComPorts() {
    return DefaultDeviceLink().Com;
}

TIOPack& IOPack = DefaultDeviceLink().IOPack;
TSendBuf& SendBuf = DefaultDeviceLink().SendBuf;
uint8_t& ComOpenCount = DefaultDeviceLink().Com.ComOpenCount;
