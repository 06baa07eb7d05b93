#pragma once
// Helpers for the upgrade server's tests: the server started on a loopback address of its own with
// a catalogue written for the test, and a small blocking client that speaks the raw dialogue.
#include "ChildProcess.h"

#include "TestData.h"
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include <utility>
#include <vector>

using namespace std::chrono_literals;

class ServerUnderTest {
public:
    // Writes `files` (name -> bytes) and `manifest` into a fresh catalogue and starts the server
    // with `args` added to --catalogue, --address and --http-port 8080. Waits for its first line.
    ServerUnderTest(const std::map<std::string, std::string>& files, const std::string& manifest,
                    const std::vector<std::string>& args = {});

    const std::string& Address() const { return address_; }
    const std::string& FirstLine() const { return firstLine_; }
    ChildProcess& Process() { return *process_; }
    // The next log line containing `needle` (earlier lines are skipped).
    std::string LogLine(const std::string& needle);

private:
    TempDir dir_;
    std::string address_;
    std::string firstLine_;
    std::unique_ptr<ChildProcess> process_;
};

// The default catalogue: QX40 firmware 1.21 as fw.bin.
ServerUnderTest StartDefault(const std::string& image, const std::vector<std::string>& args = {},
                             const std::string& extraManifest = "");

class RawClient {
public:
    RawClient(const std::string& address, uint16_t port = 5001);
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
    const std::string& Leftover() const { return buffer_; }
    void Close();

private:
    bool Fill(std::chrono::steady_clock::time_point until);
    int fd_ = -1;
    bool closedByPeer_ = false;
    std::string buffer_;
};

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
// Reads the length line and, if it is a positive number, the whole transfer, answering as the
// Kestrel client does (handshake "OK"s and "AllOK" at the end).
Download Receive(RawClient& client);
