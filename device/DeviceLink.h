#pragma once
// The device link: the command protocol, discovery and identification, and programming of one
// device. Its session record IOPack holds what discovery learnt, the device's port among it, and
// what programming reuses. Each scan lists the ports once; each sequence of commands opens the
// port it works on by its path (ComPort.h), which closes again when the sequence ends. A link is
// used by one thread at a time, and its waits process the messages of the window it was given.
// The workflow works on the link it is handed; programs, tests and benchmarks make their own.
#include "ComPort.h"
#include "DeviceFailure.h"
#include "Frames.h"
#include "IOPack.h"
#include "MemoryStream.h"
#include "PortNames.h"
#include "WindowLink.h"
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

class TDeviceLink {
public:
    // `window`: the window whose messages the waits process.
    explicit TDeviceLink(TWindowLink& window) : window_(window) {}

    TIOPack IOPack; // what discovery learnt, the port among it; what programming reuses

    // --- Command protocol (one exchange on an open port) ---------------------------------------
    // Sends the frame, its sum recomputed, byte by byte with a short gap after each, and receives
    // the reply its code calls for. RefusedLength, before anything is sent, for an unknown code
    // or a reply buffer too short for the code's reply; otherwise as RecvReply, or WriteFailed.
    TDeviceFailureKind SendCmd(TComPort& port, const TFrame& frame, std::span<uint8_t> reply);
    // Waits up to DeviceLimits::ReplyWait for `len` bytes, reads exactly those and validates
    // them: sums for 12 and longer replies, AckValue == 11 with IOPack.Key for one byte (BadReply
    // otherwise; NoReply when they did not come). Length 0 succeeds at once. RefusedLength
    // (nothing read) when `reply` is shorter than `len`.
    TDeviceFailureKind RecvReply(TComPort& port, int32_t len, std::span<uint8_t> reply);

    // --- Discovery and identification ----------------------------------------------------------
    // Nothing (the default): discovery probes every listed port. A port: discovery probes only
    // that one, and ConnectDevice never falls back to the port of an earlier run when that is
    // another one.
    void SetOnlyPort(std::optional<TPortId> port) { onlyPort_ = std::move(port); }
    // Lists the ports and probes them (or only the one of SetOnlyPort) with the fixed probe frame
    // until one answers with an acknowledgement decoding to 11 or 14; that port is then
    // IOPack.ComID. Otherwise ComID is left as it was and the failure says why no port answered.
    TDeviceFailure ScanCom();
    // Probes every listed port (or only the one of SetOnlyPort) and returns those that answer, in
    // the order of their numbers; IOPack.ComID is left as it was.
    std::vector<TPortId> AnsweringPorts();
    // Finds the device, reads counters, identity bytes, identity, exchanges a fresh key, reads
    // the identity text and the use counter, and closes the port again. True when all of that
    // worked; otherwise Failure() says why.
    bool ConnectDevice();
    // Why the last failed ConnectDevice or DownloadFirmware failed: its kind and detail (kind None
    // after a success).
    const TDeviceFailure& Failure() const { return failure_; }
    // The same failure as one English line, beginning with the port's device path when there is
    // one ("/dev/ttyUSB0: permission denied — ...", "no device answered on ports 1 to 256
    // (...)"). Empty after a success.
    const std::string& FailureCause() const { return failureCause_; }

    // --- Firmware programming (on IOPack.ComID) ------------------------------------------------
    // Image kinds: see ImageKind in Frames.h.
    // Reopens the port by the path discovery found (a device that is no longer there fails as
    // gone), renews the key, sends the start command and the image in acknowledged data frames,
    // moves `bar` (may be null; also kept in IOPack.ProgressBar), sends a reset. The port is
    // closed on return. A length below 1 is refused before the port is opened. True when all of
    // that worked; otherwise Failure() says why.
    bool DownloadFirmware(TProgressBar* bar, const std::string& deviceType, TMemoryStream& image,
                          int32_t length, uint32_t startAddress, uint8_t imageKind);

private:
    using TReply = std::array<uint8_t, 12>;
    // What a probe found: whether the port opened (otherwise the open's errno) and answered.
    struct TProbe {
        bool opened = false;
        int openError = 0;
        bool replied = false;  // a byte came back in time
        bool answered = false; // and it was an acceptable answer
    };
    // What discovery found, in the order probed: the ports that answered, those that opened, and
    // those that exist but could not be opened (port, errno).
    struct TScan {
        std::vector<TPortId> answering;
        std::vector<TPortId> opened;
        std::vector<std::pair<TPortId, int>> openFaults;
    };

    // Writes the frame byte by byte with a short gap after each byte, its sum recomputed; the
    // caller's bytes 10 and 11 are ignored. True when all 12 bytes were written.
    bool SendFrame(TComPort& port, TFrame frame);
    // The command `code` without parameters.
    TDeviceFailureKind Query(TComPort& port, uint8_t code, TReply& reply);
    // A read command (ReadCounters, ReadCID, ReadDevID, ReadTypeText, ReadUseCount of Command),
    // what it read stored in IOPack. A failure leaves counters 0 and an empty identity; identity
    // bytes and text are kept.
    TDeviceFailureKind Read(TComPort& port, uint8_t code);
    // Draws a new random Key 0..254 (stored before sending) and sends it with DevID; None when
    // the device acknowledged with 11 under the new key.
    TDeviceFailureKind SendKey(TComPort& port);
    // Sends the start command with IOPack.PackLen; None when acknowledged with 11.
    TDeviceFailureKind SendDownloadStart(TComPort& port, uint32_t startAddress, uint8_t modelFlag,
                                         uint8_t imageKind);
    // Sends buffer[0..p-1], p a multiple of the block length IOPack.PackLen + 1, block by block,
    // each acknowledged, and moves `bar` (may be null) to the bytes sent once a block is.
    TDeviceFailure SendFirmwareBlocks(TComPort& port, TProgressBar* bar, const uint8_t* buffer,
                                      int32_t p);
    // Sums and writes SendBuf[0..PackLen+4].
    bool SendDataFrame(TComPort& port);
    // Waits (at least BlockAckLimit, processing window messages) for the one acknowledgement
    // byte of a data frame; None when it decodes to 16. Two or more waiting bytes fail without
    // reading.
    TDeviceFailureKind WaitBlockAck(TComPort& port);

    // Opens `port`, sends the probe and grants its answer `wait`; answered when it decodes to 11
    // or 14.
    TProbe ProbeCom(const TPortId& port, std::chrono::microseconds wait);
    // Probes the listed ports (only the one of SetOnlyPort when set), stopping at the first that
    // answers unless `all`. A port that exists but cannot be opened is noted for the cause.
    TScan Scan(bool all);
    // The cause of a scan that found nothing: the most telling open failure, or the ports tried.
    TDeviceFailure ScanFailure(const TScan& scan) const;
    // An open of `port` that failed with `err`, or command `code` on `port` that failed as `how`.
    static TDeviceFailure OpenFailure(const TPortId& port, int err);
    static TDeviceFailure CommandFailure(const TPortId& port, uint8_t code, TDeviceFailureKind how,
                                         bool probed);
    // ConnectDevice on `port` once discovery is over; `probed`: the port answered the probe.
    TDeviceFailure Identify(const TPortId& port, bool probed);
    // DownloadFirmware's steps: the whole of it, the image readied into `buffer` (and
    // IOPack.PackLen set), the transfer on the open port.
    TDeviceFailure Program(TProgressBar* bar, const std::string& deviceType, TMemoryStream& image,
                           int32_t length, uint32_t startAddress, uint8_t imageKind);
    TDeviceFailure ReadyImage(const std::string& deviceType, uint8_t modelFlag,
                              TMemoryStream& image, int32_t length, uint8_t imageKind,
                              std::vector<uint8_t>& buffer);
    TDeviceFailure Transfer(TComPort& port, TProgressBar* bar, const std::vector<uint8_t>& buffer,
                            uint32_t startAddress, uint8_t modelFlag, uint8_t imageKind);
    // Keeps `failure` as the link's failure, with its line for FailureCause.
    void Record(TDeviceFailure failure);
    // The start of every sequence on the device's freshly opened port: DTR cleared, a pause,
    // stale input discarded.
    static void StartSequence(TComPort& port);
    // Discards queued input; when the port refuses the purge, pauses instead.
    static void DiscardInput(TComPort& port);

    TWindowLink& window_;
    TSendBuf SendBuf{}; // where programming builds its data frames
    std::optional<TPortId> onlyPort_;
    TDeviceFailure failure_;
    std::string failureCause_; // DeviceFailureText(failure_), made when it was recorded
};
