// The device command protocol: 12-byte command frames with a byte sum, replies and their checks.
#include "UPCommFun.h"
#include "COMFunAPI.h"

std::array<uint8_t, SendBufSize> SendBuf{};

int32_t ReplyLenOf(uint8_t code) {
    switch (code) {
    case 0x01:
    case 0x02:
    case 0x03:
    case 0x20:
    case 0x21:
    case 0x22:
        return 1;
    case 0x04:
    case 0xC2:
    case 0xC4:
    case 0xC8:
    case 0xC9:
    case 0xCA:
        return 12;
    case 0x0A:
    case 0x0B:
        return 0;
    case 0xD3:
        return 260;
    case 0xD4:
        return 259;
    default:
        return -1;
    }
}

uint16_t ByteSum(const uint8_t* data, int32_t n) {
    uint32_t total = 0;
    for (int32_t i = 0; i < n; ++i)
        total += data[i];
    return static_cast<uint16_t>(total);
}

bool CheckSumN(const uint8_t* reply, int32_t n) {
    if (n < 2)
        return false;
    uint16_t sum = ByteSum(reply, n - 2);
    return reply[n - 2] == (sum >> 8) && reply[n - 1] == (sum & 0xFF);
}

bool CheckSum12(const uint8_t* reply) {
    return CheckSumN(reply, 12);
}

uint8_t AckValue(uint8_t b, uint8_t key) {
    return static_cast<uint8_t>((255 - b) - (key & 0x0F));
}

TFrame WithSum(TFrame frame) {
    uint16_t sum = ByteSum(frame.data(), 10);
    frame[10] = static_cast<uint8_t>(sum >> 8);
    frame[11] = static_cast<uint8_t>(sum & 0xFF);
    return frame;
}

bool SendFrame(int32_t port, TFrame frame) {
    frame = WithSum(frame);
    // Byte by byte with a short gap after each, the pace the device's receiver expects.
    for (uint8_t byte : frame) {
        if (!WriteComByte(port, byte))
            return false;
        DelayUs(10, false);
    }
    return true;
}

bool RecvReply(int32_t port, int32_t len, std::span<uint8_t> reply) {
    if (len == 0)
        return true;
    if (len < 0 || reply.size() < static_cast<size_t>(len))
        return false;
    for (int poll = 0; poll < 500; ++poll) {
        if (ComInCount(port) >= len) {
            // Only the reply's own bytes are taken; anything behind them stays queued.
            if (!ReadComBuf(port, reply.data(), len))
                return false;
            if (len == 1)
                return AckValue(reply[0], IOPack.Key) == AckCommand;
            return len == 12 ? CheckSum12(reply.data()) : CheckSumN(reply.data(), len);
        }
        DelayMs(1, false);
    }
    return false;
}

bool SendCmd(int32_t port, const TFrame& frame, std::span<uint8_t> reply) {
    int32_t len = ReplyLenOf(frame[0]);
    if (len < 0 || reply.size() < static_cast<size_t>(len))
        return false;
    if (!SendFrame(port, frame))
        return false;
    return RecvReply(port, len, reply);
}
