#pragma once
// The upgrade server's tests speak the raw dialogue: a small blocking client, the announcement of
// a request and the download as the Kestrel client answers it. The server itself is
// TUpgradeServer (UpgradeServer.h).
#include "LineReader.h"
#include "TestData.h"
#include "UpgradeServer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

using namespace std::chrono_literals;

// A blocking TCP socket connected to address:port, from the loopback address `from` when one is
// given (the server tells peers apart by their addresses); -1 when the connection failed.
int ConnectFrom(const std::string& from, const std::string& address, uint16_t port = 5001);

class RawClient {
public:
    RawClient(const std::string& address, uint16_t port = 5001, const std::string& from = {});
    ~RawClient();
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    bool Connected() const { return fd_ >= 0; }
    void SendRaw(const std::string& bytes);
    void SendLine(const std::string& line) { SendRaw(line + "\r\n"); }
    // The next CR LF line without its delimiter; nothing when the connection ends or nothing
    // complete arrives within `limit`.
    std::optional<std::string> ReadLine(std::chrono::milliseconds limit = 60s);
    // Exactly n bytes, or nothing.
    std::optional<std::string> ReadBytes(size_t n, std::chrono::milliseconds limit = 60s);
    // SendLine, then ReadLine; "<none>" when no line came.
    std::string Exchange(const std::string& line);
    // True when the server closes the connection within `limit` (no further bytes are expected;
    // any that arrive are kept in `Leftover`).
    bool WaitForClose(std::chrono::milliseconds limit = 60s);
    // True when nothing arrives and the connection stays open for `period`.
    bool StaysQuiet(std::chrono::milliseconds period);
    const std::string& Leftover() const { return reader_.Buffered(); }
    void Close();

private:
    int fd_ = -1;
    TLineReader reader_{-1, "\r\n"};
};

// The server ended the session: it closed the connection without a further byte, and its next
// log line containing `needle` has `logged` (how the session ended).
testing::AssertionResult EndedQuietly(RawClient& client, TUpgradeServer& server,
                                      const std::string& logged, const std::string& needle = "id=");

// The count of a refusal line of `cap` ("... refused max-per-peer 12 in 1.0s"); 0 for any
// other line.
uint64_t RefusalCount(const std::string& line, const std::string& cap);

// Sends `request` as it is to the page server (port 8080) and returns all it answers until it
// closes the connection.
std::string PageExchange(const std::string& address, const std::string& request);

// Sends `request` to the server's page port (8080; the dashboard's: 8081) and returns the whole
// answer. Each time from an address of its own: a page connection counts against --max-per-peer
// until the server has seen it close.
std::string Page(TUpgradeServer& server, const std::string& request, uint16_t port = 8080);
// The body of GET `path` on the server's page port (or `port`), or a text saying what came
// instead.
std::string Get(TUpgradeServer& server, const std::string& path, uint16_t port = 8080);
// The value of one series ("name" or "name{labels}") of a metrics page; -1 when it is not there.
long long Sample(const std::string& page, const std::string& series);

// The request a QX40 with firmware 1.20 and tool 1.4 announces: (key, value) in announcement order.
using Request = std::vector<std::pair<std::string, std::string>>;
Request DefaultRequest();
void SetValue(Request& request, const std::string& key, const std::string& value);

// The 27 announcement steps; returns the server's replies until the first unexpected one (that
// one included) or until the connection ends.
std::vector<std::string> Announce(RawClient& client, const Request& request);

// What a well-behaved client receives after the announcement.
struct Download {
    std::string length;              // the length (or status) line
    std::vector<std::string> values; // the 13 value lines
    std::string check;
    std::string crc;
    std::string data;
    int handshakes = 0; // chunk handshakes completed
    bool closedAfterAllOk = false;
};
// Reads the length line and, if it is a positive number, echoes it and reads the values, the
// check line and the CRC line (after an "OK"): the client is ready for the CRC echo.
Download ReceiveUpToCrc(RawClient& client);
// The same, then the whole transfer, answering as the Kestrel client does (the CRC echo,
// handshake "OK"s and "AllOK" at the end). A `pace` holds each handshake back that long, as a
// slow line would.
Download Receive(RawClient& client, std::chrono::milliseconds pace = 0ms);
// The transfer that follows ReceiveUpToCrc (which gave `d`), as Receive does it.
Download ReceiveRest(RawClient& client, Download d, std::chrono::milliseconds pace = 0ms);
