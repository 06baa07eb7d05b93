// The values of the device command protocol: reply lengths, sums, acknowledgements, frames.
#include "Frames.h"

int32_t ReplyLenOf(uint8_t code) {
    switch (code) {
    case Command::KeyExchange:
    case Command::StartProgramming:
    case 0x03:
    case 0x20:
    case 0x21:
    case 0x22:
        return 1;
    case 0x04:
    case Command::ReadCounters:
    case Command::ReadCID:
    case Command::ReadTypeText:
    case Command::ReadDevID:
    case Command::ReadUseCount:
        return 12;
    case 0x0A:
    case Command::Reset:
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

void SetDataSum(TSendBuf& frame, uint8_t n) {
    uint16_t sum = ByteSum(frame.data(), n + 3);
    frame[n + 3] = static_cast<uint8_t>(sum >> 8);
    frame[n + 4] = static_cast<uint8_t>(sum & 0xFF);
}

uint8_t ModelFlagOf(const std::string& deviceType) {
    return deviceType == "QX40" ? ModelFlagQX40 : 0;
}

TFrame DownloadStartFrame(uint32_t startAddress, uint8_t modelFlag, uint8_t packLen,
                          uint8_t imageKind) {
    TFrame frame{};
    frame[0] = Command::StartProgramming;
    for (size_t i = 0; i < 4; ++i) // the address goes low byte first
        frame[1 + i] = static_cast<uint8_t>(startAddress >> (8 * i));
    frame[6] = modelFlag;
    frame[8] = packLen;
    frame[9] = imageKind;
    return frame;
}
