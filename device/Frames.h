#pragma once
// The values of the device command protocol. Command frames are 12 bytes: code, nine parameter
// bytes, and the 16-bit byte sum of bytes 0..9 high byte first. Replies are one acknowledgement
// byte (decoded with the key) or 12/259/260 bytes ending in the same kind of sum. Programming
// sends data frames of n + 5 bytes: 0x09, n, n + 1 data bytes, the sum of everything before it.
#include "Commands.h"
#include <array>
#include <cstdint>
#include <string>

using TFrame = std::array<uint8_t, 12>;

// Decoded acknowledgement values.
constexpr uint8_t AckCommand = 11;   // a command accepted
constexpr uint8_t AckProbeAlt = 14;  // also accepted from the port probe
constexpr uint8_t AckDataFrame = 16; // a programming data frame accepted

constexpr int32_t DeviceBaud = 500000;

// The transmit buffer in which programming builds its data frames (n + 5 bytes, at most 260).
constexpr int32_t SendBufSize = 260;
using TSendBuf = std::array<uint8_t, SendBufSize>;

// The reply length of a command code: 0 (no reply), 1, 12, 259 or 260; -1 for an unknown code.
int32_t ReplyLenOf(uint8_t code);
// The 16-bit byte sum of data[0..n-1].
uint16_t ByteSum(const uint8_t* data, int32_t n);
// True when reply[10], reply[11] hold the sum of reply[0..9], high byte first.
bool CheckSum12(const uint8_t* reply);
// True when reply[n-2], reply[n-1] hold the sum of reply[0..n-3], high byte first (n >= 2).
bool CheckSumN(const uint8_t* reply, int32_t n);
// ((255 - b) - (key mod 16)) mod 256.
uint8_t AckValue(uint8_t b, uint8_t key);
// The frame with its sum in bytes 10 and 11 (whatever they held).
TFrame WithSum(TFrame frame);
// Completes the data frame of block length n + 1 in `frame`: the sum of bytes 0..n+2 into bytes
// n + 3 (high) and n + 4 (low).
void SetDataSum(TSendBuf& frame, uint8_t n);
// ModelFlagQX40 for the device type text "QX40" exactly, otherwise 0.
uint8_t ModelFlagOf(const std::string& deviceType);
// The start command frame of programming (sum not yet filled in).
TFrame DownloadStartFrame(uint32_t startAddress, uint8_t modelFlag, uint8_t packLen,
                          uint8_t imageKind);
