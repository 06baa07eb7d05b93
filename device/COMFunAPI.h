#pragma once
// The serial port layer: the only code that touches the serial ports. Ports are numbered 1 to
// 256 (PortNames.h maps a number to a device). A TComPorts holds one handle per number, the
// one-close-per-open count and the window whose messages its waits process; each device link owns
// one. Every operation reports failure through its result and never raises. An instance is used
// by one thread at a time.
#include "ComSystem.h"
#include <array>
#include <chrono>
#include <cstdint>

class TWindowLink;

constexpr int32_t ComPortCount = 256;

// The line format handed to the port setup, laid out like a UART line-control register:
// bits 1-0 data bits 5..8, bit 2 two stop bits, bits 5-3 parity (000 none, 001 odd, 011 even,
// 101 mark, 111 space, anything else leaves the port's parity alone). OpenCom always uses 3 (8N1).
constexpr uint8_t ComLineCode = 3;

// How long ReadComWithin waits for its bytes: `polls` looks at the input queue, with a
// DelayMs(pause) after each look that finds too few (DelayMs(n) lasts n + 1 ms).
struct TReadLimit {
    int polls;
    std::chrono::milliseconds pause;
};

class TComPorts {
public:
    // `window` is the window whose messages the waits process.
    explicit TComPorts(TWindowLink& window) : window_(window) {}
    // Closes the handles still open: an instance that goes away holds no port.
    ~TComPorts();
    TComPorts(const TComPorts&) = delete;
    TComPorts& operator=(const TComPorts&) = delete;

    // Shared by all ports: OpenCom sets it to 1, the one CloseCom it allows raises it to 2. So
    // at most one close succeeds after each open, whichever port it names.
    uint8_t ComOpenCount = 0;

    // Opens port `port` exclusively in raw mode at `baud` bit/s, 8N1, and discards queued input.
    // True when the device opened (setting the speed and format is not checked). A failed open
    // leaves the invalid marker in the port's entry; a number outside 1..256 leaves the table.
    bool OpenCom(int32_t port, int32_t baud);
    // Why the last OpenCom failed: an errno value (ENOENT no device at that number or the device
    // is gone, EACCES permission, EBUSY held by another program, ...); 0 after a successful open.
    int LastOpenError() const { return lastOpenError_; }
    // Closes the port's handle and empties its entry, only while ComOpenCount is 1.
    bool CloseCom(int32_t port);
    // State 0 clears DTR, 1 sets it, anything else does nothing. The outcome is not reported.
    void SetComDTR(int32_t port, int32_t state);
    // Writes one byte.
    bool WriteComByte(int32_t port, uint8_t value);
    // The byte read (0..255), blocking until one arrives; 0 when the read fails; -1 for a
    // refused port (number outside 1..256 or a failed open).
    int32_t ReadComByte(int32_t port);
    // Writes buf[0] .. buf[last] (last + 1 bytes) back to back; false as soon as a byte cannot
    // be written; a negative `last` writes nothing and returns true.
    bool WriteComBuf(int32_t port, const uint8_t* buf, int32_t last);
    // Reads `count` bytes into buf, blocking until they arrived; false at the first failed read;
    // count <= 0 reads nothing and returns true.
    bool ReadComBuf(int32_t port, uint8_t* buf, int32_t count);
    // Reads `count` bytes once all of them are waiting, looking for them as `limit` says. True
    // when they were read; false when the read failed or the looks ran out, and then nothing is
    // taken: bytes that come late stay queued for the next exchange.
    bool ReadComWithin(int32_t port, uint8_t* buf, int32_t count, TReadLimit limit);
    // The number of received bytes waiting; 0 for a refused port or a failed query.
    int32_t ComInCount(int32_t port);
    // Kind 0 discards queued input, 1 queued output, 2 both (input first), others nothing. True
    // for every port that is not refused, whether or not a purge took effect.
    bool ClearCom(int32_t port, int32_t kind);

    // Waits at least ms + 1 milliseconds, processing the window's pending messages while
    // waiting unless noPump is set. Sleeps in short slices, so a long wait costs almost no
    // processor time.
    void DelayMs(std::chrono::milliseconds ms, bool noPump = false);
    // Waits at least `us` (0 returns at once, without processing messages).
    void DelayUs(std::chrono::microseconds us, bool noPump = false);
    // Waits until the port has received input or `limit` has passed, processing window messages
    // between short slices unless noPump is set. True when input is waiting; false at the
    // limit, for a refused or closed port, or when the line hung up without data.
    bool WaitComInput(int32_t port, std::chrono::microseconds limit, bool noPump = false);

private:
    bool Refused(int32_t port) const;
    comsys::Handle& Entry(int32_t port) { return ComHandle[static_cast<size_t>(port - 1)]; }
    void Pump(bool noPump);
    void WaitUntil(std::chrono::steady_clock::time_point deadline, bool noPump);

    // One entry per port number 1..256 (index port - 1).
    std::array<comsys::Handle, ComPortCount> ComHandle{};
    TWindowLink& window_;
    int lastOpenError_ = 0;
};

// Holds one port open for a sequence of commands: opens it on creation and closes it when it
// goes away, on every path. The close after a failed open is made as well; the port layer
// refuses it without a system call.
class TOpenCom {
public:
    TOpenCom(TComPorts& com, int32_t port, int32_t baud)
        : com_(com), port_(port), open_(com.OpenCom(port, baud)) {}
    ~TOpenCom();
    TOpenCom(const TOpenCom&) = delete;
    TOpenCom& operator=(const TOpenCom&) = delete;

    bool IsOpen() const { return open_; }
    int32_t Port() const { return port_; }
    // From now on a failure, that is going away without Close(), clears DTR before the close.
    void ClearDtrOnFailure() { clearDtr_ = true; }
    // The end of a sequence that worked: closes now and says whether the close was allowed.
    bool Close();

private:
    TComPorts& com_;
    int32_t port_;
    bool open_;
    bool clearDtr_ = false;
    bool closed_ = false;
};
