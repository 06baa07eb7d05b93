#pragma once
// The words of the device protocol: the command codes, the image kinds and the model flag of the
// start command. Header only, so that the simulated device speaks the same words.
#include <cstdint>

// The command codes this tool sends (byte 0 of a frame). The device knows a few more, which
// ReplyLenOf lists by number only: nothing here sends them.
namespace Command {
constexpr uint8_t KeyExchange = 0x01;      // identity and key; also the port probe
constexpr uint8_t StartProgramming = 0x02; // start address, model flag, block length, image kind
constexpr uint8_t DataFrame = 0x09;        // one block of the image (not a 12-byte frame)
constexpr uint8_t Reset = 0x0B;            // no reply
constexpr uint8_t ReadCounters = 0xC2;     // two 24-bit counters
constexpr uint8_t ReadCID = 0xC4;          // four identity bytes
constexpr uint8_t ReadTypeText = 0xC8;     // the identity text (TIdentityText)
constexpr uint8_t ReadDevID = 0xC9;        // the device identity, each character complemented
constexpr uint8_t ReadUseCount = 0xCA;     // the 24-bit use counter
} // namespace Command

// The image kinds of the start command. The kind sets how the image is cut into blocks and to
// what multiple it is filled with 0xFF; an upgrade always sends Firmware.
namespace ImageKind {
constexpr uint8_t ModelImage = 1;  // 256-byte blocks, filled to 256; only with ModelFlagQX40
constexpr uint8_t ByteImage = 2;   // one byte a data frame, no fill
constexpr uint8_t Firmware = 3;    // 256-byte blocks, filled to 512
constexpr uint8_t FirmwareAlt = 4; // taken exactly as Firmware
} // namespace ImageKind

// The model flag of the start command: tells the device the image was built for the QX40 (its
// type text exactly); every other type text sends 0.
constexpr uint8_t ModelFlagQX40 = 53;
