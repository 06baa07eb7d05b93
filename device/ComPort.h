#pragma once
// The serial port layer: the only code that touches the serial ports. A TComPort is one port,
// opened by its device path (PortNames.h lists them), that owns its handle and closes it when it
// goes away; the device link opens one for each sequence of commands. Every operation reports
// failure through its result and never raises; a port that is not open refuses them all without
// a system call. The waits process the messages of the window the port was given. An instance is
// used by one thread at a time.
#include "ComSystem.h"
#include <chrono>
#include <cstdint>
#include <string>

class TWindowLink;

// The line format handed to the port setup, laid out like a UART line-control register:
// bits 1-0 data bits 5..8, bit 2 two stop bits, bits 5-3 parity (000 none, 001 odd, 011 even,
// 101 mark, 111 space, anything else leaves the port's parity alone). OpenCom always uses 3 (8N1).
constexpr uint8_t ComLineCode = 3;

class TComPort {
public:
    // `window` is the window whose messages the waits process.
    explicit TComPort(TWindowLink& window) : window_(window) {}
    // A port still open closes: first clearing DTR, after ClearDtrOnFailure.
    ~TComPort();
    TComPort(const TComPort&) = delete;
    TComPort& operator=(const TComPort&) = delete;

    // Opens the device at `path` exclusively in raw mode at `baud` bit/s, 8N1, and discards
    // queued input; a handle the port still holds is closed first. True when the device opened
    // (setting the speed and format is not checked); otherwise LastOpenError() says why.
    bool OpenCom(const std::string& path, int32_t baud);
    // Why the last OpenCom failed: an errno value (ENOENT no device at that path or the device is
    // gone, EACCES permission, EBUSY held by another program, ...); 0 after a successful open.
    int LastOpenError() const { return lastOpenError_; }
    bool IsOpen() const { return handle_ != comsys::InvalidHandle; }
    // Closes the handle (the system's answer does not count: the handle is gone either way).
    // True when the port was open.
    bool CloseCom();
    // From now on, until the next OpenCom, a port that goes away still open (a sequence that
    // failed) clears DTR before it closes.
    void ClearDtrOnFailure() { clearDtr_ = true; }

    // State 0 clears DTR, 1 sets it, anything else does nothing. The outcome is not reported.
    void SetComDTR(int32_t state);
    // Writes one byte.
    bool WriteComByte(uint8_t value);
    // The byte read (0..255), blocking until one arrives; 0 when the read fails; -1 for a port
    // that is not open.
    int32_t ReadComByte();
    // Writes buf[0] .. buf[last] (last + 1 bytes) back to back; false as soon as a byte cannot
    // be written; a negative `last` writes nothing and returns true.
    bool WriteComBuf(const uint8_t* buf, int32_t last);
    // Reads `count` bytes into buf, blocking until they arrived; false at the first failed read;
    // count <= 0 reads nothing and returns true.
    bool ReadComBuf(uint8_t* buf, int32_t count);
    // Reads `count` bytes once all of them are waiting, waiting for them until `limit` has
    // passed (processing window messages). True when they were read; false when the read failed,
    // the line hung up or the time ran out, and then nothing is taken: bytes that come late stay
    // queued for the next exchange.
    bool ReadComWithin(uint8_t* buf, int32_t count, std::chrono::microseconds limit);
    // The number of received bytes waiting; 0 for a port that is not open or a failed query.
    int32_t ComInCount();
    // Kind 0 discards queued input, 1 queued output, 2 both (input first), others nothing. True
    // for an open port, whether or not a purge took effect.
    bool ClearCom(int32_t kind);

    // Waits at least ms + 1 milliseconds, processing the window's pending messages while
    // waiting unless noPump is set. Sleeps in short slices, so a long wait costs almost no
    // processor time.
    void DelayMs(std::chrono::milliseconds ms, bool noPump = false);
    // Waits at least `us` (0 returns at once, without processing messages).
    void DelayUs(std::chrono::microseconds us, bool noPump = false);
    // Waits until the port has received input or `deadline` (of comsys::Now()) has come,
    // processing window messages between short slices unless noPump is set. True when input is
    // waiting; false at the deadline, for a port that is not open, or when the line hung up
    // without data.
    bool WaitComInput(std::chrono::steady_clock::time_point deadline, bool noPump = false);

private:
    void Pump(bool noPump);
    void WaitUntil(std::chrono::steady_clock::time_point deadline, bool noPump);

    TWindowLink& window_;
    comsys::Handle handle_ = comsys::InvalidHandle;
    int lastOpenError_ = 0;
    bool clearDtr_ = false;
};
