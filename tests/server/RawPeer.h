#pragma once
// The other end of a TCP connection for the line client's tests: a listening socket on a loopback
// address of its own that accepts one connection and sends and reads raw bytes.
#include "ChildProcess.h"
#include "LineReader.h"

#include <arpa/inet.h>
#include <chrono>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

class RawPeer {
public:
    RawPeer() : address_(UniqueLoopbackAddress()) {
        listen_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        inet_pton(AF_INET, address_.c_str(), &sa.sin_addr);
        int one = 1;
        setsockopt(listen_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (bind(listen_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
            listen(listen_, 4) != 0)
            throw std::runtime_error("cannot listen on " + address_);
        socklen_t len = sizeof sa;
        getsockname(listen_, reinterpret_cast<sockaddr*>(&sa), &len);
        port_ = std::to_string(ntohs(sa.sin_port));
    }
    ~RawPeer() {
        Close();
        close(listen_);
    }
    RawPeer(const RawPeer&) = delete;
    RawPeer& operator=(const RawPeer&) = delete;

    const std::string& Address() const { return address_; }
    const std::string& Port() const { return port_; }

    // Accepts the one connection (the client's connect completes before this).
    bool Accept() {
        pollfd p{listen_, POLLIN, 0};
        if (poll(&p, 1, 30000) != 1)
            return false;
        conn_ = accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
        reader_.Attach(conn_);
        return conn_ >= 0;
    }
    void Send(const std::string& bytes) {
        size_t sent = 0;
        while (sent < bytes.size()) {
            ssize_t n = send(conn_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n <= 0)
                throw std::runtime_error("peer send failed");
            sent += static_cast<size_t>(n);
        }
    }
    // Sends without throwing: false once the client has gone (for a sending thread).
    bool TrySend(const std::string& bytes) {
        return send(conn_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == ssize_t(bytes.size());
    }
    // Reads exactly n bytes (fewer when the client closes or they do not come within 30 s).
    std::string Read(size_t n) {
        reader_.Await(n, std::chrono::seconds(30));
        return reader_.Take(n);
    }
    // Everything until the client closes.
    std::string ReadToEnd() {
        reader_.ReadToClose(std::chrono::seconds(30));
        return reader_.Take();
    }
    void Close() {
        if (conn_ >= 0)
            close(conn_);
        conn_ = -1;
        reader_.Attach(-1);
    }

private:
    std::string address_;
    std::string port_;
    int listen_ = -1;
    int conn_ = -1;
    TLineReader reader_;
};
