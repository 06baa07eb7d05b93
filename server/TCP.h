#pragma once
// The tool's one TCP connection to the upgrade server: connect, disconnect, send a CR LF line,
// receive a CR LF line, receive a fixed number of raw bytes. The unit keeps one client and one
// connection record of its own; callers load their record before an operation and take the
// unit's record back from the two receive operations.
//
// Only the upgrade worker thread sends and receives. TcpDisconnect and TcpFreeClient may also
// come from another thread (the cancel button): a receive blocked at that moment returns at
// once, and the client object itself goes away only when no operation uses it any more.
#include <array>
#include <chrono>
#include <cstdint>
#include <string>

constexpr int kTcpBufferSize = 8192;
// A received line longer than this counts as a broken connection (see TcpRecvLine).
constexpr size_t kTcpMaxLineLength = 64 * 1024;

// The connection record, a plain value: copying it copies the texts and the whole buffer.
struct TPack {
    std::string Host; // dotted-quad IPv4 text or a host name
    std::string Port; // decimal text or a service name
    std::string Line; // the line to send, or the last line received, without CR LF
    std::array<uint8_t, kTcpBufferSize> Buffer{};
    // Before TcpRecvData: bytes to receive (0 to 8192). After TcpRecvLine: the running total of
    // bytes received on the connection.
    int32_t Count = 0;
    bool Success = false; // outcome of the last receive
};

// Creates the client (replacing and releasing an earlier one).
void TcpCreateClient();
// Releases the client; an open connection is closed with it. Safe to call twice and from
// another thread than the one using the client.
void TcpFreeClient();
// Copies the caller's record into the unit's record.
void TcpLoadPack(const TPack& pack);
// Connects to the unit's Host and Port. False when not connected afterwards. A client connects
// once: after a disconnect it stays closed until it is released.
bool TcpConnect();
// Shuts the connection down; a receive blocked in another thread returns at once.
bool TcpDisconnect();
// Sends the unit's Line followed by CR LF. False when not connected.
bool TcpSendLine();
// Receives one line ending in CR LF (a lone CR or LF is text) into Line, without the CR LF;
// bytes after it stay in the socket. Count := the connection's running byte total. Success is
// false when not connected, when no byte at all has arrived on the connection, when the time
// limit passed without a byte, or when the line grew beyond kTcpMaxLineLength (Line then
// empty). The last two end the connection. Copies the unit's record to the caller.
void TcpRecvLine(TPack& pack);
// Receives exactly Count bytes (clamped to 0..8192) into Buffer, consuming nothing beyond them.
// A peer that closes early leaves the rest of Buffer as it was (Success stays true); the time
// limit passing without a byte ends the connection with Success false. Copies the unit's
// record to the caller.
void TcpRecvData(TPack& pack);

// Lean forms of the three operations for the session's data transfer, where copying the whole
// record with its 8 KiB buffer in and out at every step would cost more than the step itself.
// Each acts on the unit's record exactly like its full form but moves only what it names.
// TcpLoadPack of a record whose Line is `line` (the other fields stay), then TcpSendLine.
bool TcpSendText(const std::string& line);
// TcpRecvLine, handing out only Line (into `line`); returns Success.
bool TcpRecvText(std::string& line);
// TcpRecvData with Count := count (clamped to 0..8192 the same way), the bytes landing in `into`
// instead of Buffer, which stays as it was; returns Success.
bool TcpRecvDataInto(uint8_t* into, int32_t count);

// How long a receive (and a connect) waits without a single byte before the connection counts
// as lost. 30 s unless changed; the change holds for operations that start afterwards.
void TcpSetRecvTimeLimit(std::chrono::milliseconds limit);
std::chrono::milliseconds TcpRecvTimeLimit();
