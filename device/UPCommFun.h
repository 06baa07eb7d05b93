#pragma once
// The device command protocol, discovery and identification, and the firmware programming
// transfer. Command frames are 12 bytes: code, nine parameter bytes, and the 16-bit byte sum of
// bytes 0..9 high byte first. Replies are one acknowledgement byte (decoded with the key) or
// 12/259/260 bytes ending in the same kind of sum. All operations work on the global IOPack and
// run on the window's thread; their waits process window messages.
#include "IOPack.h"
#include "MemoryStream.h"
#include "WindowLink.h"
#include <array>
#include <cstdint>
#include <span>
#include <string>

using TFrame = std::array<uint8_t, 12>;

// Decoded acknowledgement values.
constexpr uint8_t AckCommand = 11;   // a command accepted
constexpr uint8_t AckProbeAlt = 14;  // also accepted from the port probe
constexpr uint8_t AckDataFrame = 16; // a programming data frame accepted

constexpr int32_t DeviceBaud = 500000;

// The transmit buffer in which programming builds its data frames (n + 5 bytes, at most 260).
constexpr int32_t SendBufSize = 260;
extern std::array<uint8_t, SendBufSize> SendBuf;

// --- Frames and replies ---------------------------------------------------------------------
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

// Writes the frame byte by byte with 10 microseconds after each byte, its sum recomputed; the
// caller's bytes 10 and 11 are ignored. True when all 12 bytes were written.
bool SendFrame(int32_t port, TFrame frame);
// Waits up to 500 polls (DelayMs(1) between them) for `len` bytes, reads exactly those and
// validates them: sums for 12 and longer replies, AckValue == 11 with IOPack.Key for one byte.
// Length 0 succeeds at once. False (nothing read) when `reply` is shorter than `len`.
bool RecvReply(int32_t port, int32_t len, std::span<uint8_t> reply);
// Sends the frame and receives the reply its code calls for. An unknown code, or a reply buffer
// too short for the code's reply, is refused before anything is sent.
bool SendCmd(int32_t port, const TFrame& frame, std::span<uint8_t> reply);

// --- Discovery and identification -------------------------------------------------------------
// Probes ports 1..256 with the fixed probe frame; true when one answers with an acknowledgement
// decoding to 11 or 14, its number then in IOPack.ComID (otherwise ComID is left as it was).
bool ScanCom();
// Finds the device, reads counters, identity bytes, identity, exchanges a fresh key, reads the
// identity text and the use counter, and closes the port again. True when all of that worked.
bool ConnectDevice();
bool ReadCounters(); // 0xC2: Count1, Count2 (both 0 on failure)
bool ReadCID();      // 0xC4: CID (kept on failure)
bool ReadDevID();    // 0xC9: DevID (empty on failure)
bool ReadTypeText(); // 0xC8: TypeText (kept on failure)
bool ReadUseCount(); // 0xCA: Count1 (0 on failure)
// Draws a new random Key 0..254 (stored before sending) and sends it with DevID; true when the
// device acknowledged with 11 under the new key.
bool SendKey();
// Sends command 0x0B (no reply awaited).
bool SendCmd0B();

// --- Firmware programming ---------------------------------------------------------------------
// Image kinds: 1 (256-byte blocks, filled to 256, only for device type "QX40"), 2 (1-byte blocks,
// no fill), 3 and 4 (256-byte blocks, filled to 512 bytes with 0xFF).
// Reopens IOPack.ComID, renews the key, sends the start command and the image in acknowledged
// data frames, moves `bar` (may be null), sends 0x0B. The port is closed on return. A length
// below 1 is refused before the port is opened.
bool DownloadFirmware(TProgressBar* bar, const std::string& deviceType, TMemoryStream& image,
                      int32_t length, uint32_t startAddress, uint8_t imageKind);
// 53 for the device type text "QX40" exactly, otherwise 0.
uint8_t ModelFlagOf(const std::string& deviceType);
// The start command frame (sum not yet filled in).
TFrame DownloadStartFrame(uint32_t startAddress, uint8_t modelFlag, uint8_t packLen,
                          uint8_t imageKind);
// Sends the start command with IOPack.PackLen; true when acknowledged with 11.
bool SendDownloadStart(uint32_t startAddress, uint8_t modelFlag, uint8_t imageKind);
// Sends buffer[0..p-1] in blocks of IOPack.PackLen + 1 bytes, each acknowledged.
bool SendFirmwareBlocks(uint32_t startAddress, const uint8_t* buffer, int32_t p);
// Writes the sum of SendBuf[0..n+2] into SendBuf[n+3] (high) and SendBuf[n+4] (low).
void SetDataSum(uint8_t n);
// Sums and writes SendBuf[0..PackLen+4] to IOPack.ComID.
bool SendDataFrame();
// Waits (at least 2 s, processing window messages) for the one acknowledgement byte of a data
// frame; true when it decodes to 16. Two or more waiting bytes fail without reading.
bool WaitBlockAck();
