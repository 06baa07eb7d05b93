#pragma once
// The other end of a TCP connection for the line client's tests: a listening socket on a loopback
// address of its own that accepts one connection and sends and reads raw bytes.
#include "TCP.h"
#include "TestFiles.h"
#include "TestSockets.h"

#include <chrono>
#include <stdexcept>
#include <string>
#include <utility>

class RawPeer {
public:
    // Listens at `port`, or at a port the system picks.
    explicit RawPeer(std::string port = {})
        : address_(UniqueLoopbackAddress()), port_(std::move(port)) {
        listen_ = ListenOn(address_, port_);
    }
    ~RawPeer() {
        Close();
        CloseSocket(listen_);
    }
    RawPeer(const RawPeer&) = delete;
    RawPeer& operator=(const RawPeer&) = delete;

    const std::string& Address() const { return address_; }
    const std::string& Port() const { return port_; }

    // Accepts the one connection (the client's connect completes before this).
    bool Accept() {
        conn_ = AcceptWithin(listen_, kLimit);
        return conn_ != NoSocket;
    }
    void Send(const std::string& bytes) {
        if (!SendAll(conn_, bytes))
            throw std::runtime_error("peer send failed");
    }
    // Sends without throwing: false once the client has gone (for a sending thread).
    bool TrySend(const std::string& bytes) { return SendAll(conn_, bytes); }
    // Reads exactly n bytes (fewer when the client closes or they do not come within 30 s).
    std::string Read(size_t n) {
        auto until = std::chrono::steady_clock::now() + kLimit;
        while (buffer_.size() < n && ReceiveBy(conn_, buffer_, until) > 0) {
        }
        std::string taken = buffer_.substr(0, n);
        buffer_.erase(0, taken.size());
        return taken;
    }
    // One line without its CR LF (what came when the client closes or 30 s have passed).
    std::string ReadLine() {
        auto until = std::chrono::steady_clock::now() + kLimit;
        size_t end;
        while ((end = buffer_.find("\r\n")) == std::string::npos &&
               ReceiveBy(conn_, buffer_, until) > 0) {
        }
        std::string line = buffer_.substr(0, end);
        buffer_.erase(0, end == std::string::npos ? end : end + 2);
        return line;
    }
    // Everything until the client closes.
    std::string ReadToEnd() {
        auto until = std::chrono::steady_clock::now() + kLimit;
        while (ReceiveBy(conn_, buffer_, until) > 0) {
        }
        return std::exchange(buffer_, {});
    }
    void Close() {
        CloseSocket(conn_);
        conn_ = NoSocket;
    }

private:
    static constexpr std::chrono::seconds kLimit{30};
    std::string address_;
    std::string port_;
    TTestSocket listen_ = NoSocket;
    TTestSocket conn_ = NoSocket;
    std::string buffer_;
};

// Connects the default line client (TCP.h) to `peer`, which accepts it: false when either fails.
inline bool ConnectDefaultClient(RawPeer& peer) {
    TPack p;
    p.Host = peer.Address();
    p.Port = peer.Port();
    TcpCreateClient();
    TcpLoadPack(p);
    return TcpConnect() && peer.Accept();
}
