#pragma once
// The tool's TCP connection to the upgrade server: connect, disconnect, send a CR LF line,
// receive a CR LF line, receive a fixed number of raw bytes. A TTcpClient owns one client
// socket, one connection record and its receive time limit; callers load their record before an
// operation and take the client's record back from the two receive operations. The Tcp...
// functions are the same operations on one default client, the one the upgrade worker uses.
//
// Only the upgrade worker thread sends and receives. Disconnect and FreeClient may also come
// from another thread (the cancel button): a receive blocked at that moment returns at once,
// and the socket itself goes away only when no operation uses it any more.
#include "TimeLimits.h"

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

class TTcpSocket;

constexpr int kTcpBufferSize = 8192;
// A received line longer than this counts as a broken connection (see RecvLine).
constexpr size_t kTcpMaxLineLength = size_t{64} * 1024;

// The connection record, a plain value: copying it copies the texts and the whole buffer.
struct TPack {
    std::string Host; // dotted-quad IPv4 text or a host name
    std::string Port; // decimal text or a service name
    std::string Line; // the line to send, or the last line received, without CR LF
    std::array<uint8_t, kTcpBufferSize> Buffer{};
    // Before RecvData: bytes to receive (0 to 8192). After RecvLine: the running total of
    // bytes received on the connection.
    int32_t Count = 0;
    bool Success = false; // outcome of the last receive
};

class TTcpClient {
public:
    explicit TTcpClient(std::chrono::milliseconds recvLimit = ServerLimits::Receive);
    ~TTcpClient();
    TTcpClient(const TTcpClient&) = delete;
    TTcpClient& operator=(const TTcpClient&) = delete;

    // Creates the socket, for an IPv4 address or an IPv6 one (replacing and releasing an earlier
    // one).
    void CreateClient(bool ipv6 = false);
    // Releases the socket; an open connection is closed with it. Safe to call twice and from
    // another thread than the one using the client.
    void FreeClient();
    // Copies the caller's record into the client's record.
    void LoadPack(const TPack& pack);
    // Connects to the record's Host and Port, waiting at most `limit` (the receive time limit
    // when not given). False when not connected afterwards. A socket connects once: after a
    // disconnect it stays closed until it is released.
    bool Connect(std::optional<std::chrono::milliseconds> limit = std::nullopt);
    // Shuts the connection down; a receive blocked in another thread returns at once.
    bool Disconnect();
    // Sends the record's Line followed by CR LF. False when not connected.
    bool SendLine();
    // Receives one line ending in CR LF (a lone CR or LF is text) into Line, without the CR LF;
    // bytes after it stay in the socket. Count := the connection's running byte total. Success
    // is false when not connected, when no byte at all has arrived on the connection, when the
    // whole line has not come within the receive time limit of the call's start, or when the
    // line grew beyond kTcpMaxLineLength (Line then empty). The last two end the connection.
    // Copies the client's record to the caller.
    void RecvLine(TPack& pack);
    // Receives exactly Count bytes (clamped to 0..8192) into Buffer, consuming nothing beyond
    // them. A peer that closes early leaves the rest of Buffer as it was (Success stays true);
    // when the bytes have not all come within the receive time limit of the call's start, the
    // connection ends with Success false. Copies the client's record to the caller.
    void RecvData(TPack& pack);

    // Lean forms of the three operations for the session, where copying the whole record with
    // its 8 KiB buffer in and out at every step would cost more than the step itself. Each acts
    // on the client's record exactly like its full form but moves only what it names.
    // LoadPack of a record whose Line is `line` (the other fields stay), then SendLine.
    bool SendText(const std::string& line);
    // RecvLine, handing out only Line (into `line`); returns Success.
    bool RecvText(std::string& line);
    // RecvData with Count := count (clamped to 0..8192 the same way), the bytes landing in
    // `into` instead of Buffer, which stays as it was; returns Success.
    bool RecvDataInto(uint8_t* into, int32_t count);

    // How long a whole receive (a line, or a block of data) may take, and a connect or a send
    // may wait, before the connection counts as lost; the change holds for operations that
    // start afterwards.
    void SetRecvTimeLimit(std::chrono::milliseconds limit);
    std::chrono::milliseconds RecvTimeLimit() const;

    // The end of the whole session: no connect, send or receive waits beyond it, and a receive
    // it cuts short counts as lost with `why` (words after "the server") as its failure. Nothing
    // (the default): only each operation's own limit. The worker's only.
    void SetSessionEnd(std::optional<std::chrono::steady_clock::time_point> end,
                       std::string why = {});

    // Why the last Connect failed, or what went wrong in the last receive ("the server closed
    // the connection", "no answer within 30 s", ...); empty when it went well. The worker's only.
    const std::string& LastFailure() const { return lastFailure_; }

private:
    std::shared_ptr<TTcpSocket> Current();
    // The start of both receives: Line cleared and Success true, then the connected socket, or
    // none with Success false.
    std::shared_ptr<TTcpSocket> BeginReceive();
    // Runs a receive; whatever it throws ends it as failed.
    template <typename TReceive> void Guarded(TReceive receive);
    // RecvLine and RecvData on the client's record alone, within `limit`.
    void ReceiveLine(std::chrono::milliseconds limit);
    void ReceiveData(uint8_t* into, std::chrono::milliseconds limit);
    // When an operation that begins now and may take `limit` must end: the session's end when
    // that comes first.
    std::chrono::steady_clock::time_point StepEnd(std::chrono::milliseconds limit) const;
    // What a receive that ran out of time at `deadline` says: the step's limit or the session's.
    std::string TimedOutText(std::chrono::steady_clock::time_point deadline,
                             std::chrono::milliseconds limit) const;

    // Operations take their own reference for their duration, so a release from another
    // thread never pulls the socket from under a running receive: it is destroyed, and closed,
    // exactly once, when the last user lets go.
    std::mutex mutex_;
    std::shared_ptr<TTcpSocket> socket_;
    TPack pack_;                                                      // the worker's only
    std::string lastFailure_;                                         // the worker's only
    std::optional<std::chrono::steady_clock::time_point> sessionEnd_; // the worker's only
    std::string sessionWhy_;                                          // the worker's only
    std::atomic<long long> recvLimitMs_;
};

// The default client: the one of the upgrade worker and of the Tcp... functions below, the
// module's names for its operations.
TTcpClient& DefaultTcpClient();

inline void TcpCreateClient() {
    DefaultTcpClient().CreateClient();
}
inline void TcpFreeClient() {
    DefaultTcpClient().FreeClient();
}
inline void TcpLoadPack(const TPack& pack) {
    DefaultTcpClient().LoadPack(pack);
}
inline bool TcpConnect() {
    return DefaultTcpClient().Connect();
}
inline bool TcpDisconnect() {
    return DefaultTcpClient().Disconnect();
}
inline bool TcpSendLine() {
    return DefaultTcpClient().SendLine();
}
inline void TcpRecvLine(TPack& pack) {
    DefaultTcpClient().RecvLine(pack);
}
inline void TcpRecvData(TPack& pack) {
    DefaultTcpClient().RecvData(pack);
}
inline bool TcpSendText(const std::string& line) {
    return DefaultTcpClient().SendText(line);
}
inline bool TcpRecvText(std::string& line) {
    return DefaultTcpClient().RecvText(line);
}
inline bool TcpRecvDataInto(uint8_t* into, int32_t count) {
    return DefaultTcpClient().RecvDataInto(into, count);
}
// 30 s (ServerLimits::Receive) unless changed.
inline void TcpSetRecvTimeLimit(std::chrono::milliseconds limit) {
    DefaultTcpClient().SetRecvTimeLimit(limit);
}
