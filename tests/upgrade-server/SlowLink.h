#pragma once
// A slow line between one client and the server, such as a device on a poor link has: a relay on
// a loopback address of its own that passes each connection on to the server from the address
// `from`, each direction delayed and limited to a rate, on a thread of its own.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

class TSlowLink {
public:
    TSlowLink(const std::string& server, uint16_t port, const std::string& from,
              std::chrono::milliseconds delay, uint64_t bytesPerSecond);
    ~TSlowLink();
    TSlowLink(const TSlowLink&) = delete;
    TSlowLink& operator=(const TSlowLink&) = delete;

    // Where the client connects instead of the server.
    const std::string& Address() const { return address_; }
    uint16_t Port() const { return port_; }

private:
    void Run();

    std::string server_;
    uint16_t serverPort_;
    std::string from_;
    std::chrono::milliseconds delay_;
    uint64_t rate_;
    std::string address_;
    uint16_t port_ = 0;
    int listener_ = -1;
    int wake_[2] = {-1, -1}; // written to when the link is to stop
    std::thread thread_;
};
