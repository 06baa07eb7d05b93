#pragma once
// The upgrade dialogue of one client connection: the 27-line announcement, the catalogue's
// decision, the length or status, the 13 echoed values with their check line, the CRC text and the
// chunked data with its "OK" handshakes, ended by "AllOK". Logs one line when it ends.
#include "Catalogue.h"
#include "Connection.h"
#include "Faults.h"
#include "ServerContext.h"
#include "Step.h"

#include <array>
#include <chrono>
#include <memory>
#include <optional>
#include <string>

class UpgradeSession : public Connection {
public:
    static constexpr size_t kMaxLine = size_t{64} * 1024;
    static constexpr uint64_t kChunkSize = 8192;

    UpgradeSession(asio::ip::tcp::socket socket, std::shared_ptr<const ServerContext> context,
                   ConnectionRegistry& registry);
    // Runs the whole session on the connection's thread.
    static void Launch(std::shared_ptr<UpgradeSession> session);

private:
    // The steps below end the session by throwing SessionEnded once end_ is set (a co_await
    // inside a condition is avoided: GCC 12 miscompiles it).
    asio::awaitable<void> Serve() override;
    void Ended() override;
    asio::awaitable<void> Dialogue();
    asio::awaitable<void> Announcement();
    asio::awaitable<void> Transfer(const Decision& decision);
    // The 13 value lines and the check line: up to three copies of the values, in a frame of
    // their own so that they are gone before the data is sent.
    asio::awaitable<void> SendValues(int upType);
    asio::awaitable<void> SendData(uint64_t from, uint64_t to);
    asio::awaitable<void> SendPieces(uint64_t from, uint64_t to);
    // N of a byte:N fault that falls into [from, to), if any.
    std::optional<uint64_t> ByteFaultIn(uint64_t from, uint64_t to) const;

    void BeginStep(Step step);
    asio::awaitable<std::string> Receive();
    // Ends the session (end=unexpected@STEP) when the client's line is not `expected`.
    asio::awaitable<void> Expect(const std::string& expected);
    asio::awaitable<void> Send(const std::string& line);
    // Acts on a close-at or stall-at fault for this step, which ends the session.
    asio::awaitable<void> FaultPoint(Step step);
    // Closes gracefully and ends the session with this outcome.
    asio::awaitable<void> EndWith(const std::string& end);
    // Ends the session with the last read or write failure.
    [[noreturn]] void Fail();
    std::string LogLine() const;
    // The session for the register.
    SessionRecord Record() const;

    std::shared_ptr<const ServerContext> context_;
    const Faults& faults_;
    Step step_;
    std::array<std::string, 13> values_; // the request, in record order
    std::array<bool, 13> received_{};
    size_t valueBytes_ = 0;
    std::string answer_ = "-";
    std::string heldFrom_; // the staged release's version, when the device was held from it
    std::string end_ = "-";
    // The data being sent: the answer's file, the announced length, the corrupted byte if any.
    const Bytes* data_ = nullptr;
    uint64_t length_ = 0;
    uint8_t corrupted_ = 0;
    uint64_t sent_ = 0;
    std::chrono::steady_clock::time_point started_;
};
